// The amdgpu power controls against a sysfs tree the test writes: what they
// read, what cap they set, what they restore, and how they fail.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "error_line.h"
#include "gpu/amdgpu/amdgpu_hwmon.h"

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr PciAddress kCard{0, 0x83, 0, 0};

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

// A card at 0000:83:00.0 whose hwmon directory is hwmon3, with a default cap
// of 250 W, a range of 100 to 300 W, a cap of 220 W set by the operator,
// three labelled temperature sensors, of which "edge" is the second, and a
// power draw of 187.5 W; beside it a card at 0000:03:00.0 that draws 99 W.
class AmdgpuHwmon : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/amdgpu-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    write_file(root_ / "bus/pci/devices/0000:03:00.0/hwmon/hwmon1/temp1_input", "99000\n");
    write_file(root_ / "bus/pci/devices/0000:03:00.0/hwmon/hwmon1/power1_average", "99000000\n");
    hwmon_ = root_ / "bus/pci/devices/0000:83:00.0/hwmon/hwmon3";
    write_file(hwmon_ / "name", "amdgpu\n");
    write_file(hwmon_ / "power1_cap", "220000000\n");
    write_file(hwmon_ / "power1_cap_default", "250000000\n");
    write_file(hwmon_ / "power1_cap_min", "100000000\n");
    write_file(hwmon_ / "power1_cap_max", "300000000\n");
    write_file(hwmon_ / "temp1_label", "junction\n");
    write_file(hwmon_ / "temp1_input", "88000\n");
    write_file(hwmon_ / "temp2_label", "edge\n");
    write_file(hwmon_ / "temp2_input", "61500\n");
    write_file(hwmon_ / "temp3_label", "mem\n");
    write_file(hwmon_ / "temp3_input", "70000\n");
    write_file(hwmon_ / "power1_average", "187500000\n");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string cap() const { return read_file(hwmon_ / "power1_cap"); }

  fs::path root_;
  fs::path hwmon_;
};

TEST_F(AmdgpuHwmon, OpensTheCardAtItsPciAddressAndReadsTheEdgeSensor) {
  EXPECT_EQ(pci_address_text(kCard), "0000:83:00.0");
  AmdgpuPower power;
  CaptureStderr();
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  EXPECT_EQ(amdgpu_power_temp(power), 61);
  write_file(hwmon_ / "temp2_input", "74999\n");
  EXPECT_EQ(amdgpu_power_temp(power), 74);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(cap(), "220000000") << "opening must not change the cap";
}

// The draw of the card at the address opened, not its neighbour's: from
// power1_average, or power1_input where the card has only that; none,
// quietly, where it has neither, and one line when the file cannot be read.
TEST_F(AmdgpuHwmon, WattsAreTheCardsOwnFromWhicheverSensorItHas) {
  struct Case {
    const char* name;
    const char* average;  // power1_average's text; null: no such file
    const char* input;    // power1_input's text; null: no such file
    double watts;
  };
  const Case cases[] = {
      {"average only", "187500000\n", nullptr, 187.5},
      {"input only", nullptr, "201000000\n", 201.0},
      {"both, average first", "150000000\n", "160000000\n", 150.0},
      {"neither", nullptr, nullptr, -1.0},
  };
  for (const Case& c : cases) {
    fs::remove(hwmon_ / "power1_average");
    fs::remove(hwmon_ / "power1_input");
    if (c.average != nullptr) write_file(hwmon_ / "power1_average", c.average);
    if (c.input != nullptr) write_file(hwmon_ / "power1_input", c.input);
    AmdgpuPower power;
    CaptureStderr();
    ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0) << c.name;
    EXPECT_DOUBLE_EQ(amdgpu_power_watts(power), c.watts) << c.name;
    EXPECT_DOUBLE_EQ(amdgpu_power_watts(power), c.watts) << c.name << ", asked again";
    EXPECT_EQ(GetCapturedStderr(), "") << c.name;
    amdgpu_power_close(&power);
    EXPECT_EQ(amdgpu_power_watts(power), -1.0) << c.name << ", closed";
  }

  write_file(hwmon_ / "power1_input", "201000000\n");
  AmdgpuPower power;
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  fs::remove(hwmon_ / "power1_input");
  CaptureStderr();
  EXPECT_EQ(amdgpu_power_watts(power), -1.0) << "the sensor went away";
  expect_one_error_line(GetCapturedStderr());
}

