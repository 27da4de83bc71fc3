#include "mine/nonce_space.h"

#include <algorithm>

namespace {

uint64_t pack(uint64_t cpu_chunks, uint64_t gpu_taken) { return cpu_chunks << 32 | gpu_taken; }
uint64_t cpu_chunks_of(uint64_t claims) { return claims >> 32; }
uint64_t gpu_taken_of(uint64_t claims) { return claims & 0xFFFFFFFFu; }

// The CPU's end for these claims: its chunks, cut where the GPU's begin.
uint64_t cpu_end_of(const NonceSpace& space, uint64_t claims) {
  return std::min(cpu_chunks_of(claims) * kCpuClaimChunk, space.cpu_region - gpu_taken_of(claims));
}

}  // namespace

void reset_nonce_space(NonceSpace& space, uint64_t cpu_region) {
  space.cpu_region = cpu_region;
  space.claims.store(0);
}

uint64_t cpu_claim_past(NonceSpace& space, uint64_t offset) {
  uint64_t claims = space.claims.load();
  for (;;) {
    const uint64_t end = cpu_end_of(space, claims);
    const bool region_used_up =
        cpu_chunks_of(claims) * kCpuClaimChunk >= space.cpu_region - gpu_taken_of(claims);
    if (offset < end || region_used_up) return end;
    // On failure `claims` holds the current word and the loop looks again.
    const uint64_t one_more = pack(cpu_chunks_of(claims) + 1, gpu_taken_of(claims));
    if (space.claims.compare_exchange_weak(claims, one_more)) claims = one_more;
  }
}

GpuBatch gpu_take_batch(NonceSpace& space, uint64_t* own_next, uint32_t batch_size) {
  if (batch_size == 0) return {static_cast<uint32_t>(*own_next), 0};
  if (*own_next < kGpuHalfNonces) {
    const uint64_t size = std::min<uint64_t>(batch_size, kGpuHalfNonces - *own_next);
    const GpuBatch batch{static_cast<uint32_t>(*own_next), static_cast<uint32_t>(size)};
    *own_next += size;
    return batch;
  }
  uint64_t claims = space.claims.load();
  for (;;) {
    const uint64_t taken = gpu_taken_of(claims);
    const uint64_t cpu_claimed = cpu_chunks_of(claims) * kCpuClaimChunk;
    const uint64_t top = space.cpu_region - taken;
    if (cpu_claimed >= top) return {0, 0};
    const uint64_t size = std::min<uint64_t>(batch_size, top - cpu_claimed);
    if (space.claims.compare_exchange_weak(claims, pack(cpu_chunks_of(claims), taken + size)))
      return {static_cast<uint32_t>(kCpuStartNonce + (top - size)), static_cast<uint32_t>(size)};
  }
}
