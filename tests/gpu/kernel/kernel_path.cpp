// Built twice: as is, and with KECCAK_LANE_HALVES=1 and
// KERNEL_HOST_NAMESPACE=gpu_kernel_halves (tests/gpu/CMakeLists.txt).

#include "kernel_path.h"

#include "gpu/kernel/kernel_host.h"

namespace {

namespace kernel = KERNEL_HOST_NAMESPACE;

uint64_t rotl(uint64_t lane, int n) {
  return kernel::lane_value(kernel::lane_rotl(kernel::lane_of(lane), n));
}

void permute(uint64_t state[25]) {
  kernel::Lane lanes[25];
  for (int k = 0; k < 25; ++k) lanes[k] = kernel::lane_of(state[k]);
  kernel::keccak_f1600(lanes);
  for (int k = 0; k < 25; ++k) state[k] = kernel::lane_value(lanes[k]);
}

void sha3_512_80(const uint8_t message[80], uint64_t digest[8]) {
  kernel::sha3_512_80(message, digest);
}

void pow_digest_head(const uint64_t round1_base[25], uint32_t nonce, uint64_t head[4]) {
  kernel::pow_digest_head(round1_base, nonce, head);
}

}  // namespace

#if KECCAK_LANE_HALVES
KernelPath halves_kernel_path() {
  return KernelPath{"Halves32", rotl, permute, sha3_512_80, pow_digest_head};
}
#else
KernelPath lanes64_kernel_path() {
  return KernelPath{"Lanes64", rotl, permute, sha3_512_80, pow_digest_head};
}
#endif
