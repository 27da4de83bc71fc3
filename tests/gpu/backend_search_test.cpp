// The GPU nonce search of the variant under test (launch_mining_kernel and
// the queued pair, queue_mining_batch and collect_mining_batch), checked
// against the CPU reference: sha3_512_cpu and hash_le_target. The same cases
// run against the CUDA build of the kernel on a GPU and the OpenCL build on
// any OpenCL device, POCL included.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "error_line.h"
#include "gpu/backend.h"
#include "gpu_backend_fixture.h"
#include "hash/sha3.h"
#include "mine/cpu_search.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct CpuHash {
  uint8_t bytes[32];  // first 32 digest bytes
  uint32_t words[8];  // the same, as the 256-bit number's words
};

CpuHash cpu_hash(const std::vector<uint8_t>& header, uint32_t nonce) {
  uint8_t block[80];
  std::memcpy(block, header.data(), 80);
  for (int j = 0; j < 4; ++j) block[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
  uint8_t digest[64];
  sha3_512_cpu(block, 80, digest);
  CpuHash hash;
  std::memcpy(hash.bytes, digest, 32);
  for (int i = 0; i < 8; ++i)
    hash.words[i] = static_cast<uint32_t>(digest[4 * i]) | digest[4 * i + 1] << 8 |
                    digest[4 * i + 2] << 16 | static_cast<uint32_t>(digest[4 * i + 3]) << 24;
  return hash;
}

std::vector<uint8_t> random_header(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> header(80);
  for (auto& b : header) b = static_cast<uint8_t>(rng());
  return header;
}

// The nonces of [start, start + size) (mod 2^32) ordered by their hash,
// smallest first, as far as `count` of them.
std::vector<uint32_t> smallest_hashes(const std::vector<uint8_t>& header, uint32_t start,
                                      uint32_t size, size_t count) {
  std::vector<std::pair<CpuHash, uint32_t>> all;
  for (uint32_t i = 0; i < size; ++i) all.push_back({cpu_hash(header, start + i), start + i});
  const auto below = [](const auto& a, const auto& b) {
    return hash_le_target(a.first.words, b.first.words) &&
           std::memcmp(a.first.words, b.first.words, 32) != 0;
  };
  std::partial_sort(all.begin(), all.begin() + static_cast<long>(count), all.end(), below);
  std::vector<uint32_t> nonces;
  for (size_t k = 0; k < count; ++k) nonces.push_back(all[k].second);
  return nonces;
}

// The nonce with the smallest hash of [start, start + size), and that hash:
// the only nonce of the range that meets a target equal to it.
struct Planted {
  uint32_t nonce;
  CpuHash hash;
};

Planted plant_smallest(const std::vector<uint8_t>& header, uint32_t start, uint32_t size) {
  const uint32_t nonce = smallest_hashes(header, start, size, 1)[0];
  return Planted{nonce, cpu_hash(header, nonce)};
}

// The 256-bit number one below `words` (which is not zero).
void minus_one(const uint32_t words[8], uint32_t out[8]) {
  std::memcpy(out, words, 32);
  for (int i = 0; i < 8 && out[i]-- == 0; ++i) {
  }
}

MiningResult launch(const std::vector<uint8_t>& header, uint32_t start, uint32_t size,
                    const uint32_t target[8]) {
  MiningResult result{};
  EXPECT_EQ(launch_mining_kernel(GpuBackend::device_, header.data(), start, size, target, &result),
            0)
      << "batch at " << start << " of " << size;
  return result;
}

// The launch found a nonce inside [start, start + size) that really meets
// the target, and reported that nonce's hash.
void expect_genuine_solution(const std::vector<uint8_t>& header, uint32_t start, uint32_t size,
                             const uint32_t target[8], const MiningResult& result) {
  ASSERT_TRUE(result.found);
  EXPECT_LT(result.nonce - start, size) << "nonce " << result.nonce << " outside the batch";
  const CpuHash expected = cpu_hash(header, result.nonce);
  EXPECT_TRUE(hash_le_target(expected.words, target)) << "nonce " << result.nonce;
  EXPECT_EQ(std::memcmp(result.hash, expected.bytes, 32), 0) << "nonce " << result.nonce;
}

// One nonce in 16 meets the target. Batches of 1 to 13 nonces tile a range
// that wraps past 0xFFFFFFFF; each must report a solution exactly when the
// CPU finds one inside it, so a kernel that searched one nonce too many or
// too few, or lost the wrap, disagrees somewhere.
TEST_F(GpuBackend, SolutionsMatchTheCpuBatchByBatchAcrossTheWrap) {
  const auto header = random_header(1);
  uint32_t target[8];
  std::memset(target, 0xff, sizeof target);
  target[7] = 0x0fffffffu;

  uint32_t start = 0xfffffc00u;
  int batches_with_solution = 0;
  for (int batch = 0; batch < 320; ++batch) {
    const uint32_t size = 1 + batch % 13;
    bool cpu_found = false;
    for (uint32_t i = 0; i < size; ++i)
      cpu_found |= hash_le_target(cpu_hash(header, start + i).words, target);

    const MiningResult result = launch(header, start, size, target);
    ASSERT_EQ(result.found, cpu_found) << "batch at " << start << " of " << size;
    if (cpu_found) {
      ++batches_with_solution;
      expect_genuine_solution(header, start, size, target, result);
    }
    start += size;
  }
  EXPECT_GT(batches_with_solution, 20) << "the target is too hard to test anything";
  EXPECT_LT(start, 0x1000u) << "the range did not wrap";
}

// The target is the smallest hash of a range across the wrap, so that nonce
// is the only one in the range that meets it. Batches that end or start
// exactly on it must find it, with the hash it really has; one nonce less on
// either side, or a target one below its hash, must find nothing.
TEST_F(GpuBackend, PlantedSolutionAtTheFirstAndLastNonceAndTheTargetsBoundary) {
  const auto header = random_header(2);
  const uint32_t start = 0xfffff000u;
  const uint32_t size = 8192;
  const auto [planted, hash] = plant_smallest(header, start, size);
  const uint32_t before = planted - start;  // nonces of the range before the planted one
  const uint32_t after = size - before - 1;

  MiningResult result = launch(header, planted, after + 1, hash.words);
  ASSERT_TRUE(result.found) << "planted nonce first in its batch";
  EXPECT_EQ(result.nonce, planted);
  EXPECT_EQ(std::memcmp(result.hash, hash.bytes, 32), 0);

  result = launch(header, start, before + 1, hash.words);
  ASSERT_TRUE(result.found) << "planted nonce last in its batch";
  EXPECT_EQ(result.nonce, planted);
  EXPECT_EQ(std::memcmp(result.hash, hash.bytes, 32), 0);

  if (before > 0) {
    EXPECT_FALSE(launch(header, start, before, hash.words).found);
  }
  if (after > 0) {
    EXPECT_FALSE(launch(header, planted + 1, after, hash.words).found);
  }

  uint32_t just_below[8];
  minus_one(hash.words, just_below);
  EXPECT_FALSE(launch(header, start, size, just_below).found) << "equality is the boundary";
}

// The target is the second smallest hash: exactly two nonces meet it, and
// exactly one of them is reported. The next launch starts from a clean slate.
TEST_F(GpuBackend, TwoSolutionsInOneBatchReportOne) {
  const auto header = random_header(3);
  const uint32_t start = 0x7ffff000u;
  const uint32_t size = 4096;
  const std::vector<uint32_t> two = smallest_hashes(header, start, size, 2);
  const CpuHash second = cpu_hash(header, two[1]);

  const MiningResult result = launch(header, start, size, second.words);
  expect_genuine_solution(header, start, size, second.words, result);
  EXPECT_TRUE(result.nonce == two[0] || result.nonce == two[1]) << result.nonce;

  const uint32_t no_hash[8] = {};
  EXPECT_FALSE(launch(header, start, size, no_hash).found)
      << "a solution from an earlier launch leaked into this one";
}

TEST_F(GpuBackend, EmptyBatchSearchesNothing) {
  const auto header = random_header(4);
  uint32_t every_hash[8];
  std::memset(every_hash, 0xff, sizeof every_hash);
  MiningResult result{};
  result.found = true;
  EXPECT_EQ(launch_mining_kernel(device_, header.data(), 123, 0, every_hash, &result), 0);
  EXPECT_FALSE(result.found);
  EXPECT_EQ(launch_mining_kernel(device_, header.data(), 123, 0, every_hash, nullptr), 0);
}

TEST_F(GpuBackend, SingleNonceBatchesAtTheEdgesOfTheNonceSpace) {
  const auto header = random_header(5);
  for (uint32_t nonce : {0u, 0xffffffffu}) {
    const CpuHash hash = cpu_hash(header, nonce);
    MiningResult result = launch(header, nonce, 1, hash.words);
    ASSERT_TRUE(result.found) << nonce;
    EXPECT_EQ(result.nonce, nonce);
    uint32_t just_below[8];
    minus_one(hash.words, just_below);
    EXPECT_FALSE(launch(header, nonce, 1, just_below).found) << nonce;
  }
}

// A batch three grids long, launched as three grids of one nonce per
// work-item. A range's smallest hash is planted at the first nonce of the
// second grid, of the third, and at the batch's last nonce, where a slip in
// a grid's start or size would pass over it. The grids lie across the wrap.
TEST_F(GpuBackend, BatchLaunchedInSeveralGridsIsSearchedInEach) {
  const uint32_t grid = 1024;
  const uint32_t size = 3 * grid;
  const uint32_t range_start = 0xffffffffu - 2 * grid;
  for (uint64_t seed = 10;; ++seed) {
    ASSERT_LT(seed, 90u) << "no header put its smallest hash where every batch can reach it";
    const auto header = random_header(seed);
    const auto [planted, hash] = plant_smallest(header, range_start, 6 * grid);
    // Every batch below lies inside the range, where the planted nonce is the
    // only one that meets its own hash.
    const uint32_t offset = planted - range_start;
    if (offset < size - 1 || offset > 4 * grid) continue;
    for (const uint32_t index : {grid, 2 * grid, size - 1}) {
      MiningResult result{};
      ASSERT_EQ(gpu_test_launch_in_grids(grid, header.data(), planted - index, size, hash.words,
                                         &result),
                0);
      ASSERT_TRUE(result.found) << "planted at index " << index << " of the batch";
      EXPECT_EQ(result.nonce, planted);
      EXPECT_EQ(std::memcmp(result.hash, hash.bytes, 32), 0);
    }
    break;
  }
}

// Two batches in flight, each with its own header and its own planted
// solution: each slot gives its own batch's answer, and the next batch in a
// slot starts clean.
TEST_F(GpuBackend, TwoQueuedBatchesAreCollectedWithTheirOwnSolutions) {
  const auto header_a = random_header(20);
  const auto header_b = random_header(21);
  const uint32_t size = 2048;
  const auto [nonce_a, hash_a] = plant_smallest(header_a, 0x10000000u, size);
  const auto [nonce_b, hash_b] = plant_smallest(header_b, 0xfffffc00u, size);

  ASSERT_EQ(queue_mining_batch(device_, 0, header_a.data(), 0x10000000u, size, 0, hash_a.words), 0);
  ASSERT_EQ(queue_mining_batch(device_, 1, header_b.data(), 0xfffffc00u, size, 0, hash_b.words), 0);
  MiningResult result{};
  ASSERT_EQ(collect_mining_batch(device_, 0, &result), 0);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, nonce_a);
  EXPECT_EQ(std::memcmp(result.hash, hash_a.bytes, 32), 0);
  ASSERT_EQ(collect_mining_batch(device_, 1, &result), 0);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, nonce_b);
  EXPECT_EQ(std::memcmp(result.hash, hash_b.bytes, 32), 0);

  uint32_t below_a[8];
  minus_one(hash_a.words, below_a);
  ASSERT_EQ(queue_mining_batch(device_, 0, header_a.data(), 0x10000000u, size, 0, below_a), 0);
  ASSERT_EQ(queue_mining_batch(device_, 1, header_a.data(), 0x10000000u, size, 0, below_a), 0);
  for (int slot = 0; slot < kGpuBatchSlots; ++slot) {
    result.found = true;
    ASSERT_EQ(collect_mining_batch(device_, slot, &result), 0);
    EXPECT_FALSE(result.found) << "an earlier solution leaked into slot " << slot;
  }
}

