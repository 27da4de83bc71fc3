#pragma once

#include <CL/cl.h>

#include "gpu/amdgpu/amdgpu_hwmon.h"
#include "gpu/nvml/power_nvml.h"
#include "gpu/opencl/devices.h"

// The power controls and sensors of an OpenCL device: an NVIDIA card's
// through NVML, found by the card's PCI bus id; an AMD card's through the
// amdgpu driver's hwmon files at its PCI address; none for anything else
// (POCL's CPU device, Intel, or a card whose driver does not tell its PCI
// address), which fails quietly, as in the CPU-only build.

enum class PowerControlKind { none, nvml, amdgpu };

PowerControlKind power_control_for(cl_uint vendor, cl_device_type type, bool has_pci_address);

struct OpenClPower {
  PowerControlKind kind = PowerControlKind::none;
  NvmlPower nvml;
  AmdgpuPower amdgpu;
};

// 0 when the device's controls are ready; -1 otherwise, after one line
// unless the device simply has none.
int opencl_power_open(const OpenClDevice& device, OpenClPower* power);
int opencl_power_set_limit(OpenClPower* power, int percent);
void opencl_power_restore(OpenClPower* power);
void opencl_power_close(OpenClPower* power);  // restores the limit; harmless when not open
int opencl_power_temp(const OpenClPower& power);
double opencl_power_watts(const OpenClPower& power);
