#pragma once

#include <chrono>
#include <cstdint>

// The mining loop's rules as plain functions of what it knows, so that each
// can be checked on its own; mining_loop.cpp follows them.

using LoopClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Fresh work about once a second, whatever the devices: the node's curtime
// moves once a second, and a new chain tip is also announced by longpoll.
constexpr LoopClock::duration kRefreshInterval = 1s;
// The least time between the starts of two fetches that news asked for at
// once (a block went in, the watch names a new tip): a chain whose blocks
// come every few milliseconds, as a development node's easy target makes
// them, then draws at most four such fetches a second instead of one per
// block. News after a fetch on the clock is fetched at once.
constexpr LoopClock::duration kShortestFetchInterval = 250ms;
// After a failed get_work: "Failed to get work, retrying in 5s...".
constexpr LoopClock::duration kFetchRetryInterval = 5s;
constexpr LoopClock::duration kStatusInterval = 2s;
// How long the devices go on with work the node has not confirmed since,
// while it fails to answer. Longer than a few missed refreshes (a node that
// is busy for a moment), short enough that a tip the miner cannot see has
// probably not moved meanwhile.
constexpr LoopClock::duration kWorkValidFor = 120s;
// The longest wait between two passes: a stop is seen at least this often,
// since the signal handler cannot wake the loop itself.
constexpr LoopClock::duration kLongestWait = 100ms;
// How far the header time may run ahead of the node's curtime: well inside
// the two hours a node allows, so that every block is one it takes.
constexpr uint32_t kMaxSecondsAheadOfNode = 600;
// A GPU whose launches fail is tried again after 1, 2, 4 ... seconds, at
// most this long apart.
constexpr LoopClock::duration kLongestGpuRetry = 60s;

// The first position (header time << 32 | nonce offset) the devices may not
// claim when the node's newest time is node_time.
uint64_t work_end_for(uint32_t node_time);

// How long a GPU that has failed `failures_in_a_row` times (1 or more) waits
// before the next try.
LoopClock::duration gpu_retry_delay(int failures_in_a_row);

// What decides when the node is next asked and whether the work in hand may
// still be searched.
struct FetchState {
  LoopClock::time_point next_fetch{};  // the clock's next refresh
  // When the last fetch on news began; never, to begin with.
  LoopClock::time_point last_news_began = LoopClock::time_point::min();
  bool last_fetch_failed = false;      // then next_fetch is the retry
  bool have_work = false;              // some work has been fetched and is kept
  LoopClock::time_point confirmed_at{};  // when the node last sent work
  bool tip_moved = false;  // the longpoll watch named a tip other than the work's
  bool fetch_at_once = false;  // a block went in: the node has a new tip
};

// Ask the node now: on the clock, and after a block went in or when the
// watch names a new tip at once, or kShortestFetchInterval after the last
// fetch on news began if that is later; news does not cut the 5 s retry
// wait short.
bool fetch_due(const FetchState& state, LoopClock::time_point now);

// True when a fetch due at `now` is one that news asked for before the clock.
bool fetch_is_on_news(const FetchState& state, LoopClock::time_point now);

// When fetch_due next turns true by itself: the clock's refresh, or sooner
// for news.
LoopClock::time_point fetch_due_at(const FetchState& state);

// The chain has moved past the work in hand: a block of ours went in, or the
// watch names another tip. A block of that work can no longer go in.
bool work_stale(const FetchState& state);

// The devices may search the work in hand: it is no older than kWorkValidFor
// and not stale.
bool work_usable(const FetchState& state, LoopClock::time_point now);

// When the next fetch is due after one that began at `began` and ended at
// `ended`: a second after the last began, 5 s after a failure ended.
LoopClock::time_point next_fetch_after(bool succeeded, LoopClock::time_point began,
                                       LoopClock::time_point ended);
