// The backend of a build without GPU support: it lists no device, every GPU
// entry point says so and fails, every power call fails or does nothing.

#include <gtest/gtest.h>

#include <atomic>
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

// A device of the CPU-only build: any index opens, quietly.
struct OpenDevice {
  explicit OpenDevice(int index = 0) : device(gpu_open_device(index)) {}
  ~OpenDevice() { gpu_close_device(device); }
  GpuContext* device;
};

TEST(CpuOnlyDevices, NoneAreListedAndAnyIndexOpensQuietly) {
  std::string why;
  CaptureStdout();
  CaptureStderr();
  EXPECT_TRUE(gpu_list_devices(&why).empty());
  {
    OpenDevice three(3);
    ASSERT_NE(three.device, nullptr);
    EXPECT_EQ(gpu_device_info(three.device).index, 3);
    gpu_cancel_batches(three.device);
  }
  gpu_close_device(nullptr);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(why, "this build has no GPU support (CPU-only build)");
  EXPECT_FALSE(gpu_support_built_in());
}

TEST(CpuOnlyLaunch, WithoutARecordPrintsTheMessageAndFails) {
  OpenDevice gpu;
  CaptureStdout();
  CaptureStderr();
  const int status = launch_mining_kernel(gpu.device, kHeader, 0, 1048576, kEasyTarget, nullptr);
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

  OpenDevice gpu;
  CaptureStderr();
  EXPECT_EQ(launch_mining_kernel(gpu.device, kHeader, 7, 0, kEasyTarget, &result), -1);
  EXPECT_EQ(GetCapturedStderr(), kNotBuiltIn);
  EXPECT_FALSE(result.found);
  EXPECT_EQ(result.nonce, before.nonce);
  EXPECT_EQ(std::memcmp(result.hash, before.hash, sizeof result.hash), 0);
}

// Every launch fails and says so, not only the first.
TEST(CpuOnlyLaunch, RepeatsTheMessageOnEveryCall) {
  MiningResult result{};
  OpenDevice gpu;
  CaptureStderr();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(launch_mining_kernel(gpu.device, kHeader, 0, 1, kEasyTarget, &result), -1);
  EXPECT_EQ(GetCapturedStderr(), std::string(kNotBuiltIn) + kNotBuiltIn + kNotBuiltIn);
}

// The pipelined pair fails the same way: a queue says why, and since
// nothing was queued, collecting finds no batch and reports no solution.
TEST(CpuOnlyLaunch, QueueFailsWithTheMessageAndCollectFindsNothing) {
  MiningResult result{};
  result.found = true;
  uint64_t searched = 99;
  OpenDevice gpu;
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(queue_mining_batch(gpu.device, 0, kHeader, 0, 1048576, 1024, kEasyTarget), -1);
  EXPECT_EQ(collect_mining_batch(gpu.device, 0, &result, &searched), -1);
  EXPECT_EQ(collect_mining_batch(gpu.device, 1, nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), kNotBuiltIn);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(result.found);
  EXPECT_EQ(searched, 0u);
}

// Only the result is checked, never the time taken: a five-second wait would
// show up as a slow test run instead.
TEST(CpuOnlyBenchmark, ReportsNoRateAndPrintsNothing) {
  OpenDevice gpu;
  const std::atomic<bool> running{true};
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(benchmark_hashrate(gpu.device, 5, running), 0.0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(CpuOnlySelfTest, SaysTheGpuHashIsNotBuiltIn) {
  OpenDevice gpu;
  CaptureStdout();
  CaptureStderr();
  test_sha3_512_gpu(gpu.device);
  EXPECT_EQ(GetCapturedStderr(), "tamrix-miner: GPU SHA3-512 not built into this binary.\n");
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(CpuOnlyPower, EveryCallFailsOrDoesNothingQuietly) {
  OpenDevice gpu;
  OpenDevice three(3);
  CaptureStdout();
  CaptureStderr();
  power_shutdown(gpu.device);  // before any power_init: harmless
  EXPECT_EQ(power_init(gpu.device), -1);
  EXPECT_EQ(power_set_limit(gpu.device, 50), -1);
  EXPECT_EQ(power_get_temp(gpu.device), -1);
  EXPECT_LE(power_get_watts(gpu.device), 0.0);
  power_restore(gpu.device);
  power_shutdown(gpu.device);  // after a failed power_init: harmless
  power_shutdown(gpu.device);
  EXPECT_EQ(power_init(three.device), -1);
  EXPECT_EQ(power_get_temp(three.device), -1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
