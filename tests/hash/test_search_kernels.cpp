// Correctness of the midstate and of every search kernel, against the
// reference sha3_512_cpu, OpenSSL's SHA3-512 and the FIPS 202 known answers.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cctype>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hash/header_midstate.h"
#include "hash/search_kernels.h"
#include "hash/sha3.h"

namespace {

using Header = std::array<uint8_t, 80>;
using DigestLanes = std::array<uint64_t, 4>;  // digest bytes 0..31 as little-endian words

Header random_header(std::mt19937_64& rng) {
  Header header;
  for (uint8_t& byte : header) byte = static_cast<uint8_t>(rng());
  return header;
}

void put_nonce(Header& header, uint32_t nonce) {
  for (int j = 0; j < 4; ++j) header[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
}

uint64_t load_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int j = 7; j >= 0; --j) v = (v << 8) | p[j];
  return v;
}

DigestLanes first_lanes(const uint8_t digest[64]) {
  return {load_le64(digest), load_le64(digest + 8), load_le64(digest + 16), load_le64(digest + 24)};
}

DigestLanes reference_lanes(Header header, uint32_t nonce) {
  put_nonce(header, nonce);
  uint8_t digest[64];
  sha3_512_cpu(header.data(), header.size(), digest);
  return first_lanes(digest);
}

DigestLanes openssl_lanes(Header header, uint32_t nonce) {
  put_nonce(header, nonce);
  uint8_t digest[64];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(header.data(), header.size(), digest, &length, EVP_sha3_512(), nullptr), 1);
  EXPECT_EQ(length, 64u);
  return first_lanes(digest);
}

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The one 80-byte message (Len = 640 bits) of the FIPS 202 short-message file.
bool load_80_byte_known_answer(Header* message, std::vector<uint8_t>* digest) {
  std::ifstream file(std::string(TAMRIX_TEST_DATA_DIR) + "/ShortMsgKAT_SHA3-512.txt");
  std::string line;
  bool in_entry = false;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "Len = 640") in_entry = true;
    if (!in_entry) continue;
    if (line.rfind("Msg = ", 0) == 0) {
      const std::vector<uint8_t> bytes = from_hex(line.substr(6));
      if (bytes.size() != message->size()) return false;
      std::memcpy(message->data(), bytes.data(), bytes.size());
    }
    if (line.rfind("MD = ", 0) == 0) {
      *digest = from_hex(line.substr(5));
      return digest->size() == 64;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Midstate

TEST(HeaderMidstate, DependsOnHeaderBytesZeroTo75Only) {
  std::mt19937_64 rng(12);
  Header header = random_header(rng);
  HeaderMidstate with_nonce_a, with_nonce_b;
  put_nonce(header, 0x01020304);
  header_midstate_init(&with_nonce_a, header.data());
  put_nonce(header, 0xFFFFFFFF);
  header_midstate_init(&with_nonce_b, header.data());

  EXPECT_EQ(0, std::memcmp(with_nonce_a.round1_base, with_nonce_b.round1_base,
                           sizeof with_nonce_a.round1_base));

  // ...but every other byte reaches the precomputed first round, the four
  // before the nonce (the final block's low half of lane 0) included.
  for (int byte : {0, 35, 71, 72, 73, 75}) {
    Header changed = header;
    changed[byte] ^= 0x10;
    HeaderMidstate other;
    header_midstate_init(&other, changed.data());
    EXPECT_NE(0, std::memcmp(with_nonce_a.round1_base, other.round1_base, sizeof other.round1_base))
        << "byte " << byte;
  }
}

// ---------------------------------------------------------------------------
// Kernels, each one run on its own; the ones this CPU lacks are skipped.

std::vector<const char*> all_kernel_names() {
  std::vector<const char*> names;
  for (const SearchKernel* kernel : search_kernels_all()) names.push_back(kernel->name);
  return names;
}

class SearchKernelTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    kernel_ = search_kernel_find(GetParam());
    if (kernel_ == nullptr) GTEST_SKIP() << GetParam() << " is not supported by this CPU";
    ASSERT_GE(kernel_->width, 1);
    ASSERT_LE(kernel_->width, kMaxSearchKernelWidth);
  }

  std::vector<DigestLanes> run(const HeaderMidstate& midstate, uint32_t first_nonce,
                               uint32_t stride) const {
    uint64_t lanes[kMaxSearchKernelWidth][4];
    kernel_->hash(midstate, first_nonce, stride, lanes);
    std::vector<DigestLanes> result(kernel_->width);
    for (int i = 0; i < kernel_->width; ++i)
      for (int k = 0; k < 4; ++k) result[i][k] = lanes[i][k];
    return result;
  }

  const SearchKernel* kernel_ = nullptr;
};

