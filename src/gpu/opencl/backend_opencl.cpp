// backend.h for the OpenCL variant: each opened device is a GpuContext that
// holds its searches and its power controls.

#include <cstdio>
#include <string>
#include <vector>

#include "gpu/backend.h"
#include "gpu/backend_report.h"
#include "gpu/opencl/context.h"
#include "gpu/opencl/power_control.h"
#include "gpu/opencl/selftest.h"

// The two halves are separate members, so that the main thread reads the
// sensors while the device's GPU thread searches.
struct GpuContext {
  GpuDeviceInfo info;
  OpenClContext launches;  // the GPU thread's
  OpenClPower power;       // the main thread's
};

std::vector<GpuDeviceInfo> gpu_list_devices(std::string* why) {
  const std::vector<OpenClDevice> devices = list_opencl_devices(why);
  std::vector<GpuDeviceInfo> infos;
  for (size_t i = 0; i < devices.size(); ++i)
    infos.push_back(opencl_device_info(static_cast<int>(i), devices[i]));
  return infos;
}

GpuContext* gpu_open_device(int index) {
  GpuContext* device = new GpuContext;
  if (!opencl_context_open(index, OpenClOptions{}, &device->launches)) {
    delete device;
    return nullptr;
  }
  device->info = opencl_device_info(index, device->launches.device);
  std::printf("tamrix-miner: OpenCL device %d: %s\n", index, device->launches.name.c_str());
  std::fflush(stdout);
  return device;
}

void gpu_close_device(GpuContext* device) {
  if (device == nullptr) return;
  opencl_context_close(&device->launches);
  opencl_power_close(&device->power);
  delete device;
}

const GpuDeviceInfo& gpu_device_info(const GpuContext* device) { return device->info; }

int queue_mining_batch(GpuContext* device, int slot, const uint8_t header[80], uint32_t start_nonce,
                       uint32_t batch_size, uint32_t launch_size, const uint32_t target[8]) {
  if (device == nullptr) return report_backend_failure("no GPU device is open");
  return opencl_queue_batch(&device->launches, slot, header, start_nonce, batch_size, launch_size,
                            target);
}

int collect_mining_batch(GpuContext* device, int slot, MiningResult* result, uint64_t* searched) {
  if (device == nullptr) {
    if (result != nullptr) result->found = false;
    if (searched != nullptr) *searched = 0;
    return -1;
  }
  return opencl_collect_batch(&device->launches, slot, result, searched);
}

void gpu_cancel_batches(GpuContext* device) {
  if (device != nullptr) opencl_cancel_batches(&device->launches);
}

void test_sha3_512_gpu(GpuContext* device) {
  const OpenClSelfTestOutcome outcome = device != nullptr
                                            ? run_sha3_512_opencl_self_test(&device->launches)
                                            : OpenClSelfTestOutcome{};
  if (!outcome.ran) {
    report_backend_failure("GPU SHA3-512 self-test FAILED (the device could not run it)");
  } else if (outcome.mismatches != 0) {
    report_backend_failure(
        "GPU SHA3-512 self-test FAILED on %s (%d of %d vectors differ from the CPU)",
        outcome.device.c_str(), outcome.mismatches, outcome.vectors);
  } else {
    std::printf("tamrix-miner: GPU SHA3-512 self-test passed on %s (%d vectors)\n",
                outcome.device.c_str(), outcome.vectors);
  }
}

int power_init(GpuContext* device) {
  if (device == nullptr) return -1;
  return opencl_power_open(device->launches.device, &device->power);
}

int power_set_limit(GpuContext* device, int percent) {
  if (device == nullptr) return report_backend_failure("GPU power control is not initialised");
  return opencl_power_set_limit(&device->power, percent);
}

void power_restore(GpuContext* device) {
  if (device != nullptr) opencl_power_restore(&device->power);
}

void power_shutdown(GpuContext* device) {
  if (device != nullptr) opencl_power_close(&device->power);
}

int power_get_temp(GpuContext* device) {
  return device != nullptr ? opencl_power_temp(device->power) : -1;
}

double power_get_watts(GpuContext* device) {
  return device != nullptr ? opencl_power_watts(device->power) : -1.0;
}