TEST_F(AmdgpuHwmon, WithoutAnEdgeLabelTheFirstSensorServes) {
  fs::remove(hwmon_ / "temp1_label");
  fs::remove(hwmon_ / "temp2_label");
  fs::remove(hwmon_ / "temp3_label");
  AmdgpuPower power;
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  EXPECT_EQ(amdgpu_power_temp(power), 88);
}

// A card without any temperature sensor still has its power cap; it has no
// temperature, quietly, since the status line asks every two seconds.
TEST_F(AmdgpuHwmon, ACardWithoutASensorHasNoTemperatureAndSaysNothing) {
  for (int n = 1; n <= 3; ++n) {
    fs::remove(hwmon_ / ("temp" + std::to_string(n) + "_label"));
    fs::remove(hwmon_ / ("temp" + std::to_string(n) + "_input"));
  }
  AmdgpuPower power;
  CaptureStderr();
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  for (int status_line = 0; status_line < 3; ++status_line) EXPECT_EQ(amdgpu_power_temp(power), -1);
  EXPECT_EQ(amdgpu_power_set_limit(&power, 80), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(cap(), "200000000");
}

TEST_F(AmdgpuHwmon, LimitIsAPercentOfTheDefaultCapClampedToTheRange) {
  AmdgpuPower power;
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  EXPECT_EQ(amdgpu_power_set_limit(&power, 80), 0);
  EXPECT_EQ(cap(), "200000000");
  EXPECT_EQ(amdgpu_power_set_limit(&power, 10), 0);
  EXPECT_EQ(cap(), "100000000");
  EXPECT_EQ(amdgpu_power_set_limit(&power, 150), 0);
  EXPECT_EQ(cap(), "300000000");
}

// The cap from before the first change comes back, at restore and at close,
// however many changes came between.
TEST_F(AmdgpuHwmon, RestoreAndCloseWriteBackTheOperatorsCap) {
  AmdgpuPower power;
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  ASSERT_EQ(amdgpu_power_set_limit(&power, 50), 0);
  ASSERT_EQ(amdgpu_power_set_limit(&power, 60), 0);
  amdgpu_power_restore(&power);
  EXPECT_EQ(cap(), "220000000");

  write_file(hwmon_ / "power1_cap", "230000000\n");  // the operator changes it meanwhile
  ASSERT_EQ(amdgpu_power_set_limit(&power, 50), 0);
  amdgpu_power_close(&power);
  EXPECT_EQ(cap(), "230000000");
  EXPECT_FALSE(power.ready);
  EXPECT_EQ(amdgpu_power_temp(power), -1);
}

TEST_F(AmdgpuHwmon, CloseWithoutAChangeLeavesTheCapAlone) {
  AmdgpuPower power;
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  write_file(hwmon_ / "power1_cap", "180000000\n");
  amdgpu_power_close(&power);
  EXPECT_EQ(cap(), "180000000");
}

TEST_F(AmdgpuHwmon, FailuresAreOneLineEach) {
  AmdgpuPower power;
  CaptureStderr();
  EXPECT_EQ(amdgpu_power_open(root_, PciAddress{0, 0x84, 0, 0}, &power), -1);
  expect_one_error_line(GetCapturedStderr());
  EXPECT_EQ(amdgpu_power_temp(power), -1);

  CaptureStderr();
  EXPECT_EQ(amdgpu_power_set_limit(&power, 50), -1);
  expect_one_error_line(GetCapturedStderr());

  fs::remove(hwmon_ / "power1_cap_default");
  CaptureStderr();
  EXPECT_EQ(amdgpu_power_open(root_, kCard, &power), -1);
  expect_one_error_line(GetCapturedStderr());

  write_file(hwmon_ / "power1_cap_default", "250000000\n");
  ASSERT_EQ(amdgpu_power_open(root_, kCard, &power), 0);
  CaptureStderr();
  EXPECT_EQ(amdgpu_power_set_limit(&power, 0), -1);
  expect_one_error_line(GetCapturedStderr());

  // A cap that cannot be written (here a directory stands in its place, since
  // the tests may run as root, for whom file modes do not stop a write).
  fs::remove(hwmon_ / "power1_cap");
  fs::create_directory(hwmon_ / "power1_cap");
  CaptureStderr();
  EXPECT_EQ(amdgpu_power_set_limit(&power, 50), -1);
  expect_one_error_line(GetCapturedStderr());

  fs::remove(hwmon_ / "temp2_input");
  CaptureStderr();
  EXPECT_EQ(amdgpu_power_temp(power), -1);
  expect_one_error_line(GetCapturedStderr());
}

}  // namespace
