#include "mine/work_space.h"

#include <algorithm>

void begin_work_space(WorkSpace& space, uint64_t next, uint64_t end, uint32_t first_nonce) {
  space.first_nonce = first_nonce;
  space.next.store(next);
  space.end.store(end);
}

WorkChunk claim_work(WorkSpace& space, uint64_t max_size) {
  uint64_t next = space.next.load();
  for (;;) {
    const uint64_t end = space.end.load();
    if (next >= end) return WorkChunk{next, 0};
    const uint64_t left_in_second = kNoncesPerSecond - (next & (kNoncesPerSecond - 1));
    const uint64_t size = std::min({std::max<uint64_t>(max_size, 1), end - next, left_in_second});
    // On failure `next` holds the counter's current value and the loop looks again.
    if (space.next.compare_exchange_weak(next, next + size)) return WorkChunk{next, size};
  }
}

void move_work_past(WorkSpace& space, uint64_t position) {
  uint64_t next = space.next.load();
  while (next < position && !space.next.compare_exchange_weak(next, position)) {
  }
}

bool work_space_has_room(const WorkSpace& space) { return space.next.load() < space.end.load(); }
