#include "driver/loop_rules.h"

#include <limits>

uint64_t work_end_for(uint32_t node_time) {
  const uint64_t last_second = uint64_t{node_time} + kMaxSecondsAheadOfNode;
  if (last_second >= std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint64_t>::max();
  return (last_second + 1) << 32;
}

bool work_usable(const WorkStanding& standing, LoopClock::time_point now) {
  if (!standing.have_work || standing.stale) return false;
  return standing.watch_holding || now - standing.confirmed_at <= kWorkValidFor;
}

LoopClock::time_point work_expires_at(const WorkStanding& standing) {
  if (!standing.have_work || standing.stale || standing.watch_holding)
    return LoopClock::time_point::max();
  return standing.confirmed_at + kWorkValidFor + LoopClock::duration{1};
}

bool tip_news_passes_work(int32_t work_height, uint64_t work_tip, int32_t news_height,
                          uint64_t news_tip) {
  return news_height >= work_height && news_tip != work_tip;
}

bool fetched_work_is_behind(const WorkStanding& standing, int32_t work_height, uint64_t work_tip,
                            bool fetched_after_block_of_ours) {
  if (work_height < standing.newest_tip_height) return true;
  return !fetched_after_block_of_ours && standing.tip_we_built_on != 0 &&
         work_tip == standing.tip_we_built_on;
}
