#pragma once

#include <cstdint>
#include <span>

#include "hash/header_midstate.h"

// A SHA3-512 nonce-search kernel: hashes `width` nonces of one header per call.
// Every kernel computes exactly what sha3_512_cpu computes over the 80-byte
// header with the nonce in bytes 76..79, but returns only the first 32 digest
// bytes, the part that is compared with the target.
// The most nonces any kernel hashes in one call; callers size their digest
// buffers by it.
constexpr int kMaxSearchKernelWidth = 8;

struct SearchKernel {
  const char* name;  // "scalar", "avx2 4-way" or "avx512 8-way"
  int width;         // nonces per call, 1 to kMaxSearchKernelWidth

  // Hashes the nonces first_nonce + i * stride (mod 2^32) for i = 0 .. width-1
  // and writes, for nonce i, digest_lanes[i][0..3]: digest bytes 0..31 read as
  // four little-endian 64-bit words.
  void (*hash)(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t stride,
               uint64_t (*digest_lanes)[4]);
};

// Every kernel compiled into the program, widest first, including those this
// CPU cannot run.
std::span<const SearchKernel* const> search_kernels_all();

// True when this CPU and OS can run the kernel's instructions.
bool search_kernel_supported(const SearchKernel& kernel);

// The supported kernel with this name, or null when the name is unknown or
// the CPU cannot run it.
const SearchKernel* search_kernel_find(const char* name);

// Compares the kernel with sha3_512_cpu on a few fixed headers and nonce
// ranges that wrap past 0xFFFFFFFF. The kernel must be supported.
bool search_kernel_self_test(const SearchKernel& kernel);

// The first candidate that passes search_kernel_self_test, or null.
const SearchKernel* search_kernel_first_passing(std::span<const SearchKernel* const> candidates);

// The widest supported kernel that passes its self-test. Decided on the first
// call and cached; later calls cost one load. Null only if even the scalar
// kernel disagrees with the reference, which means a broken build; the first
// call then prints one line on standard error.
const SearchKernel* search_kernel_auto();
