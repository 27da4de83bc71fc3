#include "node/node_health.h"

void note_node_answer(NodeHealth& health, bool good, NodeClock::time_point now) {
  if (!health.answered || health.failing == good) health.streak_since = now;
  health.failing = !good;
  health.answered = true;
}

bool failed_long_enough(const NodeHealth& health, NodeClock::time_point now, const NodeLinkTiming& timing) {
  return health.answered && health.failing && now - health.streak_since >= timing.leave_after;
}

bool good_long_enough(const NodeHealth& health, NodeClock::time_point now, const NodeLinkTiming& timing) {
  return health.answered && !health.failing && now - health.streak_since >= timing.return_after;
}

int node_after(int current, int step, int count) { return (current + step) % count; }
