// GPU power limit, temperature and power draw through NVML.

#include "gpu/nvml/power_nvml.h"

#include <cstdint>

#include "gpu/backend_report.h"

namespace {

const char* nvml_reason(const NvmlPower& power, NvmlReturn status) {
  const char* text = power.api.error_string != nullptr ? power.api.error_string(status) : nullptr;
  return text != nullptr ? text : "unknown NVML error";
}

double watts(unsigned int milliwatts) { return milliwatts / 1000.0; }

void release(NvmlPower* power) {
  if (power->nvml_initialised) power->api.shutdown();
  unload_nvml(&power->api);
  *power = NvmlPower{};
}

// Reports, then gives back what a failed open had acquired.
int fail_open(NvmlPower* power, const char* what, NvmlReturn status) {
  report_backend_failure("%s of %s: %s", what, power->name.c_str(), nvml_reason(*power, status));
  release(power);
  return -1;
}

// Loads and starts NVML; false after one line.
bool start_nvml(NvmlPower* power) {
  std::string why;
  if (!load_nvml(&power->api, &why)) {
    report_backend_failure("GPU power control unavailable: %s", why.c_str());
    return false;
  }
  const NvmlReturn status = power->api.init();
  if (status != kNvmlSuccess) {
    report_backend_failure("NVML initialisation failed: %s", nvml_reason(*power, status));
    release(power);
    return false;
  }
  power->nvml_initialised = true;
  return true;
}

// Reads the limits of the device just found; the temperature too, so that a
// device without one fails here rather than at every status line.
int read_limits(NvmlPower* power) {
  NvmlReturn status = power->api.default_power_limit(power->device, &power->default_limit_mw);
  if (status != kNvmlSuccess) return fail_open(power, "cannot read the default power limit", status);
  status = power->api.power_limit_constraints(power->device, &power->min_limit_mw,
                                              &power->max_limit_mw);
  if (status != kNvmlSuccess) return fail_open(power, "cannot read the power limit range", status);
  unsigned int current_limit_mw = 0;
  status = power->api.power_limit(power->device, &current_limit_mw);
  if (status != kNvmlSuccess) return fail_open(power, "cannot read the power limit", status);
  unsigned int celsius = 0;
  status = power->api.temperature(power->device, kNvmlTemperatureGpu, &celsius);
  if (status != kNvmlSuccess) return fail_open(power, "cannot read the temperature", status);
  if (power->default_limit_mw == 0 || power->min_limit_mw > power->max_limit_mw) {
    report_backend_failure("%s reports no usable power limits", power->name.c_str());
    release(power);
    return -1;
  }
  power->ready = true;
  return 0;
}

// Percent of the default limit, clamped to the range the device accepts.
unsigned int limit_for_percent(const NvmlPower& power, int percent) {
  uint64_t wanted =
      static_cast<uint64_t>(power.default_limit_mw) * static_cast<uint64_t>(percent) / 100;
  if (wanted < power.min_limit_mw) wanted = power.min_limit_mw;
  if (wanted > power.max_limit_mw) wanted = power.max_limit_mw;
  return static_cast<unsigned int>(wanted);
}

}  // namespace

int nvml_power_open_bus_id(const char* bus_id, NvmlPower* power) {
  nvml_power_close(power);
  if (!start_nvml(power)) return -1;
  power->name = std::string("GPU ") + bus_id;
  const NvmlReturn status = power->api.device_by_bus_id(bus_id, &power->device);
  if (status != kNvmlSuccess) return fail_open(power, "cannot open the NVML handle", status);
  return read_limits(power);
}

int nvml_power_set_limit(NvmlPower* power, int percent) {
  if (!power->ready) return report_backend_failure("GPU power control is not initialised");
  if (percent <= 0)
    return report_backend_failure("a power limit must be a positive percentage, not %d", percent);

  if (!power->limit_changed) {
    const NvmlReturn status = power->api.power_limit(power->device, &power->original_limit_mw);
    if (status != kNvmlSuccess)
      return report_backend_failure("cannot read the power limit of %s: %s", power->name.c_str(),
                                    nvml_reason(*power, status));
  }
  const unsigned int limit_mw = limit_for_percent(*power, percent);
  const NvmlReturn status = power->api.set_power_limit(power->device, limit_mw);
  if (status != kNvmlSuccess)
    return report_backend_failure("cannot set the power limit of %s to %.1f W: %s",
                                  power->name.c_str(), watts(limit_mw), nvml_reason(*power, status));
  power->limit_changed = true;
  return 0;
}

void nvml_power_restore(NvmlPower* power) {
  if (!power->ready || !power->limit_changed) return;
  // Cleared first: a failed restore is reported once, not again at close.
  power->limit_changed = false;
  const NvmlReturn status = power->api.set_power_limit(power->device, power->original_limit_mw);
  if (status != kNvmlSuccess)
    report_backend_failure("cannot restore the power limit of %s to %.1f W: %s",
                           power->name.c_str(), watts(power->original_limit_mw),
                           nvml_reason(*power, status));
}

void nvml_power_close(NvmlPower* power) {
  nvml_power_restore(power);
  release(power);
}

int nvml_power_temp(const NvmlPower& power) {
  if (!power.ready) return -1;
  unsigned int celsius = 0;
  const NvmlReturn status = power.api.temperature(power.device, kNvmlTemperatureGpu, &celsius);
  if (status != kNvmlSuccess)
    return report_backend_failure("cannot read the temperature of %s: %s", power.name.c_str(),
                                  nvml_reason(power, status));
  return static_cast<int>(celsius);
}

double nvml_power_watts(const NvmlPower& power) {
  if (!power.ready) return -1.0;
  unsigned int milliwatts = 0;
  const NvmlReturn status = power.api.power_usage(power.device, &milliwatts);
  if (status == kNvmlNotSupported) return -1.0;
  if (status != kNvmlSuccess) {
    report_backend_failure("cannot read the power draw of %s: %s", power.name.c_str(),
                           nvml_reason(power, status));
    return -1.0;
  }
  return watts(milliwatts);
}

std::vector<std::string> nvml_bus_ids() {
  NvmlApi api;
  std::string why;
  if (!load_nvml(&api, &why)) return {};
  std::vector<std::string> bus_ids;
  unsigned int count = 0;
  if (api.init() == kNvmlSuccess) {
    if (api.device_count(&count) == kNvmlSuccess) {
      for (unsigned int index = 0; index < count; ++index) {
        NvmlDevice* device = nullptr;
        NvmlPciInfo pci{};
        if (api.device_by_index(index, &device) != kNvmlSuccess ||
            api.pci_info(device, &pci) != kNvmlSuccess) {
          // A card NVML cannot describe keeps its place, so later indexes stay NVML's.
          bus_ids.emplace_back();
          continue;
        }
        pci.bus_id[kNvmlPciBusIdSize - 1] = '\0';
        bus_ids.emplace_back(pci.bus_id);
      }
    }
    api.shutdown();
  }
  unload_nvml(&api);
  return bus_ids;
}
