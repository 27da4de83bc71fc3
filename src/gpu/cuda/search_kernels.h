#pragma once

#include <cuda_runtime.h>

#include <cstdint>

// The CUDA build of the search kernel (gpu/kernel/search_kernel.cl) and the
// launches of its two kernels. The kernel code lives in search_kernels.cu,
// the only file nvcc compiles for the device.

namespace gpu_kernel {
struct SearchParams;
struct SolutionSlot;
}  // namespace gpu_kernel

// Queues search_nonces on `stream` over `blocks` blocks of SEARCH_GROUP_SIZE
// threads, with the device's stop word and the stop requests the batch runs
// under; returns the launch's own error (a fault shows later, at the
// stream's next synchronisation).
cudaError_t launch_search_nonces(unsigned blocks, cudaStream_t stream,
                                 const gpu_kernel::SearchParams& params,
                                 gpu_kernel::SolutionSlot* slot, const uint32_t* stop_word,
                                 uint32_t stops_seen);

// How many blocks of search_nonces one multiprocessor of the current device
// holds at once.
cudaError_t search_blocks_per_multiprocessor(int* blocks);

// Queues self_test_hashes on the default stream for `count` messages (see
// search_kernel.cl for the buffers' layout).
cudaError_t launch_self_test_hashes(const uint8_t* messages, const uint64_t* round1_bases,
                                    uint64_t* digests, unsigned count);
