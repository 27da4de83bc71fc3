// backend.h for the CUDA variant: each opened card is a GpuContext that
// holds its searches and its NVML power controls, found by its PCI bus id.

#include <cstdio>
#include <string>
#include <vector>

#include "gpu/backend.h"
#include "gpu/backend_report.h"
#include "gpu/cuda/context.h"
#include "gpu/cuda/devices.h"
#include "gpu/cuda/selftest.h"
#include "gpu/nvml/power_nvml.h"

// The two halves are separate members, so that the main thread reads the
// sensors while the card's GPU thread searches.
struct GpuContext {
  GpuDeviceInfo info;
  CudaContext launches;  // the GPU thread's
  NvmlPower power;       // the main thread's
};

std::vector<GpuDeviceInfo> gpu_list_devices(std::string* why) {
  std::vector<GpuDeviceInfo> infos;
  for (const CudaDevice& device : list_cuda_devices(why)) infos.push_back(device.info);
  return infos;
}

GpuContext* gpu_open_device(int index) {
  std::string why;
  const std::vector<CudaDevice> devices = list_cuda_devices(&why);
  if (devices.empty()) {
    report_backend_failure("%s", why.c_str());
    return nullptr;
  }
  if (index < 0 || static_cast<size_t>(index) >= devices.size()) {
    report_backend_failure("no CUDA device %d (this machine has %zu, from 0 to %zu)", index,
                           devices.size(), devices.size() - 1);
    return nullptr;
  }
  const CudaDevice& chosen = devices[static_cast<size_t>(index)];
  GpuContext* device = new GpuContext;
  device->info = chosen.info;
  const CudaStatus status = cuda_context_open(chosen.cuda_device, &device->launches);
  if (cuda_failed(status)) {
    report_cuda_failure(status);
    delete device;
    return nullptr;
  }
  return device;
}

void gpu_close_device(GpuContext* device) {
  if (device == nullptr) return;
  cuda_context_close(&device->launches);
  nvml_power_close(&device->power);
  delete device;
}

const GpuDeviceInfo& gpu_device_info(const GpuContext* device) { return device->info; }

int queue_mining_batch(GpuContext* device, int slot, const uint8_t header[80], uint32_t start_nonce,
                       uint32_t batch_size, uint32_t launch_size, const uint32_t target[8]) {
  if (device == nullptr) return report_backend_failure("no GPU device is open");
  return cuda_queue_batch(&device->launches, slot, header, start_nonce, batch_size, launch_size,
                          target);
}

int collect_mining_batch(GpuContext* device, int slot, MiningResult* result, uint64_t* searched) {
  if (device == nullptr) {
    if (result != nullptr) result->found = false;
    if (searched != nullptr) *searched = 0;
    return -1;
  }
  return cuda_collect_batch(&device->launches, slot, result, searched);
}

void gpu_cancel_batches(GpuContext* device) {
  if (device != nullptr) cuda_cancel_batches(&device->launches);
}

void test_sha3_512_gpu(GpuContext* device) {
  if (device == nullptr) {
    report_backend_failure("GPU SHA3-512 self-test FAILED (the device could not run it)");
    return;
  }
  const GpuSelfTestOutcome outcome = run_sha3_512_gpu_self_test(&device->launches);
  if (cuda_failed(outcome.cuda)) {
    report_backend_failure("GPU SHA3-512 self-test FAILED (CUDA error in %s: %s)",
                           outcome.cuda.step, cudaGetErrorString(outcome.cuda.error));
  } else if (outcome.mismatches != 0) {
    report_backend_failure("GPU SHA3-512 self-test FAILED (%d of %d vectors differ from the CPU)",
                           outcome.mismatches, outcome.vectors);
  } else {
    std::printf("tamrix-miner: GPU SHA3-512 self-test passed (%d vectors)\n", outcome.vectors);
  }
}

// NVML by the bus id CUDA gave the card: NVML counts cards in an order of
// its own, and so may CUDA.
int power_init(GpuContext* device) {
  if (device == nullptr) return -1;
  if (device->info.pci_bus_id.empty())
    return report_backend_failure("no power control for GPU %d: CUDA does not tell its PCI bus id",
                                  device->info.index);
  return nvml_power_open_bus_id(device->info.pci_bus_id.c_str(), &device->power);
}

int power_set_limit(GpuContext* device, int percent) {
  if (device == nullptr) return report_backend_failure("GPU power control is not initialised");
  return nvml_power_set_limit(&device->power, percent);
}

void power_restore(GpuContext* device) {
  if (device != nullptr) nvml_power_restore(&device->power);
}

void power_shutdown(GpuContext* device) {
  if (device != nullptr) nvml_power_close(&device->power);
}

int power_get_temp(GpuContext* device) {
  return device != nullptr ? nvml_power_temp(device->power) : -1;
}

double power_get_watts(GpuContext* device) {
  return device != nullptr ? nvml_power_watts(device->power) : -1.0;
}
