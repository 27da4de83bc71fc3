// The one kernel source, compiled by nvcc: vendor.h maps its qualifiers,
// ids, atomics and rotations onto CUDA, and the 64-bit lane form is used.

#include "gpu/cuda/search_kernels.h"

#include <cuda_runtime.h>

#include <cstdint>

namespace gpu_kernel {
#include "gpu/kernel/vendor.h"
#include "gpu/kernel/search_kernel.cl"
}  // namespace gpu_kernel

cudaError_t launch_search_nonces(unsigned blocks, cudaStream_t stream,
                                 const gpu_kernel::SearchParams& params,
                                 gpu_kernel::SolutionSlot* slot, const uint32_t* stop_word,
                                 uint32_t stops_seen) {
  gpu_kernel::search_nonces<<<blocks, SEARCH_GROUP_SIZE, 0, stream>>>(params, slot, stop_word,
                                                                      stops_seen);
  return cudaGetLastError();
}

cudaError_t search_blocks_per_multiprocessor(int* blocks) {
  return cudaOccupancyMaxActiveBlocksPerMultiprocessor(blocks, gpu_kernel::search_nonces,
                                                       SEARCH_GROUP_SIZE, 0);
}

cudaError_t launch_self_test_hashes(const uint8_t* messages, const uint64_t* round1_bases,
                                    uint64_t* digests, unsigned count) {
  gpu_kernel::self_test_hashes<<<1, count>>>(messages, round1_bases, digests, count);
  return cudaGetLastError();
}
