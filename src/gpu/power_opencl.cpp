// The OpenCL variant's power calls. The device -d names is looked up among
// the OpenCL devices (opencl_devices.h); an NVIDIA card is handed to NVML,
// an AMD card to the amdgpu driver's hwmon files, and anything else has no
// power control: power_init fails and power_get_temp gives -1, quietly, as
// in the CPU-only variant.
//
// This state is separate from the launch state (opencl_runtime.cpp), so the
// main thread may read the temperature while a launch runs on another thread.

#include <CL/cl.h>
#include <CL/cl_ext.h>

#include <string>
#include <vector>

#include "gpu/amdgpu_hwmon.h"
#include "gpu/backend.h"
#include "gpu/gpu_device_choice.h"
#include "gpu/opencl_devices.h"
#include "gpu/power_nvml.h"

namespace {

constexpr cl_uint kVendorNvidia = 0x10de;
constexpr cl_uint kVendorAmd = 0x1002;

enum class PowerPath { kNone, kNvml, kAmdgpu };

struct OpenClPower {
  PowerPath path = PowerPath::kNone;
  AmdgpuPower amdgpu;
};

OpenClPower power;

cl_uint vendor_id(const OpenClDevice& device) {
  cl_uint vendor = 0;
  clGetDeviceInfo(device.device, CL_DEVICE_VENDOR_ID, sizeof vendor, &vendor, nullptr);
  return vendor;
}

// The card's PCI address, from cl_khr_pci_bus_info where the driver has it,
// else from AMD's own topology query (which has no domain; it is 0 on
// ordinary machines).
bool pci_address(const OpenClDevice& device, PciAddress* address) {
  cl_device_pci_bus_info_khr info{};
  if (clGetDeviceInfo(device.device, CL_DEVICE_PCI_BUS_INFO_KHR, sizeof info, &info, nullptr) ==
      CL_SUCCESS) {
    *address = PciAddress{info.pci_domain, info.pci_bus, info.pci_device, info.pci_function};
    return true;
  }
  cl_device_topology_amd topology{};
  if (clGetDeviceInfo(device.device, CL_DEVICE_TOPOLOGY_AMD, sizeof topology, &topology, nullptr) ==
          CL_SUCCESS &&
      topology.raw.type == CL_DEVICE_TOPOLOGY_TYPE_PCIE_AMD) {
    *address = PciAddress{0, static_cast<unsigned char>(topology.pcie.bus),
                          static_cast<unsigned char>(topology.pcie.device),
                          static_cast<unsigned char>(topology.pcie.function)};
    return true;
  }
  return false;
}

// NVML counts NVIDIA GPUs in PCI order, as NVIDIA's OpenCL platform lists
// them, so the card's place among the NVIDIA GPUs is its NVML index.
int nvml_index(const std::vector<OpenClDevice>& devices, size_t chosen) {
  int index = 0;
  for (size_t i = 0; i < chosen; ++i)
    if ((devices[i].type & CL_DEVICE_TYPE_GPU) != 0 && vendor_id(devices[i]) == kVendorNvidia)
      ++index;
  return index;
}

}  // namespace

int power_init(int device) {
  power_shutdown();
  choose_gpu_device(device, nullptr);
  // A missing platform or device is reported by the first launch.
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  if (device < 0 || static_cast<size_t>(device) >= devices.size()) return -1;
  const OpenClDevice& chosen = devices[static_cast<size_t>(device)];
  if ((chosen.type & CL_DEVICE_TYPE_GPU) == 0) return -1;

  const cl_uint vendor = vendor_id(chosen);
  if (vendor == kVendorNvidia) {
    if (nvml_power_init(nvml_index(devices, static_cast<size_t>(device))) != 0) return -1;
    power.path = PowerPath::kNvml;
    return 0;
  }
  PciAddress address;
  if (vendor == kVendorAmd && pci_address(chosen, &address)) {
    if (amdgpu_power_open("/sys", address, &power.amdgpu) != 0) return -1;
    power.path = PowerPath::kAmdgpu;
    return 0;
  }
  return -1;
}

int power_set_limit(int percent) {
  switch (power.path) {
    case PowerPath::kNvml: return nvml_power_set_limit(percent);
    case PowerPath::kAmdgpu: return amdgpu_power_set_limit(&power.amdgpu, percent);
    case PowerPath::kNone: break;
  }
  return -1;
}

void power_restore() {
  if (power.path == PowerPath::kNvml) nvml_power_restore();
  if (power.path == PowerPath::kAmdgpu) amdgpu_power_restore(&power.amdgpu);
}

void power_shutdown() {
  if (power.path == PowerPath::kNvml) nvml_power_shutdown();
  if (power.path == PowerPath::kAmdgpu) amdgpu_power_close(&power.amdgpu);
  power = OpenClPower{};
}

int power_get_temp() {
  switch (power.path) {
    case PowerPath::kNvml: return nvml_power_get_temp();
    case PowerPath::kAmdgpu: return amdgpu_power_temp(power.amdgpu);
    case PowerPath::kNone: break;
  }
  return -1;
}
