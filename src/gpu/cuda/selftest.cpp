// The GPU's SHA3-512 checked against the CPU reference, for
// test_sha3_512_gpu and the tests.

#include "gpu/cuda/selftest.h"

#include <cuda_runtime.h>

#include <cstdint>

#include "gpu/cuda/search_kernels.h"
#include "gpu/selftest_vectors.h"
#include "hash/header_midstate.h"

namespace {

constexpr int kDigestLanes = 12;  // per header: 8 of the full digest, then 4 of the search path

struct SelfTestBuffers {
  uint8_t* messages = nullptr;
  uint64_t* round1_bases = nullptr;
  uint64_t* digests = nullptr;
  ~SelfTestBuffers() {
    cudaFree(messages);
    cudaFree(round1_bases);
    cudaFree(digests);
  }
};

CudaStatus hash_on_gpu(const CudaContext& context, const uint8_t headers[kSelfTestVectors][80],
                       const HeaderMidstate midstates[kSelfTestVectors],
                       uint64_t digests[kSelfTestVectors][kDigestLanes]) {
  const CudaStatus status = cuda_context_wait(context);
  if (cuda_failed(status)) return status;

  SelfTestBuffers buffers;
  cudaError_t error = cudaMalloc(&buffers.messages, 80 * kSelfTestVectors);
  if (error == cudaSuccess) error = cudaMalloc(&buffers.round1_bases, sizeof(HeaderMidstate) * kSelfTestVectors);
  if (error == cudaSuccess)
    error = cudaMalloc(&buffers.digests, sizeof(uint64_t) * kDigestLanes * kSelfTestVectors);
  if (error != cudaSuccess) return CudaStatus{error, "self-test allocation"};

  error = cudaMemcpy(buffers.messages, headers, 80 * kSelfTestVectors, cudaMemcpyHostToDevice);
  if (error == cudaSuccess)
    error = cudaMemcpy(buffers.round1_bases, midstates, sizeof(HeaderMidstate) * kSelfTestVectors,
                       cudaMemcpyHostToDevice);
  if (error != cudaSuccess) return CudaStatus{error, "self-test upload"};
  error = launch_self_test_hashes(buffers.messages, buffers.round1_bases, buffers.digests,
                                  kSelfTestVectors);
  if (error != cudaSuccess) return CudaStatus{error, "self-test launch"};
  // The copy waits for the kernel, so a fault inside it is reported here.
  error = cudaMemcpy(digests, buffers.digests, sizeof(uint64_t) * kDigestLanes * kSelfTestVectors,
                     cudaMemcpyDeviceToHost);
  if (error != cudaSuccess) return CudaStatus{error, "self-test hashing"};
  return CudaStatus{};
}

}  // namespace

GpuSelfTestOutcome run_sha3_512_gpu_self_test(CudaContext* context) {
  uint8_t headers[kSelfTestVectors][80];
  HeaderMidstate midstates[kSelfTestVectors];
  make_self_test_headers(headers);
  for (int v = 0; v < kSelfTestVectors; ++v) header_midstate_init(&midstates[v], headers[v]);

  uint64_t digests[kSelfTestVectors][kDigestLanes] = {};
  GpuSelfTestOutcome outcome;
  outcome.cuda = hash_on_gpu(*context, headers, midstates, digests);
  if (cuda_failed(outcome.cuda)) return outcome;
  outcome.vectors = kSelfTestVectors;
  for (int v = 0; v < kSelfTestVectors; ++v)
    if (!self_test_digests_match(headers[v], digests[v], digests[v] + 8)) ++outcome.mismatches;
  return outcome;
}
