#include "node/url_display.h"

TextSpan url_password_span(std::string_view url) {
  const size_t scheme_end = url.find("://");
  const size_t authority_begin = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
  const size_t authority_end = url.find_first_of("/?#", authority_begin);
  const std::string_view authority = url.substr(
      authority_begin,
      authority_end == std::string_view::npos ? std::string_view::npos : authority_end - authority_begin);
  // Up to the last '@': a host never holds one, so whatever comes before it
  // may be secret, even a password with an '@' left unencoded.
  const size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return {};
  const size_t colon = authority.substr(0, at).find(':');
  if (colon == std::string_view::npos) return {};
  return {authority_begin + colon + 1, at - colon - 1};
}

std::string url_for_display(std::string_view url) {
  std::string shown(url);
  const TextSpan password = url_password_span(url);
  shown.replace(password.begin, password.length, password.length, 'x');
  return shown;
}
