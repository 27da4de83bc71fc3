// The OpenCL variant on whatever OpenCL device the machine has (POCL's CPU
// device where there is no GPU): the device order, a missing device, the
// self-test, both lane forms of the kernel, a build without optimisation or
// inlining, a queue that fails half-way, and the power calls. The search
// itself is checked in backend_search_test.cpp.

#include <CL/cl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "error_line.h"
#include "gpu/backend.h"
#include "gpu/opencl/context.h"
#include "gpu/opencl/devices.h"
#include "gpu/opencl/power_control.h"
#include "gpu/opencl/program.h"
#include "gpu/opencl/selftest.h"
#include "gpu_backend_fixture.h"
#include "hash/sha3.h"
#include "mine/cpu_search.h"

bool gpu_test_device_ready(std::string*) { return true; }

// A context of its own for each launch; POCL's kernel cache makes the
// rebuild cheap.
int gpu_test_launch_in_grids(uint64_t largest_grid, const uint8_t header[80], uint32_t start_nonce,
                             uint32_t batch_size, const uint32_t target[8], MiningResult* result) {
  OpenClOptions options;
  options.largest_grid = largest_grid;
  OpenClContext context;
  if (!opencl_context_open(0, options, &context)) return -1;
  int status = opencl_queue_batch(&context, 0, header, start_nonce, batch_size, target);
  if (status == 0) status = opencl_collect_batch(&context, 0, result);
  opencl_context_close(&context);
  return status;
}

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// The nonce of [start, start + size) with the smallest hash, and that hash
// as the 256-bit target only it meets.
struct Planted {
  uint32_t nonce;
  uint32_t target[8];
};

