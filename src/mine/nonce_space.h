#pragma once

#include <atomic>
#include <cstdint>

// How the CPU workers and the GPU share the 2^32 nonces of one header (header
// bytes 0..75 and target), so that no nonce is hashed twice and neither device
// idles while the other still has nonces left.
//
// The CPU walks upward from kCpuStartNonce through its region: its workers
// claim consecutive chunks from the bottom of the region and hash them
// interleaved. The GPU first walks its own half upward from nonce 0 to
// kCpuStartNonce - 1 (that cursor is the GPU's alone), then takes batches
// from the top of the CPU's region downward until the two meet. Without a GPU
// the CPU's region is the whole ring, wrapping past 0xFFFFFFFF.
//
// Both ends of the CPU's region live in one atomic word, so a claim from
// either end is one compare-exchange and the two can never overlap. The CPU
// claims a chunk at a time, so its workers touch the word about once per
// chunk, not per hash.

constexpr uint32_t kCpuStartNonce = 0x80000000u;     // worker i of a new header starts at + i
constexpr uint64_t kGpuHalfNonces = kCpuStartNonce;  // nonces 0 .. kCpuStartNonce - 1
constexpr uint64_t kCpuRegionBesideGpu = uint64_t{1} << 31;
constexpr uint64_t kCpuRegionAlone = uint64_t{1} << 32;
constexpr uint64_t kCpuClaimChunk = uint64_t{1} << 14;

struct NonceSpace {
  // Nonces from kCpuStartNonce up; kCpuRegionAlone only when no GPU takes any.
  uint64_t cpu_region = kCpuRegionBesideGpu;
  // Chunks the CPU has claimed (high 32 bits) and nonces the GPU has taken
  // from the top of the CPU's region (low 32 bits).
  std::atomic<uint64_t> claims{0};
};

// Empties the space for a new header. No device may be using it.
void reset_nonce_space(NonceSpace& space, uint64_t cpu_region);

// The end (as an offset from kCpuStartNonce) of what the CPU may hash, claiming
// chunks until it lies beyond `offset` or the region is used up. The CPU's end
// only ever grows, so a worker may keep the answer until it passes it.
uint64_t cpu_claim_past(NonceSpace& space, uint64_t offset);

// One GPU launch's nonces: `size` nonces upward from `start_nonce`.
struct GpuBatch {
  uint32_t start_nonce;
  uint32_t size;
};

// The GPU's next batch of at most batch_size nonces, moving *own_next (the
// next nonce of the GPU's own half). A size of 0 means that every nonce of
// the header is taken; a batch_size of 0 gives an empty batch at *own_next.
GpuBatch gpu_take_batch(NonceSpace& space, uint64_t* own_next, uint32_t batch_size);
