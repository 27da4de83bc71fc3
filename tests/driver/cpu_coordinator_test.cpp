#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "driver/cpu_coordinator.h"
#include "hash/sha3.h"

namespace {

// Target of all ones: every digest meets it.
const uint32_t kEasyTarget[8] = {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u};
// Target of all zeros: practically no digest meets it.
const uint32_t kImpossibleTarget[8] = {};

TEST(CpuCoordinator, StopJoinsAndReportsTheHashCountOnce) {
  uint8_t header[80] = {};
  CpuCoordinator search;
  EXPECT_FALSE(cpu_search_active(search));
  EXPECT_EQ(stop_cpu_search(search), 0u);  // nothing started yet

  start_cpu_search(search, header, kImpossibleTarget, 2, 0);
  EXPECT_TRUE(cpu_search_active(search));
  while (search.hash_count.load() == 0) std::this_thread::yield();
  const uint64_t hashes = stop_cpu_search(search);
  EXPECT_FALSE(cpu_search_active(search));
  EXPECT_FALSE(search.running.load());
  EXPECT_GT(hashes, 0u);
  EXPECT_EQ(hashes, search.hash_count.load());  // no worker is left adding
  EXPECT_FALSE(search.found.load());
  EXPECT_EQ(stop_cpu_search(search), 0u);  // a second stop adds nothing
}

TEST(CpuCoordinator, SolutionIsReadableAfterTheStop) {
  uint8_t header[80];
  for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(i * 7 + 1);
  CpuCoordinator search;
  start_cpu_search(search, header, kEasyTarget, 2, 0x80000000u);
  while (!search.found.load()) std::this_thread::yield();
  stop_cpu_search(search);

  ASSERT_TRUE(search.result.found);
  // The two workers begin at the start nonce and the one after it.
  EXPECT_GE(search.result.nonce, 0x80000000u);
  EXPECT_LT(search.result.nonce, 0x80000000u + 64);
  // The reported hash belongs to the reported nonce.
  uint8_t solved[80];
  std::memcpy(solved, header, 80);
  for (int i = 0; i < 4; ++i) solved[76 + i] = static_cast<uint8_t>(search.result.nonce >> (8 * i));
  uint8_t digest[64];
  sha3_512_cpu(solved, sizeof solved, digest);
  EXPECT_EQ(std::memcmp(digest, search.result.hash, 32), 0);
}

}  // namespace
