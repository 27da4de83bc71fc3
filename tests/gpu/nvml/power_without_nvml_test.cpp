// The power controls on a machine without the NVIDIA driver: the miner must
// still run, with power control reported as unavailable once.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "gpu/nvml/power_nvml.h"

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

  NvmlPower power;
  CaptureStderr();
  EXPECT_EQ(nvml_power_open_index(1, &power), -1);
  const std::string message = GetCapturedStderr();
  EXPECT_EQ(message.rfind("tamrix-miner: GPU power control unavailable: ", 0), 0u) << message;
  EXPECT_EQ(message.find('\n'), message.size() - 1) << message;

  CaptureStderr();
  EXPECT_EQ(nvml_power_temp(power), -1);
  nvml_power_restore(&power);
  nvml_power_close(&power);
  nvml_power_close(&power);
  // The CUDA side then takes -d as CUDA's own number.
  EXPECT_EQ(nvml_bus_id_of_index(1), "");
  EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
