#include "node/hex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

TEST(HexChar, AgreesWithStrtolOnEveryCharacter) {
  for (int c = 0; c < 256; ++c) {
    const char text[2] = {static_cast<char>(c), '\0'};
    char* end = nullptr;
    const long value = std::strtol(text, &end, 16);
    // strtol accepts only a digit here; anything else must read as 0.
    const int expected = (c != 0 && end == text + 1) ? static_cast<int>(value) : 0;
    EXPECT_EQ(hex_char(static_cast<char>(c)), expected) << "character " << c;
  }
}

TEST(Hex2Bin, DecodesEitherCaseAndReadsJunkAsZero) {
  uint8_t out[5] = {0xee, 0xee, 0xee, 0xee, 0xee};
  hex2bin(out, "00fFA5zz9g", 5);
  const uint8_t expected[5] = {0x00, 0xff, 0xa5, 0x00, 0x90};
  EXPECT_EQ(0, std::memcmp(out, expected, 5));

  uint8_t untouched[1] = {0xee};
  hex2bin(untouched, "ff", 0);
  hex2bin(untouched, "ff", -3);
  EXPECT_EQ(untouched[0], 0xee);
}

TEST(Bin2Hex, WritesLowerCaseMostSignificantNibbleFirst) {
  uint8_t data[256];
  for (int i = 0; i < 256; ++i) data[i] = static_cast<uint8_t>(i);
  char out[513];
  std::memset(out, 'x', sizeof out);
  bin2hex(out, data, 256);
  for (int i = 0; i < 256; ++i) {
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02x", i);
    ASSERT_EQ(std::string(out + 2 * i, 2), expected);
  }
  EXPECT_EQ(out[512], '\0');

  char empty[1] = {'x'};
  bin2hex(empty, data, 0);
  EXPECT_EQ(empty[0], '\0');
}

TEST(Memrev, ReversesOddEvenAndTrivialLengths) {
  uint8_t odd[5] = {1, 2, 3, 4, 5};
  memrev(odd, 5);
  const uint8_t odd_expected[5] = {5, 4, 3, 2, 1};
  EXPECT_EQ(0, std::memcmp(odd, odd_expected, 5));

  uint8_t even[6] = {1, 2, 3, 4, 5, 6};
  memrev(even, 4);  // only the first four
  const uint8_t even_expected[6] = {4, 3, 2, 1, 5, 6};
  EXPECT_EQ(0, std::memcmp(even, even_expected, 6));

  uint8_t one[1] = {7};
  memrev(one, 1);
  memrev(one, 0);
  EXPECT_EQ(one[0], 7);
}
