#pragma once

#include <string>

// The few NVML entry points the power controls use, resolved at run time
// from the driver's libnvidia-ml.so.1, so that the miner builds without
// NVML's header and starts on machines without the NVIDIA driver. Types,
// versioned symbol names and signatures follow NVML's public API reference.

struct NvmlDevice;       // behind NVML's opaque nvmlDevice_t
using NvmlReturn = int;  // nvmlReturn_t

constexpr NvmlReturn kNvmlSuccess = 0;       // NVML_SUCCESS
constexpr NvmlReturn kNvmlNotSupported = 3;  // NVML_ERROR_NOT_SUPPORTED
constexpr int kNvmlTemperatureGpu = 0;       // NVML_TEMPERATURE_GPU
constexpr int kNvmlPciBusIdSize = 32;        // NVML_DEVICE_PCI_BUS_ID_BUFFER_SIZE
constexpr int kNvmlPciBusIdLegacySize = 16;  // NVML_DEVICE_PCI_BUS_ID_BUFFER_V2_SIZE

// nvmlPciInfo_t, as filled by nvmlDeviceGetPciInfo_v3.
struct NvmlPciInfo {
  char bus_id_legacy[kNvmlPciBusIdLegacySize];
  unsigned int domain;
  unsigned int bus;
  unsigned int device;
  unsigned int pci_device_id;
  unsigned int pci_subsystem_id;
  char bus_id[kNvmlPciBusIdSize];  // "domain:bus:device.function"
};

struct NvmlApi {
  void* library = nullptr;
  NvmlReturn (*init)() = nullptr;                           // nvmlInit_v2
  NvmlReturn (*shutdown)() = nullptr;                       // nvmlShutdown
  const char* (*error_string)(NvmlReturn) = nullptr;        // nvmlErrorString
  NvmlReturn (*device_count)(unsigned int*) = nullptr;                  // _v2
  NvmlReturn (*device_by_index)(unsigned int, NvmlDevice**) = nullptr;  // _v2
  NvmlReturn (*device_by_bus_id)(const char*, NvmlDevice**) = nullptr;  // _v2
  NvmlReturn (*pci_info)(NvmlDevice*, NvmlPciInfo*) = nullptr;
  // Power limits are in milliwatts.
  NvmlReturn (*power_limit)(NvmlDevice*, unsigned int*) = nullptr;
  NvmlReturn (*default_power_limit)(NvmlDevice*, unsigned int*) = nullptr;
  NvmlReturn (*power_limit_constraints)(NvmlDevice*, unsigned int* min_limit,
                                        unsigned int* max_limit) = nullptr;
  NvmlReturn (*set_power_limit)(NvmlDevice*, unsigned int) = nullptr;
  NvmlReturn (*temperature)(NvmlDevice*, int sensor, unsigned int* celsius) = nullptr;
  NvmlReturn (*power_usage)(NvmlDevice*, unsigned int* milliwatts) = nullptr;
};

// Loads the library and resolves every entry point. On failure nothing stays
// loaded, *api is left empty and *why says what was missing.
bool load_nvml(NvmlApi* api, std::string* why);

// Unloads a library that load_nvml loaded; harmless on an empty NvmlApi.
void unload_nvml(NvmlApi* api);
