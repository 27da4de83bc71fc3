// The NVML power controls against a simulated NVML (fake_nvml.h): what they
// read, what limit they set, what they restore and what they release.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "error_line.h"
#include "fake_nvml.h"
#include "gpu/backend.h"
#include "gpu/gpu_device_choice.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr unsigned int kStartLimit = 650000;  // the limit the "operator" had set, in mW

class PowerNvml : public testing::Test {
 protected:
  void SetUp() override { fake_nvml_reset(kStartLimit); }
  // Every test ends with NVML released, as the program does.
  void TearDown() override {
    power_shutdown();
    const FakeNvmlRecord record = fake_nvml_record();
    const int successful_inits = fake_nvml_config()->init_status == 0 ? record.init_calls : 0;
    EXPECT_EQ(record.shutdown_calls, successful_inits) << "NVML left initialised";
  }
  FakeNvmlConfig& gpu() { return *fake_nvml_config(); }
};

TEST_F(PowerNvml, InitReadsTheDeviceQuietly) {
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(power_init(0), 0);
  EXPECT_EQ(power_get_temp(), 47);
  gpu().temperature_celsius = 81;
  EXPECT_EQ(power_get_temp(), 81);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(fake_nvml_record().set_limit_calls, 0) << "init must not change the limit";
}

TEST_F(PowerNvml, InitTellsTheCudaSideWhichGpuItIs) {
  std::strcpy(gpu().bus_id, "00000000:C1:00.0");
  gpu().device_count = 2;
  ASSERT_EQ(power_init(1), 0);
  const GpuDeviceChoice choice = chosen_gpu_device();
  EXPECT_EQ(choice.index, 1);
  EXPECT_STREQ(choice.pci_bus_id, "00000000:C1:00.0");
}

TEST_F(PowerNvml, LimitIsAPercentOfTheDefaultLimit) {
  ASSERT_EQ(power_init(0), 0);
  EXPECT_EQ(power_set_limit(50), 0);
  EXPECT_EQ(fake_nvml_record().current_limit_mw, 350000u);
  EXPECT_EQ(power_set_limit(100), 0);
  EXPECT_EQ(fake_nvml_record().current_limit_mw, 700000u);
}

TEST_F(PowerNvml, LimitIsClampedToTheDevicesRange) {
  gpu().default_limit_mw = 600000;
  gpu().max_limit_mw = 700000;
  ASSERT_EQ(power_init(0), 0);
  EXPECT_EQ(power_set_limit(10), 0);
  EXPECT_EQ(fake_nvml_record().current_limit_mw, 200000u);
  EXPECT_EQ(power_set_limit(110), 0);
  EXPECT_EQ(fake_nvml_record().current_limit_mw, 660000u);
  EXPECT_EQ(power_set_limit(150), 0);
  EXPECT_EQ(fake_nvml_record().current_limit_mw, 700000u);
  EXPECT_EQ(power_set_limit(INT_MAX), 0) << "the product must not overflow";
  EXPECT_EQ(fake_nvml_record().current_limit_mw, 700000u);
}

TEST_F(PowerNvml, NonPositivePercentIsRefusedWithoutTouchingTheGpu) {
  ASSERT_EQ(power_init(0), 0);
  for (int percent : {0, -5}) {
    CaptureStderr();
    EXPECT_NE(power_set_limit(percent), 0);
    expect_one_error_line(GetCapturedStderr());
  }
  EXPECT_EQ(fake_nvml_record().set_limit_calls, 0);
}

TEST_F(PowerNvml, RestoreReturnsToTheLimitFromBeforeTheFirstChange) {
  ASSERT_EQ(power_init(0), 0);
  ASSERT_EQ(power_set_limit(50), 0);
  ASSERT_EQ(power_set_limit(80), 0);
  power_restore();
  EXPECT_EQ(fake_nvml_record().current_limit_mw, kStartLimit);
  const int calls = fake_nvml_record().set_limit_calls;
  power_restore();
  EXPECT_EQ(fake_nvml_record().set_limit_calls, calls) << "nothing left to restore";

  // A later change remembers the limit as it stands then.
  ASSERT_EQ(power_set_limit(60), 0);
  power_restore();
  EXPECT_EQ(fake_nvml_record().current_limit_mw, kStartLimit);
}

