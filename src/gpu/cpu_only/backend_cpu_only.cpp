// The backend of a build without GPU support: it lists no device, every GPU
// entry point says that GPU support is not built in and fails, and every
// power call fails or does nothing. A context opens for any index, so that
// the benchmark and the start-up sequence run their GPU steps against it.

#include "gpu/backend.h"
#include "gpu/backend_report.h"

struct GpuContext {
  GpuDeviceInfo info;
};

namespace {

int gpu_not_built_in() {
  return report_backend_failure(
      "GPU mining is not built into this binary (CPU-only build). Pass --cpu-only.");
}

}  // namespace

bool gpu_support_built_in() { return false; }

std::vector<GpuDeviceInfo> gpu_list_devices(std::string* why) {
  *why = "this build has no GPU support (CPU-only build)";
  return {};
}

GpuContext* gpu_open_device(int index) {
  GpuContext* device = new GpuContext;
  device->info.index = index;
  device->info.runtime = "none";
  return device;
}

void gpu_close_device(GpuContext* device) { delete device; }

const GpuDeviceInfo& gpu_device_info(const GpuContext* device) { return device->info; }

int launch_mining_kernel(GpuContext* /*device*/, const uint8_t* /*header*/, uint32_t /*start_nonce*/,
                         uint32_t /*batch_size*/, const uint32_t* /*target*/, MiningResult* result) {
  if (result) result->found = false;
  return gpu_not_built_in();
}

int queue_mining_batch(GpuContext* /*device*/, int /*slot*/, const uint8_t* /*header*/,
                       uint32_t /*start_nonce*/, uint32_t /*batch_size*/, uint32_t /*launch_size*/,
                       const uint32_t* /*target*/) {
  return gpu_not_built_in();
}

// No batch was ever queued, so every slot is free.
int collect_mining_batch(GpuContext* /*device*/, int /*slot*/, MiningResult* result,
                         uint64_t* searched) {
  if (result) result->found = false;
  if (searched) *searched = 0;
  return -1;
}

void gpu_cancel_batches(GpuContext* /*device*/) {}

double benchmark_hashrate(GpuContext* /*device*/, int /*seconds*/, const std::atomic<bool>& /*running*/) {
  return 0.0;
}

void test_sha3_512_gpu(GpuContext* /*device*/) {
  report_backend_failure("GPU SHA3-512 not built into this binary.");
}

int power_init(GpuContext* /*device*/) { return -1; }
int power_set_limit(GpuContext* /*device*/, int /*percent*/) { return -1; }
void power_restore(GpuContext* /*device*/) {}
void power_shutdown(GpuContext* /*device*/) {}
int power_get_temp(GpuContext* /*device*/) { return -1; }
double power_get_watts(GpuContext* /*device*/) { return -1.0; }