Planted plant_smallest(const uint8_t header[80], uint32_t start, uint32_t size) {
  Planted best{};
  uint8_t block[80];
  std::memcpy(block, header, 80);
  for (uint32_t i = 0; i < size; ++i) {
    const uint32_t nonce = start + i;
    for (int j = 0; j < 4; ++j) block[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
    uint8_t digest[64];
    sha3_512_cpu(block, 80, digest);
    uint32_t words[8];
    for (int w = 0; w < 8; ++w) std::memcpy(&words[w], digest + 4 * w, 4);
    if (i == 0 || hash_le_target(words, best.target)) {
      best.nonce = nonce;
      std::memcpy(best.target, words, sizeof words);
    }
  }
  return best;
}

OpenClDevice fake_device(int platform, cl_device_type type) {
  OpenClDevice device;
  device.platform_index = platform;
  device.type = type;
  // A distinct non-null handle per entry, only compared, never used.
  static int handles[16];
  static int next = 0;
  device.device = reinterpret_cast<cl_device_id>(&handles[next++ % 16]);
  return device;
}

TEST(OpenClDeviceOrder, GpusOfEveryPlatformComeFirstThenTheRestInPlatformOrder) {
  const OpenClDevice cpu0 = fake_device(0, CL_DEVICE_TYPE_CPU);
  const OpenClDevice accelerator0 = fake_device(0, CL_DEVICE_TYPE_ACCELERATOR);
  const OpenClDevice gpu0 = fake_device(0, CL_DEVICE_TYPE_GPU);
  const OpenClDevice gpu1a = fake_device(1, CL_DEVICE_TYPE_GPU | CL_DEVICE_TYPE_DEFAULT);
  const OpenClDevice gpu1b = fake_device(1, CL_DEVICE_TYPE_GPU);
  const OpenClDevice cpu1 = fake_device(1, CL_DEVICE_TYPE_CPU);
  const std::vector<OpenClDevice> ordered =
      in_choice_order({cpu0, gpu1a, accelerator0, cpu1, gpu0, gpu1b});
  const std::vector<cl_device_id> expected = {gpu0.device, gpu1a.device, gpu1b.device,
                                              cpu0.device, accelerator0.device, cpu1.device};
  std::vector<cl_device_id> got;
  for (const OpenClDevice& device : ordered) got.push_back(device.device);
  EXPECT_EQ(got, expected);
}

TEST(OpenClDevices, ThisMachineHasOneAndItIsDeviceZero) {
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  ASSERT_FALSE(devices.empty()) << why
                                << " (the tests need an OpenCL device; install pocl-opencl-icd)";
  EXPECT_FALSE(describe_device(devices[0]).empty());
}

// One line that names the program and the missing device; the launch fails,
// and choosing an existing device again makes the next launch work.
TEST(OpenClDevices, MissingDeviceFailsTheLaunchWithOneLine) {
  std::string why;
  const size_t count = list_opencl_devices(&why).size();
  const uint8_t header[80] = {};
  const uint32_t target[8] = {};
  MiningResult result{};
  result.found = true;

  gpu_use_device(static_cast<int>(count) + 3);
  CaptureStderr();
  EXPECT_EQ(launch_mining_kernel(header, 0, 16, target, &result), -1);
  const std::string message = GetCapturedStderr();
  EXPECT_EQ(message.rfind("tamrix-miner: no OpenCL device " + std::to_string(count + 3), 0), 0u)
      << message;
  EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
  EXPECT_FALSE(result.found);

  gpu_use_device(0);
  EXPECT_EQ(launch_mining_kernel(header, 0, 16, target, &result), 0);
}

// A kernel that does not compile shows the compiler's own words.
TEST(OpenClDevices, FailedBuildPrintsTheCompilersLog) {
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  ASSERT_FALSE(devices.empty()) << why;
  cl_int error = CL_SUCCESS;
  cl_context context = clCreateContext(nullptr, 1, &devices[0].device, nullptr, nullptr, &error);
  ASSERT_EQ(error, CL_SUCCESS);

  const char* step = "";
  CaptureStderr();
  cl_program program = build_opencl_program(
      context, devices[0], "__kernel void broken(__global uint* out) { out[0] = undeclared_name; }",
      "-cl-std=CL1.2", &error, &step);
  const std::string message = GetCapturedStderr();
  clReleaseContext(context);
  EXPECT_EQ(program, nullptr);
  EXPECT_EQ(error, CL_BUILD_PROGRAM_FAILURE);
  EXPECT_STREQ(step, "kernel build");
  const std::string head = "tamrix-miner: the OpenCL kernel did not build on " +
                           describe_device(devices[0]) + ":\n";
  // POCL's compiler may write a line of its own first.
  const size_t at = message.find(head);
  ASSERT_NE(at, std::string::npos) << message;
  EXPECT_NE(message.find("undeclared_name", at + head.size()), std::string::npos) << message;
}

TEST_F(GpuBackend, SelfTestPassesAndNamesTheDevice) {
  OpenClContext context;
  ASSERT_TRUE(opencl_context_open(0, OpenClOptions{}, &context));
  const OpenClSelfTestOutcome outcome = run_sha3_512_opencl_self_test(&context);
  opencl_context_close(&context);
  ASSERT_TRUE(outcome.ran);
  EXPECT_GT(outcome.vectors, 0);
  EXPECT_EQ(outcome.mismatches, 0);

  CaptureStdout();
  test_sha3_512_gpu();
  EXPECT_EQ(GetCapturedStdout(), "tamrix-miner: GPU SHA3-512 self-test passed on " +
                                     outcome.device + " (" + std::to_string(outcome.vectors) +
                                     " vectors)\n");
}

// POCL's CPU device, like any device that is neither an NVIDIA nor an AMD
// card, has no power control: the calls fail or do nothing, quietly.
TEST(OpenClPower, DeviceWithoutPowerControlIsQuiet) {
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  ASSERT_FALSE(devices.empty()) << why;
  if ((devices[0].type & CL_DEVICE_TYPE_GPU) != 0) GTEST_SKIP() << "device 0 is a GPU";

  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(power_init(0), -1);
  EXPECT_EQ(power_set_limit(50), -1);
  EXPECT_EQ(power_get_temp(), -1);
  power_restore();
  power_shutdown();
  power_shutdown();
  EXPECT_EQ(power_init(99), -1);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
  gpu_use_device(0);
}

// The AMD form for AMD GPUs only: an AMD processor under a CPU runtime
// reports AMD's vendor id too.
TEST(OpenClKernelBuild, HalvesForAmdGpusOnly) {
  EXPECT_TRUE(kernel_build_for(kVendorAmd, CL_DEVICE_TYPE_GPU).lane_halves);
  EXPECT_TRUE(kernel_build_for(kVendorAmd, CL_DEVICE_TYPE_GPU | CL_DEVICE_TYPE_DEFAULT).lane_halves);
  EXPECT_FALSE(kernel_build_for(kVendorAmd, CL_DEVICE_TYPE_CPU).lane_halves);
  EXPECT_FALSE(kernel_build_for(kVendorNvidia, CL_DEVICE_TYPE_GPU).lane_halves);
  EXPECT_FALSE(kernel_build_for(0x8086, CL_DEVICE_TYPE_GPU).lane_halves);
  EXPECT_EQ(kernel_build_options(KernelBuild{}), "-cl-std=CL1.2");
  EXPECT_EQ(kernel_build_options(KernelBuild{true, true}),
            "-cl-std=CL1.2 -D KECCAK_LANE_HALVES=1 -cl-opt-disable -D KERNEL_FORCE_INLINE=");
}

// The forms the source can be built in, run on this device: the 64-bit
// lanes (what CUDA compiles, and every non-AMD device) and the AMD cards'
// 32-bit halves, unoptimised with nothing forced inline, where every helper
// is a real call and needs a body of its own (a C99 `inline` function has
// none). Each must pass the self-test and find a planted solution. The
// optimised halves are left to the host build (gpu_kernel_math_test): on
// POCL their first build takes about 100 s of one core, against 4 s for the
// 64-bit lanes.
class OpenClKernelForm : public testing::TestWithParam<KernelBuild> {};

TEST_P(OpenClKernelForm, HashesAndSearchesLikeTheCpu) {
  OpenClOptions options;
  options.choose_build_for_device = false;
  options.build = GetParam();
  OpenClContext context;
  ASSERT_TRUE(opencl_context_open(0, options, &context));
  const OpenClSelfTestOutcome outcome = run_sha3_512_opencl_self_test(&context);
  EXPECT_TRUE(outcome.ran);
  EXPECT_EQ(outcome.mismatches, 0);

  uint8_t header[80];
  for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(31 * i + 7);
  const Planted planted = plant_smallest(header, 0xfffffe00u, 1024);
  ASSERT_EQ(opencl_queue_batch(&context, 1, header, 0xfffffe00u, 1024, planted.target), 0);
  MiningResult result{};
  ASSERT_EQ(opencl_collect_batch(&context, 1, &result), 0);
  opencl_context_close(&context);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, planted.nonce);
}

