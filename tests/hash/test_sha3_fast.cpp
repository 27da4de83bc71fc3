// The node's SHA3-256 against three answers it shares no code with: the
// Keccak team's known answers, OpenSSL, and the plain reference.

#include "hash/sha3_fast.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "hash/sha3.h"
#include "node/test_support.h"

namespace {

Bytes fast_digest(const Bytes& message) {
  Bytes digest(32);
  sha3_256_fast(message.data(), message.size(), digest.data());
  return digest;
}

Bytes reference_digest(const Bytes& message) {
  Bytes digest(32);
  sha3_256_cpu(message.data(), message.size(), digest.data());
  return digest;
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

}  // namespace

// Every whole-byte entry of the file, 0 to 255 bytes: each padding position
// of the one-block case and the step to two blocks at 136.
TEST(Sha3Fast, KnownAnswersFromTheKeccakTeam) {
  std::ifstream in(std::string(TAMRIX_TEST_DATA_DIR) + "/ShortMsgKAT_SHA3-256.txt");
  ASSERT_TRUE(in) << "ShortMsgKAT_SHA3-256.txt not found";
  int len_bits = -1;
  std::string msg_hex;
  int checked = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Len = ", 0) == 0) len_bits = std::stoi(line.substr(6));
    if (line.rfind("Msg = ", 0) == 0) msg_hex = line.substr(6);
    if (line.rfind("MD = ", 0) != 0 || len_bits < 0 || len_bits % 8 != 0) continue;
    const Bytes message = len_bits == 0 ? Bytes{} : from_hex(msg_hex);  // "00" stands for empty
    ASSERT_EQ(message.size() * 8, static_cast<size_t>(len_bits));
    EXPECT_EQ(fast_digest(message), from_hex(line.substr(5))) << "Len = " << len_bits;
    ++checked;
  }
  EXPECT_EQ(checked, 256);
}

TEST(Sha3Fast, RandomLengthsUpTo300BytesAgreeWithOpenSslAndTheReference) {
  std::mt19937 rng(90210);
  for (size_t len = 0; len <= 300; ++len) {
    for (int sample = 0; sample < 3; ++sample) {
      const Bytes message = random_bytes(rng, len);
      const Bytes ours = fast_digest(message);
      EXPECT_EQ(ours, openssl_sha3_256(message)) << "length " << len;
      EXPECT_EQ(ours, reference_digest(message)) << "length " << len;
    }
  }
}

// The merkle tree's case: two 32-byte children, many of them.
TEST(Sha3Fast, PairsOfChildrenAgreeWithOpenSslAndTheReference) {
  std::mt19937 rng(4242);
  for (int sample = 0; sample < 2000; ++sample) {
    const Bytes pair = random_bytes(rng, 64);
    const Bytes ours = fast_digest(pair);
    ASSERT_EQ(ours, openssl_sha3_256(pair)) << "sample " << sample;
    ASSERT_EQ(ours, reference_digest(pair)) << "sample " << sample;
  }
}

TEST(Sha3Fast, DigestMayOverwriteItsInput) {
  std::mt19937 rng(5);
  Bytes buffer = random_bytes(rng, 64);
  const Bytes expected = openssl_sha3_256(buffer);
  sha3_256_fast(buffer.data(), buffer.size(), buffer.data());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 32), expected);
}

TEST(Sha3Fast, PermutationMatchesTheReferenceOnRandomStates) {
  std::mt19937_64 rng(77);
  for (int sample = 0; sample < 200; ++sample) {
    uint64_t ours[25], reference[25];
    for (uint64_t& lane : ours) lane = rng();
    std::memcpy(reference, ours, sizeof ours);
    keccak_f1600_fast(ours);
    keccak_f1600_cpu(reference);
    ASSERT_EQ(0, std::memcmp(ours, reference, sizeof ours)) << "sample " << sample;
  }
}
