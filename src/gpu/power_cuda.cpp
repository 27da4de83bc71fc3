// The CUDA variant's power calls: NVML, with -d as NVML's device index.

#include "gpu/backend.h"
#include "gpu/gpu_device_choice.h"
#include "gpu/power_nvml.h"

int power_init(int device) {
  const int status = nvml_power_init(device);
  // CUDA numbers devices in an order of its own; the bus id lets the CUDA
  // side pick the GPU NVML calls `device`. Without it the index serves.
  choose_gpu_device(device, nvml_power_bus_id());
  return status;
}

int power_set_limit(int percent) { return nvml_power_set_limit(percent); }
void power_restore() { nvml_power_restore(); }
void power_shutdown() { nvml_power_shutdown(); }
int power_get_temp() { return nvml_power_get_temp(); }
