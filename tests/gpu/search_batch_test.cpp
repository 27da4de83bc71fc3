// The host's half of a search batch (gpu/search_batch.h), shared by the CUDA
// and OpenCL variants: the target as the kernel compares it, the launches and
// grids a batch is queued as, the reading of a solution slot, the stop word's
// counting (gpu/stop_word.h) and the PCI bus ids (gpu/pci_address.h).

#include "gpu/search_batch.h"

#include "gpu/pci_address.h"
#include "gpu/stop_word.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

// A batch as a group of launches: each launch the launch size but the last,
// each launch cut into grids as search_grids cuts it, and together exactly
// the batch. The sizes: launch_size 0 or beyond the batch is one launch; a
// launch_size so small that the batch would need more than
// kMostLaunchesPerBatch launches is raised.
TEST(GpuLaunchGroups, LaunchesOfTheLaunchSizeCoverTheBatchExactly) {
  struct Case {
    uint32_t start;
    uint32_t batch;
    uint32_t launch;
    uint64_t largest;  // a grid's limit
    uint64_t per_launch;  // the nonces each launch but the last should get
  };
  const Case cases[] = {
      {0, 5000, 700, 1u << 31, 700},                 // 7 launches of 700, then 100
      {0xfffff000u, 8192, 1024, 1u << 31, 1024},     // across the wrap, a whole number
      {9, 3000, 0, 1u << 31, 3000},                  // 0: the whole batch at once
      {9, 3000, 5000, 1u << 31, 3000},               // more than the batch: once
      {7, 3000, 2000, 512, 2000},                    // each launch in grids of 512
      {1, 1u << 20, 1, 1u << 31, 1024},              // raised: 2^20 / 1024
      {1, 1u << 20 | 1, 2, 1u << 31, 1025},          // raised, rounded up
      {0, 0xffffffffu, 1u << 20, 1u << 31, 1u << 22},  // the largest batch: 1024 launches
  };
  for (const Case& c : cases) {
    const std::string what =
        std::to_string(c.batch) + " in launches of " + std::to_string(c.launch);
    EXPECT_EQ(launch_nonces(c.batch, c.launch), c.per_launch) << what;
    std::vector<SearchGrid> grids;
    const int status = for_each_launch_grid(batch(c.start, c.batch), c.launch, c.largest, 256,
                                            [&grids](const SearchGrid& grid) {
                                              grids.push_back(grid);
                                              return 0;
                                            });
    EXPECT_EQ(status, 0) << what;
    uint64_t covered = 0;
    uint64_t in_launch = 0;  // nonces of the launch under way
    int launches = 0;
    for (const SearchGrid& grid : grids) {
      EXPECT_EQ(grid.params.start_nonce, static_cast<uint32_t>(c.start + covered)) << what;
      EXPECT_LE(grid.work_items, std::max<uint64_t>(256, c.largest)) << what;
      EXPECT_EQ(grid.work_items % 256, 0u) << what;
      EXPECT_LT(grid.work_items - grid.params.batch_size, 256u) << what;
      if (in_launch == 0) ++launches;
      in_launch += grid.params.batch_size;
      if (in_launch == c.per_launch) in_launch = 0;
      EXPECT_LE(in_launch, c.per_launch) << what << ": a grid crosses a launch's end";
      covered += grid.params.batch_size;
    }
    EXPECT_EQ(covered, c.batch) << what;
    EXPECT_EQ(launches, static_cast<int>((c.batch + c.per_launch - 1) / c.per_launch)) << what;
    EXPECT_LE(launches, static_cast<int>(kMostLaunchesPerBatch)) << what;
  }
  EXPECT_EQ(launch_nonces(0, 100), 0u);
}

// The first grid whose queue fails ends the batch with that status.
TEST(GpuLaunchGroups, AFailedGridStopsTheQueueing) {
  int calls = 0;
  EXPECT_EQ(for_each_launch_grid(batch(0, 10000), 1000, 1u << 31, 256,
                                 [&calls](const SearchGrid&) { return ++calls == 3 ? -5 : 0; }),
            -5);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(for_each_launch_grid(batch(0, 0), 1000, 1u << 31, 256,
                                 [](const SearchGrid&) { return -1; }),
            0)
      << "an empty batch has no grid";
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

// What a batch hashed: the whole batch less what the groups skipped, never
// below nothing.
TEST(GpuSolutionSlot, SearchedIsTheBatchLessTheSkippedNonces) {
  gpu_kernel::SolutionSlot slot{};
  EXPECT_EQ(searched_nonces(slot, 4096), 4096u);
  slot.skipped = 1000;
  EXPECT_EQ(searched_nonces(slot, 4096), 3096u);
  slot.skipped = 4096;
  EXPECT_EQ(searched_nonces(slot, 4096), 0u);
  slot.skipped = 0xffffffffu;
  EXPECT_EQ(searched_nonces(slot, 0xffffffffu), 0u);
  EXPECT_EQ(searched_nonces(slot, 17), 0u);
}

// Cancels from several threads at once: each counts, and the word ends at
// the last count however the raises interleave, never lower.
TEST(GpuStopWord, CancelsFromManyThreadsLeaveTheWordAtTheirCount) {
  uint32_t requests = 0;
  uint32_t word = 0;
  EXPECT_EQ(stop_requests_so_far(&requests), 0u);
  constexpr int kThreads = 4;
  constexpr int kCancels = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      uint32_t seen = 0;
      for (int i = 0; i < kCancels; ++i) {
        const uint32_t count = count_stop_request(&requests);
        raise_stop_word(&word, count);
        const uint32_t now = std::atomic_ref<uint32_t>(word).load();
        if (now < count || now < seen) seen = UINT32_MAX;  // lowered: a fault
        seen = std::max(seen, now);
      }
      EXPECT_NE(seen, UINT32_MAX);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(stop_requests_so_far(&requests), uint32_t{kThreads * kCancels});
  EXPECT_EQ(word, uint32_t{kThreads * kCancels});
  raise_stop_word(&word, 3);
  EXPECT_EQ(word, uint32_t{kThreads * kCancels}) << "a late raise to an older count";
}

// Bus ids as CUDA (four-digit domain), NVML (eight digits, capitals) and
// others spell them, and what is refused.
TEST(GpuPciAddress, BusIdsInEverySpellingReadAsOneAddress) {
  struct Case {
    const char* text;
    bool valid;
    const char* canonical;
  };
  const Case cases[] = {
      {"0000:65:00.0", true, "0000:65:00.0"},
      {"00000000:C1:00.0", true, "0000:c1:00.0"},
      {"0001:0a:1f.7", true, "0001:0a:1f.7"},
      {"65:00.0", true, "0000:65:00.0"},
      {"10000:65:00.0", true, "10000:65:00.0"},
      {"0000:65:00", false, ""},
      {"0000:165:00.0", false, ""},
      {"0000:65:20.0", false, ""},
      {"0000:65:00.8", false, ""},
      {"0000:6g:00.0", false, ""},
      {"0:0:0:00.0", false, ""},
      {"0000::00.0", false, ""},
      {"", false, ""},
      {"GPU-0", false, ""},
  };
  for (const Case& c : cases) {
    PciAddress address{9, 9, 9, 9};
    EXPECT_EQ(parse_pci_address(c.text, &address), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(pci_address_text(address), c.canonical) << c.text;
    } else {
      EXPECT_EQ(address.bus, 9u) << c.text << ": changed although refused";
    }
  }
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
