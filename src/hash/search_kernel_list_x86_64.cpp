// The kernels of an x86-64 build: the SIMD ones, which run only where the CPU
// and the OS support their instruction sets, and the portable one.
#include "hash/cpu_features.h"
#include "hash/search_kernel_variants.h"
#include "hash/search_kernels.h"

namespace {

const SearchKernel* const kAllKernels[] = {&search_kernel_avx512, &search_kernel_avx2,
                                           &search_kernel_scalar};

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = cpu_features_detect();
  return features;
}

}  // namespace

std::span<const SearchKernel* const> search_kernels_all() { return kAllKernels; }

bool search_kernel_supported(const SearchKernel& kernel) {
  if (&kernel == &search_kernel_avx512) return cpu_features().avx512f_vl;
  if (&kernel == &search_kernel_avx2) return cpu_features().avx2;
  return &kernel == &search_kernel_scalar;
}
