#include "hash/cpu_features.h"

#include <cpuid.h>

namespace {

// CPUID.1:ECX
constexpr uint32_t kOsXsave = 1u << 27;
constexpr uint32_t kAvx = 1u << 28;
// CPUID.(7,0):EBX
constexpr uint32_t kAvx2 = 1u << 5;
constexpr uint32_t kAvx512F = 1u << 16;
constexpr uint32_t kAvx512Vl = 1u << 31;
// XCR0: which register files the OS saves and restores.
constexpr uint64_t kXcr0SseYmm = 0x06;  // XMM and the upper halves of YMM
constexpr uint64_t kXcr0Avx512 = 0xE0;  // opmask, upper ZMM0-15, ZMM16-31

bool all_set(uint64_t word, uint64_t bits) { return (word & bits) == bits; }

// Only valid when CPUID reports OSXSAVE; elsewhere xgetbv faults.
uint64_t read_xcr0() {
  uint32_t low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (uint64_t{high} << 32) | low;
}

}  // namespace

CpuFeatures cpu_features_decode(const CpuIdWords& words) {
  const bool ymm_saved =
      all_set(words.leaf1_ecx, kOsXsave | kAvx) && all_set(words.xcr0, kXcr0SseYmm);
  const bool zmm_saved = ymm_saved && all_set(words.xcr0, kXcr0Avx512);
  return CpuFeatures{
      .avx2 = ymm_saved && all_set(words.leaf7_ebx, kAvx2),
      .avx512f_vl = zmm_saved && all_set(words.leaf7_ebx, kAvx512F | kAvx512Vl),
  };
}

CpuFeatures cpu_features_detect() {
  CpuIdWords words = {0, 0, 0};
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) words.leaf1_ecx = ecx;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) words.leaf7_ebx = ebx;
  if (words.leaf1_ecx & kOsXsave) words.xcr0 = read_xcr0();
  return cpu_features_decode(words);
}