// A solution in one slot is not reported by the other, whichever is
// collected first.
TEST_F(GpuBackend, NoSolutionLeaksBetweenSlots) {
  const auto header = random_header(22);
  const uint32_t size = 2048;
  const auto [planted, hash] = plant_smallest(header, 0x55555555u, size);
  const uint32_t no_hash[8] = {};
  ASSERT_EQ(queue_mining_batch(device_, 0, header.data(), 0x55555555u, size, 0, hash.words), 0);
  ASSERT_EQ(queue_mining_batch(device_, 1, header.data(), 0x55555555u, size, 0, no_hash), 0);
  MiningResult result{};
  result.found = true;
  ASSERT_EQ(collect_mining_batch(device_, 1, &result), 0);
  EXPECT_FALSE(result.found);
  ASSERT_EQ(collect_mining_batch(device_, 0, &result), 0);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, planted);
}

// The header and target are the caller's to reuse once the batch is queued.
TEST_F(GpuBackend, QueuedBatchKeepsItsOwnCopyOfHeaderAndTarget) {
  auto header = random_header(23);
  const uint32_t size = 2048;
  const auto [planted, hash] = plant_smallest(header, 0x01020304u, size);
  uint32_t target[8];
  std::memcpy(target, hash.words, sizeof target);
  ASSERT_EQ(queue_mining_batch(device_, 1, header.data(), 0x01020304u, size, 0, target), 0);
  std::fill(header.begin(), header.end(), 0xee);
  std::memset(target, 0, sizeof target);
  MiningResult result{};
  ASSERT_EQ(collect_mining_batch(device_, 1, &result), 0);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, planted);
  EXPECT_EQ(std::memcmp(result.hash, hash.bytes, 32), 0);
}

