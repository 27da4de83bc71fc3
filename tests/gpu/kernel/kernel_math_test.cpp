// The search kernel's arithmetic (gpu/kernel/search_kernel.cl) compiled for
// the host, in both lane forms: the permutation, the midstate shortcut and
// the full digest against the Keccak team's vectors, FIPS 202's and the
// reference SHA3. These run on every machine, GPU or not; POCL runs the same
// source as a device in the OpenCL build.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "hash/byte_order.h"
#include "hash/header_midstate.h"
#include "hash/sha3.h"
#include "kernel_path.h"

namespace {

std::string data_path(const char* name) { return std::string(TAMRIX_TEST_DATA_DIR) + "/" + name; }

std::vector<uint8_t> bytes_from_hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

void bytes_to_lanes(const std::vector<uint8_t>& bytes, uint64_t lanes[25]) {
  for (int k = 0; k < 25; ++k) lanes[k] = load_le64(bytes.data() + 8 * k);
}

// The "State after permutation:" byte lines of the Keccak-f intermediate
// values file: the permutation of the zero state, then of that output.
std::vector<std::vector<uint8_t>> permutation_known_answers() {
  std::ifstream in(data_path("KeccakF-1600-IntermediateValues.txt"));
  std::vector<std::vector<uint8_t>> states;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("State after permutation:", 0) == 0 && std::getline(in, line))
      states.push_back(bytes_from_hex(line));
  }
  return states;
}

void store_lanes(const uint64_t* lanes, int count, uint8_t* out) {
  for (int k = 0; k < count; ++k)
    for (int j = 0; j < 8; ++j) out[8 * k + j] = static_cast<uint8_t>(lanes[k] >> (8 * j));
}

void put_nonce(uint8_t header[80], uint32_t nonce) {
  for (int j = 0; j < 4; ++j) header[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
}

std::vector<uint8_t> random_header(std::mt19937_64& rng) {
  std::vector<uint8_t> header(80);
  for (auto& b : header) b = static_cast<uint8_t>(rng());
  return header;
}

class GpuKernel : public testing::TestWithParam<KernelPath> {
 protected:
  const KernelPath& kernel() const { return GetParam(); }
};

TEST_P(GpuKernel, RotationsMatchTheReferenceForEveryOffset) {
  std::mt19937_64 rng(1);
  const uint64_t values[] = {0x0123456789abcdefULL, 0x8000000000000001ULL, rng(), rng()};
  for (uint64_t value : values)
    for (int n = 0; n < 64; ++n)
      EXPECT_EQ(kernel().rotl(value, n), n == 0 ? value : keccak_rotl64(value, n)) << "offset " << n;
}

TEST_P(GpuKernel, PermutationMatchesTheKeccakTeamsVectors) {
  const auto states = permutation_known_answers();
  ASSERT_EQ(states.size(), 2u) << "test data missing";
  uint64_t state[25] = {};
  for (const auto& expected : states) {
    ASSERT_EQ(expected.size(), 200u);
    kernel().permute(state);
    uint64_t expected_lanes[25];
    bytes_to_lanes(expected, expected_lanes);
    for (int k = 0; k < 25; ++k) EXPECT_EQ(state[k], expected_lanes[k]) << "lane " << k;
  }
}

// Each state feeds the next, so a slip in any round or lane shows up in
// every later comparison as well.
TEST_P(GpuKernel, PermutationAgreesWithTheReferenceOverAChainOfStates) {
  std::mt19937_64 rng(2);
  uint64_t gpu[25];
  uint64_t cpu[25];
  for (int k = 0; k < 25; ++k) gpu[k] = cpu[k] = rng();
  for (int i = 0; i < 2000; ++i) {
    kernel().permute(gpu);
    keccak_f1600_cpu(cpu);
    ASSERT_EQ(std::memcmp(gpu, cpu, sizeof gpu), 0) << "after permutation " << i;
  }
}

TEST_P(GpuKernel, EightyByteKnownAnswerFromFips202Vectors) {
  std::ifstream in(data_path("ShortMsgKAT_SHA3-512.txt"));
  std::string line;
  std::vector<uint8_t> message;
  std::vector<uint8_t> expected;
  while (std::getline(in, line)) {
    if (line.rfind("Len = 640", 0) == 0 && line.size() <= 10) {
      std::getline(in, line);
      message = bytes_from_hex(line.substr(6));
      std::getline(in, line);
      expected = bytes_from_hex(line.substr(5));
      break;
    }
  }
  ASSERT_EQ(message.size(), 80u) << "test data missing";
  ASSERT_EQ(expected.size(), 64u);

  uint64_t digest[8];
  kernel().sha3_512_80(message.data(), digest);
  uint8_t bytes[64];
  store_lanes(digest, 8, bytes);
  EXPECT_EQ(std::memcmp(bytes, expected.data(), 64), 0);

  // The search path on the same message: its nonce is bytes 76..79.
  uint32_t nonce = 0;
  for (int j = 3; j >= 0; --j) nonce = nonce << 8 | message[76 + j];
  uint64_t head[4];
  HeaderMidstate midstate;
  header_midstate_init(&midstate, message.data());
  kernel().pow_digest_head(midstate.round1_base, nonce, head);
  store_lanes(head, 4, bytes);
  EXPECT_EQ(std::memcmp(bytes, expected.data(), 32), 0);
}

TEST_P(GpuKernel, FullDigestMatchesTheReferenceOnRandomHeaders) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200; ++i) {
    const auto header = random_header(rng);
    uint64_t digest[8];
    kernel().sha3_512_80(header.data(), digest);
    uint8_t gpu[64];
    uint8_t cpu[64];
    store_lanes(digest, 8, gpu);
    sha3_512_cpu(header.data(), 80, cpu);
    ASSERT_EQ(std::memcmp(gpu, cpu, 64), 0) << "header " << i;
  }
}

// The nonces cover each byte of the nonce lane half at its extremes and the
// wrap at 2^32.
TEST_P(GpuKernel, DigestHeadMatchesTheReferenceForEveryNonceShape) {
  std::mt19937_64 rng(4);
  const uint32_t nonces[] = {0u,          1u,          0x80u,       0xffu,      0x100u,
                             0x8000u,     0x10000u,    0x800000u,   0x1000000u, 0x7fffffffu,
                             0x80000000u, 0xfffffffeu, 0xffffffffu, 0xdeadbeefu};
  for (int i = 0; i < 40; ++i) {
    auto header = random_header(rng);
    HeaderMidstate midstate;
    header_midstate_init(&midstate, header.data());
    for (uint32_t nonce : nonces) {
      put_nonce(header.data(), nonce);
      uint8_t expected[64];
      sha3_512_cpu(header.data(), 80, expected);
      uint64_t head[4];
      kernel().pow_digest_head(midstate.round1_base, nonce, head);
      uint8_t bytes[32];
      store_lanes(head, 4, bytes);
      ASSERT_EQ(std::memcmp(bytes, expected, 32), 0) << "header " << i << " nonce " << nonce;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(LaneForms, GpuKernel,
                         testing::Values(lanes64_kernel_path(), halves_kernel_path()),
                         [](const testing::TestParamInfo<KernelPath>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