// Several hundred headers; each is searched for 16 nonces in consecutive
// calls, half of them from a start just below 2^32 so that the run (and for a
// wide kernel, a single call) wraps to nonce 0.
TEST_P(SearchKernelTest, MatchesReferenceOnRandomHeadersAndWrappingRanges) {
  constexpr uint32_t kStrides[] = {1, 2, 3, 7, 8};
  constexpr int kNoncesPerHeader = 16;
  std::mt19937_64 rng(21);
  for (int trial = 0; trial < 400; ++trial) {
    const Header header = random_header(rng);
    const uint32_t stride = kStrides[trial % std::size(kStrides)];
    const uint32_t span = stride * kNoncesPerHeader;
    const uint32_t start = (trial % 2 == 0) ? 0u - (1 + static_cast<uint32_t>(rng() % (span - 1)))
                                            : static_cast<uint32_t>(rng());
    HeaderMidstate midstate;
    header_midstate_init(&midstate, header.data());

    uint32_t nonce = start;
    for (int call = 0; call < kNoncesPerHeader / kernel_->width; ++call) {
      const std::vector<DigestLanes> lanes = run(midstate, nonce, stride);
      for (int i = 0; i < kernel_->width; ++i, nonce += stride)
        ASSERT_EQ(lanes[i], reference_lanes(header, nonce))
            << "trial " << trial << " stride " << stride << " nonce " << nonce << " slot " << i;
    }
  }
}

TEST_P(SearchKernelTest, MatchesOpenSsl) {
  std::mt19937_64 rng(22);
  for (int trial = 0; trial < 64; ++trial) {
    const Header header = random_header(rng);
    const uint32_t first_nonce = static_cast<uint32_t>(rng());
    HeaderMidstate midstate;
    header_midstate_init(&midstate, header.data());
    const std::vector<DigestLanes> lanes = run(midstate, first_nonce, 1);
    for (int i = 0; i < kernel_->width; ++i)
      ASSERT_EQ(lanes[i], openssl_lanes(header, first_nonce + i)) << "trial " << trial;
  }
}

// The FIPS 202 80-byte message, its last four bytes taken as the nonce, placed
// in every slot of the kernel in turn.
TEST_P(SearchKernelTest, MatchesFips202KnownAnswerInEverySlot) {
  Header message;
  std::vector<uint8_t> digest;
  ASSERT_TRUE(load_80_byte_known_answer(&message, &digest));
  const uint32_t nonce = uint32_t{message[76]} | uint32_t{message[77]} << 8 |
                         uint32_t{message[78]} << 16 | uint32_t{message[79]} << 24;
  HeaderMidstate midstate;
  header_midstate_init(&midstate, message.data());

  constexpr uint32_t kStride = 5;
  for (int slot = 0; slot < kernel_->width; ++slot) {
    const std::vector<DigestLanes> lanes = run(midstate, nonce - slot * kStride, kStride);
    EXPECT_EQ(lanes[slot], first_lanes(digest.data())) << "slot " << slot;
  }
}

// The benchmark's header: 80 zero bytes with nonce 0. Expected digest bytes
// 0..31 from Python's hashlib.sha3_512(bytes(80)).
TEST_P(SearchKernelTest, MatchesKnownDigestOfAllZeroHeader) {
  const std::vector<uint8_t> expected =
      from_hex("c449874bf12798a85265e027fdae6d670e65a2e74cdd625718a00d52dae3813f");
  const Header zero = {};
  HeaderMidstate midstate;
  header_midstate_init(&midstate, zero.data());
  EXPECT_EQ(run(midstate, 0, 1)[0], first_lanes(expected.data()));
}

// Strides at the edges of the 32-bit range: 0 repeats one nonce, 0xFFFFFFFF
// counts down, 0x80000000 alternates between two nonces.
TEST_P(SearchKernelTest, HandlesExtremeStrides) {
  std::mt19937_64 rng(23);
  const Header header = random_header(rng);
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header.data());
  for (const uint32_t stride : {0u, 0xFFFFFFFFu, 0x80000000u}) {
    const uint32_t first_nonce = 2;
    const std::vector<DigestLanes> lanes = run(midstate, first_nonce, stride);
    for (int i = 0; i < kernel_->width; ++i)
      EXPECT_EQ(lanes[i], reference_lanes(header, first_nonce + i * stride))
          << "stride " << stride << " slot " << i;
  }
}

TEST_P(SearchKernelTest, WritesExactlyWidthEntries) {
  std::mt19937_64 rng(24);
  const Header header = random_header(rng);
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header.data());
  constexpr uint64_t kSentinel = 0xA5A5A5A5A5A5A5A5ULL;
  uint64_t lanes[kMaxSearchKernelWidth + 1][4];
  for (auto& entry : lanes)
    for (uint64_t& word : entry) word = kSentinel;
  kernel_->hash(midstate, 100, 1, lanes);
  for (int i = kernel_->width; i <= kMaxSearchKernelWidth; ++i)
    for (int k = 0; k < 4; ++k) EXPECT_EQ(lanes[i][k], kSentinel) << "entry " << i;
}

std::string test_name(const ::testing::TestParamInfo<const char*>& info) {
  std::string name;
  for (const char* c = info.param; *c != '\0'; ++c)
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(AllKernels, SearchKernelTest, ::testing::ValuesIn(all_kernel_names()),
                         test_name);

}  // namespace
