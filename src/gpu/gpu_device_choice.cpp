#include "gpu/gpu_device_choice.h"

#include <cstdio>

namespace {

// Written by power_init at start-up and read by the launches, which may run
// on a thread the driver starts later (that start orders the two); the
// backend's interface has no handle to carry it in.
GpuDeviceChoice chosen_device;

}  // namespace

void choose_gpu_device(int index, const char* pci_bus_id) {
  chosen_device = GpuDeviceChoice{};
  chosen_device.index = index;
  if (pci_bus_id != nullptr)
    std::snprintf(chosen_device.pci_bus_id, sizeof chosen_device.pci_bus_id, "%s", pci_bus_id);
}

GpuDeviceChoice chosen_gpu_device() { return chosen_device; }
