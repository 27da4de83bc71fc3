#pragma once

#include <string>

#include "gpu/nvml/nvml_api.h"

// The power limit and temperature of one NVIDIA GPU through NVML, which is
// loaded when the controls are opened. The CUDA variant opens them by NVML's
// device index (its -d); the OpenCL variant by the card's PCI bus id, which
// names the same card to both. Every failure prints one line beginning
// "tamrix-miner: ".

struct NvmlPower {
  NvmlApi api;
  bool nvml_initialised = false;  // nvmlInit succeeded, so nvmlShutdown is owed
  bool ready = false;             // opened: the calls below act on `device`
  std::string name;               // "GPU 1" or "GPU 0000:65:00.0", for messages
  NvmlDevice* device = nullptr;
  unsigned int default_limit_mw = 0;   // the TDP that percentages refer to
  unsigned int min_limit_mw = 0;       // the device's accepted range
  unsigned int max_limit_mw = 0;
  unsigned int original_limit_mw = 0;  // from before the first nvml_power_set_limit
  bool limit_changed = false;          // nvml_power_restore has something to undo
};

// Open the controls of one GPU, closing whatever *power held first; 0 when
// ready. `index` is NVML's; `bus_id` is "domain:bus:device.function".
int nvml_power_open_index(int index, NvmlPower* power);
int nvml_power_open_bus_id(const char* bus_id, NvmlPower* power);

// Sets the limit to percent of the default limit, clamped to the range.
int nvml_power_set_limit(NvmlPower* power, int percent);

// Back to the limit from before the first nvml_power_set_limit.
void nvml_power_restore(NvmlPower* power);

// Restores the limit and releases NVML; harmless on controls never opened.
void nvml_power_close(NvmlPower* power);

// Degrees Celsius; -1, quietly, on controls not opened (the status line
// asks every two seconds even in CPU-only runs).
int nvml_power_temp(const NvmlPower& power);

// The PCI bus id NVML reports for device `index`, or "" when NVML or the
// device is missing. Quiet: the caller has a fallback.
std::string nvml_bus_id_of_index(int index);
