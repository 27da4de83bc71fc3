// The backend of a build without GPU support: every GPU entry point says so
// and fails, every power call fails or does nothing.
#include <cstdio>

#include "gpu/backend.h"

int launch_mining_kernel(const uint8_t* /*header*/, uint32_t /*start_nonce*/,
                         uint32_t /*batch_size*/, const uint32_t* /*target*/,
                         MiningResult* result) {
  if (result) result->found = false;
  std::fputs(
      "tamrix-miner: GPU mining is not built into this binary (CPU-only build). "
      "Pass --cpu-only.\n",
      stderr);
  return -1;
}

double benchmark_hashrate(int /*seconds*/) { return 0.0; }

void test_sha3_512_gpu() {
  std::fputs("tamrix-miner: GPU SHA3-512 not built into this binary.\n", stderr);
}

int power_init(int /*device*/) { return -1; }
int power_set_limit(int /*percent*/) { return -1; }
void power_restore() {}
void power_shutdown() {}
int power_get_temp() { return -1; }
