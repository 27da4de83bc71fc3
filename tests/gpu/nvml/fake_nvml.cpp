// The simulated NVML behind fake_nvml.h. Entry point names and signatures
// are those the power controls resolve.

#include "fake_nvml.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kSuccess = 0;
constexpr int kUninitialized = 1;
constexpr int kInvalidArgument = 2;
constexpr int kNotFound = 6;

struct PciInfo {  // nvmlPciInfo_t
  char bus_id_legacy[16];
  unsigned int domain;
  unsigned int bus;
  unsigned int device;
  unsigned int pci_device_id;
  unsigned int pci_subsystem_id;
  char bus_id[32];
};

struct FakeDevice {
  int index;
};

FakeNvmlConfig config;
FakeNvmlRecord record;
int open_sessions = 0;  // nvmlInit_v2 calls not yet matched by nvmlShutdown
FakeDevice devices[kFakeNvmlDevices] = {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}};

int check_device(const FakeDevice* device) {
  if (open_sessions == 0) return kUninitialized;
  if (device == nullptr || device->index < 0 ||
      static_cast<unsigned int>(device->index) >= config.device_count)
    return kInvalidArgument;
  return kSuccess;
}

// NVML accepts bus ids in several spellings (hexadecimal, either case,
// a short domain); the fake compares the numbers.
bool same_bus_id(const char* a, const char* b) {
  unsigned da = 0, ba = 0, dva = 0, fa = 0, db = 0, bb = 0, dvb = 0, fb = 0;
  return std::sscanf(a, "%x:%x:%x.%x", &da, &ba, &dva, &fa) == 4 &&
         std::sscanf(b, "%x:%x:%x.%x", &db, &bb, &dvb, &fb) == 4 && da == db && ba == bb &&
         dva == dvb && fa == fb;
}

}  // namespace

extern "C" {

void fake_nvml_reset(unsigned int current_limit_mw) {
  config = FakeNvmlConfig{};
  for (int i = 0; i < kFakeNvmlDevices; ++i) {
    std::snprintf(config.bus_ids[i], sizeof config.bus_ids[i], "00000000:%02X:00.0", 0x65 + i);
    config.power_usage_mw[i] = 250000 + 10000 * static_cast<unsigned int>(i);
  }
  record = FakeNvmlRecord{};
  record.current_limit_mw = current_limit_mw;
  open_sessions = 0;
}

FakeNvmlConfig* fake_nvml_config() { return &config; }
FakeNvmlRecord fake_nvml_record() { return record; }

int nvmlInit_v2() {
  ++record.init_calls;
  if (config.init_status != kSuccess) return config.init_status;
  ++open_sessions;
  return kSuccess;
}

int nvmlShutdown() {
  ++record.shutdown_calls;
  if (open_sessions == 0) return kUninitialized;
  --open_sessions;
  return kSuccess;
}

const char* nvmlErrorString(int status) {
  switch (status) {
    case kSuccess: return "Success";
    case kUninitialized: return "Uninitialized";
    case kInvalidArgument: return "Invalid Argument";
    case kFakeNvmlNotSupported: return "Not Supported";
    case kFakeNvmlNoPermission: return "Insufficient Permissions";
    case kNotFound: return "Not Found";
    case kFakeNvmlDriverNotLoaded: return "Driver Not Loaded";
    default: return "Unknown Error";
  }
}

int nvmlDeviceGetCount_v2(unsigned int* count) {
  if (open_sessions == 0) return kUninitialized;
  *count = config.device_count;
  return kSuccess;
}

int nvmlDeviceGetHandleByIndex_v2(unsigned int index, FakeDevice** device) {
  if (open_sessions == 0) return kUninitialized;
  if (index >= config.device_count || index >= kFakeNvmlDevices) return kInvalidArgument;
  *device = &devices[index];
  return kSuccess;
}

int nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, FakeDevice** device) {
  if (open_sessions == 0) return kUninitialized;
  for (unsigned int i = 0; i < config.device_count && i < kFakeNvmlDevices; ++i) {
    if (same_bus_id(bus_id, config.bus_ids[i])) {
      *device = &devices[i];
      return kSuccess;
    }
  }
  return kNotFound;
}

int nvmlDeviceGetPciInfo_v3(FakeDevice* device, PciInfo* pci) {
  if (int status = check_device(device); status != kSuccess) return status;
  if (config.pci_info_status != kSuccess) return config.pci_info_status;
  std::memset(pci, 0, sizeof *pci);
  std::memcpy(pci->bus_id, config.bus_ids[device->index], sizeof pci->bus_id);
  return kSuccess;
}

int nvmlDeviceGetPowerManagementLimit(FakeDevice* device, unsigned int* limit) {
  if (int status = check_device(device); status != kSuccess) return status;
  *limit = record.current_limit_mw;
  return kSuccess;
}

int nvmlDeviceGetPowerManagementDefaultLimit(FakeDevice* device, unsigned int* limit) {
  if (int status = check_device(device); status != kSuccess) return status;
  *limit = config.default_limit_mw;
  return kSuccess;
}

int nvmlDeviceGetPowerManagementLimitConstraints(FakeDevice* device, unsigned int* min_limit,
                                                 unsigned int* max_limit) {
  if (int status = check_device(device); status != kSuccess) return status;
  if (config.constraints_status != kSuccess) return config.constraints_status;
  *min_limit = config.min_limit_mw;
  *max_limit = config.max_limit_mw;
  return kSuccess;
}

int nvmlDeviceSetPowerManagementLimit(FakeDevice* device, unsigned int limit) {
  if (int status = check_device(device); status != kSuccess) return status;
  ++record.set_limit_calls;
  if (config.set_limit_status != kSuccess) return config.set_limit_status;
  if (limit < config.min_limit_mw || limit > config.max_limit_mw) return kInvalidArgument;
  record.current_limit_mw = limit;
  record.set_limit_device = device->index;
  return kSuccess;
}

int nvmlDeviceGetTemperature(FakeDevice* device, int sensor, unsigned int* celsius) {
  if (int status = check_device(device); status != kSuccess) return status;
  if (sensor != 0) return kInvalidArgument;  // only NVML_TEMPERATURE_GPU exists
  if (config.temperature_status != kSuccess) return config.temperature_status;
  *celsius = config.temperature_celsius;
  return kSuccess;
}

int nvmlDeviceGetPowerUsage(FakeDevice* device, unsigned int* milliwatts) {
  if (int status = check_device(device); status != kSuccess) return status;
  if (config.power_usage_status != kSuccess) return config.power_usage_status;
  *milliwatts = config.power_usage_mw[device->index];
  return kSuccess;
}

}  // extern "C"
