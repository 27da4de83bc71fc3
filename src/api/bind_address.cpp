#include "api/bind_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

#include "node/node_messages.h"

namespace {

bool parse_port(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ipv4_is_loopback(const in_addr& address) {
  return (ntohl(address.s_addr) >> 24) == 127;
}

bool ipv6_is_loopback(const in6_addr& address) {
  if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
  if (!IN6_IS_ADDR_V4MAPPED(&address)) return false;
  return address.s6_addr[12] == 127;
}

}  // namespace

bool parse_api_bind(std::string_view text, ApiBind* bind, std::string* why) {
  ApiBind parsed;
  std::string_view host;
  std::string_view port = text;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *why = "an IPv6 address is written [ADDR]:PORT";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    parsed.ipv6 = true;
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      *why = "an IPv6 address is written [ADDR]:PORT";
      return false;
    }
  }
  if (!parse_port(port, &parsed.port)) {
    *why = "the port must be a number from 1 to 65535";
    return false;
  }
  if (host == "localhost") host = "127.0.0.1";
  if (!host.empty() || parsed.ipv6) {
    const std::string address(host);
    if (parsed.ipv6) {
      in6_addr numeric{};
      if (inet_pton(AF_INET6, address.c_str(), &numeric) != 1) {
        *why = "not a numeric IPv6 address";
        return false;
      }
      parsed.loopback = ipv6_is_loopback(numeric);
    } else {
      in_addr numeric{};
      if (inet_pton(AF_INET, address.c_str(), &numeric) != 1) {
        *why = "not a numeric IPv4 address (or [IPv6], or localhost)";
        return false;
      }
      parsed.loopback = ipv4_is_loopback(numeric);
    }
    parsed.address = address;
  }
  *bind = parsed;
  return true;
}

std::string api_settings_error(const std::optional<std::string>& bind,
                               const std::optional<std::string>& token) {
  if (!bind) return "";
  ApiBind parsed;
  std::string why;
  const std::string shown = printable_text(*bind);
  if (!parse_api_bind(*bind, &parsed, &why))
    return "tamrix-miner: --api-bind " + shown + ": " + why + "\n";
  if (token && token->empty()) return "tamrix-miner: --api-token is empty\n";
  if (!parsed.loopback && !token)
    return "tamrix-miner: --api-bind " + shown +
           " listens beyond this machine; give --api-token TOKEN too\n";
  return "";
}
