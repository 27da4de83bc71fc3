// The NVML power controls against a simulated NVML (fake_nvml.h): what they
// read, what limit they set, what they restore and what they release, and
// which card they find by index or by PCI bus id.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "error_line.h"
#include "fake_nvml.h"
#include "gpu/nvml/power_nvml.h"

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
    nvml_power_close(&power_);
    const FakeNvmlRecord record = fake_nvml_record();
    const int successful_inits = fake_nvml_config()->init_status == 0 ? record.init_calls : 0;
    EXPECT_EQ(record.shutdown_calls, successful_inits) << "NVML left initialised";
  }
  FakeNvmlConfig& gpu() { return *fake_nvml_config(); }

  // The controls under test, as the backends hold theirs: opened by the bus
  // id of the simulated card `index`.
  int power_init(int index) { return nvml_power_open_bus_id(gpu().bus_ids[index], &power_); }
  int power_set_limit(int percent) { return nvml_power_set_limit(&power_, percent); }
  void power_restore() { nvml_power_restore(&power_); }
  void power_shutdown() { nvml_power_close(&power_); }
  int power_get_temp() { return nvml_power_temp(power_); }

  NvmlPower power_;
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

// The OpenCL variant knows a card by its PCI address only. Among several
// cards the one at that address must be the one whose limit changes, not
// the one at the same place in some other count.
TEST_F(PowerNvml, ACardFoundByItsBusIdIsTheOneWhoseLimitIsSet) {
  gpu().device_count = 3;
  std::strcpy(gpu().bus_ids[1], "00000000:C1:00.0");
  ASSERT_EQ(nvml_power_open_bus_id("0000:c1:00.0", &power_), 0);
  EXPECT_EQ(power_get_temp(), 47);
  ASSERT_EQ(power_set_limit(50), 0);
  EXPECT_EQ(fake_nvml_record().set_limit_device, 1);

  CaptureStderr();
  EXPECT_EQ(nvml_power_open_bus_id("0000:c2:00.0", &power_), -1) << "no card there";
  const std::string message = GetCapturedStderr();
  expect_one_error_line(message);
  EXPECT_NE(message.find("GPU 0000:c2:00.0"), std::string::npos) << message;
  EXPECT_EQ(fake_nvml_record().current_limit_mw, kStartLimit) << "reopening restores the limit";
}

// Both variants read the power draw of the card they opened by its bus id:
// among cards that each draw their own wattage, the one at that address. A
// card that does not measure its power has none, quietly, at every status
// line; a reading that fails is one line.
TEST_F(PowerNvml, WattsAreTheOpenedCardsAndQuietWhereItHasNone) {
  gpu().device_count = 4;
  std::strcpy(gpu().bus_ids[2], "00000000:C1:00.0");
  CaptureStderr();
  EXPECT_EQ(nvml_power_watts(power_), -1.0) << "not opened yet";
  ASSERT_EQ(nvml_power_open_bus_id("0000:C1:00.0", &power_), 0);
  EXPECT_DOUBLE_EQ(nvml_power_watts(power_), 270.0);
  gpu().power_usage_mw[2] = 123456;
  EXPECT_DOUBLE_EQ(nvml_power_watts(power_), 123.456);
  gpu().power_usage_status = kFakeNvmlNotSupported;
  for (int status_line = 0; status_line < 3; ++status_line) {
    EXPECT_EQ(nvml_power_watts(power_), -1.0);
  }
  EXPECT_EQ(GetCapturedStderr(), "");

  gpu().power_usage_status = kFakeNvmlNoPermission;
  CaptureStderr();
  EXPECT_EQ(nvml_power_watts(power_), -1.0);
  const std::string message = GetCapturedStderr();
  expect_one_error_line(message);
  EXPECT_NE(message.find("GPU 0000:C1:00.0"), std::string::npos) << message;
}

// The CUDA variant counts cards in NVML's order and finds each in CUDA by
// the bus id NVML gives it. A card NVML cannot describe keeps its place
// (empty), so the cards after it keep NVML's index.
TEST_F(PowerNvml, BusIdsComeInNvmlsOrderAndAskNothingElse) {
  gpu().device_count = 3;
  std::strcpy(gpu().bus_ids[1], "00000000:C1:00.0");
  CaptureStderr();
  EXPECT_EQ(nvml_bus_ids(), (std::vector<std::string>{"00000000:65:00.0", "00000000:C1:00.0",
                                                       "00000000:67:00.0"}));
  gpu().pci_info_status = kFakeNvmlNotSupported;
  EXPECT_EQ(nvml_bus_ids(), (std::vector<std::string>{"", "", ""}));
  gpu().device_count = 0;
  EXPECT_TRUE(nvml_bus_ids().empty());
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(fake_nvml_record().init_calls, 3);
  EXPECT_EQ(fake_nvml_record().set_limit_calls, 0);
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
  const char* bus_id;
};

constexpr const char* kFirstCard = "0000:65:00.0";

class PowerNvmlInitFailure : public PowerNvml, public testing::WithParamInterface<InitFailure> {};

TEST_P(PowerNvmlInitFailure, FailsCleanly) {
  GetParam().break_gpu(gpu());
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(nvml_power_open_bus_id(GetParam().bus_id, &power_), -1);
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
                    [](FakeNvmlConfig& c) { c.init_status = kFakeNvmlDriverNotLoaded; },
                    kFirstCard},
        InitFailure{"NoCardAtTheBusId", [](FakeNvmlConfig&) {}, "0000:66:00.0"},
        InitFailure{"NotABusId", [](FakeNvmlConfig&) {}, "GPU-0"},
        InitFailure{"NoLimitRange",
                    [](FakeNvmlConfig& c) { c.constraints_status = kFakeNvmlNotSupported; },
                    kFirstCard},
        InitFailure{"NoTemperature",
                    [](FakeNvmlConfig& c) { c.temperature_status = kFakeNvmlNotSupported; },
                    kFirstCard},
        InitFailure{"NoDefaultLimit", [](FakeNvmlConfig& c) { c.default_limit_mw = 0; },
                    kFirstCard}),
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
  NvmlPower power;
  nvml_power_close(&power);
  CaptureStderr();
  EXPECT_EQ(nvml_power_set_limit(&power, 50), -1);
  expect_one_error_line(GetCapturedStderr());
  EXPECT_EQ(fake_nvml_record().init_calls, 0);
}

}  // namespace
