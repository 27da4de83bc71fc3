#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gpu/backend.h"
#include "gpu/kernel/kernel_host.h"

// One CUDA device opened for searching: a stream of its own and one result
// slot per batch that may be in flight, each with device memory the kernel
// writes, pinned host memory the result is copied to, and an event that
// marks the batch's end. Batches run in the order they were queued, on the
// one stream. Any number of contexts may be open at once; the backend's free
// functions keep one (backend_cuda.cpp). A context is used by one thread at a
// time, and each call makes its device current on the calling thread.

// The outcome of a sequence of CUDA runtime calls: the first error and the
// step that hit it. Helpers return it instead of printing, so that each
// entry point reports a failure in exactly one line.
struct CudaStatus {
  cudaError_t error = cudaSuccess;
  const char* step = "";
};

inline bool cuda_failed(const CudaStatus& status) { return status.error != cudaSuccess; }

struct CudaSlot {
  gpu_kernel::SolutionSlot* device_result = nullptr;
  gpu_kernel::SolutionSlot* host_result = nullptr;  // pinned
  cudaEvent_t done = nullptr;
  bool queued = false;  // the slot holds a batch
  bool empty = false;   // ... of no nonces, which never reached the GPU
};

struct CudaContext {
  int index = -1;        // the device as -d names it: NVML's index
  int cuda_device = -1;  // CUDA's number for the same card
  cudaStream_t stream = nullptr;
  CudaSlot slots[kGpuBatchSlots];
  // The most threads of one grid. One thread searches one nonce, and a batch
  // larger than this is launched in several grids.
  uint64_t largest_grid = uint64_t{1} << 31;
};

// Opens device `index`. -d counts devices as NVML does (PCI order), CUDA in
// an order of its own (fastest first, and only those CUDA_VISIBLE_DEVICES
// shows), so the card is found by the PCI bus id NVML gives that index;
// without NVML the index is taken as CUDA's.
CudaStatus cuda_context_open(int index, CudaContext* context);

// Waits for any queued batch, then releases everything; harmless on a
// context that is not open.
void cuda_context_close(CudaContext* context);

bool cuda_context_is_open(const CudaContext& context);

// Makes the context's device current for the calling thread.
CudaStatus cuda_use_context_device(const CudaContext& context);

// queue_mining_batch and collect_mining_batch (backend.h) on this context.
int cuda_queue_batch(CudaContext* context, int slot, const uint8_t header[80],
                     uint32_t start_nonce, uint32_t batch_size, const uint32_t target[8]);
int cuda_collect_batch(CudaContext* context, int slot, MiningResult* result);

// Prints "tamrix-miner: CUDA error in <step>: <reason>"; returns -1.
int report_cuda_failure(const CudaStatus& status);
