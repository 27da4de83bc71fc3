#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Where the API listens, as --api-bind gives it: "PORT", "ADDR:PORT" or
// "[IPV6]:PORT". Only numeric addresses (and "localhost"), so that what the
// operator sees in the command line is exactly what is bound: no name is
// looked up, and no name can resolve to more than was meant.
struct ApiBind {
  std::string address = "127.0.0.1";  // numeric, without brackets
  uint16_t port = 0;
  bool ipv6 = false;
  bool loopback = true;  // 127.0.0.0/8 or ::1 (also as ::ffff:127.x.y.z)
};

// False, with `why` set to a few words, when `text` is no [ADDR:]PORT.
bool parse_api_bind(std::string_view text, ApiBind* bind, std::string* why);

// The one line (newline included) that refuses a start with these settings,
// or "" when they are fine: a bind that does not parse, an empty token, or
// an address other than loopback without a token. Checked before anything
// else happens, so that a refused start never reaches the node.
std::string api_settings_error(const std::optional<std::string>& bind,
                               const std::optional<std::string>& token);
