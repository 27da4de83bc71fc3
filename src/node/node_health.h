#pragma once

#include "node/node_clock.h"

// Which node to mine on, when there are backups. A node that has failed for
// `leave_after` is left for the next one that answers; the main node, asked
// now and then while a backup is mined on, is mined on again once it has
// answered well for `return_after` without a failure in between. Both spans
// are long enough that a node restarting, or one failed call, moves nothing.

struct NodeLinkTiming {
  NodeClock::duration leave_after = std::chrono::seconds(15);
  NodeClock::duration return_after = std::chrono::seconds(60);
  // How often the main node is asked (a getblocktemplate, paced like every
  // request) while a backup is mined on.
  NodeClock::duration probe_every = std::chrono::seconds(5);
};

// What the last answers of one node were. Each streak is dated by its first
// answer; an answer of the other kind ends it.
struct NodeHealth {
  bool failing = false;               // the last answer was a failure
  NodeClock::time_point streak_since{};  // the first answer of the current streak
  bool answered = false;              // any answer (good or not) seen yet
};

void note_node_answer(NodeHealth& health, bool good, NodeClock::time_point now);

// The node has failed every call for at least `leave_after`.
bool failed_long_enough(const NodeHealth& health, NodeClock::time_point now, const NodeLinkTiming& timing);

// The node has answered every call well for at least `return_after`.
bool good_long_enough(const NodeHealth& health, NodeClock::time_point now, const NodeLinkTiming& timing);

// The order in which the others are tried once node `current` of `count`
// is left: the ones after it, then from the main node on, `current` last.
int node_after(int current, int step, int count);
