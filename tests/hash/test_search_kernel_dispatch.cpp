// Kernel selection: lookup by name, the self-test that guards the automatic
// choice, and its fallback.

#include <gtest/gtest.h>

#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hash/search_kernels.h"

namespace {

// The compiler's own idea of the target, not the build's: a build that picks
// the wrong kernel list for its processor fails here.
#if defined(__x86_64__)
const std::set<std::string> kKnownNames = {"scalar", "avx2 4-way", "avx512 8-way"};
#else
const std::set<std::string> kKnownNames = {"scalar"};
#endif

// Runs first in this binary, so that the racing threads really are the first
// callers and ThreadSanitizer sees the one-time initialisation.
TEST(SearchKernelAuto, ConcurrentFirstCallsAgree) {
  constexpr int kThreads = 4;
  std::latch start(kThreads);
  std::vector<const SearchKernel*> chosen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      chosen[t] = search_kernel_auto();
    });
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(chosen[0], nullptr);
  for (const SearchKernel* kernel : chosen) EXPECT_EQ(kernel, chosen[0]);
}

TEST(SearchKernelAuto, PicksTheWidestSupportedKernel) {
  const SearchKernel* chosen = search_kernel_auto();
  ASSERT_NE(chosen, nullptr);
  EXPECT_TRUE(kKnownNames.count(chosen->name)) << chosen->name;
  EXPECT_TRUE(search_kernel_supported(*chosen));
  for (const SearchKernel* kernel : search_kernels_all()) {
    if (search_kernel_supported(*kernel)) {
      EXPECT_GE(chosen->width, kernel->width) << kernel->name;
    }
  }
  EXPECT_EQ(search_kernel_auto(), chosen);
}

TEST(SearchKernelList, NamesAndWidthsAreUsable) {
  std::set<std::string> seen;
  for (const SearchKernel* kernel : search_kernels_all()) {
    EXPECT_TRUE(kKnownNames.count(kernel->name)) << kernel->name;
    EXPECT_TRUE(seen.insert(kernel->name).second) << "duplicate " << kernel->name;
    EXPECT_TRUE(kernel->width == 1 || kernel->width == 2 || kernel->width == 4 || kernel->width == 8);
    EXPECT_EQ(4096 % kernel->width, 0);
  }
  EXPECT_EQ(seen, kKnownNames);
}

TEST(SearchKernelFind, ReturnsSupportedKernelsByExactName) {
  for (const SearchKernel* kernel : search_kernels_all()) {
    const SearchKernel* expected = search_kernel_supported(*kernel) ? kernel : nullptr;
    EXPECT_EQ(search_kernel_find(kernel->name), expected) << kernel->name;
  }
  const SearchKernel* scalar = search_kernel_find("scalar");
  ASSERT_NE(scalar, nullptr) << "the portable kernel runs everywhere";
  EXPECT_EQ(scalar->width, 1);
  EXPECT_EQ(search_kernel_find("Scalar"), nullptr);
  EXPECT_EQ(search_kernel_find("avx2"), nullptr);
  EXPECT_EQ(search_kernel_find(""), nullptr);
  EXPECT_EQ(search_kernel_find(nullptr), nullptr);
}

TEST(SearchKernelSelfTest, EverySupportedKernelPasses) {
  for (const SearchKernel* kernel : search_kernels_all()) {
    if (search_kernel_supported(*kernel)) {
      EXPECT_TRUE(search_kernel_self_test(*kernel)) << kernel->name;
    }
  }
}

// Faulty kernels built on the scalar one, each with a mistake the self-test
// has to notice.
const SearchKernel& scalar_kernel() { return *search_kernel_find("scalar"); }

void hash_next_nonce(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t stride,
                     uint64_t (*digest_lanes)[4]) {
  scalar_kernel().hash(midstate, first_nonce + 1, stride, digest_lanes);
}

void hash_ignoring_stride(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t,
                          uint64_t (*digest_lanes)[4]) {
  for (uint32_t i = 0; i < 4; ++i) scalar_kernel().hash(midstate, first_nonce + i, 1, digest_lanes + i);
}

void hash_with_lanes_swapped(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t stride,
                             uint64_t (*digest_lanes)[4]) {
  scalar_kernel().hash(midstate, first_nonce, stride, digest_lanes);
  std::swap(digest_lanes[0][2], digest_lanes[0][3]);
}

const SearchKernel kWrongNonce = {"wrong nonce", 1, &hash_next_nonce};
const SearchKernel kWrongStride = {"wrong stride", 4, &hash_ignoring_stride};
const SearchKernel kWrongLanes = {"wrong lanes", 1, &hash_with_lanes_swapped};

TEST(SearchKernelSelfTest, RejectsFaultyKernels) {
  EXPECT_FALSE(search_kernel_self_test(kWrongNonce));
  EXPECT_FALSE(search_kernel_self_test(kWrongStride));
  EXPECT_FALSE(search_kernel_self_test(kWrongLanes));
}

TEST(SearchKernelFirstPassing, FallsBackPastFaultyKernels) {
  const SearchKernel* const faulty_then_scalar[] = {&kWrongStride, &kWrongNonce, &scalar_kernel()};
  EXPECT_EQ(search_kernel_first_passing(faulty_then_scalar), &scalar_kernel());

  const SearchKernel* const only_faulty[] = {&kWrongLanes, &kWrongStride};
  EXPECT_EQ(search_kernel_first_passing(only_faulty), nullptr);
  EXPECT_EQ(search_kernel_first_passing({}), nullptr);
}

}  // namespace
