// backend.h for the OpenCL variant: every function acts on the process's
// default device, whose context and power controls live here.

#include <cstdio>
#include <string>
#include <vector>

#include "gpu/backend.h"
#include "gpu/backend_report.h"
#include "gpu/opencl/context.h"
#include "gpu/opencl/power_control.h"
#include "gpu/opencl/selftest.h"

namespace {

// backend.h's functions carry no handle, so this is the one process-wide
// state of the variant: the device gpu_use_device named, its context
// (opened at the first search, on whichever thread searches) and its power
// controls (opened by power_init on the main thread). The two halves are
// separate members, so the main thread reads the temperature while the GPU
// thread searches.
struct DefaultDevice {
  int index = 0;
  OpenClContext launches;
  OpenClPower power;
};

DefaultDevice default_device;

// The default context, opened on the named device if it is not yet; null
// after one line when it cannot be (the next call tries again).
OpenClContext* launch_context() {
  OpenClContext* c = &default_device.launches;
  if (opencl_context_is_open(*c)) return c;
  if (!opencl_context_open(default_device.index, OpenClOptions{}, c)) return nullptr;
  std::printf("tamrix-miner: OpenCL device %d: %s\n", c->index, c->name.c_str());
  std::fflush(stdout);
  return c;
}

}  // namespace

void gpu_use_device(int device) {
  if (device == default_device.index) return;
  opencl_context_close(&default_device.launches);
  default_device.index = device;
}

int queue_mining_batch(int slot, const uint8_t header[80], uint32_t start_nonce,
                       uint32_t batch_size, const uint32_t target[8]) {
  OpenClContext* c = launch_context();
  if (c == nullptr) return -1;
  return opencl_queue_batch(c, slot, header, start_nonce, batch_size, target);
}

int collect_mining_batch(int slot, MiningResult* result) {
  return opencl_collect_batch(&default_device.launches, slot, result);
}

void test_sha3_512_gpu() {
  OpenClContext* c = launch_context();
  const OpenClSelfTestOutcome outcome =
      c != nullptr ? run_sha3_512_opencl_self_test(c) : OpenClSelfTestOutcome{};
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

// A device that is missing is reported by the first search, not here.
int power_init(int device) {
  gpu_use_device(device);
  opencl_power_close(&default_device.power);
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  if (device < 0 || static_cast<size_t>(device) >= devices.size()) return -1;
  return opencl_power_open(devices[static_cast<size_t>(device)], &default_device.power);
}

int power_set_limit(int percent) { return opencl_power_set_limit(&default_device.power, percent); }
void power_restore() { opencl_power_restore(&default_device.power); }
void power_shutdown() { opencl_power_close(&default_device.power); }
int power_get_temp() { return opencl_power_temp(default_device.power); }
