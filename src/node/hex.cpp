#include "node/hex.h"

int hex_char(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

void hex2bin(uint8_t* out, const char* hex, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(16 * hex_char(hex[2 * i]) + hex_char(hex[2 * i + 1]));
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
