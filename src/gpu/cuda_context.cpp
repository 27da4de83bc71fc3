#include "gpu/cuda_context.h"

#include <cstdio>

#include "gpu/gpu_device_choice.h"

namespace {

constexpr int kNotResolved = -1;

// CUDA's number for the chosen GPU, looked up at the first launch.
int cuda_device = kNotResolved;

int resolve_cuda_device() {
  const GpuDeviceChoice choice = chosen_gpu_device();
  int by_bus_id = 0;
  if (choice.pci_bus_id[0] != '\0' &&
      cudaDeviceGetByPCIBusId(&by_bus_id, choice.pci_bus_id) == cudaSuccess)
    return by_bus_id;
  // The failed lookup must not linger as the "last error" of a later call.
  cudaGetLastError();
  return choice.index;
}

}  // namespace

CudaStatus use_chosen_cuda_device() {
  if (cuda_device == kNotResolved) cuda_device = resolve_cuda_device();
  const cudaError_t error = cudaSetDevice(cuda_device);
  if (error != cudaSuccess) {
    cuda_device = kNotResolved;
    return CudaStatus{error, "device selection"};
  }
  return CudaStatus{};
}

int report_cuda_failure(const CudaStatus& status) {
  std::fprintf(stderr, "tamrix-miner: CUDA error in %s: %s\n", status.step,
               cudaGetErrorString(status.error));
  return -1;
}
