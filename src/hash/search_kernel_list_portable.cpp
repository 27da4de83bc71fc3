// The kernels of a build for any other processor: the portable one alone,
// which every CPU runs.
#include "hash/search_kernel_variants.h"
#include "hash/search_kernels.h"

namespace {

const SearchKernel* const kAllKernels[] = {&search_kernel_scalar};

}  // namespace

std::span<const SearchKernel* const> search_kernels_all() { return kAllKernels; }

bool search_kernel_supported(const SearchKernel& kernel) { return &kernel == &search_kernel_scalar; }
