#include "node/request_pacer.h"

#include <algorithm>

uint64_t take_pacer_ticket(RequestPacer& pacer) {
  const uint64_t ticket = pacer.tickets_given++;
  pacer.waiting.insert(ticket);
  return ticket;
}

void drop_pacer_ticket(RequestPacer& pacer, uint64_t ticket) { pacer.waiting.erase(ticket); }

NodeClock::time_point paced_send_time(const RequestPacer& pacer, uint64_t ticket, NodeClock::time_point now) {
  if (pacer.waiting.empty() || *pacer.waiting.begin() != ticket) return NodeClock::time_point::max();
  if (pacer.sent.size() < static_cast<size_t>(kPacedRequests)) return now;
  return std::max(now, pacer.sent.front() + kPacerWindow);
}

void count_paced_send(RequestPacer& pacer, uint64_t ticket, NodeClock::time_point at) {
  pacer.waiting.erase(ticket);
  pacer.sent.push_back(at);
  while (pacer.sent.size() > static_cast<size_t>(kPacedRequests)) pacer.sent.pop_front();
}
