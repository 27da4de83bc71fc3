#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "mine/cpu_coordinator.h"
#include "hash/byte_order.h"
#include "hash/sha3.h"

namespace {

// Target of all ones: every digest meets it.
const uint32_t kEasyTarget[8] = {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u};
// Target of all zeros: practically no digest meets it.
const uint32_t kImpossibleTarget[8] = {};

// Waits until the condition holds; false after ten seconds, so that a search
// that never moves fails the test instead of hanging it.
template <typename Condition>
bool wait_for(Condition condition) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs a search of one header until it has counted some hashes, then stops
// it; returns the count.
uint64_t search_a_while(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                        int threads) {
  EXPECT_TRUE(start_cpu_search(search, header, target, threads, 0x80000000u, nullptr));
  EXPECT_TRUE(wait_for([&] { return search.state.hash_count.load() >= 4096; }));
  return stop_cpu_search(search);
}

TEST(CpuCoordinator, StopJoinsAndReportsTheHashCountOnce) {
  uint8_t header[80] = {};
  CpuCoordinator search;
  EXPECT_FALSE(cpu_search_not_joined(search));
  EXPECT_EQ(stop_cpu_search(search), 0u);  // nothing started yet

  ASSERT_TRUE(start_cpu_search(search, header, kImpossibleTarget, 2, 0, nullptr));
  EXPECT_TRUE(cpu_search_not_joined(search));
  ASSERT_TRUE(wait_for([&] { return search.state.hash_count.load() > 0; }));
  const uint64_t hashes = stop_cpu_search(search);
  EXPECT_FALSE(cpu_search_not_joined(search));
  EXPECT_FALSE(search.state.running.load());
  EXPECT_GT(hashes, 0u);
  EXPECT_EQ(hashes, search.state.hash_count.load());  // no worker is left adding
  EXPECT_FALSE(search.state.found.load());
  EXPECT_EQ(stop_cpu_search(search), 0u);  // a second stop adds nothing
}

TEST(CpuCoordinator, SolutionIsReadableAfterTheStop) {
  uint8_t header[80];
  for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(i * 7 + 1);
  CpuCoordinator search;
  ASSERT_TRUE(start_cpu_search(search, header, kEasyTarget, 2, 0x80000000u, nullptr));
  ASSERT_TRUE(wait_for([&] { return search.state.found.load(); }));
  stop_cpu_search(search);

  ASSERT_TRUE(search.state.result.found);
  // Every nonce meets the target, so the winner is one of the two workers'
  // first nonces, whatever the kernel's width.
  EXPECT_TRUE(search.state.result.nonce == 0x80000000u || search.state.result.nonce == 0x80000001u)
      << std::hex << search.state.result.nonce;
  // The reported hash belongs to the reported nonce.
  uint8_t solved[80];
  std::memcpy(solved, header, 80);
  put_header_nonce(solved, search.state.result.nonce);
  uint8_t digest[64];
  sha3_512_cpu(solved, sizeof solved, digest);
  EXPECT_EQ(std::memcmp(digest, search.state.result.hash, 32), 0);
}

// Another search of the same header bytes 0..75 and target carries on where
// the last stopped; the nonce bytes play no part.
TEST(CpuCoordinator, SameHeaderAndTargetResume) {
  uint8_t header[80] = {1, 2, 3};
  CpuCoordinator search;
  const uint64_t first = search_a_while(search, header, kImpossibleTarget, 1);
  EXPECT_FALSE(cpu_search_covers(search, header, kImpossibleTarget));  // stopped
  header[79] = 0x55;
  const uint64_t second = search_a_while(search, header, kImpossibleTarget, 1);
  ASSERT_EQ(search.positions.size(), 1u);
  EXPECT_EQ(search.positions[0], 0x80000000u + first + second);
}

// A different header byte, target or thread count starts over at the start
// nonce.
TEST(CpuCoordinator, AnyOtherKeyStartsFresh) {
  uint8_t header[80] = {};
  uint32_t target[8] = {};
  struct Case {
    const char* change;
    int header_byte;  // -1: none
    bool change_target;
    int threads;
  };
  const Case cases[] = {{"header byte 0", 0, false, 1},
                        {"header byte 75", 75, false, 1},
                        {"target", -1, true, 1},
                        {"thread count", -1, false, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    CpuCoordinator search;
    search_a_while(search, header, target, 1);
    if (c.header_byte >= 0) header[c.header_byte] ^= 0x01;
    if (c.change_target) target[0] ^= 0x01;
    const uint64_t fresh = search_a_while(search, header, target, c.threads);
    ASSERT_EQ(search.positions.size(), static_cast<size_t>(c.threads));
    uint64_t moved = 0;
    for (int i = 0; i < c.threads; ++i)
      moved +=
          (search.positions[static_cast<size_t>(i)] - (0x80000000u + static_cast<uint64_t>(i))) /
          static_cast<uint64_t>(c.threads);
    EXPECT_EQ(moved, fresh);
  }
}

// A running search covers only its own key.
TEST(CpuCoordinator, CoversOnlyTheRunningKey) {
  uint8_t header[80] = {9};
  uint8_t other[80] = {8};
  CpuCoordinator search;
  ASSERT_TRUE(start_cpu_search(search, header, kImpossibleTarget, 1, 0, nullptr));
  EXPECT_TRUE(cpu_search_covers(search, header, kImpossibleTarget));
  EXPECT_FALSE(cpu_search_covers(search, other, kImpossibleTarget));
  EXPECT_FALSE(cpu_search_covers(search, header, kEasyTarget));
  stop_cpu_search(search);
}

// The system refuses the coordinator thread: one line, no search, no
// std::terminate.
TEST(CpuCoordinator, ThreadThatCannotBeCreatedIsReported) {
  uint8_t header[80] = {};
  CpuCoordinator search;
  search.start_thread = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  testing::internal::CaptureStderr();
  EXPECT_FALSE(start_cpu_search(search, header, kImpossibleTarget, 1, 0, nullptr));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("tamrix-miner: could not start the CPU search thread: ", 0), 0u) << err;
  EXPECT_FALSE(cpu_search_not_joined(search));
  EXPECT_EQ(stop_cpu_search(search), 0u);
}

// A search that returns while still allowed to run wakes the loop and says
// so; only one that ran out of nonces holds its header afterwards, so that a
// search that could not run at all is started again by the next unit.
TEST(CpuCoordinator, SearchThatEndsByItselfWakesTheLoop) {
  uint8_t header[80] = {4};
  for (const CpuSearchEnd end : {CpuSearchEnd::space_used_up, CpuSearchEnd::could_not_search}) {
    SCOPED_TRACE(static_cast<int>(end));
    LoopWakeup wakeup(0);
    CpuCoordinator search;
    search.state.wakeup = &wakeup;
    search.search_function = [end](const CpuSearchJob&, SearchState&) { return end; };
    ASSERT_TRUE(start_cpu_search(search, header, kImpossibleTarget, 1, 0x80000000u, nullptr));
    EXPECT_TRUE(wakeup.try_acquire_for(std::chrono::seconds(10)));
    EXPECT_TRUE(search.ended_by_itself.load());
    stop_cpu_search(search);
    EXPECT_EQ(cpu_search_used_up(search, header, kImpossibleTarget),
              end == CpuSearchEnd::space_used_up);
  }
}

// A search the loop stops did not end by itself and wakes nobody.
TEST(CpuCoordinator, StoppedSearchDoesNotWakeTheLoop) {
  uint8_t header[80] = {5};
  LoopWakeup wakeup(0);
  CpuCoordinator search;
  search.state.wakeup = &wakeup;
  search_a_while(search, header, kImpossibleTarget, 1);
  EXPECT_FALSE(search.ended_by_itself.load());
  EXPECT_FALSE(wakeup.try_acquire());
  EXPECT_FALSE(cpu_search_used_up(search, header, kImpossibleTarget));
}

}  // namespace