// A free slot holds no batch: collecting it fails, quietly, however it came
// to be free.
TEST_F(GpuBackend, CollectingAFreeSlotFailsQuietly) {
  const auto header = random_header(24);
  const uint32_t no_hash[8] = {};
  MiningResult result{};
  result.found = true;
  CaptureStderr();
  EXPECT_NE(collect_mining_batch(device_, 0, &result), 0) << "never queued";
  EXPECT_FALSE(result.found);
  ASSERT_EQ(queue_mining_batch(device_, 0, header.data(), 0, 64, 0, no_hash), 0);
  EXPECT_EQ(collect_mining_batch(device_, 0, &result), 0);
  EXPECT_NE(collect_mining_batch(device_, 0, &result), 0) << "collected already";
  EXPECT_NE(collect_mining_batch(device_, -1, &result), 0);
  EXPECT_NE(collect_mining_batch(device_, kGpuBatchSlots, &result), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
}

// Queueing into a slot that holds a batch, or into no slot at all, fails
// with a line and leaves the queued batch as it was.
TEST_F(GpuBackend, QueueingIntoABusyOrMissingSlotFails) {
  const auto header = random_header(25);
  const uint32_t size = 1024;
  const auto [planted, hash] = plant_smallest(header, 0x00000100u, size);
  const uint32_t no_hash[8] = {};
  ASSERT_EQ(queue_mining_batch(device_, 0, header.data(), 0x00000100u, size, 0, hash.words), 0);
  for (int slot : {0, -1, kGpuBatchSlots}) {
    CaptureStderr();
    EXPECT_NE(queue_mining_batch(device_, slot, header.data(), 0x00000100u, size, 0, no_hash), 0)
        << slot;
    expect_one_error_line(GetCapturedStderr());
  }
  MiningResult result{};
  ASSERT_EQ(collect_mining_batch(device_, 0, &result), 0);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, planted);
}

