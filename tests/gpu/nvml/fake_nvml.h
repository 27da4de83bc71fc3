#pragma once

// A stand-in for the driver's libnvidia-ml.so.1, built as a library of that
// name. A test that links it has it loaded already when the power controls
// dlopen "libnvidia-ml.so.1", so they get this one. It behaves like NVML
// where the power controls depend on it: calls fail before nvmlInit_v2 and
// after the matching nvmlShutdown, and limits outside the device's range
// are refused.

// NVML status codes the tests use.
constexpr int kFakeNvmlNotSupported = 3;  // NVML_ERROR_NOT_SUPPORTED
constexpr int kFakeNvmlNoPermission = 4;  // NVML_ERROR_NO_PERMISSION
constexpr int kFakeNvmlDriverNotLoaded = 9;  // NVML_ERROR_DRIVER_NOT_LOADED

// The simulated GPUs (alike but for their PCI bus ids) and the status each
// call returns. Tests may change it at any time through fake_nvml_config().
constexpr int kFakeNvmlDevices = 8;

struct FakeNvmlConfig {
  unsigned int device_count = 1;
  unsigned int default_limit_mw = 700000;
  unsigned int min_limit_mw = 200000;
  unsigned int max_limit_mw = 700000;
  unsigned int temperature_celsius = 47;
  // Device i's bus id: bus 0x65 + i ("00000000:65:00.0" for device 0), and
  // its power draw: 250 + 10 i watts, so each card tells which it is.
  char bus_ids[kFakeNvmlDevices][32] = {};
  unsigned int power_usage_mw[kFakeNvmlDevices] = {};
  int init_status = 0;
  int constraints_status = 0;
  int set_limit_status = 0;
  int temperature_status = 0;
  int power_usage_status = 0;
  int pci_info_status = 0;
};

// What the power controls did to the simulated GPU.
struct FakeNvmlRecord {
  int init_calls = 0;
  int shutdown_calls = 0;
  int set_limit_calls = 0;
  int set_limit_device = -1;          // the device the last successful limit went to
  unsigned int current_limit_mw = 0;  // starts at the default limit
};

// Back to a default configuration and an empty record, with the current
// limit at `current_limit_mw`.
extern "C" void fake_nvml_reset(unsigned int current_limit_mw);
extern "C" FakeNvmlConfig* fake_nvml_config();
extern "C" FakeNvmlRecord fake_nvml_record();
