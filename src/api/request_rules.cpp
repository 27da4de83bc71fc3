#include "api/request_rules.h"

#include <cstring>
#include <strings.h>

namespace {

bool same_secret(std::string_view given, std::string_view expected) {
  size_t difference = given.size() ^ expected.size();
  for (size_t i = 0; i < expected.size(); ++i) {
    const unsigned char mine = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= mine ^ static_cast<unsigned char>(expected[i]);
  }
  return difference == 0;
}

ApiRoute route_of(std::string_view path) {
  if (path == "/") return ApiRoute::page;
  if (path == "/summary") return ApiRoute::summary;
  if (path == "/metrics") return ApiRoute::metrics;
  return ApiRoute::none;
}

}  // namespace

bool bearer_token_matches(const char* authorization, std::string_view token) {
  if (authorization == nullptr) return false;
  constexpr size_t kScheme = 6;  // "Bearer"
  if (std::strlen(authorization) <= kScheme || strncasecmp(authorization, "Bearer", kScheme) != 0 ||
      authorization[kScheme] != ' ')
    return false;
  std::string_view given(authorization + kScheme);
  while (!given.empty() && given.front() == ' ') given.remove_prefix(1);
  while (!given.empty() && given.back() == ' ') given.remove_suffix(1);
  return same_secret(given, token);
}

ApiAnswer decide_request(const ApiRequest& request, std::string_view token) {
  if (request.method != "GET") return {405, ApiRoute::none};
  if (request.has_body) return {413, ApiRoute::none};
  const ApiRoute route = route_of(request.path);
  if (route == ApiRoute::none) return {404, ApiRoute::none};
  if (route != ApiRoute::page && !token.empty() && !bearer_token_matches(request.authorization, token))
    return {401, ApiRoute::none};
  return {200, route};
}
