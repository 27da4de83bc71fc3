// The GPU's SHA3-512 checked against the CPU reference, for
// test_sha3_512_gpu and the tests.

#include "gpu/sha3_selftest_gpu.h"

#include <cuda_runtime.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "gpu/backend.h"
#include "gpu/keccak_gpu.cuh"
#include "gpu/selftest_vectors.h"
#include "hash/header_midstate.h"

namespace {

constexpr int kVectorCount = kSelfTestVectors;

struct SelfTestVector {
  uint8_t header[80];
  HeaderMidstate midstate;  // of this header, for the search path
};

struct SelfTestDigests {
  uint64_t full[8];                                  // SHA3-512, all 64 bytes
  uint64_t head[keccak_gpu::kDigestHeadLanes];       // search path, first 32 bytes
};

__global__ void hash_vectors(const SelfTestVector* vectors, SelfTestDigests* digests, int count) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= count) return;
  keccak_gpu::sha3_512_80(vectors[i].header, digests[i].full);
  const uint8_t* nonce_bytes = vectors[i].header + 76;
  const uint32_t nonce = nonce_bytes[0] | nonce_bytes[1] << 8 | nonce_bytes[2] << 16 |
                         static_cast<uint32_t>(nonce_bytes[3]) << 24;
  keccak_gpu::pow_digest_head(vectors[i].midstate.round1_base, nonce, digests[i].head);
}

void make_vectors(SelfTestVector vectors[kVectorCount]) {
  uint8_t headers[kVectorCount][80];
  make_self_test_headers(headers);
  for (int v = 0; v < kVectorCount; ++v) {
    std::memcpy(vectors[v].header, headers[v], 80);
    header_midstate_init(&vectors[v].midstate, vectors[v].header);
  }
}

CudaStatus hash_on_gpu(const SelfTestVector vectors[kVectorCount],
                       SelfTestDigests digests[kVectorCount]) {
  CudaStatus status = use_chosen_cuda_device();
  if (cuda_failed(status)) return status;

  SelfTestVector* device_vectors = nullptr;
  SelfTestDigests* device_digests = nullptr;
  cudaError_t error = cudaMalloc(&device_vectors, sizeof(SelfTestVector) * kVectorCount);
  if (error == cudaSuccess)
    error = cudaMalloc(&device_digests, sizeof(SelfTestDigests) * kVectorCount);
  if (error != cudaSuccess) status = CudaStatus{error, "self-test allocation"};

  if (!cuda_failed(status)) {
    error = cudaMemcpy(device_vectors, vectors, sizeof(SelfTestVector) * kVectorCount,
                       cudaMemcpyHostToDevice);
    if (error != cudaSuccess) status = CudaStatus{error, "self-test upload"};
  }
  if (!cuda_failed(status)) {
    hash_vectors<<<1, kVectorCount>>>(device_vectors, device_digests, kVectorCount);
    error = cudaGetLastError();
    if (error != cudaSuccess) status = CudaStatus{error, "self-test launch"};
  }
  if (!cuda_failed(status)) {
    error = cudaMemcpy(digests, device_digests, sizeof(SelfTestDigests) * kVectorCount,
                       cudaMemcpyDeviceToHost);
    if (error != cudaSuccess) status = CudaStatus{error, "self-test hashing"};
  }
  cudaFree(device_vectors);
  cudaFree(device_digests);
  return status;
}

}  // namespace

GpuSelfTestOutcome run_sha3_512_gpu_self_test() {
  SelfTestVector vectors[kVectorCount];
  SelfTestDigests digests[kVectorCount];
  make_vectors(vectors);

  GpuSelfTestOutcome outcome;
  outcome.cuda = hash_on_gpu(vectors, digests);
  if (cuda_failed(outcome.cuda)) return outcome;
  outcome.vectors = kVectorCount;
  for (int v = 0; v < kVectorCount; ++v)
    if (!self_test_digests_match(vectors[v].header, digests[v].full, digests[v].head))
      ++outcome.mismatches;
  return outcome;
}

void test_sha3_512_gpu() {
  const GpuSelfTestOutcome outcome = run_sha3_512_gpu_self_test();
  if (cuda_failed(outcome.cuda)) {
    std::fprintf(stderr, "tamrix-miner: GPU SHA3-512 self-test FAILED (CUDA error in %s: %s)\n",
                 outcome.cuda.step, cudaGetErrorString(outcome.cuda.error));
  } else if (outcome.mismatches != 0) {
    std::fprintf(stderr,
                 "tamrix-miner: GPU SHA3-512 self-test FAILED (%d of %d vectors differ from "
                 "the CPU)\n",
                 outcome.mismatches, outcome.vectors);
  } else {
    std::printf("tamrix-miner: GPU SHA3-512 self-test passed (%d vectors)\n", outcome.vectors);
  }
}