// A device that does not exist opens as null after one line that names it;
// every entry point fails on null as it would on a device that failed, and
// the open device is not disturbed.
TEST_F(GpuBackend, AMissingDeviceOpensAsNullAfterOneLine) {
  std::string why;
  const int missing = static_cast<int>(gpu_list_devices(&why).size()) + 3;
  CaptureStderr();
  EXPECT_EQ(gpu_open_device(missing), nullptr);
  const std::string message = GetCapturedStderr();
  expect_one_error_line(message);
  EXPECT_NE(message.find(std::to_string(missing)), std::string::npos) << message;

  const auto header = random_header(26);
  const uint32_t no_hash[8] = {};
  MiningResult result{};
  result.found = true;
  uint64_t searched = 7;
  CaptureStderr();
  EXPECT_NE(queue_mining_batch(nullptr, 0, header.data(), 0, 64, 0, no_hash), 0);
  expect_one_error_line(GetCapturedStderr());
  CaptureStderr();
  EXPECT_NE(collect_mining_batch(nullptr, 0, &result, &searched), 0);
  gpu_cancel_batches(nullptr);
  EXPECT_EQ(power_init(nullptr), -1);
  EXPECT_LE(power_get_temp(nullptr), 0);
  EXPECT_LE(power_get_watts(nullptr), 0.0);
  power_shutdown(nullptr);
  gpu_close_device(nullptr);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_FALSE(result.found);
  EXPECT_EQ(searched, 0u);
  EXPECT_EQ(launch(header, 0, 64, no_hash).found, false) << "device 0 still searches";
}

