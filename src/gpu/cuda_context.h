#pragma once

#include <cuda_runtime.h>

// The outcome of a sequence of CUDA runtime calls: the first error and the
// step that hit it. Helpers return it instead of printing, so that each
// backend entry point reports a failure in exactly one line.
struct CudaStatus {
  cudaError_t error = cudaSuccess;
  const char* step = "";
};

inline bool cuda_failed(const CudaStatus& status) { return status.error != cudaSuccess; }

// Makes the GPU of chosen_gpu_device() current for this thread. The lookup
// happens once; later calls only repeat cudaSetDevice, which is cheap.
CudaStatus use_chosen_cuda_device();

// Prints "tamrix-miner: CUDA error in <step>: <reason>" on stderr; returns -1.
int report_cuda_failure(const CudaStatus& status);
