#include "gpu/nvml/nvml_api.h"

#include <dlfcn.h>

namespace {

constexpr const char* kNvmlLibrary = "libnvidia-ml.so.1";

template <typename Function>
bool resolve(void* library, const char* symbol, Function* out, std::string* why) {
  void* address = dlsym(library, symbol);
  if (address == nullptr) {
    *why = std::string(kNvmlLibrary) + " has no " + symbol;
    return false;
  }
  *out = reinterpret_cast<Function>(address);
  return true;
}

}  // namespace

bool load_nvml(NvmlApi* api, std::string* why) {
  *api = NvmlApi{};
  void* library = dlopen(kNvmlLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *why = reason != nullptr ? reason : kNvmlLibrary;
    return false;
  }

  NvmlApi loaded;
  loaded.library = library;
  const bool complete =
      resolve(library, "nvmlInit_v2", &loaded.init, why) &&
      resolve(library, "nvmlShutdown", &loaded.shutdown, why) &&
      resolve(library, "nvmlErrorString", &loaded.error_string, why) &&
      resolve(library, "nvmlDeviceGetCount_v2", &loaded.device_count, why) &&
      resolve(library, "nvmlDeviceGetHandleByIndex_v2", &loaded.device_by_index, why) &&
      resolve(library, "nvmlDeviceGetHandleByPciBusId_v2", &loaded.device_by_bus_id, why) &&
      resolve(library, "nvmlDeviceGetPciInfo_v3", &loaded.pci_info, why) &&
      resolve(library, "nvmlDeviceGetPowerManagementLimit", &loaded.power_limit, why) &&
      resolve(library, "nvmlDeviceGetPowerManagementDefaultLimit", &loaded.default_power_limit,
              why) &&
      resolve(library, "nvmlDeviceGetPowerManagementLimitConstraints",
              &loaded.power_limit_constraints, why) &&
      resolve(library, "nvmlDeviceSetPowerManagementLimit", &loaded.set_power_limit, why) &&
      resolve(library, "nvmlDeviceGetTemperature", &loaded.temperature, why) &&
      resolve(library, "nvmlDeviceGetPowerUsage", &loaded.power_usage, why);
  if (!complete) {
    dlclose(library);
    return false;
  }
  *api = loaded;
  return true;
}

void unload_nvml(NvmlApi* api) {
  if (api->library != nullptr) dlclose(api->library);
  *api = NvmlApi{};
}
