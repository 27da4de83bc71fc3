// The mining loop's rules as values: when the node is asked, whether the work
// in hand may be searched, the GPU's back-off, the header time's bound, the
// size of batches sized by time, and when calls to the node are given up.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <limits>

#include "driver/gpu_launcher.h"
#include "driver/loop_rules.h"
#include "driver/run_flag.h"

namespace {

using namespace std::chrono_literals;

const LoopClock::time_point t0{};

FetchState fetched_at(LoopClock::time_point when) {
  FetchState state;
  state.next_fetch = next_fetch_after(true, when, when + 200ms);
  state.have_work = true;
  state.confirmed_at = when + 200ms;
  return state;
}

// Once a second from the start of the last fetch, 5 s after a failed one
// ended; after a block went in or on news of a new tip at once, but no
// sooner than 250 ms after the last fetch on news began, and a new tip does
// not cut the retry wait short.
TEST(LoopRules, TheNodeIsAskedOnTheClockAndOnNews) {
  FetchState state = fetched_at(t0);
  EXPECT_EQ(state.next_fetch, t0 + 1s);
  EXPECT_FALSE(fetch_due(state, t0 + 999ms));
  EXPECT_TRUE(fetch_due(state, t0 + 1s));
  EXPECT_FALSE(fetch_is_on_news(state, t0 + 1s));
  EXPECT_EQ(fetch_due_at(state), t0 + 1s);

  // News right after a fetch on the clock: at once.
  state.tip_moved = true;
  EXPECT_TRUE(fetch_due(state, t0 + 10ms));
  EXPECT_TRUE(fetch_is_on_news(state, t0 + 10ms));
  // News again within 250 ms of the last fetch on news waits for the rest.
  state.last_news_began = t0 + 10ms;
  EXPECT_FALSE(fetch_due(state, t0 + 259ms));
  EXPECT_TRUE(fetch_due(state, t0 + 260ms));
  EXPECT_EQ(fetch_due_at(state), t0 + 260ms);
  state.tip_moved = false;
  state.fetch_at_once = true;
  EXPECT_FALSE(fetch_due(state, t0 + 100ms));
  EXPECT_TRUE(fetch_due(state, t0 + 300ms));

  FetchState failed = state;
  failed.next_fetch = next_fetch_after(false, t0 + 1s, t0 + 1s + 30ms);
  failed.last_fetch_failed = true;
  EXPECT_EQ(failed.next_fetch, t0 + 6s + 30ms);
  EXPECT_EQ(fetch_due_at(failed), t0 + 6s + 30ms);
  failed.tip_moved = true;
  EXPECT_FALSE(fetch_due(failed, t0 + 3s));
  EXPECT_TRUE(fetch_due(failed, t0 + 6s + 30ms));
}

// Work is searched while the node fails, up to kWorkValidFor after it last
// sent work, and not once the chain has moved past it.
TEST(LoopRules, WorkIsUsableWhileRecentAndOnTheTip) {
  FetchState state;
  EXPECT_FALSE(work_usable(state, t0));  // nothing fetched yet
  state = fetched_at(t0);
  EXPECT_TRUE(work_usable(state, t0 + 200ms + kWorkValidFor));
  EXPECT_FALSE(work_usable(state, t0 + 201ms + kWorkValidFor));
  state.tip_moved = true;
  EXPECT_TRUE(work_stale(state));
  EXPECT_FALSE(work_usable(state, t0 + 1s));
  state.tip_moved = false;
  state.fetch_at_once = true;  // a block of ours went in
  EXPECT_TRUE(work_stale(state));
  EXPECT_FALSE(work_usable(state, t0 + 1s));
}

TEST(LoopRules, GpuRetriesDoubleUpToAMinute) {
  const LoopClock::duration expected[] = {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s};
  for (int failures = 1; failures <= 8; ++failures)
    EXPECT_EQ(gpu_retry_delay(failures), expected[failures - 1]) << failures;
  EXPECT_EQ(gpu_retry_delay(1000), 60s);
}

// The header time may run kMaxSecondsAheadOfNode seconds past the node's,
// every nonce of that last second included, and never wraps at the top.
TEST(LoopRules, HeaderTimeStaysWithinTenMinutesOfTheNode) {
  EXPECT_EQ(kMaxSecondsAheadOfNode, 600u);
  EXPECT_EQ(work_end_for(1700000000), uint64_t{1700000601} << 32);
  EXPECT_EQ(work_end_for(0xFFFFFFFFu), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(work_end_for(0xFFFFFFFFu - 600), std::numeric_limits<uint64_t>::max());
}

// Batches sized by time aim at 10 to 40 ms each, within 2^16 to 2^31 nonces.
TEST(LoopRules, BatchesSizedByTime) {
  EXPECT_EQ(next_batch_size_by_time(1u << 20, 0.002), 2u << 20);
  EXPECT_EQ(next_batch_size_by_time(1u << 20, 0.020), 1u << 20);
  EXPECT_EQ(next_batch_size_by_time(1u << 20, 0.100), 1u << 19);
  EXPECT_EQ(next_batch_size_by_time(uint64_t{1} << 31, 0.001), uint64_t{1} << 31);
  EXPECT_EQ(next_batch_size_by_time(1u << 16, 1.0), 1u << 16);
}

// A stop gives up every call to the node, except the submission of a block
// found before it; a second signal gives that up too. The flags are never
// cleared, so this runs in a child process.
TEST(LoopRules, CallsToTheNodeAreGivenUpOnAStop) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        g_running.store(true);
        const bool before = node_calls_abandoned();
        submission_begins();
        signal_handler(SIGINT);
        const bool during_submission = node_calls_abandoned();
        signal_handler(SIGINT);
        const bool after_second = node_calls_abandoned();
        submission_ends();
        std::exit(!before && !during_submission && after_second ? 4 : 1);
      },
      testing::ExitedWithCode(4), "");
  EXPECT_EXIT(
      {
        g_running.store(true);
        signal_handler(SIGTERM);
        std::exit(node_calls_abandoned() ? 4 : 1);
      },
      testing::ExitedWithCode(4), "");
}

}  // namespace
