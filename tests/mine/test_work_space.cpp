// One header's nonces shared by the CPU workers and the GPU: the GPU's
// batches in the order it takes them, and the real CPU search claiming its
// chunks while a second thread takes GPU batches from the other end of the
// same region. Together they must cover every nonce exactly once.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "mine/nonce_space.h"
#include "search_reference.h"

namespace {

using Batches = std::vector<std::pair<uint32_t, uint32_t>>;  // start nonce, size

Batches take_all(NonceSpace& space, uint64_t own_next, uint32_t batch_size) {
  Batches batches;
  for (;;) {
    const GpuBatch b = gpu_take_batch(space, &own_next, batch_size);
    if (b.size == 0) return batches;
    batches.emplace_back(b.start_nonce, b.size);
  }
}

// Alone, the GPU walks its own half up from 0, then the other half down
// from the top; the last batch of each half is cut to what is left.
TEST(NonceSpace, GpuAloneTakesItsHalfUpwardThenTheRestFromTheTop) {
  NonceSpace space;
  reset_nonce_space(space, kCpuRegionBesideGpu);
  EXPECT_EQ(
      take_all(space, 0, 1u << 30),
      (Batches{
          {0, 1u << 30}, {1u << 30, 1u << 30}, {0xC0000000u, 1u << 30}, {0x80000000u, 1u << 30}}));

  reset_nonce_space(space, kCpuRegionBesideGpu);
  const uint32_t odd = 3u << 29;
  EXPECT_EQ(take_all(space, 0, odd), (Batches{{0, odd},
                                              {odd, 1u << 29},
                                              {0x80000000u + (1u << 31) - odd, odd},
                                              {0x80000000u, 1u << 29}}));

  // A batch size of 0 never moves and never runs out.
  uint64_t own_next = 5;
  const GpuBatch empty = gpu_take_batch(space, &own_next, 0);
  EXPECT_EQ(empty.start_nonce, 5u);
  EXPECT_EQ(empty.size, 0u);
}

// The CPU's claims stop the GPU where they end, and the GPU's batches stop
// the CPU's claims where they begin.
TEST(NonceSpace, ClaimsFromBothEndsStopWhereTheOtherBegan) {
  NonceSpace space;
  reset_nonce_space(space, 10 * kCpuClaimChunk + 7);
  EXPECT_EQ(cpu_claim_past(space, 0), kCpuClaimChunk);
  EXPECT_EQ(cpu_claim_past(space, 2 * kCpuClaimChunk + 1), 3 * kCpuClaimChunk);
  uint64_t past_own_half = kGpuHalfNonces;
  const Batches gpu = take_all(space, past_own_half, static_cast<uint32_t>(4 * kCpuClaimChunk));
  EXPECT_EQ(gpu, (Batches{{static_cast<uint32_t>(kCpuStartNonce + 6 * kCpuClaimChunk + 7),
                           static_cast<uint32_t>(4 * kCpuClaimChunk)},
                          {static_cast<uint32_t>(kCpuStartNonce + 3 * kCpuClaimChunk),
                           static_cast<uint32_t>(3 * kCpuClaimChunk + 7)}}));
  // Everything is taken: the CPU's end stays where its claims stopped.
  EXPECT_EQ(cpu_claim_past(space, 3 * kCpuClaimChunk), 3 * kCpuClaimChunk);
}

// Which offsets (from kCpuStartNonce) a worker covered: its own sequence from
// where it began up to where it stopped.
void mark_worker(std::vector<int>& covered, uint64_t first, uint64_t last, uint64_t stride) {
  for (uint64_t p = first; p < last; p += stride) ++covered[p - kCpuStartNonce];
}

// The real search and a GPU-like taker at once, on a small region: the
// search ends because the space is used up, its count is exactly what its
// workers moved, and every nonce of the region was taken exactly once.
class NonceSpaceRace : public testing::TestWithParam<const SearchKernel*> {};

TEST_P(NonceSpaceRace, CpuAndGpuTogetherCoverTheRegionExactlyOnce) {
  const Header header = make_header(21);
  const Hash256 never{};
  const uint64_t region = 12 * kCpuClaimChunk + 12345;
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    NonceSpace space;
    reset_nonce_space(space, region);
    std::vector<uint64_t> positions;
    for (int i = 0; i < threads; ++i)
      positions.push_back(kCpuStartNonce + static_cast<uint64_t>(i));
    const std::vector<uint64_t> first = positions;

    Batches gpu;
    std::thread taker([&space, &gpu] {
      uint64_t own_next = kGpuHalfNonces;
      for (;;) {
        const GpuBatch b = gpu_take_batch(space, &own_next, 1000);
        if (b.size == 0) return;
        gpu.emplace_back(b.start_nonce, b.size);
        std::this_thread::yield();
      }
    });
    SearchState s;
    const CpuSearchEnd end = search_from(header, never, positions, s, GetParam(), {}, &space);
    taker.join();

    EXPECT_EQ(end, CpuSearchEnd::space_used_up);
    std::vector<int> covered(region, 0);
    uint64_t cpu_hashes = 0;
    for (size_t i = 0; i < positions.size(); ++i) {
      mark_worker(covered, first[i], positions[i], positions.size());
      cpu_hashes += (positions[i] - first[i] + positions.size() - 1) / positions.size();
    }
    EXPECT_EQ(s.hash_count.load(), cpu_hashes);
    for (const auto& [start, size] : gpu)
      for (uint32_t k = 0; k < size; ++k)
        ++covered[static_cast<uint32_t>(start + k - kCpuStartNonce)];
    EXPECT_EQ(std::count(covered.begin(), covered.end(), 1), static_cast<long>(region));
    // Running again from where the workers stopped hashes nothing more.
    SearchState again;
    EXPECT_EQ(search_from(header, never, positions, again, GetParam(), {}, &space),
              CpuSearchEnd::space_used_up);
    EXPECT_EQ(again.hash_count.load(), 0u);
  }
}

// Without a GPU the CPU has the whole ring: workers that have gone nearly all
// the way round hash the last nonces below kCpuStartNonce, after the wrap,
// and then stop instead of starting the ring over.
TEST_P(NonceSpaceRace, CpuAloneStopsAfterGoingOnceRoundTheRing) {
  const Header header = make_header(22);
  NonceSpace space;
  reset_nonce_space(space, kCpuRegionAlone);
  std::vector<uint64_t> positions{kCpuStartNonce + kCpuRegionAlone - 1000,
                                  kCpuStartNonce + kCpuRegionAlone - 999};
  SearchState s;
  EXPECT_EQ(search_from(header, Hash256{}, positions, s, GetParam(), {}, &space),
            CpuSearchEnd::space_used_up);
  EXPECT_EQ(s.hash_count.load(), 1000u);

  // The same place with a target every hash meets: the first nonce found is
  // the wrapped one, 1000 below kCpuStartNonce.
  NonceSpace again;
  reset_nonce_space(again, kCpuRegionAlone);
  std::vector<uint64_t> one{kCpuStartNonce + kCpuRegionAlone - 1000};
  SearchState hit;
  EXPECT_EQ(search_from(header, all_ones(), one, hit, GetParam(), {}, &again),
            CpuSearchEnd::solved);
  EXPECT_EQ(hit.result.nonce, kCpuStartNonce - 1000);
}

INSTANTIATE_TEST_SUITE_P(Kernels, NonceSpaceRace, testing::ValuesIn(supported_kernels()),
                         kernel_test_name);

}  // namespace
