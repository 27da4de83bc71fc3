// The OpenCL variant on whatever OpenCL devices the machine has (two POCL
// CPU devices where there is no GPU): the device order and list, a missing
// device, the lines at open, the self-test, both lane forms of the kernel, a
// build without optimisation or inlining, a queue that fails half-way, the
// stop word in either place, and the power calls. The search itself is
// checked in backend_search_test.cpp.

#include <CL/cl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
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
  int status = opencl_queue_batch(&context, 0, header, start_nonce, batch_size, 0, target);
  if (status == 0) status = opencl_collect_batch(&context, 0, result, nullptr);
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

// The list is the devices in the order -d counts them, each with its own
// index, its name as the runtime gives it, and its memory; the tests run
// with two POCL devices.
TEST(OpenClDevices, TheListIsEveryDeviceInChoiceOrder) {
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  ASSERT_GE(devices.size(), 2u) << why << " (the tests need two OpenCL devices: pocl-opencl-icd "
                                         "with POCL_DEVICES=\"pthread pthread\")";
  CaptureStdout();
  CaptureStderr();
  const std::vector<GpuDeviceInfo> listed = gpu_list_devices(&why);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
  ASSERT_EQ(listed.size(), devices.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].index, static_cast<int>(i));
    EXPECT_EQ(listed[i].runtime, "OpenCL");
    EXPECT_EQ(listed[i].name, device_text(devices[i].device, CL_DEVICE_NAME));
    EXPECT_GT(listed[i].memory_bytes, 0u);
    PciAddress address;
    EXPECT_EQ(listed[i].pci_bus_id,
              device_pci_address(devices[i], &address) ? pci_address_text(address) : "");
  }
}

// Opening a device names it on stdout, after a line about the build where
// the build is slow (a missing device: backend_search_test.cpp).
TEST(OpenClDevices, OpeningNamesTheDeviceAfterALineForASlowBuild) {
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  ASSERT_GE(devices.size(), 2u) << why;
  const std::string name = describe_device(devices[1]);
  const std::string building =
      "tamrix-miner: building the kernel for OpenCL device 1: " + name + " (a stop waits for it)\n";
  const std::string opened = "tamrix-miner: OpenCL device 1: " + name + "\n";
  CaptureStdout();
  GpuContext* device = gpu_open_device(1);
  const std::string out = GetCapturedStdout();
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(out == opened || out == building + opened) << out;
  EXPECT_EQ(gpu_device_info(device).index, 1);
  gpu_close_device(device);

  OpenClOptions options;
  options.slow_build = std::chrono::milliseconds(0);
  OpenClContext context;
  CaptureStdout();
  ASSERT_TRUE(opencl_context_open(1, options, &context));
  EXPECT_EQ(GetCapturedStdout(), building) << "every build is slow beside no time at all";
  opencl_context_close(&context);
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
  test_sha3_512_gpu(device_);
  EXPECT_EQ(GetCapturedStdout(), "tamrix-miner: GPU SHA3-512 self-test passed on " +
                                     outcome.device + " (" + std::to_string(outcome.vectors) +
                                     " vectors)\n");
}

