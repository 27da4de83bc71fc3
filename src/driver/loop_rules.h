#pragma once

#include <chrono>
#include <cstdint>

// The mining loop's rules as plain functions of what it knows, so that each
// can be checked on its own; mining_loop.cpp follows them. When the node is
// asked is the node link's business (node/node_link.h), not the loop's.

using LoopClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr LoopClock::duration kStatusInterval = 2s;
// How long the devices go on with work the node has not confirmed since,
// while no longpoll request is held on it. Longer than a few missed
// refreshes (a node that is busy for a moment), short enough that a tip the
// miner cannot see has probably not moved meanwhile.
constexpr LoopClock::duration kWorkValidFor = 120s;
// The longest wait between two passes: a stop is seen at least this often,
// since the signal handler cannot wake the loop itself.
constexpr LoopClock::duration kLongestWait = 100ms;
// How far the header time may run ahead of the node's curtime: well inside
// the two hours a node allows, so that every block is one it takes.
constexpr uint32_t kMaxSecondsAheadOfNode = 600;
// How often the record the API reads is published, at most.
constexpr LoopClock::duration kPublishInterval = 500ms;

// The first position (header time << 32 | nonce offset) the devices may not
// claim when the node's newest time is node_time.
uint64_t work_end_for(uint32_t node_time);

// What the loop knows about the work in hand and the chain.
struct WorkStanding {
  bool have_work = false;
  LoopClock::time_point confirmed_at{};  // when the node last sent work
  // The chain has moved past it: the watch named another tip at its height
  // or above, or a block of ours on its previous block went in.
  bool stale = false;
  // The longpoll watch holds a request on the node: its tip has not moved.
  bool watch_holding = false;
  // The height of the template of the tip the watch named last; 0 before any.
  int32_t newest_tip_height = 0;
  // The previous block of the last block of ours that went in (its tip
  // fingerprint); 0 before any. That block is no longer the tip.
  uint64_t tip_we_built_on = 0;
};

// The devices may search the work in hand: it is not stale, and either the
// watch holds a request or the node sent work within kWorkValidFor.
bool work_usable(const WorkStanding& standing, LoopClock::time_point now);

// When work_usable turns false by itself (the work grows too old); max()
// when it cannot (no work, stale already, or the watch vouches for it).
LoopClock::time_point work_expires_at(const WorkStanding& standing);

// Whether news of a tip (the watch's template: its height and tip
// fingerprint) leaves the work in hand (height, tip) behind: news of a lower
// height is older than the work, and news of the work's own tip is none.
bool tip_news_passes_work(int32_t work_height, uint64_t work_tip, int32_t news_height,
                          uint64_t news_tip);

// Whether fetched work (its height and tip fingerprint) is older than what
// the loop knows: below the height of the tip the watch named last, or on
// the block our last accepted block was built on, from a fetch that began
// before that block went in (a fetch begun after it has the node's word).
bool fetched_work_is_behind(const WorkStanding& standing, int32_t work_height, uint64_t work_tip,
                            bool fetched_after_block_of_ours);
