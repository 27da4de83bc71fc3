// The backend of a build without GPU support: every GPU entry point says so
// and fails, every power call fails or does nothing.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gpu/backend.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr const char* kNotBuiltIn =
    "tamrix-miner: GPU mining is not built into this binary (CPU-only build). Pass --cpu-only.\n";

const uint8_t kHeader[80] = {1, 2, 3};
const uint32_t kEasyTarget[8] = {0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu,
                                  0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu};

TEST(CpuOnlyLaunch, WithoutARecordPrintsTheMessageAndFails) {
  CaptureStdout();
  CaptureStderr();
  const int status = launch_mining_kernel(kHeader, 0, 1048576, kEasyTarget, nullptr);
  EXPECT_EQ(GetCapturedStderr(), kNotBuiltIn);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(status, -1);
}

TEST(CpuOnlyLaunch, ClearsFoundAndLeavesTheRestOfTheRecord) {
  MiningResult result;
  result.nonce = 0x12345678u;
  for (int i = 0; i < 32; ++i) result.hash[i] = static_cast<uint8_t>(0xa0 + i);
  result.found = true;
  MiningResult before = result;

  CaptureStderr();
  EXPECT_EQ(launch_mining_kernel(kHeader, 7, 0, kEasyTarget, &result), -1);
  EXPECT_EQ(GetCapturedStderr(), kNotBuiltIn);
  EXPECT_FALSE(result.found);
  EXPECT_EQ(result.nonce, before.nonce);
  EXPECT_EQ(std::memcmp(result.hash, before.hash, sizeof result.hash), 0);
}

// Every launch fails and says so, not only the first.
TEST(CpuOnlyLaunch, RepeatsTheMessageOnEveryCall) {
  MiningResult result{};
  CaptureStderr();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(launch_mining_kernel(kHeader, 0, 1, kEasyTarget, &result), -1);
  EXPECT_EQ(GetCapturedStderr(), std::string(kNotBuiltIn) + kNotBuiltIn + kNotBuiltIn);
}

// The pipelined pair fails the same way: a queue says why, and since
// nothing was queued, collecting finds no batch and reports no solution.
TEST(CpuOnlyLaunch, QueueFailsWithTheMessageAndCollectFindsNothing) {
  EXPECT_FALSE(gpu_support_built_in());
  MiningResult result{};
  result.found = true;
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(queue_mining_batch(0, kHeader, 0, 1048576, kEasyTarget), -1);
  EXPECT_EQ(collect_mining_batch(0, &result), -1);
  EXPECT_EQ(collect_mining_batch(1, nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), kNotBuiltIn);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(result.found);
}

TEST(CpuOnlyLaunch, NamingADeviceIsQuiet) {
  CaptureStderr();
  gpu_use_device(3);  // nothing to use
  EXPECT_EQ(GetCapturedStderr(), "");
}

// Only the result is checked, never the time taken: a five-second wait would
// show up as a slow test run instead.
TEST(CpuOnlyBenchmark, ReportsNoRateAndPrintsNothing) {
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(benchmark_hashrate(5), 0.0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(CpuOnlySelfTest, SaysTheGpuHashIsNotBuiltIn) {
  CaptureStdout();
  CaptureStderr();
  test_sha3_512_gpu();
  EXPECT_EQ(GetCapturedStderr(), "tamrix-miner: GPU SHA3-512 not built into this binary.\n");
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(CpuOnlyPower, EveryCallFailsOrDoesNothingQuietly) {
  CaptureStdout();
  CaptureStderr();
  power_shutdown();  // before any power_init: harmless
  EXPECT_EQ(power_init(0), -1);
  EXPECT_EQ(power_set_limit(50), -1);
  EXPECT_EQ(power_get_temp(), -1);
  power_restore();
  power_shutdown();  // after a failed power_init: harmless
  power_shutdown();
  EXPECT_EQ(power_init(3), -1);
  EXPECT_EQ(power_get_temp(), -1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