TEST_F(GpuBackend, EmptyQueuedBatchIsCollectedWithoutASolution) {
  const auto header = random_header(27);
  uint32_t every_hash[8];
  std::memset(every_hash, 0xff, sizeof every_hash);
  ASSERT_EQ(queue_mining_batch(device_, 1, header.data(), 5, 0, 0, every_hash), 0);
  MiningResult result{};
  result.found = true;
  uint64_t searched = 99;
  EXPECT_EQ(collect_mining_batch(device_, 1, &result, &searched), 0);
  EXPECT_FALSE(result.found);
  EXPECT_EQ(searched, 0u);
}

// The mining loop searches from a thread of its own, a different one for
// each stretch of work (handed over with a join), while the main thread reads
// the temperature and the power draw for its status line. Each thread's
// launch must find the planted solution; the sanitizer builds check the
// handover for races.
TEST_F(GpuBackend, LaunchesFromSuccessiveThreadsWhileTheMainThreadReadsTheSensors) {
  const auto header = random_header(6);
  const uint32_t start = 0x12345678u;
  const uint32_t size = 2048;
  const auto [planted, hash] = plant_smallest(header, start, size);
  power_init(device_);

  for (int handover = 0; handover < 3; ++handover) {
    std::atomic<bool> done{false};
    MiningResult result{};
    int status = -1;
    std::thread launcher([&] {
      status = launch_mining_kernel(device_, header.data(), start, size, hash.words, &result);
      done = true;
    });
    while (!done) {
      power_get_temp(device_);
      power_get_watts(device_);
    }
    launcher.join();
    ASSERT_EQ(status, 0) << "handover " << handover;
    ASSERT_TRUE(result.found) << "handover " << handover;
    EXPECT_EQ(result.nonce, planted) << "handover " << handover;
  }
  power_shutdown(device_);
}

// A batch searched as a group of launches whose size does not divide it
// (and, last, launches so small that the batch would need more than the most
// launches a batch is queued as): the range's smallest hash planted at the
// batch's first nonce and at its last, where a launch that started one nonce
// late or stopped one early would miss it; one nonce less at either end finds
// nothing, so no launch searched past the batch. `searched` is the batch.
TEST_F(GpuBackend, ALaunchGroupSearchesExactlyTheBatch) {
  const auto header = random_header(30);
  const uint32_t range_start = 0xffffe000u;
  const uint32_t range = 16384;  // across the wrap
  const auto [planted, hash] = plant_smallest(header, range_start, range);
  struct Group {
    uint32_t batch_size;
    uint32_t launch_size;
  };
  for (const Group& group :
       {Group{5000, 700}, Group{4096, 1000}, Group{3001, 256}, Group{2000, 1}}) {
    const uint32_t size = std::min(group.batch_size, planted - range_start + 1);
    const uint32_t after = range_start + range - planted;  // the planted nonce and those after it
    struct Batch {
      uint32_t start;
      uint32_t size;
      bool finds;
    };
    const Batch batches[] = {
        {planted - (size - 1), size, true},           // planted last
        {planted, std::min(size, after), true},       // planted first
        {planted - (size - 1), size - 1, false},      // one short of it at the end
        {planted + 1, std::min(size, after) - 1, false},  // starting one past it
    };
    for (const Batch& b : batches) {
      if (b.size == 0) continue;
      const std::string what = std::to_string(b.size) + " nonces from " + std::to_string(b.start) +
                               " in launches of " + std::to_string(group.launch_size);
      ASSERT_EQ(queue_mining_batch(device_, 1, header.data(), b.start, b.size, group.launch_size,
                                   hash.words),
                0)
          << what;
      MiningResult result{};
      uint64_t searched = 0;
      ASSERT_EQ(collect_mining_batch(device_, 1, &result, &searched), 0) << what;
      EXPECT_EQ(searched, b.size) << what;
      ASSERT_EQ(result.found, b.finds) << what;
      if (b.finds) {
        EXPECT_EQ(result.nonce, planted) << what;
      }
    }
  }
}

