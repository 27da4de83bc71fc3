#include "node/hex.h"

#include <array>

namespace {

// Nibble value of every character, 0 for those that are not hex digits: one
// load per character instead of three range tests, for templates whose
// transactions carry megabytes of hex.
constexpr std::array<uint8_t, 256> make_nibble_table() {
  std::array<uint8_t, 256> table = {};
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<uint8_t>(c - 'A' + 10);
  return table;
}

constexpr std::array<uint8_t, 256> kNibble = make_nibble_table();

uint8_t nibble(char c) { return kNibble[static_cast<unsigned char>(c)]; }

}  // namespace

int hex_char(char c) { return nibble(c); }

void hex2bin(uint8_t* out, const char* hex, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  }
}

void bin2hex(char* out, const uint8_t* data, int32_t n) {
  static const char kDigits[] = "0123456789abcdef";
  int32_t i = 0;
  for (; i < n; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0f];
  }
  out[2 * i] = '\0';
}

void memrev(uint8_t* buf, int32_t n) {
  for (int32_t i = 0; i < n / 2; ++i) {
    const uint8_t byte = buf[i];
    buf[i] = buf[n - 1 - i];
    buf[n - 1 - i] = byte;
  }
}
