#include "gpu/opencl/devices.h"

#include <CL/cl_ext.h>

#include <algorithm>

std::vector<OpenClDevice> in_choice_order(std::vector<OpenClDevice> devices) {
  std::stable_sort(devices.begin(), devices.end(),
                   [](const OpenClDevice& a, const OpenClDevice& b) {
                     const bool a_gpu = (a.type & CL_DEVICE_TYPE_GPU) != 0;
                     const bool b_gpu = (b.type & CL_DEVICE_TYPE_GPU) != 0;
                     if (a_gpu != b_gpu) return a_gpu;
                     return a.platform_index < b.platform_index;
                   });
  return devices;
}

std::vector<OpenClDevice> list_opencl_devices(std::string* why) {
  cl_uint platform_count = 0;
  // The loader answers CL_PLATFORM_NOT_FOUND_KHR when no ICD is installed.
  if (clGetPlatformIDs(0, nullptr, &platform_count) != CL_SUCCESS || platform_count == 0) {
    *why = "no OpenCL platform found (is an OpenCL driver installed?)";
    return {};
  }
  std::vector<cl_platform_id> platforms(platform_count);
  if (clGetPlatformIDs(platform_count, platforms.data(), nullptr) != CL_SUCCESS) {
    *why = "cannot list the OpenCL platforms";
    return {};
  }

  std::vector<OpenClDevice> devices;
  for (cl_uint p = 0; p < platform_count; ++p) {
    cl_uint count = 0;
    // A platform without devices answers CL_DEVICE_NOT_FOUND; it just adds none.
    if (clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_ALL, 0, nullptr, &count) != CL_SUCCESS)
      continue;
    std::vector<cl_device_id> ids(count);
    if (clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_ALL, count, ids.data(), nullptr) != CL_SUCCESS)
      continue;
    for (cl_device_id id : ids) {
      OpenClDevice entry;
      entry.platform = platforms[p];
      entry.device = id;
      entry.platform_index = static_cast<int>(p);
      clGetDeviceInfo(id, CL_DEVICE_TYPE, sizeof entry.type, &entry.type, nullptr);
      devices.push_back(entry);
    }
  }
  if (devices.empty()) *why = "no OpenCL device found";
  return in_choice_order(std::move(devices));
}

namespace {

// One of OpenCL's string queries, asked twice: for the size, then the text.
template <class Query>
std::string info_text(Query query) {
  size_t size = 0;
  if (query(0, nullptr, &size) != CL_SUCCESS || size == 0) return "";
  std::string text(size, '\0');
  if (query(size, text.data(), nullptr) != CL_SUCCESS) return "";
  text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
  return text;
}

}  // namespace

std::string device_text(cl_device_id device, cl_device_info what) {
  return info_text([&](size_t size, void* text, size_t* needed) {
    return clGetDeviceInfo(device, what, size, text, needed);
  });
}

std::string platform_text(cl_platform_id platform, cl_platform_info what) {
  return info_text([&](size_t size, void* text, size_t* needed) {
    return clGetPlatformInfo(platform, what, size, text, needed);
  });
}

std::string describe_device(const OpenClDevice& device) {
  return device_text(device.device, CL_DEVICE_NAME) + " (" +
         platform_text(device.platform, CL_PLATFORM_NAME) + ")";
}

cl_uint device_vendor(const OpenClDevice& device) {
  cl_uint vendor = 0;
  if (clGetDeviceInfo(device.device, CL_DEVICE_VENDOR_ID, sizeof vendor, &vendor, nullptr) !=
      CL_SUCCESS)
    return 0;
  return vendor;
}

bool device_pci_address(const OpenClDevice& device, PciAddress* address) {
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

GpuDeviceInfo opencl_device_info(int index, const OpenClDevice& device) {
  GpuDeviceInfo info;
  info.index = index;
  PciAddress address;
  if (device_pci_address(device, &address)) info.pci_bus_id = pci_address_text(address);
  info.name = device_text(device.device, CL_DEVICE_NAME);
  info.runtime = "OpenCL";
  cl_ulong memory = 0;
  if (clGetDeviceInfo(device.device, CL_DEVICE_GLOBAL_MEM_SIZE, sizeof memory, &memory, nullptr) ==
      CL_SUCCESS)
    info.memory_bytes = memory;
  return info;
}

const char* opencl_error_name(cl_int code) {
  switch (code) {
    case CL_DEVICE_NOT_FOUND: return "CL_DEVICE_NOT_FOUND";
    case CL_DEVICE_NOT_AVAILABLE: return "CL_DEVICE_NOT_AVAILABLE";
    case CL_COMPILER_NOT_AVAILABLE: return "CL_COMPILER_NOT_AVAILABLE";
    case CL_MEM_OBJECT_ALLOCATION_FAILURE: return "CL_MEM_OBJECT_ALLOCATION_FAILURE";
    case CL_OUT_OF_RESOURCES: return "CL_OUT_OF_RESOURCES";
    case CL_OUT_OF_HOST_MEMORY: return "CL_OUT_OF_HOST_MEMORY";
    case CL_BUILD_PROGRAM_FAILURE: return "CL_BUILD_PROGRAM_FAILURE";
    case CL_INVALID_VALUE: return "CL_INVALID_VALUE";
    case CL_INVALID_DEVICE: return "CL_INVALID_DEVICE";
    case CL_INVALID_CONTEXT: return "CL_INVALID_CONTEXT";
    case CL_INVALID_COMMAND_QUEUE: return "CL_INVALID_COMMAND_QUEUE";
    case CL_INVALID_MEM_OBJECT: return "CL_INVALID_MEM_OBJECT";
    case CL_INVALID_PROGRAM: return "CL_INVALID_PROGRAM";
    case CL_INVALID_KERNEL_NAME: return "CL_INVALID_KERNEL_NAME";
    case CL_INVALID_KERNEL: return "CL_INVALID_KERNEL";
    case CL_INVALID_ARG_INDEX: return "CL_INVALID_ARG_INDEX";
    case CL_INVALID_ARG_VALUE: return "CL_INVALID_ARG_VALUE";
    case CL_INVALID_ARG_SIZE: return "CL_INVALID_ARG_SIZE";
    case CL_INVALID_KERNEL_ARGS: return "CL_INVALID_KERNEL_ARGS";
    case CL_INVALID_WORK_GROUP_SIZE: return "CL_INVALID_WORK_GROUP_SIZE";
    case CL_INVALID_GLOBAL_WORK_SIZE: return "CL_INVALID_GLOBAL_WORK_SIZE";
    case CL_INVALID_BUFFER_SIZE: return "CL_INVALID_BUFFER_SIZE";
    case CL_INVALID_EVENT: return "CL_INVALID_EVENT";
    case CL_INVALID_OPERATION: return "CL_INVALID_OPERATION";
    case CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST:
      return "CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST";
    default: return "OpenCL error";
  }
}