// The smallest hash of [start, start + size) planted for each of several
// batches, one per (header, start): what a device thread searches.
struct PlantedBatch {
  std::vector<uint8_t> header;
  uint32_t start;
  Planted planted;
};

std::vector<PlantedBatch> planted_batches(uint64_t seed, int count, uint32_t size) {
  std::vector<PlantedBatch> batches;
  for (int i = 0; i < count; ++i) {
    PlantedBatch b{random_header(seed + i), 0x20000000u * static_cast<uint32_t>(i) + 0x1000u, {}};
    b.planted = plant_smallest(b.header, b.start, size);
    batches.push_back(b);
  }
  return batches;
}

// Searches `batches` on `device` two at a time, one per slot, in launch
// groups, as a device's GPU thread does; returns the nonces found, in order.
std::vector<uint32_t> search_two_at_a_time(GpuContext* device,
                                           const std::vector<PlantedBatch>& batches, uint32_t size,
                                           uint32_t launch_size) {
  std::vector<uint32_t> found;
  for (size_t i = 0; i < batches.size(); i += kGpuBatchSlots) {
    for (int slot = 0; slot < kGpuBatchSlots && i + slot < batches.size(); ++slot) {
      const PlantedBatch& b = batches[i + slot];
      if (queue_mining_batch(device, slot, b.header.data(), b.start, size, launch_size,
                             b.planted.hash.words) != 0)
        return found;
    }
    for (int slot = 0; slot < kGpuBatchSlots && i + slot < batches.size(); ++slot) {
      MiningResult result{};
      if (collect_mining_batch(device, slot, &result) != 0 || !result.found) return found;
      found.push_back(result.nonce);
    }
  }
  return found;
}

// Two devices, opened side by side, each searched by a thread of its own at
// the same time, each finding the solutions planted in its own batches.
// Where the variant has fewer than two devices the test skips; the OpenCL
// tests run with two POCL devices.
TEST(GpuDevices, TwoDevicesSearchAtTheSameTimeFromTwoThreads) {
  std::string why;
  const std::vector<GpuDeviceInfo> devices = gpu_list_devices(&why);
  if (devices.size() < 2) GTEST_SKIP() << "fewer than two devices: " << why;

  GpuContext* opened[2] = {gpu_open_device(0), gpu_open_device(1)};
  ASSERT_NE(opened[0], nullptr);
  ASSERT_NE(opened[1], nullptr);
  for (int d = 0; d < 2; ++d) {
    const GpuDeviceInfo& info = gpu_device_info(opened[d]);
    EXPECT_EQ(info.index, d);
    EXPECT_EQ(info.name, devices[d].name);
    EXPECT_EQ(info.pci_bus_id, devices[d].pci_bus_id);
  }
  const uint32_t size = 6000;
  const std::vector<PlantedBatch> work[2] = {planted_batches(40, 4, size),
                                             planted_batches(50, 4, size)};
  std::vector<uint32_t> found[2];
  std::thread threads[2];
  for (int d = 0; d < 2; ++d)
    threads[d] =
        std::thread([&, d] { found[d] = search_two_at_a_time(opened[d], work[d], size, 1024); });
  for (std::thread& t : threads) t.join();
  for (int d = 0; d < 2; ++d) {
    std::vector<uint32_t> planted;
    for (const PlantedBatch& b : work[d]) planted.push_back(b.planted.nonce);
    EXPECT_EQ(found[d], planted) << "device " << d;
    gpu_close_device(opened[d]);
  }
}

using Clock = std::chrono::steady_clock;

// A batch of about `seconds` of the device's hashing (at most the largest
// batch), from the time a batch of 2^20 nonces takes.
uint32_t batch_lasting(GpuContext* device, double seconds) {
  const uint8_t header[80] = {};
  const uint32_t no_hash[8] = {};
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(launch_mining_kernel(device, header, 0, 1u << 20, no_hash, nullptr), 0);
  const double rate = (1u << 20) / std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<uint32_t>(std::min(rate * seconds, 4.0e9));
}

