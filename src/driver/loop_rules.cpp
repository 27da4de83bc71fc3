#include "driver/loop_rules.h"

#include <algorithm>
#include <limits>

uint64_t work_end_for(uint32_t node_time) {
  const uint64_t last_second = uint64_t{node_time} + kMaxSecondsAheadOfNode;
  if (last_second >= std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint64_t>::max();
  return (last_second + 1) << 32;
}

LoopClock::duration gpu_retry_delay(int failures_in_a_row) {
  const int doublings = std::clamp(failures_in_a_row - 1, 0, 6);
  return std::min<LoopClock::duration>(std::chrono::seconds(1) * (1 << doublings), kLongestGpuRetry);
}

LoopClock::time_point fetch_due_at(const FetchState& state) {
  const bool news = !state.last_fetch_failed && (state.fetch_at_once || state.tip_moved);
  if (!news) return state.next_fetch;
  return std::min(state.next_fetch, state.last_news_began + kShortestFetchInterval);
}

bool fetch_due(const FetchState& state, LoopClock::time_point now) { return now >= fetch_due_at(state); }

bool fetch_is_on_news(const FetchState& state, LoopClock::time_point now) {
  return now < state.next_fetch && fetch_due(state, now);
}

bool work_stale(const FetchState& state) { return state.fetch_at_once || state.tip_moved; }

bool work_usable(const FetchState& state, LoopClock::time_point now) {
  return state.have_work && !work_stale(state) && now - state.confirmed_at <= kWorkValidFor;
}

LoopClock::time_point next_fetch_after(bool succeeded, LoopClock::time_point began,
                                       LoopClock::time_point ended) {
  return succeeded ? began + kRefreshInterval : ended + kFetchRetryInterval;
}
