// hash_le_target: 256-bit "at most" on 8 little-endian-ordered words.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "mine/cpu_search.h"

namespace {

using Words = std::array<uint32_t, 8>;

bool le(const Words& hash, const Words& target) {
  return hash_le_target(hash.data(), target.data());
}

// Independent model: compare the values as big-endian byte strings.
bool le_bytewise(const Words& a, const Words& b) {
  uint8_t ab[32], bb[32];
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) {
      ab[31 - (4 * i + j)] = static_cast<uint8_t>(a[i] >> (8 * j));
      bb[31 - (4 * i + j)] = static_cast<uint8_t>(b[i] >> (8 * j));
    }
  return std::memcmp(ab, bb, 32) <= 0;
}

Words plus_one(Words v) {
  for (uint32_t& w : v)
    if (++w != 0) break;
  return v;
}

TEST(HashLeTarget, NamedCases) {
  const Words target = {5, 6, 7, 8, 9, 10, 11, 0x00000FFF};
  EXPECT_TRUE(le(target, target)) << "equality meets the target";

  Words smaller_top = {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, 0x00000FFE};
  EXPECT_TRUE(le(smaller_top, target)) << "word 7 decides over all lower words";

  Words larger_word6 = target;
  larger_word6[6] += 1;
  larger_word6[0] = 0;
  EXPECT_FALSE(le(larger_word6, target)) << "equal word 7, larger word 6";

  const Words zero{};
  for (const Words& t : {zero, target, Words{1}, Words{0, 0, 0, 0, 0, 0, 0, 1}})
    EXPECT_TRUE(le(zero, t)) << "an all-zero hash meets every target";
  for (int i = 0; i < 8; ++i) {
    Words one_bit{};
    one_bit[i] = 1;
    EXPECT_FALSE(le(one_bit, zero)) << "an all-zero target rejects word " << i << " = 1";
  }
}

// Carries across word boundaries: target + 1 must fail and target must pass,
// whichever words the carry runs through.
TEST(HashLeTarget, OneAboveTheTargetAcrossWordBoundaries) {
  for (int low_ones = 0; low_ones < 8; ++low_ones) {
    Words target{};
    for (int i = 0; i < low_ones; ++i) target[i] = 0xFFFFFFFF;
    target[low_ones] = 0x7FFFFFFF;
    const Words above = plus_one(target);
    EXPECT_FALSE(le(above, target)) << low_ones << " all-ones low words";
    EXPECT_TRUE(le(target, above)) << low_ones << " all-ones low words";
    EXPECT_TRUE(le(target, target));
  }
}

// Words drawn from a few boundary values so that long equal prefixes, ties and
// single-word differences are common.
TEST(HashLeTarget, AgreesWithBytewiseComparison) {
  const uint32_t edges[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
  std::mt19937 rng(7);
  for (int trial = 0; trial < 20000; ++trial) {
    Words a, b;
    for (int i = 0; i < 8; ++i) {
      a[i] = edges[rng() % 6];
      b[i] = (rng() % 4 == 0) ? edges[rng() % 6] : a[i];
    }
    ASSERT_EQ(le(a, b), le_bytewise(a, b)) << "trial " << trial;
    ASSERT_EQ(le(b, a), le_bytewise(b, a)) << "trial " << trial;
  }
}

}  // namespace
