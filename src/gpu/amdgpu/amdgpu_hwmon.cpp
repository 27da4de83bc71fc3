#include "gpu/amdgpu/amdgpu_hwmon.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "gpu/backend_report.h"

namespace {

namespace fs = std::filesystem;

bool read_number(const std::string& path, long long* value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> *value);
}

bool write_number(const std::string& path, long long value) {
  std::ofstream out(path);
  out << value << '\n';
  out.close();
  return static_cast<bool>(out);
}

std::string read_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The hwmon directory of the card that has the power cap; "" when none has.
std::string find_hwmon(const std::string& device_dir) {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(device_dir + "/hwmon", error)) {
    if (fs::exists(entry.path() / "power1_cap", error)) return entry.path().string();
  }
  return "";
}

// The "edge" sensor is the one amdgpu reports as the card's temperature;
// cards with a single unlabelled sensor only have temp1_input, and some
// cards have no sensor at all: "" then, so that the status line, which asks
// every two seconds, shows no temperature instead of an error each time.
std::string find_temp_input(const std::string& hwmon) {
  for (int n = 1; n <= 8; ++n) {
    const std::string label = hwmon + "/temp" + std::to_string(n) + "_label";
    if (read_line(label) == "edge") return hwmon + "/temp" + std::to_string(n) + "_input";
  }
  std::error_code error;
  const std::string first = hwmon + "/temp1_input";
  return fs::exists(first, error) ? first : "";
}

// Newer cards report the draw as power1_input, older ones as power1_average.
std::string find_power_input(const std::string& hwmon) {
  std::error_code error;
  for (const char* name : {"/power1_average", "/power1_input"})
    if (fs::exists(hwmon + name, error)) return hwmon + name;
  return "";
}

double watts(long long microwatts) { return static_cast<double>(microwatts) / 1e6; }

}  // namespace

int amdgpu_power_open(const std::string& sysfs_root, const PciAddress& address,
                      AmdgpuPower* power) {
  *power = AmdgpuPower{};
  const std::string device_dir = sysfs_root + "/bus/pci/devices/" + pci_address_text(address);
  const std::string hwmon = find_hwmon(device_dir);
  if (hwmon.empty())
    return report_backend_failure(
        "no amdgpu power control for the GPU at %s (no hwmon power1_cap under %s)",
        pci_address_text(address).c_str(), device_dir.c_str());
  AmdgpuPower opened;
  opened.hwmon = hwmon;
  long long current = 0;
  if (!read_number(hwmon + "/power1_cap_default", &opened.default_uw) ||
      !read_number(hwmon + "/power1_cap_min", &opened.min_uw) ||
      !read_number(hwmon + "/power1_cap_max", &opened.max_uw) ||
      !read_number(hwmon + "/power1_cap", &current))
    return report_backend_failure("cannot read the power caps in %s", hwmon.c_str());
  if (opened.default_uw <= 0 || opened.min_uw > opened.max_uw)
    return report_backend_failure("the GPU at %s reports no usable power caps",
                                  pci_address_text(address).c_str());
  opened.temp_input = find_temp_input(hwmon);
  opened.power_input = find_power_input(hwmon);
  opened.ready = true;
  *power = opened;
  return 0;
}

int amdgpu_power_set_limit(AmdgpuPower* power, int percent) {
  if (!power->ready) return report_backend_failure("GPU power control is not initialised");
  if (percent <= 0)
    return report_backend_failure("a power limit must be a positive percentage, not %d", percent);
  if (!power->limit_changed && !read_number(power->hwmon + "/power1_cap", &power->original_uw))
    return report_backend_failure("cannot read %s/power1_cap", power->hwmon.c_str());
  long long wanted = power->default_uw * percent / 100;
  if (wanted < power->min_uw) wanted = power->min_uw;
  if (wanted > power->max_uw) wanted = power->max_uw;
  if (!write_number(power->hwmon + "/power1_cap", wanted))
    return report_backend_failure("cannot set %s/power1_cap to %.1f W (writing it needs root)",
                                  power->hwmon.c_str(), watts(wanted));
  power->limit_changed = true;
  return 0;
}

void amdgpu_power_restore(AmdgpuPower* power) {
  if (!power->ready || !power->limit_changed) return;
  // Cleared first: a failed restore is reported once, not again at close.
  power->limit_changed = false;
  if (!write_number(power->hwmon + "/power1_cap", power->original_uw))
    report_backend_failure("cannot restore %s/power1_cap", power->hwmon.c_str());
}

void amdgpu_power_close(AmdgpuPower* power) {
  amdgpu_power_restore(power);
  *power = AmdgpuPower{};
}

int amdgpu_power_temp(const AmdgpuPower& power) {
  if (!power.ready || power.temp_input.empty()) return -1;
  long long millidegrees = 0;
  if (!read_number(power.temp_input, &millidegrees)) {
    report_backend_failure("cannot read the temperature from %s", power.temp_input.c_str());
    return -1;
  }
  return static_cast<int>(millidegrees / 1000);
}

double amdgpu_power_watts(const AmdgpuPower& power) {
  if (!power.ready || power.power_input.empty()) return -1.0;
  long long microwatts = 0;
  if (!read_number(power.power_input, &microwatts)) {
    report_backend_failure("cannot read the power draw from %s", power.power_input.c_str());
    return -1.0;
  }
  return watts(microwatts);
}