TEST_F(PowerNvml, ShutdownRestoresTheLimitAndReleasesNvml) {
  ASSERT_EQ(power_init(0), 0);
  ASSERT_EQ(power_set_limit(50), 0);
  power_shutdown();
  EXPECT_EQ(fake_nvml_record().current_limit_mw, kStartLimit);
  EXPECT_EQ(fake_nvml_record().shutdown_calls, 1);

  // Released: no temperature, no limit, and no complaint about either.
  CaptureStderr();
  EXPECT_EQ(power_get_temp(), -1);
  power_restore();
  power_shutdown();
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(fake_nvml_record().shutdown_calls, 1);
}

TEST_F(PowerNvml, ShutdownLeavesAnUnchangedLimitAlone) {
  ASSERT_EQ(power_init(0), 0);
  power_shutdown();
  EXPECT_EQ(fake_nvml_record().set_limit_calls, 0);
}

TEST_F(PowerNvml, ARefusedLimitIsReportedAndNeverRestored) {
  gpu().set_limit_status = kFakeNvmlNoPermission;
  ASSERT_EQ(power_init(0), 0);
  CaptureStderr();
  EXPECT_NE(power_set_limit(50), 0);
  const std::string message = GetCapturedStderr();
  expect_one_error_line(message);
  EXPECT_NE(message.find("Insufficient Permissions"), std::string::npos) << message;
  power_shutdown();
  EXPECT_EQ(fake_nvml_record().set_limit_calls, 1);
}

TEST_F(PowerNvml, InitAgainStartsOver) {
  ASSERT_EQ(power_init(0), 0);
  ASSERT_EQ(power_set_limit(50), 0);
  ASSERT_EQ(power_init(0), 0);
  EXPECT_EQ(fake_nvml_record().current_limit_mw, kStartLimit) << "the first session's change";
  EXPECT_EQ(fake_nvml_record().init_calls, 2);
  EXPECT_EQ(fake_nvml_record().shutdown_calls, 1);
}

// Each way power_init can fail: one line, -1, NVML released, and the other
// calls behave as if power_init had never run.
struct InitFailure {
  const char* name;
  void (*break_gpu)(FakeNvmlConfig&);
  int device;
};

class PowerNvmlInitFailure : public PowerNvml, public testing::WithParamInterface<InitFailure> {};

TEST_P(PowerNvmlInitFailure, FailsCleanly) {
  GetParam().break_gpu(gpu());
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(power_init(GetParam().device), -1);
  expect_one_error_line(GetCapturedStderr());
  EXPECT_EQ(GetCapturedStdout(), "");

  const FakeNvmlRecord record = fake_nvml_record();
  const int successful_inits = gpu().init_status == 0 ? record.init_calls : 0;
  EXPECT_EQ(record.shutdown_calls, successful_inits);

  CaptureStderr();
  EXPECT_EQ(power_get_temp(), -1);
  EXPECT_EQ(GetCapturedStderr(), "");
  CaptureStderr();
  EXPECT_EQ(power_set_limit(50), -1);
  expect_one_error_line(GetCapturedStderr());
  EXPECT_EQ(fake_nvml_record().set_limit_calls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, PowerNvmlInitFailure,
    testing::Values(
        InitFailure{"NvmlDoesNotStart",
                    [](FakeNvmlConfig& c) { c.init_status = kFakeNvmlDriverNotLoaded; }, 0},
        InitFailure{"NoSuchDevice", [](FakeNvmlConfig&) {}, 1},
        InitFailure{"NegativeIndex", [](FakeNvmlConfig&) {}, -1},
        InitFailure{"NoLimitRange",
                    [](FakeNvmlConfig& c) { c.constraints_status = kFakeNvmlNotSupported; }, 0},
        InitFailure{"NoTemperature",
                    [](FakeNvmlConfig& c) { c.temperature_status = kFakeNvmlNotSupported; }, 0},
        InitFailure{"NoDefaultLimit", [](FakeNvmlConfig& c) { c.default_limit_mw = 0; }, 0}),
    [](const testing::TestParamInfo<InitFailure>& info) { return std::string(info.param.name); });

TEST_F(PowerNvml, TemperatureReadFailureAfterInitIsReported) {
  ASSERT_EQ(power_init(0), 0);
  gpu().temperature_status = kFakeNvmlNotSupported;
  CaptureStderr();
  EXPECT_EQ(power_get_temp(), -1);
  expect_one_error_line(GetCapturedStderr());
}

TEST(PowerNvmlWithoutInit, SetLimitFailsWithAMessage) {
  fake_nvml_reset(kStartLimit);
  power_shutdown();
  CaptureStderr();
  EXPECT_EQ(power_set_limit(50), -1);
  expect_one_error_line(GetCapturedStderr());
  EXPECT_EQ(fake_nvml_record().init_calls, 0);
}

}  // namespace
