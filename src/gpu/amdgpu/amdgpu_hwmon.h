#pragma once

#include <string>

#include "gpu/pci_address.h"

// The power limit, temperature and power draw of an AMD card through the
// amdgpu driver's hwmon files under <sysfs_root>/bus/pci/devices/<address>/
// hwmon/hwmonN/: power1_cap with power1_cap_default, power1_cap_min and
// power1_cap_max (microwatts), the "edge" temperature sensor, or
// temp1_input where no sensor is labelled (millidegrees Celsius), and
// power1_average, or power1_input on cards that have that one instead
// (microwatts). The sysfs
// root is a parameter so that the tests can hand in a tree of their own;
// the miner passes "/sys". Every failure prints one line beginning
// "tamrix-miner: ".

struct AmdgpuPower {
  bool ready = false;
  std::string hwmon;       // the card's hwmon directory
  std::string temp_input;  // the temperature file read by amdgpu_power_temp; "" when it has none
  std::string power_input;  // the power draw file read by amdgpu_power_watts; "" when it has none
  long long default_uw = 0;
  long long min_uw = 0;
  long long max_uw = 0;
  long long original_uw = 0;  // power1_cap before the first amdgpu_power_set_limit
  bool limit_changed = false;
};

// Finds the card's hwmon files and reads its limits; 0 when ready.
int amdgpu_power_open(const std::string& sysfs_root, const PciAddress& address, AmdgpuPower* power);

// Sets power1_cap to percent of the default cap, clamped to the card's range.
int amdgpu_power_set_limit(AmdgpuPower* power, int percent);

// Writes back the cap from before the first amdgpu_power_set_limit.
void amdgpu_power_restore(AmdgpuPower* power);

// Restores the cap and forgets the card.
void amdgpu_power_close(AmdgpuPower* power);

// Degrees Celsius, or -1: quietly for a card without a temperature sensor,
// after a line when its sensor cannot be read.
int amdgpu_power_temp(const AmdgpuPower& power);

// Watts the card draws, or -1: quietly for a card without a power sensor,
// after a line when its sensor cannot be read.
double amdgpu_power_watts(const AmdgpuPower& power);
