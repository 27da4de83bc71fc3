// The CUDA backend on a real GPU, checked against the CPU reference
// (sha3_512_cpu and hash_le_target). Every test skips where CUDA finds no
// device.

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gpu/backend.h"
#include "gpu/sha3_selftest_gpu.h"
#include "hash/sha3.h"
#include "mine/cpu_search.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct CpuHash {
  uint8_t bytes[32];  // first 32 digest bytes
  uint32_t words[8];  // the same, as the 256-bit number's words
};

CpuHash cpu_hash(const uint8_t header[80], uint32_t nonce) {
  uint8_t block[80];
  std::memcpy(block, header, 80);
  for (int j = 0; j < 4; ++j) block[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
  uint8_t digest[64];
  sha3_512_cpu(block, 80, digest);
  CpuHash hash;
  std::memcpy(hash.bytes, digest, 32);
  for (int i = 0; i < 8; ++i)
    hash.words[i] = static_cast<uint32_t>(digest[4 * i]) | digest[4 * i + 1] << 8 |
                    digest[4 * i + 2] << 16 | static_cast<uint32_t>(digest[4 * i + 3]) << 24;
  return hash;
}

std::vector<uint8_t> random_header(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> header(80);
  for (auto& b : header) b = static_cast<uint8_t>(rng());
  return header;
}

// The launch found a nonce inside [start, start + size) that really meets
// the target, and reported that nonce's hash.
void expect_genuine_solution(const std::vector<uint8_t>& header, uint32_t start, uint32_t size,
                             const uint32_t target[8], const MiningResult& result) {
  ASSERT_TRUE(result.found);
  EXPECT_LT(result.nonce - start, size) << "nonce " << result.nonce << " outside the batch";
  const CpuHash expected = cpu_hash(header.data(), result.nonce);
  EXPECT_TRUE(hash_le_target(expected.words, target)) << "nonce " << result.nonce;
  EXPECT_EQ(std::memcmp(result.hash, expected.bytes, 32), 0) << "nonce " << result.nonce;
}

class CudaBackend : public testing::Test {
 protected:
  void SetUp() override {
    int devices = 0;
    if (cudaGetDeviceCount(&devices) != cudaSuccess || devices == 0)
      GTEST_SKIP() << "no CUDA device";
  }
};

// One nonce in 16 meets the target. Batches of 1 to 13 nonces tile a range
// that wraps past 0xFFFFFFFF; each must report a solution exactly when the
// CPU finds one inside it, so a kernel that searched one nonce too many or
// too few, or lost the wrap, disagrees somewhere.
TEST_F(CudaBackend, SolutionsMatchTheCpuBatchByBatchAcrossTheWrap) {
  const auto header = random_header(1);
  uint32_t target[8];
  std::memset(target, 0xff, sizeof target);
  target[7] = 0x0fffffffu;

  uint32_t start = 0xfffffc00u;
  int batches_with_solution = 0;
  for (int batch = 0; batch < 320; ++batch) {
    const uint32_t size = 1 + batch % 13;
    bool cpu_found = false;
    for (uint32_t i = 0; i < size; ++i)
      cpu_found |= hash_le_target(cpu_hash(header.data(), start + i).words, target);

    MiningResult result{};
    ASSERT_EQ(launch_mining_kernel(header.data(), start, size, target, &result), 0);
    ASSERT_EQ(result.found, cpu_found) << "batch at " << start << " of " << size;
    if (cpu_found) {
      ++batches_with_solution;
      expect_genuine_solution(header, start, size, target, result);
    }
    start += size;
  }
  EXPECT_GT(batches_with_solution, 20) << "the target is too hard to test anything";
  EXPECT_LT(start, 0x1000u) << "the range did not wrap";
}

// The target is the smallest hash in the batch, so that nonce is the only
// one that meets it: the kernel must find it wherever it lies.
TEST_F(CudaBackend, FindsThePlantedSolution) {
  const auto header = random_header(2);
  const uint32_t start = 0xffff8000u;
  const uint32_t size = 65536;
  uint32_t best_nonce = start;
  CpuHash best = cpu_hash(header.data(), start);
  for (uint32_t i = 1; i < size; ++i) {
    const CpuHash hash = cpu_hash(header.data(), start + i);
    if (!hash_le_target(best.words, hash.words)) {
      best = hash;
      best_nonce = start + i;
    }
  }

  MiningResult result{};
  ASSERT_EQ(launch_mining_kernel(header.data(), start, size, best.words, &result), 0);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, best_nonce);
  EXPECT_EQ(std::memcmp(result.hash, best.bytes, 32), 0);

  // One nonce earlier the batch no longer holds it.
  result = MiningResult{};
  ASSERT_EQ(launch_mining_kernel(header.data(), start, best_nonce - start, best.words, &result), 0);
  EXPECT_FALSE(result.found);
}

TEST_F(CudaBackend, EmptyBatchSearchesNothing) {
  const auto header = random_header(3);
  uint32_t every_hash[8];
  std::memset(every_hash, 0xff, sizeof every_hash);
  MiningResult result{};
  result.found = true;
  EXPECT_EQ(launch_mining_kernel(header.data(), 123, 0, every_hash, &result), 0);
  EXPECT_FALSE(result.found);
}

// Every thread meets this target at once; exactly one of them reports, and
// the next launch starts from a clean slate.
TEST_F(CudaBackend, OneWinnerWhenEveryNonceMeetsTheTarget) {
  const auto header = random_header(4);
  uint32_t every_hash[8];
  std::memset(every_hash, 0xff, sizeof every_hash);
  MiningResult result{};
  ASSERT_EQ(launch_mining_kernel(header.data(), 0xfff00000u, 1u << 24, every_hash, &result), 0);
  expect_genuine_solution(header, 0xfff00000u, 1u << 24, every_hash, result);

  ASSERT_EQ(launch_mining_kernel(header.data(), 0, 1u << 20, every_hash, nullptr), 0);
  const uint32_t no_hash[8] = {};
  result = MiningResult{};
  ASSERT_EQ(launch_mining_kernel(header.data(), 0, 1u << 20, no_hash, &result), 0);
  EXPECT_FALSE(result.found) << "a solution from an earlier launch leaked into this one";
}

// The largest batch the interface allows covers the whole nonce space but
// one; the kernel's loop must end.
TEST_F(CudaBackend, LargestBatchEnds) {
  const auto header = random_header(5);
  const uint32_t no_hash[8] = {};
  MiningResult result{};
  EXPECT_EQ(launch_mining_kernel(header.data(), 1, 0xffffffffu, no_hash, &result), 0);
  EXPECT_FALSE(result.found);
}

TEST_F(CudaBackend, SelfTestPasses) {
  const GpuSelfTestOutcome outcome = run_sha3_512_gpu_self_test();
  ASSERT_FALSE(cuda_failed(outcome.cuda)) << cudaGetErrorString(outcome.cuda.error);
  EXPECT_GT(outcome.vectors, 0);
  EXPECT_EQ(outcome.mismatches, 0);

  CaptureStdout();
  test_sha3_512_gpu();
  EXPECT_EQ(GetCapturedStdout(), "tamrix-miner: GPU SHA3-512 self-test passed (" +
                                     std::to_string(outcome.vectors) + " vectors)\n");
}

TEST_F(CudaBackend, BenchmarkReportsARate) {
  EXPECT_GT(benchmark_hashrate(1), 0.0);
  EXPECT_EQ(benchmark_hashrate(0), 0.0);
}

}  // namespace
