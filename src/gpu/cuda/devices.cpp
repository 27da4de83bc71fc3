#include "gpu/cuda/devices.h"

#include <cuda_runtime.h>

#include "gpu/device_order.h"
#include "gpu/nvml/power_nvml.h"
#include "gpu/pci_address.h"

namespace {

// A card as CUDA describes it; bus id "" where CUDA cannot tell it.
GpuDeviceInfo describe_card(int cuda_device, PciAddress* address) {
  GpuDeviceInfo info;
  info.runtime = "CUDA";
  char bus_id[64] = {};
  if (cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, cuda_device) == cudaSuccess &&
      parse_pci_address(bus_id, address))
    info.pci_bus_id = pci_address_text(*address);
  cudaDeviceProp properties{};
  if (cudaGetDeviceProperties(&properties, cuda_device) == cudaSuccess) {
    properties.name[sizeof properties.name - 1] = '\0';
    info.name = properties.name;
    info.memory_bytes = properties.totalGlobalMem;
  }
  // A failed query must not linger as the "last error" of a later call.
  cudaGetLastError();
  return info;
}

}  // namespace

std::vector<CudaDevice> list_cuda_devices(std::string* why) {
  int count = 0;
  const cudaError_t error = cudaGetDeviceCount(&count);
  if (error != cudaSuccess || count <= 0) {
    cudaGetLastError();
    *why = error != cudaSuccess ? std::string("no CUDA device: ") + cudaGetErrorString(error)
                                : "no CUDA device";
    return {};
  }
  std::vector<GpuDeviceInfo> cards;
  std::vector<PciAddress> addresses;
  for (int card = 0; card < count; ++card) {
    PciAddress address;
    // A card whose address is unknown sorts as 0000:00:00.0; NVML cannot
    // name it either.
    cards.push_back(describe_card(card, &address));
    addresses.push_back(address);
  }
  std::vector<CudaDevice> devices;
  for (const int card : cards_in_device_order(addresses, nvml_bus_ids())) {
    CudaDevice device{card, cards[static_cast<size_t>(card)]};
    device.info.index = static_cast<int>(devices.size());
    devices.push_back(device);
  }
  return devices;
}
