// The power controls on a machine without the NVIDIA driver: the miner must
// still run, with power control reported as unavailable once.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "gpu/backend.h"
#include "gpu/gpu_device_choice.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

bool nvml_installed() {
  void* library = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  dlclose(library);
  return true;
}

TEST(PowerWithoutNvml, InitFailsWithOneLineAndTheRestStaysQuiet) {
  if (nvml_installed()) GTEST_SKIP() << "this machine has NVML";

  CaptureStderr();
  EXPECT_EQ(power_init(1), -1);
  const std::string message = GetCapturedStderr();
  EXPECT_EQ(message.rfind("tamrix-miner: GPU power control unavailable: ", 0), 0u) << message;
  EXPECT_EQ(message.find('\n'), message.size() - 1) << message;

  CaptureStderr();
  EXPECT_EQ(power_get_temp(), -1);
  power_restore();
  power_shutdown();
  power_shutdown();
  EXPECT_EQ(GetCapturedStderr(), "");

  // The CUDA side still mines on the device the operator named.
  EXPECT_EQ(chosen_gpu_device().index, 1);
  EXPECT_STREQ(chosen_gpu_device().pci_bus_id, "");
}

}  // namespace
