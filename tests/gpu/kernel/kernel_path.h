#pragma once

#include <cstdint>

// The search kernel's arithmetic in one lane form, compiled for the host
// from gpu/kernel/search_kernel.cl (kernel_path.cpp, built once per form),
// with every lane as a 64-bit value at the boundary so that the tests treat
// both forms alike.
struct KernelPath {
  const char* name;
  uint64_t (*rotl)(uint64_t lane, int n);
  void (*permute)(uint64_t state[25]);  // Keccak-f[1600]
  void (*sha3_512_80)(const uint8_t message[80], uint64_t digest[8]);
  void (*pow_digest_head)(const uint64_t round1_base[25], uint32_t nonce, uint64_t head[4]);
};

KernelPath lanes64_kernel_path();  // the default form (NVIDIA, and any non-AMD device)
KernelPath halves_kernel_path();   // KECCAK_LANE_HALVES: AMD GPUs
