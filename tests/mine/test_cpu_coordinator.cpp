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

// A space of every position from 0, first nonce 0x80000000.
struct EndlessSpace {
  WorkSpace space;
  EndlessSpace() { begin_work_space(space, 0, UINT64_MAX); }
};

// Runs a search of one header until it has counted some hashes, then stops
// it; returns the count.
uint64_t search_a_while(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                        int threads, WorkSpace& space) {
  EXPECT_TRUE(start_cpu_search(search, header, target, threads, &space));
  EXPECT_TRUE(wait_for([&] { return search.state.hash_count.load() >= 4096; }));
  return stop_cpu_search(search);
}

TEST(CpuCoordinator, StopJoinsAndReportsTheHashCountOnce) {
  uint8_t header[80] = {};
  CpuCoordinator search;
  EXPECT_FALSE(cpu_search_not_joined(search));
  EXPECT_EQ(stop_cpu_search(search), 0u);  // nothing started yet

  EndlessSpace endless;
  ASSERT_TRUE(start_cpu_search(search, header, kImpossibleTarget, 2, &endless.space));
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
  EndlessSpace endless;
  ASSERT_TRUE(start_cpu_search(search, header, kEasyTarget, 2, &endless.space));
  ASSERT_TRUE(wait_for([&] { return search.state.found.load(); }));
  stop_cpu_search(search);

  ASSERT_TRUE(search.state.result.found);
  // Every nonce meets the target, so the winner is the first nonce of one of
  // the two workers' first chunks, whatever the kernel's width.
  EXPECT_TRUE(search.state.result.nonce == 0x80000000u ||
              search.state.result.nonce == 0x80000000u + kCpuChunk)
      << std::hex << search.state.result.nonce;
  EXPECT_EQ(search.state.result.header_time, 0u);  // position 0: time 0
  // The reported hash belongs to the reported nonce, in the header time the
  // search used.
  uint8_t solved[80];
  std::memcpy(solved, header, 80);
  put_header_time(solved, search.state.result.header_time);
  put_header_nonce(solved, search.state.result.nonce);
  uint8_t digest[64];
  sha3_512_cpu(solved, sizeof solved, digest);
  EXPECT_EQ(std::memcmp(digest, search.state.result.hash, 32), 0);
}

// A second search of the same space goes on past what the first claimed; the
// coordinator keeps nothing of its own between the two.
TEST(CpuCoordinator, ASecondSearchOfTheSameSpaceGoesOn) {
  uint8_t header[80] = {1, 2, 3};
  CpuCoordinator search;
  EndlessSpace endless;
  const uint64_t first = search_a_while(search, header, kImpossibleTarget, 1, endless.space);
  const uint64_t claimed_by_first = endless.space.next.load();
  EXPECT_GE(claimed_by_first, first);
  const uint64_t second = search_a_while(search, header, kImpossibleTarget, 2, endless.space);
  EXPECT_GE(endless.space.next.load() - claimed_by_first, second);
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
  EndlessSpace endless;
  EXPECT_FALSE(start_cpu_search(search, header, kImpossibleTarget, 1, &endless.space));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("tamrix-miner: could not start the CPU search thread: ", 0), 0u) << err;
  EXPECT_FALSE(cpu_search_not_joined(search));
  EXPECT_EQ(stop_cpu_search(search), 0u);
}

// A search that returns while still allowed to run wakes the loop and says
// so, whatever ended it.
TEST(CpuCoordinator, SearchThatEndsByItselfWakesTheLoop) {
  uint8_t header[80] = {4};
  for (const CpuSearchEnd end : {CpuSearchEnd::space_used_up, CpuSearchEnd::could_not_search}) {
    SCOPED_TRACE(static_cast<int>(end));
    LoopWakeup wakeup(0);
    CpuCoordinator search;
    EndlessSpace endless;
    search.state.wakeup = &wakeup;
    search.search_function = [end](const CpuSearchJob&, SearchState&) { return end; };
    ASSERT_TRUE(start_cpu_search(search, header, kImpossibleTarget, 1, &endless.space));
    EXPECT_TRUE(wakeup.try_acquire_for(std::chrono::seconds(10)));
    EXPECT_TRUE(search.ended_by_itself.load());
    stop_cpu_search(search);
    EXPECT_EQ(search.end, end);
  }
}

// A search the loop stops did not end by itself and wakes nobody.
TEST(CpuCoordinator, StoppedSearchDoesNotWakeTheLoop) {
  uint8_t header[80] = {5};
  LoopWakeup wakeup(0);
  CpuCoordinator search;
  EndlessSpace endless;
  search.state.wakeup = &wakeup;
  search_a_while(search, header, kImpossibleTarget, 1, endless.space);
  EXPECT_FALSE(search.ended_by_itself.load());
  EXPECT_FALSE(wakeup.try_acquire());
  EXPECT_EQ(search.end, CpuSearchEnd::stopped);
}

}  // namespace
