#include "node/url_display.h"

TextSpan url_password_span(std::string_view url) {
  const size_t scheme_end = url.find("://");
  const size_t user_begin = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
  const size_t first_at = url.find('@', user_begin);
  if (first_at == std::string_view::npos) return {};
  // A host holds no '@', '/', '?' or '#', so the user information ends at
  // the last '@' before the host's end.
  const size_t host_end = url.find_first_of("/?#", first_at);
  const size_t at = url.substr(0, host_end).rfind('@');
  const size_t colon = url.substr(0, at).find(':', user_begin);
  if (colon == std::string_view::npos) return {};
  return {colon + 1, at - colon - 1};
}

std::string url_for_display(std::string_view url) {
  std::string shown(url);
  const TextSpan password = url_password_span(url);
  shown.replace(password.begin, password.length, password.length, 'x');
  return shown;
}
