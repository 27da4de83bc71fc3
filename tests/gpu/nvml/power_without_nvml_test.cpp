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
  EXPECT_EQ(nvml_power_open_bus_id("0000:65:00.0", &power), -1);
  const std::string message = GetCapturedStderr();
  EXPECT_EQ(message.rfind("tamrix-miner: GPU power control unavailable: ", 0), 0u) << message;
  EXPECT_EQ(message.find('\n'), message.size() - 1) << message;

  CaptureStderr();
  EXPECT_EQ(nvml_power_temp(power), -1);
  EXPECT_EQ(nvml_power_watts(power), -1.0);
  nvml_power_restore(&power);
  nvml_power_close(&power);
  nvml_power_close(&power);
  // The CUDA side then counts the cards in PCI order itself.
  EXPECT_TRUE(nvml_bus_ids().empty());
  EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
