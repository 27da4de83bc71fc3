// The GPU nonce search: one launch searches one batch of consecutive nonces.

#include <cuda_runtime.h>

#include <algorithm>
#include <cstdint>

#include "gpu/backend.h"
#include "gpu/cuda_context.h"
#include "gpu/keccak_gpu.cuh"
#include "hash/header_midstate.h"

namespace {

constexpr int kThreadsPerBlock = 256;

// Everything a launch needs, passed by value: kernel parameters live in the
// constant bank, so every thread reads the midstate and target without a
// memory load and nothing is copied to the device per launch.
struct SearchParams {
  HeaderMidstate midstate;
  uint64_t target_lanes[keccak_gpu::kDigestHeadLanes];
  uint32_t start_nonce;
  uint32_t batch_size;
};

// Device memory that receives a solution. `claimed` is zero between
// launches; the first thread to raise it owns `nonce` and `head`.
struct SolutionSlot {
  uint32_t claimed;
  uint32_t nonce;
  uint64_t head[keccak_gpu::kDigestHeadLanes];
};

// Allocated at the first launch and kept for the life of the process.
struct SearchDevice {
  SolutionSlot* slot = nullptr;
  unsigned max_blocks = 0;  // enough blocks to fill every SM once
};

SearchDevice search_device;

__device__ void claim_solution(SolutionSlot* slot, uint32_t nonce,
                               const uint64_t head[keccak_gpu::kDigestHeadLanes]) {
  // One winner per batch; any other thread that also met the target drops its nonce.
  if (atomicCAS(&slot->claimed, 0u, 1u) != 0u) return;
  slot->nonce = nonce;
  for (int k = 0; k < keccak_gpu::kDigestHeadLanes; ++k) slot->head[k] = head[k];
}

// Grid-stride over the batch with a 64-bit index, so that a batch of up to
// 2^32 - 1 nonces needs no more threads than the grid has and the index
// cannot wrap before the batch ends.
__global__ void __launch_bounds__(kThreadsPerBlock)
    search_nonces(SearchParams params, SolutionSlot* slot) {
  const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
  for (uint64_t i = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
       i < params.batch_size; i += stride) {
    const uint32_t nonce = params.start_nonce + static_cast<uint32_t>(i);
    uint64_t head[keccak_gpu::kDigestHeadLanes];
    keccak_gpu::pow_digest_head(params.midstate.round1_base, nonce, head);
    if (keccak_gpu::digest_head_meets_target(head, params.target_lanes))
      claim_solution(slot, nonce, head);
  }
}

CudaStatus prepare_search_device(SearchDevice* device) {
  CudaStatus status = use_chosen_cuda_device();
  if (cuda_failed(status) || device->slot != nullptr) return status;

  int cuda_device = 0;
  int multiprocessors = 0;
  int blocks_per_multiprocessor = 0;
  cudaError_t error = cudaGetDevice(&cuda_device);
  if (error == cudaSuccess)
    error = cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, cuda_device);
  if (error == cudaSuccess)
    error = cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks_per_multiprocessor,
                                                          search_nonces, kThreadsPerBlock, 0);
  if (error != cudaSuccess) return CudaStatus{error, "device query"};

  SolutionSlot* slot = nullptr;
  error = cudaMalloc(&slot, sizeof(SolutionSlot));
  if (error == cudaSuccess) error = cudaMemset(slot, 0, sizeof(SolutionSlot));
  if (error != cudaSuccess) {
    cudaFree(slot);
    return CudaStatus{error, "buffer allocation"};
  }
  device->slot = slot;
  device->max_blocks = static_cast<unsigned>(std::max(1, multiprocessors * blocks_per_multiprocessor));
  return CudaStatus{};
}

CudaStatus run_batch(const SearchDevice& device, const SearchParams& params,
                     SolutionSlot* found) {
  const uint64_t blocks_for_batch =
      (static_cast<uint64_t>(params.batch_size) + kThreadsPerBlock - 1) / kThreadsPerBlock;
  const unsigned blocks =
      static_cast<unsigned>(std::min<uint64_t>(device.max_blocks, blocks_for_batch));
  search_nonces<<<blocks, kThreadsPerBlock>>>(params, device.slot);
  cudaError_t error = cudaGetLastError();
  if (error != cudaSuccess) return CudaStatus{error, "launch"};

  // The copy waits for the kernel, so a fault inside it is reported here.
  error = cudaMemcpy(found, device.slot, sizeof(SolutionSlot), cudaMemcpyDeviceToHost);
  if (error != cudaSuccess) return CudaStatus{error, "search"};

  // Only a batch that found something dirtied the slot.
  if (found->claimed != 0u) {
    error = cudaMemset(device.slot, 0, sizeof(SolutionSlot));
    if (error != cudaSuccess) return CudaStatus{error, "result reset"};
  }
  return CudaStatus{};
}

}  // namespace

int launch_mining_kernel(const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                         const uint32_t target[8], MiningResult* result) {
  if (result != nullptr) result->found = false;
  if (batch_size == 0) return 0;

  CudaStatus status = prepare_search_device(&search_device);
  if (cuda_failed(status)) return report_cuda_failure(status);

  SearchParams params;
  header_midstate_init(&params.midstate, header);
  keccak_gpu::target_to_lanes(target, params.target_lanes);
  params.start_nonce = start_nonce;
  params.batch_size = batch_size;

  SolutionSlot found{};
  status = run_batch(search_device, params, &found);
  if (cuda_failed(status)) return report_cuda_failure(status);

  if (found.claimed != 0u && result != nullptr) {
    result->nonce = found.nonce;
    for (int k = 0; k < keccak_gpu::kDigestHeadLanes; ++k)
      for (int j = 0; j < 8; ++j)
        result->hash[8 * k + j] = static_cast<uint8_t>(found.head[k] >> (8 * j));
    result->found = true;
  }
  return 0;
}
