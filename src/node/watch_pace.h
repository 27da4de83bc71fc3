#pragma once

#include "node/node_clock.h"

// When the longpoll watch sends its next request, counted from when it sent
// the last one. No two requests go out less than kShortestWatchPause apart,
// whatever the answer: a node that answers every request at once with
// another tip (a chain that moves every few milliseconds, two nodes behind
// one address on different tips) would otherwise draw one request per round
// trip. The request budget of the whole process (request_pacer.h) comes on
// top of this.

enum class WatchAnswer {
  new_tip,   // a template naming a tip other than the last one
  same_tip,  // a template naming the same tip: the node's hold ran out
  failed,    // no template: no reply, a refusal, a template without a usable longpollid
};

constexpr NodeClock::duration kShortestWatchPause = std::chrono::milliseconds(250);
constexpr NodeClock::duration kSameTipPause = std::chrono::seconds(1);
constexpr NodeClock::duration kFirstFailurePause = std::chrono::seconds(5);
constexpr NodeClock::duration kLongestFailurePause = std::chrono::seconds(60);

// `failures` counts the failed answers in a row, this one included; after
// failures the pause doubles from kFirstFailurePause up to
// kLongestFailurePause.
NodeClock::duration watch_pause(WatchAnswer answer, int failures);
