// backend.h for the CUDA variant: every function acts on the process's
// default device, whose context and NVML power controls live here.

#include <cstdio>

#include "gpu/backend.h"
#include "gpu/backend_report.h"
#include "gpu/cuda/context.h"
#include "gpu/cuda/selftest.h"
#include "gpu/nvml/power_nvml.h"

namespace {

// backend.h's functions carry no handle, so this is the one process-wide
// state of the variant: the device gpu_use_device named (NVML's index), its
// context (opened at the first search, on whichever thread searches) and its
// power controls (opened by power_init on the main thread). The two halves
// are separate members, so the main thread reads the temperature while the
// GPU thread searches.
struct DefaultDevice {
  int index = 0;
  CudaContext launches;
  NvmlPower power;
};

DefaultDevice default_device;

// The default context, opened on the named device if it is not yet; null
// after one line when it cannot be (the next call tries again).
CudaContext* launch_context() {
  CudaContext* c = &default_device.launches;
  if (cuda_context_is_open(*c)) return c;
  const CudaStatus status = cuda_context_open(default_device.index, c);
  if (cuda_failed(status)) {
    report_cuda_failure(status);
    return nullptr;
  }
  return c;
}

}  // namespace

void gpu_use_device(int device) {
  if (device == default_device.index) return;
  cuda_context_close(&default_device.launches);
  default_device.index = device;
}

int queue_mining_batch(int slot, const uint8_t header[80], uint32_t start_nonce,
                       uint32_t batch_size, const uint32_t target[8]) {
  CudaContext* c = launch_context();
  if (c == nullptr) return -1;
  return cuda_queue_batch(c, slot, header, start_nonce, batch_size, target);
}

int collect_mining_batch(int slot, MiningResult* result) {
  return cuda_collect_batch(&default_device.launches, slot, result);
}

void test_sha3_512_gpu() {
  CudaContext* c = launch_context();
  if (c == nullptr) {
    report_backend_failure("GPU SHA3-512 self-test FAILED (the device could not run it)");
    return;
  }
  const GpuSelfTestOutcome outcome = run_sha3_512_gpu_self_test(c);
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

int power_init(int device) {
  gpu_use_device(device);
  return nvml_power_open_index(device, &default_device.power);
}

int power_set_limit(int percent) { return nvml_power_set_limit(&default_device.power, percent); }
void power_restore() { nvml_power_restore(&default_device.power); }
void power_shutdown() { nvml_power_close(&default_device.power); }
int power_get_temp() { return nvml_power_temp(default_device.power); }