INSTANTIATE_TEST_SUITE_P(Builds, OpenClKernelForm,
                         testing::Values(KernelBuild{false, false}, KernelBuild{false, true},
                                         KernelBuild{true, true}),
                         [](const testing::TestParamInfo<KernelBuild>& info) {
                           return std::string(info.param.lane_halves ? "Halves32" : "Lanes64") +
                                  (info.param.unoptimised ? "Unoptimised" : "");
                         });

// A queue whose launch the runtime refuses (a work-group larger than the
// device allows) fails with one line after its first command was queued;
// the slot stays free, and the next batch there starts clean.
TEST(OpenClContextQueue, ALaunchRefusedHalfWayLeavesTheSlotFree) {
  OpenClContext context;
  ASSERT_TRUE(opencl_context_open(0, OpenClOptions{}, &context));
  uint8_t header[80] = {9, 8, 7};
  const Planted planted = plant_smallest(header, 1000, 512);
  const size_t work_group = context.work_group;
  context.work_group = size_t{1} << 24;
  CaptureStderr();
  EXPECT_NE(opencl_queue_batch(&context, 0, header, 1000, 512, planted.target), 0);
  const std::string message = GetCapturedStderr();
  expect_one_error_line(message);
  EXPECT_NE(message.find("OpenCL error in launch"), std::string::npos) << message;

  context.work_group = work_group;
  MiningResult result{};
  EXPECT_NE(opencl_collect_batch(&context, 0, &result), 0) << "the failed batch held the slot";
  const uint32_t no_hash[8] = {};
  ASSERT_EQ(opencl_queue_batch(&context, 0, header, 1000, 512, no_hash), 0);
  result.found = true;
  ASSERT_EQ(opencl_collect_batch(&context, 0, &result), 0);
  EXPECT_FALSE(result.found);
  ASSERT_EQ(opencl_queue_batch(&context, 0, header, 1000, 512, planted.target), 0);
  ASSERT_EQ(opencl_collect_batch(&context, 0, &result), 0);
  opencl_context_close(&context);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, planted.nonce);
}

// NVIDIA cards go to NVML and AMD cards to hwmon, each only when the driver
// tells the card's PCI address: without it there is no safe way to find the
// same card in the other driver, so such a card gets no control.
TEST(OpenClPower, ControlFollowsTheVendorAndNeedsThePciAddress) {
  EXPECT_EQ(power_control_for(kVendorNvidia, CL_DEVICE_TYPE_GPU, true), PowerControlKind::nvml);
  EXPECT_EQ(power_control_for(kVendorAmd, CL_DEVICE_TYPE_GPU, true), PowerControlKind::amdgpu);
  EXPECT_EQ(power_control_for(kVendorNvidia, CL_DEVICE_TYPE_GPU, false), PowerControlKind::none);
  EXPECT_EQ(power_control_for(kVendorAmd, CL_DEVICE_TYPE_GPU, false), PowerControlKind::none);
  EXPECT_EQ(power_control_for(kVendorAmd, CL_DEVICE_TYPE_CPU, true), PowerControlKind::none);
  EXPECT_EQ(power_control_for(0x8086, CL_DEVICE_TYPE_GPU, true), PowerControlKind::none);
}

}  // namespace
