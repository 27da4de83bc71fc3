#include "api/utf8_text.h"

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `at`, or 0 (the ranges of the
// Unicode standard's table of well-formed byte sequences: no overlong form,
// no surrogate, nothing above U+10FFFF).
size_t sequence_length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const size_t length = sequence_length(text, at);
    if (length == 0) {
      valid += kReplacement;
      ++at;
    } else {
      valid.append(text, at, length);
      at += length;
    }
  }
  return valid;
}
