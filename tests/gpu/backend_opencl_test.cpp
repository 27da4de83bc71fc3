// The OpenCL variant on whatever OpenCL device the machine has (POCL's CPU
// device where there is no GPU): the device order, a missing device, the
// self-test and the power calls. The search itself is checked in
// backend_search_test.cpp.

#include <CL/cl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpu/backend.h"
#include "gpu/gpu_device_choice.h"
#include "gpu/opencl_devices.h"
#include "gpu/opencl_runtime.h"
#include "gpu/opencl_selftest.h"
#include "gpu_backend_fixture.h"

bool gpu_test_device_ready(std::string*) { return true; }

uint32_t gpu_test_grid_size() {
  const OpenClRuntime* runtime = opencl_runtime();
  return runtime != nullptr ? static_cast<uint32_t>(runtime->grid) : 0;
}

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

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

  choose_gpu_device(static_cast<int>(count) + 3, nullptr);
  CaptureStderr();
  EXPECT_EQ(launch_mining_kernel(header, 0, 16, target, &result), -1);
  const std::string message = GetCapturedStderr();
  EXPECT_EQ(message.rfind("tamrix-miner: no OpenCL device " + std::to_string(count + 3), 0), 0u)
      << message;
  EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
  EXPECT_FALSE(result.found);

  choose_gpu_device(0, nullptr);
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
      &error, &step);
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
  const OpenClSelfTestOutcome outcome = run_sha3_512_opencl_self_test();
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
  choose_gpu_device(0, nullptr);
}

}  // namespace
