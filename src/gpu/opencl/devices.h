#pragma once

#include <CL/cl.h>

#include <string>
#include <vector>

#include "gpu/backend.h"
#include "gpu/pci_address.h"

// The OpenCL devices in the order -d counts them: the GPUs of every platform
// first (platform by platform, in the order the ICD loader lists them), then
// every other device type. A machine without a GPU thus mines on its first
// CPU or accelerator device with -d 0.
struct OpenClDevice {
  cl_platform_id platform = nullptr;
  cl_device_id device = nullptr;
  cl_device_type type = 0;
  int platform_index = 0;  // the loader's order, for the sort
};

// The order -d counts in; stable, so each platform's own order is kept.
std::vector<OpenClDevice> in_choice_order(std::vector<OpenClDevice> devices);

// Every device of every platform, in_choice_order. Empty, with *why set, when
// there is no platform or no device.
std::vector<OpenClDevice> list_opencl_devices(std::string* why);

// A string property of a device or platform, "" when it cannot be read.
std::string device_text(cl_device_id device, cl_device_info what);
std::string platform_text(cl_platform_id platform, cl_platform_info what);

// "<device name> (<platform name>)", as the benchmark and self-test name it.
std::string describe_device(const OpenClDevice& device);

// The vendor's PCI id (CL_DEVICE_VENDOR_ID): 0x10de NVIDIA, 0x1002 AMD; 0
// when it cannot be read.
cl_uint device_vendor(const OpenClDevice& device);
constexpr cl_uint kVendorNvidia = 0x10de;
constexpr cl_uint kVendorAmd = 0x1002;

// The card's PCI address, from cl_khr_pci_bus_info where the driver has it,
// else from AMD's own topology query (which has no domain; it is 0 on
// ordinary machines). False for a device that reports neither.
bool device_pci_address(const OpenClDevice& device, PciAddress* address);

// The device as the operator names it: `index` (its place in
// list_opencl_devices), its PCI bus id ("" where the driver does not tell),
// its name, "OpenCL", and its global memory.
GpuDeviceInfo opencl_device_info(int index, const OpenClDevice& device);

// The name of an OpenCL error code, such as "CL_OUT_OF_RESOURCES".
const char* opencl_error_name(cl_int code);
