#pragma once

#include <cstdint>
#include <deque>
#include <set>

#include "node/node_clock.h"

// One budget of requests for the whole process, shared by every connection
// to every node: templates on the clock and on news, the longpoll watch,
// validateaddress, probes of the main node while on a backup. Whatever the
// node does (answers at once, moves its tip every few milliseconds, two
// nodes behind one address on different tips), the miner sends no more
// than kPacedRequests in any kPacerWindow. Two kinds of request are exempt:
// submissions of our blocks, and the one fetch right after a block of ours
// went in, whose work is what the devices need next.
//
// Requests waiting for the budget go out in the order they began to wait,
// so one connection cannot starve another.

constexpr int kPacedRequests = 3;
constexpr NodeClock::duration kPacerWindow = std::chrono::seconds(1);

struct RequestPacer {
  std::deque<NodeClock::time_point> sent;  // the latest paced sends, at most kPacedRequests, oldest first
  std::set<uint64_t> waiting;              // tickets of the requests waiting, in order
  uint64_t tickets_given = 0;
};

// A place in the queue; every ticket taken is either used (count_paced_send)
// or dropped (drop_pacer_ticket).
uint64_t take_pacer_ticket(RequestPacer& pacer);
void drop_pacer_ticket(RequestPacer& pacer, uint64_t ticket);

// When the request holding `ticket` may go out: never (time_point::max())
// while an earlier ticket waits; otherwise `now`, or the moment the oldest of
// the last kPacedRequests sends leaves the window.
NodeClock::time_point paced_send_time(const RequestPacer& pacer, uint64_t ticket, NodeClock::time_point now);

// The request holding `ticket` goes out at `at`.
void count_paced_send(RequestPacer& pacer, uint64_t ticket, NodeClock::time_point at);
