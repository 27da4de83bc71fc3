// GPU power limit and temperature through NVML, which is loaded only when
// nvml_power_init runs.

#include "gpu/power_nvml.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "gpu/backend_report.h"
#include "gpu/nvml_api.h"

namespace {

// Everything nvml_power_init acquires and nvml_power_shutdown releases. The
// backend's interface carries no handle, so it lives here; only the main
// thread calls these functions.
struct PowerControl {
  NvmlApi api;
  bool nvml_initialised = false;  // nvmlInit succeeded, so nvmlShutdown is owed
  bool ready = false;             // nvml_power_init succeeded
  int index = -1;                 // NVML's index of the device
  NvmlDevice* device = nullptr;
  unsigned int default_limit_mw = 0;   // the TDP that percentages refer to
  unsigned int min_limit_mw = 0;       // the device's accepted range
  unsigned int max_limit_mw = 0;
  unsigned int original_limit_mw = 0;  // from before the first nvml_power_set_limit
  bool limit_changed = false;          // nvml_power_restore has something to undo
};

PowerControl power;
// The PCI bus id of the device the last nvml_power_init opened; kept when a
// later step of that init fails, since the device itself was found.
char opened_bus_id[kNvmlPciBusIdSize] = {};

const char* nvml_reason(NvmlReturn status) {
  const char* text = power.api.error_string != nullptr ? power.api.error_string(status) : nullptr;
  return text != nullptr ? text : "unknown NVML error";
}

double watts(unsigned int milliwatts) { return milliwatts / 1000.0; }

void release_nvml() {
  if (power.nvml_initialised) power.api.shutdown();
  unload_nvml(&power.api);
  power = PowerControl{};
}

// Reports, then gives back what a failed nvml_power_init had acquired.
int fail_init(const char* what, int device, NvmlReturn status) {
  report_backend_failure("%s of GPU %d: %s", what, device, nvml_reason(status));
  release_nvml();
  return -1;
}

// Percent of the default limit, clamped to the range the device accepts.
unsigned int limit_for_percent(int percent) {
  uint64_t wanted =
      static_cast<uint64_t>(power.default_limit_mw) * static_cast<uint64_t>(percent) / 100;
  if (wanted < power.min_limit_mw) wanted = power.min_limit_mw;
  if (wanted > power.max_limit_mw) wanted = power.max_limit_mw;
  return static_cast<unsigned int>(wanted);
}

}  // namespace

int nvml_power_init(int device) {
  if (power.api.library != nullptr) nvml_power_shutdown();
  opened_bus_id[0] = '\0';
  if (device < 0) return report_backend_failure("no GPU has the index %d", device);

  std::string why;
  if (!load_nvml(&power.api, &why))
    return report_backend_failure("GPU power control unavailable: %s", why.c_str());
  NvmlReturn status = power.api.init();
  if (status != kNvmlSuccess) {
    report_backend_failure("NVML initialisation failed: %s", nvml_reason(status));
    release_nvml();
    return -1;
  }
  power.nvml_initialised = true;

  status = power.api.device_by_index(static_cast<unsigned int>(device), &power.device);
  if (status != kNvmlSuccess) return fail_init("cannot open the NVML handle", device, status);

  NvmlPciInfo pci{};
  if (power.api.pci_info(power.device, &pci) == kNvmlSuccess) {
    pci.bus_id[kNvmlPciBusIdSize - 1] = '\0';
    std::memcpy(opened_bus_id, pci.bus_id, sizeof opened_bus_id);
  }

  status = power.api.default_power_limit(power.device, &power.default_limit_mw);
  if (status != kNvmlSuccess)
    return fail_init("cannot read the default power limit", device, status);
  status = power.api.power_limit_constraints(power.device, &power.min_limit_mw,
                                             &power.max_limit_mw);
  if (status != kNvmlSuccess) return fail_init("cannot read the power limit range", device, status);
  unsigned int current_limit_mw = 0;
  status = power.api.power_limit(power.device, &current_limit_mw);
  if (status != kNvmlSuccess) return fail_init("cannot read the power limit", device, status);
  unsigned int celsius = 0;
  status = power.api.temperature(power.device, kNvmlTemperatureGpu, &celsius);
  if (status != kNvmlSuccess) return fail_init("cannot read the temperature", device, status);

  if (power.default_limit_mw == 0 || power.min_limit_mw > power.max_limit_mw) {
    report_backend_failure("GPU %d reports no usable power limits", device);
    release_nvml();
    return -1;
  }
  power.index = device;
  power.ready = true;
  return 0;
}

int nvml_power_set_limit(int percent) {
  if (!power.ready) return report_backend_failure("GPU power control is not initialised");
  if (percent <= 0)
    return report_backend_failure("a power limit must be a positive percentage, not %d", percent);

  if (!power.limit_changed) {
    const NvmlReturn status = power.api.power_limit(power.device, &power.original_limit_mw);
    if (status != kNvmlSuccess)
      return report_backend_failure("cannot read the power limit of GPU %d: %s", power.index,
                                    nvml_reason(status));
  }
  const unsigned int limit_mw = limit_for_percent(percent);
  const NvmlReturn status = power.api.set_power_limit(power.device, limit_mw);
  if (status != kNvmlSuccess)
    return report_backend_failure("cannot set the power limit of GPU %d to %.1f W: %s", power.index,
                  watts(limit_mw), nvml_reason(status));
  power.limit_changed = true;
  return 0;
}

void nvml_power_restore() {
  if (!power.ready || !power.limit_changed) return;
  // Cleared first: a failed restore is reported once, not again at shutdown.
  power.limit_changed = false;
  const NvmlReturn status = power.api.set_power_limit(power.device, power.original_limit_mw);
  if (status != kNvmlSuccess)
    report_backend_failure("cannot restore the power limit of GPU %d to %.1f W: %s", power.index,
           watts(power.original_limit_mw), nvml_reason(status));
}

void nvml_power_shutdown() {
  nvml_power_restore();
  release_nvml();
}

// Without nvml_power_init there is simply no temperature: the status line asks
// for one every two seconds even in CPU-only runs, so that is not an error.
int nvml_power_get_temp() {
  if (!power.ready) return -1;
  unsigned int celsius = 0;
  const NvmlReturn status = power.api.temperature(power.device, kNvmlTemperatureGpu, &celsius);
  if (status != kNvmlSuccess)
    return report_backend_failure("cannot read the temperature of GPU %d: %s", power.index,
                                  nvml_reason(status));
  return static_cast<int>(celsius);
}

const char* nvml_power_bus_id() { return opened_bus_id; }
