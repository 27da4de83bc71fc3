#pragma once

#include <cstdint>

// The instruction sets the search kernels need, as far as both the CPU and
// the operating system support them: an instruction set whose registers the
// OS does not save on a context switch is treated as absent.
struct CpuFeatures {
  bool avx2;        // AVX2 with the YMM state enabled
  bool avx512f_vl;  // AVX-512 F and VL with the opmask and ZMM state enabled
};

// The raw register values the decision rests on.
struct CpuIdWords {
  uint32_t leaf1_ecx;   // CPUID.1:ECX (OSXSAVE, AVX)
  uint32_t leaf7_ebx;   // CPUID.(7,0):EBX (AVX2, AVX512F, AVX512VL); 0 without leaf 7
  uint64_t xcr0;        // XGETBV(0); 0 when the OS has not enabled XSAVE
};

CpuFeatures cpu_features_decode(const CpuIdWords& words);

// Reads cpuid and, when the OS enabled XSAVE, the XCR0 register.
CpuFeatures cpu_features_detect();
