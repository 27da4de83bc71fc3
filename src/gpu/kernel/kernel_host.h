#pragma once

// The search kernel's source compiled as host C++, inside a namespace: the
// parameter and result layout (gpu_kernel::SearchParams, SolutionSlot) for
// the runtimes' host code, and the kernel's arithmetic itself (the
// permutation, pow_digest_head, the target comparison) for the tests, which
// thus check the very text the GPU compilers get. The kernels themselves
// (search_nonces, self_test_hashes) are left out of this build.
//
// The lane form is the default 64-bit one. A test that wants the AMD form
// defines KECCAK_LANE_HALVES to 1 and KERNEL_HOST_NAMESPACE to a name of its
// own before including this, in a file of its own.

#include <cstdint>

#include "hash/keccak_constants.h"

#ifndef KERNEL_HOST_NAMESPACE
#define KERNEL_HOST_NAMESPACE gpu_kernel
#endif

namespace KERNEL_HOST_NAMESPACE {
#include "gpu/kernel/vendor.h"
#include "gpu/kernel/search_kernel.cl"

// The kernel's literal tables against the constants computed from their
// definitions, so that a slip in either fails the build.
constexpr bool kernel_tables_match() {
  for (int round = 0; round < keccak::kRounds; ++round)
    if (kRoundConstants[round] != keccak::kRoundConstants.value[round]) return false;
  constexpr int rho_pi[25][3] = {
#define RHO_PI_ROW(dst, src, rot) {dst, src, rot},
      KECCAK_RHO_PI(RHO_PI_ROW)
#undef RHO_PI_ROW
  };
  for (int lane = 0; lane < keccak::kLanes; ++lane) {
    if (rho_pi[lane][0] != lane || rho_pi[lane][1] != keccak::kRhoPi.source[lane] ||
        rho_pi[lane][2] != keccak::kRhoPi.rotation[lane])
      return false;
  }
  return true;
}
static_assert(kernel_tables_match(), "search_kernel.cl's tables differ from keccak_constants.h");

static_assert(sizeof(SearchParams) == 8 * 29 + 8, "SearchParams must have no padding");
static_assert(sizeof(SolutionSlot) == 4 * 11, "SolutionSlot must have no padding");
}  // namespace KERNEL_HOST_NAMESPACE
