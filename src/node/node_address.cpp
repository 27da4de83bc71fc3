#include "node/node_address.h"

#include <string_view>

#include "node/url_display.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %HH as the byte it stands for; a '%' not followed by two hex digits stays.
std::string percent_decoded(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

bool all_digits(std::string_view text) { return text.find_first_not_of("0123456789") == std::string_view::npos; }

// Where the user information ends (the position of its '@'), or npos when
// the URL has none. The authority as libcurl reads it (up to the first '/',
// '?' or '#') decides, unless it cannot be a host with a port and an '@'
// follows: then a password holds one of those characters.
size_t user_information_end(std::string_view url, size_t user_begin) {
  const size_t authority_end = url.find_first_of("/?#", user_begin);
  const std::string_view authority = authority_end == std::string_view::npos
                                         ? url.substr(user_begin)
                                         : url.substr(user_begin, authority_end - user_begin);
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) return user_begin + at;
  const size_t colon = authority.find(':');
  if (colon == std::string_view::npos || all_digits(authority.substr(colon + 1))) return std::string_view::npos;
  const TextSpan password = url_password_span(url);
  return password.length == 0 ? std::string_view::npos : password.begin + password.length;
}

}  // namespace

NodeAddress backup_node_address(const std::string& url) {
  const size_t scheme_end = url.find("://");
  const size_t user_begin = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const size_t at = user_information_end(url, user_begin);
  if (at == std::string::npos) return {url, "", ""};
  const std::string_view user_information = std::string_view(url).substr(user_begin, at - user_begin);
  const size_t colon = user_information.find(':');
  NodeAddress address;
  address.url = url.substr(0, user_begin) + url.substr(at + 1);
  address.user = percent_decoded(user_information.substr(0, colon));
  if (colon != std::string_view::npos) address.pass = percent_decoded(user_information.substr(colon + 1));
  return address;
}
