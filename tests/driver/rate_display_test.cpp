#include <gtest/gtest.h>

#include <string>

#include "driver/rate_display.h"

namespace {

std::string hashrate_line(double rate, const char* label) {
  testing::internal::CaptureStdout();
  print_hashrate(rate, label);
  return testing::internal::GetCapturedStdout();
}

std::string rate_text(double rate) {
  char text[128];
  format_rate_text(rate, text, sizeof text);
  return text;
}

TEST(PrintHashrate, PicksTheTierWithInclusiveBounds) {
  EXPECT_EQ(hashrate_line(0.0, "GPU"), "GPU: 0.00 H/s\n");
  EXPECT_EQ(hashrate_line(999.99, "CPU"), "CPU: 999.99 H/s\n");
  EXPECT_EQ(hashrate_line(1000.0, "CPU"), "CPU: 1.00 kH/s\n");
  EXPECT_EQ(hashrate_line(123456.0, "CPU"), "CPU: 123.46 kH/s\n");
  EXPECT_EQ(hashrate_line(999999.0, "CPU"), "CPU: 1000.00 kH/s\n");
  EXPECT_EQ(hashrate_line(1e6, "CPU"), "CPU: 1.00 MH/s\n");
  EXPECT_EQ(hashrate_line(2.5e8, "GPU"), "GPU: 250.00 MH/s\n");
  EXPECT_EQ(hashrate_line(1e9, "GPU"), "GPU: 1.00 GH/s\n");
  EXPECT_EQ(hashrate_line(3.456e12, "GPU"), "GPU: 3456.00 GH/s\n");
}

TEST(StatusRateText, HasNoHashesPerSecondTier) {
  EXPECT_EQ(rate_text(0.0), "0.00 kH/s");
  EXPECT_EQ(rate_text(500.0), "0.50 kH/s");
  EXPECT_EQ(rate_text(999.99), "1.00 kH/s");
  EXPECT_EQ(rate_text(1000.0), "1.00 kH/s");
  EXPECT_EQ(rate_text(999999.0), "1000.00 kH/s");
  EXPECT_EQ(rate_text(1e6), "1.00 MH/s");
  EXPECT_EQ(rate_text(42.42e6), "42.42 MH/s");
  EXPECT_EQ(rate_text(1e9), "1.00 GH/s");
  EXPECT_EQ(rate_text(7.5e9), "7.50 GH/s");
}

TEST(DeviceLabel, NamesTheSearchingDevices) {
  EXPECT_STREQ(device_label(true, true), "GPU+CPU");
  EXPECT_STREQ(device_label(true, false), "GPU");
  EXPECT_STREQ(device_label(false, true), "CPU");
  EXPECT_STREQ(device_label(false, false), "CPU");
}

TEST(StatusLine, ShowsTemperatureOnlyWhenAvailable) {
  testing::internal::CaptureStdout();
  print_status_line(2.5e6, "GPU+CPU", 3, 67);
  print_status_line(500.0, "CPU", 0, 0);
  print_status_line(1e9, "GPU", 12, -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "2.50 MH/s (GPU+CPU) | Blocks: 3 | GPU: 67C\n"
            "0.50 kH/s (CPU) | Blocks: 0\n"
            "1.00 GH/s (GPU) | Blocks: 12\n");
}

}  // namespace
