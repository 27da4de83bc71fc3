#pragma once

// Which GPU this process mines on and manages. The operator names it once
// (-d), and the driver hands that number only to power_init, which records
// it here for the launches. In the CUDA variant it is NVML's device index;
// CUDA numbers devices in an order of its own (fastest first, and only those
// CUDA_VISIBLE_DEVICES shows), so power_init also records the PCI bus id
// NVML reports for that index, and the CUDA side looks its device up by that
// id; without NVML the bare index is used for CUDA as well. In the OpenCL
// variant it is the device's place in the OpenCL order (opencl_devices.h).
// Without power_init it is device 0.
struct GpuDeviceChoice {
  int index = 0;             // the device index as the operator gave it
  char pci_bus_id[32] = {};  // "domain:bus:device.function", empty when unknown
};

// pci_bus_id may be null or empty when it is not known.
void choose_gpu_device(int index, const char* pci_bus_id);
GpuDeviceChoice chosen_gpu_device();
