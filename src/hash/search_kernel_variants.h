#pragma once

#include "hash/search_kernels.h"

// The kernels. Callers outside src/hash go through search_kernel_auto or
// search_kernel_find, which only hand out kernels that this CPU can run.
extern const SearchKernel search_kernel_scalar;
// Built into x86-64 programs only (see src/hash/CMakeLists.txt).
extern const SearchKernel search_kernel_avx2;
extern const SearchKernel search_kernel_avx512;
