// The terminal gate against hostile text: what each kind of control shows
// as, and, read back with glibc's own UTF-8 decoder (iconv), that nothing a
// terminal acts on is left in what it lets through.
#include "node/terminal_text.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

namespace {

// The code points of well-formed UTF-8, decoded by iconv; empty with
// `valid` false when iconv refuses the bytes.
std::vector<char32_t> decoded(const std::string& utf8, bool* valid) {
  iconv_t to_utf32 = iconv_open("UTF-32LE", "UTF-8");
  std::string in = utf8;
  std::vector<char32_t> out(in.size() + 1);
  char* in_at = in.data();
  size_t in_left = in.size();
  char* out_at = reinterpret_cast<char*>(out.data());
  size_t out_left = out.size() * sizeof(char32_t);
  *valid = iconv(to_utf32, &in_at, &in_left, &out_at, &out_left) != static_cast<size_t>(-1);
  iconv_close(to_utf32);
  out.resize(out.size() - out_left / sizeof(char32_t));
  return *valid ? out : std::vector<char32_t>{};
}

// What a terminal could act on: any C0 control, DEL, C1, or a mark that
// reorders the line.
bool terminal_acts_on(char32_t c) {
  return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
         (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

struct Case {
  const char* what;
  std::string text;
  std::string shown;
};

const Case kCases[] = {
    {"plain", "Block decode failed", "Block decode failed"},
    {"screen clear and window title", "\x1b[2J\x1b]0;PWNED\x07", "\\x1b[2J\\x1b]0;PWNED\\x07"},
    {"bell alone", "ding\a", "ding\\x07"},
    {"lines and tabs", "a\nb\r\tc", "a\\nb\\r\\tc"},
    {"DEL", "x\x7fy", "x\\x7fy"},
    {"C1 CSI as UTF-8", "\xc2\x9b" "31m red", "\\u009b31m red"},
    {"C1 NEL as UTF-8", "one\xc2\x85two", "one\\u0085two"},
    {"raw CSI byte", "\x9b" "2J", "\\x9b2J"},
    {"right-to-left override", "abc\xe2\x80\xae" "fed", "abc\\u202efed"},
    {"isolates and marks", "\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\x8f\xd8\x9c", "\\u2066x\\u2069\\u200f\\u061c"},
    {"line separator", "a\xe2\x80\xa8" "b", "a\\u2028b"},
    {"letters of other scripts pass", "caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80"},
    {"Latin-1 letter ending in 0x9b", "\xc3\x9b", "\xc3\x9b"},
    {"invalid UTF-8", "caf\xc3\x28 \xff\xfe", "caf\\xc3( \\xff\\xfe"},
    {"overlong slash and NUL", std::string("\xc0\xaf\xe0\x80\x80", 5), "\\xc0\\xaf\\xe0\\x80\\x80"},
    {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
    {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
    {"cut sequence at the end", "ok\xe2\x80", "ok\\xe2\\x80"},
    {"NUL inside", std::string("a\0b", 3), "a\\x00b"},
};

TEST(TerminalText, ShowsEveryControlEscaped) {
  for (const Case& c : kCases) EXPECT_EQ(terminal_text(c.text), c.shown) << c.what;
}

TEST(TerminalText, LeavesNothingATerminalActsOn) {
  std::string everything;
  for (const Case& c : kCases) {
    bool valid = false;
    const std::string shown = terminal_text(c.text);
    for (const char32_t code_point : decoded(shown, &valid)) {
      EXPECT_FALSE(terminal_acts_on(code_point)) << c.what << ": U+" << std::hex << static_cast<uint32_t>(code_point);
    }
    EXPECT_TRUE(valid) << c.what;
    everything += c.text;
  }
  // Every byte value, alone and after each lead byte.
  for (int lead = 0; lead < 256; ++lead) {
    for (int next = 0; next < 256; ++next) {
      const char pair[2] = {static_cast<char>(lead), static_cast<char>(next)};
      bool valid = false;
      for (const char32_t code_point : decoded(terminal_text(std::string(pair, 2)), &valid)) {
        ASSERT_FALSE(terminal_acts_on(code_point)) << lead << " " << next << " " << static_cast<uint32_t>(code_point);
      }
      ASSERT_TRUE(valid) << lead << " " << next;
    }
  }
}

TEST(TerminalText, CutsLongTextToOneReadableLine) {
  EXPECT_EQ(terminal_text(std::string(5000, 'x')), std::string(kMaxShownTextChars, 'x') + "...");
  EXPECT_EQ(terminal_text(std::string(kMaxShownTextChars, 'x')), std::string(kMaxShownTextChars, 'x'));
  // Escapes count with every character they show, and are never cut apart.
  const std::string escapes = terminal_text(std::string(1000, '\x1b'));
  EXPECT_EQ(escapes.size(), 200u + 3);
  EXPECT_EQ(escapes.substr(escapes.size() - 7), "\\x1b...");
  // A character of several bytes is kept whole or not at all.
  EXPECT_EQ(terminal_text("ab\xc3\xa9z", 3), "ab\xc3\xa9...");
  EXPECT_EQ(terminal_text("\xe2\x80\xae", 5), "...");
}

}  // namespace
