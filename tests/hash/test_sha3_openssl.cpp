// SHA3 differential tests with OpenSSL's implementation as the oracle.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "hash/sha3.h"

namespace {

std::vector<uint8_t> openssl_digest(const EVP_MD* md, const uint8_t* in, size_t len) {
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int out_len = 0;
  if (EVP_Digest(in, len, out.data(), &out_len, md, nullptr) != 1) out_len = 0;
  out.resize(out_len);
  return out;
}

std::vector<uint8_t> our_digest(void (*hash)(const uint8_t*, uint64_t, uint8_t*), size_t len,
                                const uint8_t* in, size_t in_len) {
  std::vector<uint8_t> out(len);
  hash(in, in_len, out.data());
  return out;
}

// Every length up to several blocks of either rate, so each padding position
// and every block-boundary case (rate - 1, rate, rate + 1, ...) is hit.
TEST(Sha3OpenSsl, EveryLengthUpTo1100Bytes) {
  std::mt19937 rng(20240601);
  std::vector<uint8_t> message(1100);
  for (size_t len = 0; len <= message.size(); ++len) {
    for (uint8_t& b : message) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(our_digest(sha3_256_cpu, 32, message.data(), len),
              openssl_digest(EVP_sha3_256(), message.data(), len))
        << "SHA3-256, length " << len;
    EXPECT_EQ(our_digest(sha3_512_cpu, 64, message.data(), len),
              openssl_digest(EVP_sha3_512(), message.data(), len))
        << "SHA3-512, length " << len;
  }
}

// Runs the same chain through both implementations: each step hashes the
// previous digest plus the head of the previous input, so one final
// comparison covers every intermediate digest.
template <size_t kInputLen, size_t kDigestLen>
void expect_same_chain(void (*hash)(const uint8_t*, uint64_t, uint8_t*), const EVP_MD* md,
                       int steps) {
  static_assert(kDigestLen <= kInputLen);
  uint8_t ours[kInputLen] = {};
  uint8_t theirs[kInputLen] = {};
  for (int step = 0; step < steps; ++step) {
    uint8_t next[kInputLen];
    hash(ours, kInputLen, next);
    std::memcpy(next + kDigestLen, ours, kInputLen - kDigestLen);
    std::memcpy(ours, next, kInputLen);

    unsigned int len = 0;
    uint8_t digest[EVP_MAX_MD_SIZE];
    ASSERT_EQ(EVP_Digest(theirs, kInputLen, digest, &len, md, nullptr), 1);
    ASSERT_EQ(len, kDigestLen);
    std::memcpy(next, digest, kDigestLen);
    std::memcpy(next + kDigestLen, theirs, kInputLen - kDigestLen);
    std::memcpy(theirs, next, kInputLen);
  }
  EXPECT_EQ(std::vector<uint8_t>(ours, ours + kInputLen),
            std::vector<uint8_t>(theirs, theirs + kInputLen));
}

TEST(Sha3OpenSsl, HundredThousandChainedHeaderDigests) {
  // 80-byte inputs: the shape of every hash the miner computes.
  expect_same_chain<80, 64>(sha3_512_cpu, EVP_sha3_512(), 100000);
}

TEST(Sha3OpenSsl, ChainedTwoBlockSha3_256Digests) {
  // 140 bytes: one full 136-byte block plus a short final block.
  expect_same_chain<140, 32>(sha3_256_cpu, EVP_sha3_256(), 20000);
}

}  // namespace
