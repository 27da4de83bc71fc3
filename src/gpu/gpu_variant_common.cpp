// What backend.h defines alike for both GPU variants, on top of the
// variant's own queue_mining_batch and collect_mining_batch.

#include "gpu/backend.h"

bool gpu_support_built_in() { return true; }

int launch_mining_kernel(GpuContext* device, const uint8_t header[80], uint32_t start_nonce,
                         uint32_t batch_size, const uint32_t target[8], MiningResult* result) {
  if (result != nullptr) result->found = false;
  if (queue_mining_batch(device, 0, header, start_nonce, batch_size, 0, target) != 0) return -1;
  return collect_mining_batch(device, 0, result);
}
