#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gpu/backend.h"
#include "gpu/kernel/kernel_host.h"

// One CUDA device opened for searching: one result slot per batch that may
// be in flight, each with a stream of its own, device memory the kernel
// writes, pinned host memory the result is copied to, and an event that
// marks the batch's end; and the stop word that cuts batches short. Any
// number of contexts may be open at once. A context is used by one thread at
// a time, apart from cuda_cancel_batches, and each call makes its device
// current on the calling thread.
//
// Each slot's stream is in order, and the two run side by side: while the
// last groups of one slot's launch hold part of the card, the other slot's
// launch fills the rest, so no launch's last partial wave leaves the card
// part idle.

// The outcome of a sequence of CUDA runtime calls: the first error and the
// step that hit it. Helpers return it instead of printing, so that each
// entry point reports a failure in exactly one line.
struct CudaStatus {
  cudaError_t error = cudaSuccess;
  const char* step = "";
};

inline bool cuda_failed(const CudaStatus& status) { return status.error != cudaSuccess; }

struct CudaSlot {
  cudaStream_t stream = nullptr;  // the slot's own in-order stream
  gpu_kernel::SolutionSlot* device_result = nullptr;
  gpu_kernel::SolutionSlot* host_result = nullptr;  // pinned
  cudaEvent_t done = nullptr;
  uint32_t batch_size = 0;  // the nonces of the batch queued
  bool queued = false;      // the slot holds a batch
  bool empty = false;       // ... of no nonces, which never reached the GPU
};

struct CudaContext {
  int cuda_device = -1;  // CUDA's number for the card
  CudaSlot slots[kGpuBatchSlots];
  // The most threads of one grid. One thread searches one nonce, and a batch
  // larger than this is launched in several grids.
  uint64_t largest_grid = uint64_t{1} << 31;

  // The stop word (gpu/stop_word.h) in the card's memory. A cancel raises
  // the pinned host copy and copies it on the control stream, which the
  // card's copy engine runs beside the kernels of the slots' streams.
  uint32_t* device_stop = nullptr;
  uint32_t* host_stop = nullptr;  // pinned
  cudaStream_t control = nullptr;
  uint32_t stop_requests = 0;  // cancels so far; any thread, atomically
  uint32_t stops_seen = 0;     // what the queued batches run under; the GPU thread's
};

// Opens CUDA device `cuda_device` (CUDA's own numbering).
CudaStatus cuda_context_open(int cuda_device, CudaContext* context);

// Waits for any queued batch, then releases everything; harmless on a
// context that is not open.
void cuda_context_close(CudaContext* context);

bool cuda_context_is_open(const CudaContext& context);

// Makes the context's device current for the calling thread.
CudaStatus cuda_use_context_device(const CudaContext& context);

// Waits until every stream of the context is idle.
CudaStatus cuda_context_wait(const CudaContext& context);

// queue_mining_batch, collect_mining_batch and gpu_cancel_batches
// (backend.h) on this context.
int cuda_queue_batch(CudaContext* context, int slot, const uint8_t header[80],
                     uint32_t start_nonce, uint32_t batch_size, uint32_t launch_size,
                     const uint32_t target[8]);
int cuda_collect_batch(CudaContext* context, int slot, MiningResult* result, uint64_t* searched);
void cuda_cancel_batches(CudaContext* context);

// Prints "tamrix-miner: CUDA error in <step>: <reason>"; returns -1.
int report_cuda_failure(const CudaStatus& status);
