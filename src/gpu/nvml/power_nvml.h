#pragma once

#include <string>
#include <vector>

#include "gpu/nvml/nvml_api.h"

// The power limit, temperature and power draw of one NVIDIA GPU through
// NVML, which is loaded when the controls are opened. Both GPU variants open
// them by the card's PCI bus id, which names the same card to CUDA, OpenCL
// and NVML whatever order each counts cards in. Every failure prints one
// line beginning "tamrix-miner: ".

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

// Open the controls of the GPU at `bus_id` ("domain:bus:device.function"),
// closing whatever *power held first; 0 when ready.
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

// Watts the card draws now; -1, quietly, on controls not opened or a card
// that does not measure its power, after a line when the reading fails.
// Read on the main thread while the card searches.
double nvml_power_watts(const NvmlPower& power);

// The PCI bus id of every GPU NVML knows, in NVML's order (the PCI order
// nvidia-smi shows), as NVML spells them; empty when NVML or the driver is
// missing. Quiet: the caller has a fallback.
std::vector<std::string> nvml_bus_ids();
