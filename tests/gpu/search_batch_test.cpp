// The host's half of a search batch (gpu/search_batch.h), shared by the CUDA
// and OpenCL variants: the target as the kernel compares it, the grids a
// batch is launched in, and the reading of a solution slot.

#include "gpu/search_batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "error_line.h"
#include "hash/header_midstate.h"
#include "mine/cpu_search.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// The kernel's own comparison (search_kernel.cl, host build) against
// hash_le_target, with the target laid out as search_params lays it out.
bool kernel_meets(const uint32_t hash_words[8], const uint32_t target[8]) {
  const uint8_t header[80] = {};
  const gpu_kernel::SearchParams hash = search_params(header, 0, 0, hash_words);
  const gpu_kernel::SearchParams params = search_params(header, 0, 0, target);
  return gpu_kernel::digest_head_meets_target(hash.target_lanes, params.target_lanes);
}

// Targets one step above and below the hash in each word in turn, so that
// every word is at some point the one that decides.
TEST(GpuTargetCompare, AgreesWithHashLeTargetWordByWord) {
  std::mt19937_64 rng(6);
  for (int i = 0; i < 50; ++i) {
    uint32_t hash[8];
    for (auto& w : hash) w = static_cast<uint32_t>(rng());
    uint32_t target[8];
    std::memcpy(target, hash, sizeof target);
    EXPECT_TRUE(kernel_meets(hash, target)) << "equal meets the target";
    for (int word = 0; word < 8; ++word) {
      for (int step : {-1, +1}) {
        std::memcpy(target, hash, sizeof target);
        target[word] += static_cast<uint32_t>(step);
        EXPECT_EQ(kernel_meets(hash, target), hash_le_target(hash, target))
            << "word " << word << " step " << step;
      }
    }
  }
}

TEST(GpuTargetCompare, ExtremeTargets) {
  const uint32_t zero[8] = {};
  uint32_t ones[8];
  std::memset(ones, 0xff, sizeof ones);
  uint32_t lowest_bit[8] = {1};
  uint32_t highest_bit[8] = {};
  highest_bit[7] = 0x80000000u;

  EXPECT_TRUE(kernel_meets(zero, zero));
  EXPECT_FALSE(kernel_meets(lowest_bit, zero));
  EXPECT_FALSE(kernel_meets(highest_bit, lowest_bit));
  EXPECT_TRUE(kernel_meets(lowest_bit, highest_bit));
  EXPECT_TRUE(kernel_meets(ones, ones));
  EXPECT_FALSE(kernel_meets(ones, highest_bit));
}

gpu_kernel::SearchParams batch(uint32_t start, uint32_t size) {
  const uint8_t header[80] = {};
  const uint32_t target[8] = {};
  return search_params(header, start, size, target);
}

// Every nonce of the batch in exactly one grid, in order, each grid within
// the limit and a whole number of groups with at least one nonce per group.
void expect_grids_cover(uint32_t start, uint32_t size, uint64_t largest, uint64_t group) {
  const std::vector<SearchGrid> grids = search_grids(batch(start, size), largest, group);
  uint64_t covered = 0;
  for (const SearchGrid& grid : grids) {
    EXPECT_EQ(grid.params.start_nonce, static_cast<uint32_t>(start + covered));
    EXPECT_GT(grid.params.batch_size, 0u);
    EXPECT_EQ(grid.work_items % group, 0u);
    EXPECT_GE(grid.work_items, grid.params.batch_size);
    EXPECT_LT(grid.work_items - grid.params.batch_size, group);
    EXPECT_LE(grid.work_items, std::max(group, largest));
    covered += grid.params.batch_size;
  }
  EXPECT_EQ(covered, size) << "start " << start << " size " << size << " largest " << largest;
}

TEST(GpuSearchGrids, OneNoncePerWorkItemInGridsWithinTheLimit) {
  expect_grids_cover(0, 1, 1u << 31, 256);
  expect_grids_cover(0xfffffff0u, 1000, 1u << 31, 256);  // across the wrap
  expect_grids_cover(7, 1u << 20, 1u << 31, 256);
  expect_grids_cover(0, 0xffffffffu, 1u << 31, 256);     // the largest batch
  expect_grids_cover(5, 3 * 1024 + 1, 1024, 256);
  expect_grids_cover(5, 3 * 1024, 1000, 256);            // limit rounded down to groups
  expect_grids_cover(5, 100, 10, 64);                    // a limit below one group
  EXPECT_EQ(search_grids(batch(0, 1u << 20), 1u << 31, 256).size(), 1u);
  EXPECT_EQ(search_grids(batch(0, 0xffffffffu), 1u << 31, 256).size(), 2u);
  EXPECT_TRUE(search_grids(batch(9, 0), 1u << 31, 256).empty());
}

TEST(GpuSearchParams, CarryTheMidstateAndTheBatch) {
  uint8_t header[80];
  for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(i * 7);
  const uint32_t target[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const gpu_kernel::SearchParams params = search_params(header, 0xfffffff0u, 77, target);
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header);
  EXPECT_EQ(std::memcmp(params.round1_base, midstate.round1_base, sizeof params.round1_base), 0);
  EXPECT_EQ(params.target_lanes[0], 0x0000000200000001ULL);
  EXPECT_EQ(params.target_lanes[3], 0x0000000800000007ULL);
  EXPECT_EQ(params.start_nonce, 0xfffffff0u);
  EXPECT_EQ(params.batch_size, 77u);
}

TEST(GpuSolutionSlot, ClaimedSlotGivesTheNonceAndTheDigestBytes) {
  gpu_kernel::SolutionSlot slot{};
  slot.claimed = 1;
  slot.nonce = 0xdeadbeefu;
  for (int w = 0; w < 8; ++w) slot.head_words[w] = 0x03020100u + 0x04040404u * w;
  MiningResult result{};
  read_solution(slot, &result);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, 0xdeadbeefu);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(result.hash[i], i) << "byte " << i;
  read_solution(slot, nullptr);
}

TEST(GpuSolutionSlot, UnclaimedSlotOnlyClearsFound) {
  MiningResult result;
  result.found = true;
  result.nonce = 42;
  std::memset(result.hash, 0xab, sizeof result.hash);
  gpu_kernel::SolutionSlot slot{};
  slot.nonce = 7;
  read_solution(slot, &result);
  EXPECT_FALSE(result.found);
  EXPECT_EQ(result.nonce, 42u);
  EXPECT_EQ(result.hash[31], 0xab);
}

struct TestSlot {
  bool queued = false;
};

// What each runtime checks before it queues a batch, and before it collects.
TEST(GpuBatchSlots, ABatchGoesOnlyIntoAFreeSlotThatExists) {
  TestSlot slots[kGpuBatchSlots];
  slots[1].queued = true;
  EXPECT_EQ(check_free_slot(0, slots), 0);
  EXPECT_FALSE(holds_batch(0, slots));
  EXPECT_TRUE(holds_batch(1, slots));
  for (int slot : {1, -1, kGpuBatchSlots}) {
    CaptureStderr();
    EXPECT_EQ(check_free_slot(slot, slots), -1) << slot;
    expect_one_error_line(GetCapturedStderr());
    if (slot != 1) {
      EXPECT_FALSE(holds_batch(slot, slots));
    }
  }
}

}  // namespace