// POCL's CPU device, like any device that is neither an NVIDIA nor an AMD
// card, has no power control and no sensors: the calls fail or do nothing,
// quietly.
TEST_F(GpuBackend, ADeviceWithoutPowerControlIsQuiet) {
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  ASSERT_FALSE(devices.empty()) << why;
  if ((devices[0].type & CL_DEVICE_TYPE_GPU) != 0) GTEST_SKIP() << "device 0 is a GPU";

  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(power_init(device_), -1);
  EXPECT_EQ(power_set_limit(device_, 50), -1);
  EXPECT_EQ(power_get_temp(device_), -1);
  EXPECT_EQ(power_get_watts(device_), -1.0);
  power_restore(device_);
  power_shutdown(device_);
  power_shutdown(device_);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
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
  ASSERT_EQ(opencl_queue_batch(&context, 1, header, 0xfffffe00u, 1024, 300, planted.target), 0);
  MiningResult result{};
  ASSERT_EQ(opencl_collect_batch(&context, 1, &result, nullptr), 0);
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
  EXPECT_NE(opencl_queue_batch(&context, 0, header, 1000, 512, 0, planted.target), 0);
  const std::string message = GetCapturedStderr();
  expect_one_error_line(message);
  EXPECT_NE(message.find("OpenCL error in launch"), std::string::npos) << message;

  context.work_group = work_group;
  MiningResult result{};
  EXPECT_NE(opencl_collect_batch(&context, 0, &result, nullptr), 0)
      << "the failed batch held the slot";
  const uint32_t no_hash[8] = {};
  ASSERT_EQ(opencl_queue_batch(&context, 0, header, 1000, 512, 0, no_hash), 0);
  result.found = true;
  ASSERT_EQ(opencl_collect_batch(&context, 0, &result, nullptr), 0);
  EXPECT_FALSE(result.found);
  ASSERT_EQ(opencl_queue_batch(&context, 0, header, 1000, 512, 0, planted.target), 0);
  ASSERT_EQ(opencl_collect_batch(&context, 0, &result, nullptr), 0);
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

// The stop word in each place, the device's own choice first (host memory
// for POCL's CPU device, which shares the host's). A cancel while slot 0
// searches a long group of launches cuts it short; a batch queued in slot 1
// after the cancel, while slot 0 still holds its batch, lies under the same
// cut: every one of its groups skips, and they count exactly its nonces,
// the last group's 232 of 256 too, so none is reported as searched and its
// planted solution is not found. With both slots collected the cut is over.
class OpenClStopWord : public testing::TestWithParam<StopWordPlace> {};

TEST_P(OpenClStopWord, ACancelCutsTheQueuedBatchesAndCountsWhatTheySkipped) {
  OpenClOptions options;
  options.stop_word_place = GetParam();
  OpenClContext context;
  ASSERT_TRUE(opencl_context_open(0, options, &context));
  if (GetParam() == StopWordPlace::automatic) {
    cl_bool unified = CL_FALSE;
    clGetDeviceInfo(context.device.device, CL_DEVICE_HOST_UNIFIED_MEMORY, sizeof unified, &unified,
                    nullptr);
    EXPECT_EQ(context.stop_place,
              unified ? StopWordPlace::host_memory : StopWordPlace::device_memory);
  }
  ASSERT_EQ(context.work_group, 256u) << "the counts below assume groups of 256";

  uint8_t header[80];
  for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(5 * i + 1);
  const uint32_t no_hash[8] = {};
  const uint32_t long_batch = 1u << 24;  // seconds on POCL, in launches of 2^16
  const Planted planted = plant_smallest(header, 0x7000u, 1000);
  ASSERT_EQ(opencl_queue_batch(&context, 0, header, 0, long_batch, 1u << 16, no_hash), 0);
  opencl_cancel_batches(&context);
  // In the card's memory the word changes when the control queue's write
  // runs (on POCL: once the launch running then has ended).
  if (context.stop_place == StopWordPlace::device_memory) {
    ASSERT_EQ(clFinish(context.control), CL_SUCCESS);
  }
  ASSERT_EQ(opencl_queue_batch(&context, 1, header, 0x7000u, 1000, 300, planted.target), 0);

  MiningResult result{};
  uint64_t searched = 1;
  ASSERT_EQ(opencl_collect_batch(&context, 1, &result, &searched), 0);
  EXPECT_EQ(context.slots[1].found.skipped, 1000u);
  EXPECT_EQ(searched, 0u);
  EXPECT_FALSE(result.found);
  ASSERT_EQ(opencl_collect_batch(&context, 0, &result, &searched), 0);
  EXPECT_LT(searched, long_batch / 4);
  EXPECT_EQ(searched % 256, 0u);
  EXPECT_EQ(searched + context.slots[0].found.skipped, long_batch);

  ASSERT_EQ(opencl_queue_batch(&context, 1, header, 0x7000u, 1000, 300, planted.target), 0);
  ASSERT_EQ(opencl_collect_batch(&context, 1, &result, &searched), 0);
  opencl_context_close(&context);
  EXPECT_EQ(searched, 1000u);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, planted.nonce);
}

INSTANTIATE_TEST_SUITE_P(Places, OpenClStopWord,
                         testing::Values(StopWordPlace::automatic, StopWordPlace::host_memory,
                                         StopWordPlace::device_memory),
                         [](const testing::TestParamInfo<StopWordPlace>& info) {
                           switch (info.param) {
                             case StopWordPlace::automatic: return "ChosenByTheDevice";
                             case StopWordPlace::host_memory: return "HostMemory";
                             case StopWordPlace::device_memory: return "DeviceMemory";
                           }
                           return "";
                         });

}  // namespace
