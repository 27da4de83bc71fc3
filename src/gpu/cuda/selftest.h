#pragma once

#include "gpu/cuda/context.h"

// Outcome of hashing the self-test headers (selftest_vectors.h) on the GPU
// and comparing with sha3_512_cpu. A vector counts as a mismatch when either
// the full SHA3-512 digest or the search path's digest head (midstate, nonce
// from bytes 76..79, shortened last round) differs from the CPU's.
struct GpuSelfTestOutcome {
  CudaStatus cuda;     // failed: the GPU could not run the test at all
  int vectors = 0;     // headers checked
  int mismatches = 0;  // headers whose GPU result differs
};

// Runs on the context's device, after any batch queued there (on the
// legacy default stream, which the slots' streams do not wait for).
GpuSelfTestOutcome run_sha3_512_gpu_self_test(CudaContext* context);
