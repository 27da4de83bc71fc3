#include "gpu/opencl/power_control.h"

#include <string>

PowerControlKind power_control_for(cl_uint vendor, cl_device_type type, bool has_pci_address) {
  if ((type & CL_DEVICE_TYPE_GPU) == 0 || !has_pci_address) return PowerControlKind::none;
  if (vendor == kVendorNvidia) return PowerControlKind::nvml;
  if (vendor == kVendorAmd) return PowerControlKind::amdgpu;
  return PowerControlKind::none;
}

int opencl_power_open(const OpenClDevice& device, OpenClPower* power) {
  opencl_power_close(power);
  PciAddress address;
  const bool has_address = device_pci_address(device, &address);
  switch (power_control_for(device_vendor(device), device.type, has_address)) {
    case PowerControlKind::nvml:
      if (nvml_power_open_bus_id(pci_address_text(address).c_str(), &power->nvml) != 0) return -1;
      power->kind = PowerControlKind::nvml;
      return 0;
    case PowerControlKind::amdgpu:
      if (amdgpu_power_open("/sys", address, &power->amdgpu) != 0) return -1;
      power->kind = PowerControlKind::amdgpu;
      return 0;
    case PowerControlKind::none:
      break;
  }
  return -1;
}

int opencl_power_set_limit(OpenClPower* power, int percent) {
  switch (power->kind) {
    case PowerControlKind::nvml: return nvml_power_set_limit(&power->nvml, percent);
    case PowerControlKind::amdgpu: return amdgpu_power_set_limit(&power->amdgpu, percent);
    case PowerControlKind::none: break;
  }
  return -1;
}

void opencl_power_restore(OpenClPower* power) {
  if (power->kind == PowerControlKind::nvml) nvml_power_restore(&power->nvml);
  if (power->kind == PowerControlKind::amdgpu) amdgpu_power_restore(&power->amdgpu);
}

void opencl_power_close(OpenClPower* power) {
  if (power->kind == PowerControlKind::nvml) nvml_power_close(&power->nvml);
  if (power->kind == PowerControlKind::amdgpu) amdgpu_power_close(&power->amdgpu);
  *power = OpenClPower{};
}

int opencl_power_temp(const OpenClPower& power) {
  switch (power.kind) {
    case PowerControlKind::nvml: return nvml_power_temp(power.nvml);
    case PowerControlKind::amdgpu: return amdgpu_power_temp(power.amdgpu);
    case PowerControlKind::none: break;
  }
  return -1;
}

double opencl_power_watts(const OpenClPower& power) {
  switch (power.kind) {
    case PowerControlKind::nvml: return nvml_power_watts(power.nvml);
    case PowerControlKind::amdgpu: return amdgpu_power_watts(power.amdgpu);
    case PowerControlKind::none: break;
  }
  return -1.0;
}
