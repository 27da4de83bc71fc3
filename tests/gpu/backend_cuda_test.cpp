// The CUDA backend on a real GPU: what only it has (the largest batch, its
// self-test, the benchmark). The search cases shared with the OpenCL variant
// are in backend_search_test.cpp. Every test skips where CUDA finds no
// device.

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "gpu/backend.h"
#include "gpu/sha3_selftest_gpu.h"
#include "gpu_backend_fixture.h"

bool gpu_test_device_ready(std::string* why) {
  int devices = 0;
  if (cudaGetDeviceCount(&devices) == cudaSuccess && devices > 0) return true;
  *why = "no CUDA device";
  return false;
}

// The search launches at most one block of 256 threads per resident slot of
// every SM: about 135,000 threads on an H100 or H200, and fewer on smaller
// cards. 2^20 is past that on any card this backend targets.
uint32_t gpu_test_grid_size() { return 1u << 20; }

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The largest batch the interface allows covers the whole nonce space but
// one; the kernel's loop must end.
TEST_F(GpuBackend, LargestBatchEnds) {
  const uint8_t header[80] = {5};
  const uint32_t no_hash[8] = {};
  MiningResult result{};
  EXPECT_EQ(launch_mining_kernel(header, 1, 0xffffffffu, no_hash, &result), 0);
  EXPECT_FALSE(result.found);
}

TEST_F(GpuBackend, SelfTestPasses) {
  const GpuSelfTestOutcome outcome = run_sha3_512_gpu_self_test();
  ASSERT_FALSE(cuda_failed(outcome.cuda)) << cudaGetErrorString(outcome.cuda.error);
  EXPECT_GT(outcome.vectors, 0);
  EXPECT_EQ(outcome.mismatches, 0);

  CaptureStdout();
  test_sha3_512_gpu();
  EXPECT_EQ(GetCapturedStdout(), "tamrix-miner: GPU SHA3-512 self-test passed (" +
                                     std::to_string(outcome.vectors) + " vectors)\n");
}

TEST_F(GpuBackend, BenchmarkReportsARate) {
  EXPECT_GT(benchmark_hashrate(1), 0.0);
  EXPECT_EQ(benchmark_hashrate(0), 0.0);
}

}  // namespace
