// The hex routines: decoding then encoding any text gives its lower-case
// form where it was hex, and "0" digits where it was not.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "node/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int32_t n = static_cast<int32_t>(size / 2);

  std::vector<uint8_t> bytes(static_cast<size_t>(n) + 1, 0xAA);
  hex2bin(bytes.data(), text.c_str(), n);
  if (bytes[static_cast<size_t>(n)] != 0xAA) __builtin_trap();  // wrote past n bytes

  std::string encoded(2 * static_cast<size_t>(n) + 1, '?');
  bin2hex(encoded.data(), bytes.data(), n);
  if (encoded[2 * static_cast<size_t>(n)] != '\0') __builtin_trap();

  for (size_t i = 0; i < 2 * static_cast<size_t>(n); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char expected = std::isxdigit(c) ? static_cast<char>(std::tolower(c)) : '0';
    if (encoded[i] != expected) __builtin_trap();
  }

  std::vector<uint8_t> reversed = bytes;
  memrev(reversed.data(), n);
  memrev(reversed.data(), n);
  if (reversed != bytes) __builtin_trap();
  return 0;
}
