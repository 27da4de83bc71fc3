#include "node/terminal_text.h"

#include <cstdio>

namespace {

bool continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// The length of the well-formed UTF-8 sequence that starts at text[at], with
// its code point, or 0 when the bytes there are not one: no overlong forms,
// no surrogates, nothing past U+10FFFF.
size_t utf8_sequence(std::string_view text, size_t at, char32_t* code_point) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  char32_t value = 0;
  char32_t smallest = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, value = lead & 0x1f, smallest = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, value = lead & 0x0f, smallest = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, value = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if (!continuation(byte(k))) return 0;
    value = value << 6 | (byte(k) & 0x3f);
  }
  if (value < smallest || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
  *code_point = value;
  return length;
}

// Format characters that reorder what a terminal shows after them, and the
// separators some terminals take for a new line.
bool reorders_or_breaks_lines(char32_t c) {
  return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

std::string escaped_byte(unsigned char c) {
  switch (c) {
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      char text[5];
      std::snprintf(text, sizeof text, "\\x%02x", c);
      return text;
  }
}

std::string escaped_code_point(char32_t c) {
  char text[12];
  std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(c));
  return text;
}

}  // namespace

std::string terminal_text(std::string_view text, size_t max_chars) {
  std::string shown;
  size_t chars = 0;  // characters in `shown`
  size_t at = 0;
  while (at < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    std::string piece;
    size_t piece_chars = 1;
    size_t consumed = 1;
    char32_t code_point = 0;
    if (c >= 0x20 && c < 0x7f) {
      piece.assign(1, static_cast<char>(c));
    } else if (c < 0x80) {
      piece = escaped_byte(c);
      piece_chars = piece.size();
    } else if (const size_t length = utf8_sequence(text, at, &code_point); length == 0) {
      piece = escaped_byte(c);
      piece_chars = piece.size();
    } else if (code_point <= 0x9f || reorders_or_breaks_lines(code_point)) {
      piece = escaped_code_point(code_point);
      piece_chars = piece.size();
      consumed = length;
    } else {
      piece.assign(text.substr(at, length));
      consumed = length;
    }
    if (chars + piece_chars > max_chars) {
      shown += "...";
      return shown;
    }
    shown += piece;
    chars += piece_chars;
    at += consumed;
  }
  return shown;
}
