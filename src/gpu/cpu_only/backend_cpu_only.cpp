// The backend of a build without GPU support: every GPU entry point says so
// and fails, every power call fails or does nothing. It keeps no state.

#include "gpu/backend.h"
#include "gpu/backend_report.h"

namespace {

int gpu_not_built_in() {
  return report_backend_failure(
      "GPU mining is not built into this binary (CPU-only build). Pass --cpu-only.");
}

}  // namespace

int launch_mining_kernel(const uint8_t* /*header*/, uint32_t /*start_nonce*/,
                         uint32_t /*batch_size*/, const uint32_t* /*target*/,
                         MiningResult* result) {
  if (result) result->found = false;
  return gpu_not_built_in();
}

int queue_mining_batch(int /*slot*/, const uint8_t* /*header*/, uint32_t /*start_nonce*/,
                       uint32_t /*batch_size*/, const uint32_t* /*target*/) {
  return gpu_not_built_in();
}

// No batch was ever queued, so every slot is free.
int collect_mining_batch(int /*slot*/, MiningResult* result) {
  if (result) result->found = false;
  return -1;
}

bool gpu_support_built_in() { return false; }

void gpu_use_device(int /*device*/) {}

double benchmark_hashrate(int /*seconds*/) { return 0.0; }

void test_sha3_512_gpu() { report_backend_failure("GPU SHA3-512 not built into this binary."); }

int power_init(int /*device*/) { return -1; }
int power_set_limit(int /*percent*/) { return -1; }
void power_restore() {}
void power_shutdown() {}
int power_get_temp() { return -1; }