// A batch that would take minutes (at most the largest batch on a fast card),
// searched whole or as a group of launches, is cut short by a cancel from
// another thread: the collect returns soon after, and `searched` says how
// much was hashed: some, never the whole batch, in whole groups. The next
// batch, queued once the device has no batch, runs whole again.
TEST_F(GpuBackend, ACancelFromAnotherThreadCutsALongBatchShort) {
  const auto header = random_header(31);
  const uint32_t no_hash[8] = {};
  const uint32_t long_batch = batch_lasting(device_, 100.0) / 256 * 256;
  for (const uint32_t launch_size : {0u, 1u << 20}) {
    const std::string what = "launches of " + std::to_string(launch_size);
    ASSERT_EQ(queue_mining_batch(device_, 0, header.data(), 0, long_batch, launch_size, no_hash),
              0);
    ASSERT_EQ(queue_mining_batch(device_, 1, header.data(), long_batch, long_batch, launch_size,
                                 no_hash),
              0);
    Clock::time_point cancelled;
    std::thread stopper([&cancelled] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      cancelled = Clock::now();
      gpu_cancel_batches(device_);
    });
    uint64_t searched[kGpuBatchSlots] = {};
    for (int slot = 0; slot < kGpuBatchSlots; ++slot)
      ASSERT_EQ(collect_mining_batch(device_, slot, nullptr, &searched[slot]), 0) << what;
    const Clock::time_point collected = Clock::now();
    stopper.join();
    EXPECT_LT(std::chrono::duration<double>(collected - cancelled).count(), 5.0) << what;
    EXPECT_GT(searched[0] + searched[1], 0u) << what;
    for (int slot = 0; slot < kGpuBatchSlots; ++slot) {
      EXPECT_LT(searched[slot], long_batch) << what << ", slot " << slot;
      // Groups hash all their nonces or none; every group size divides 64's multiples here.
      EXPECT_EQ(searched[slot] % 64, 0u) << what << ", slot " << slot;
    }

    // The cut ends with the batches it cut.
    const auto [planted, hash] = plant_smallest(header, 0x40000000u, 4096);
    ASSERT_EQ(queue_mining_batch(device_, 0, header.data(), 0x40000000u, 4096, launch_size / 1024,
                                 hash.words),
              0);
    MiningResult result{};
    uint64_t whole = 0;
    ASSERT_EQ(collect_mining_batch(device_, 0, &result, &whole), 0);
    EXPECT_EQ(whole, 4096u) << what;
    ASSERT_TRUE(result.found) << what;
    EXPECT_EQ(result.nonce, planted) << what;
  }
}

// A cancel while no batch is queued cuts nothing that follows it.
TEST_F(GpuBackend, ACancelWithNothingQueuedCutsNothingLater) {
  const auto header = random_header(32);
  const auto [planted, hash] = plant_smallest(header, 0x00abc000u, 4096);
  gpu_cancel_batches(device_);
  gpu_cancel_batches(device_);
  ASSERT_EQ(queue_mining_batch(device_, 1, header.data(), 0x00abc000u, 4096, 1000, hash.words), 0);
  MiningResult result{};
  uint64_t searched = 0;
  ASSERT_EQ(collect_mining_batch(device_, 1, &result, &searched), 0);
  EXPECT_EQ(searched, 4096u);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.nonce, planted);
}

// The benchmark measures for as long as asked, or until `running` reads
// false; then it returns soon, with the rate of what it measured.
TEST_F(GpuBackend, TheBenchmarkStopsWhenRunningGoesFalse) {
  std::atomic<bool> running{true};
  EXPECT_EQ(benchmark_hashrate(device_, 0, running), 0.0);
  std::thread stopper([&running] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    running = false;
  });
  const Clock::time_point start = Clock::now();
  const double rate = benchmark_hashrate(device_, 600, running);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stopper.join();
  EXPECT_GT(rate, 0.0);
  EXPECT_LT(seconds, 60.0) << "the benchmark ran on after the stop";
  EXPECT_EQ(benchmark_hashrate(device_, 1, running), 0.0) << "stopped before it began";
}

}  // namespace
