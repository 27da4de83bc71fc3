#pragma once

#include <atomic>
#include <cstdint>

// Everything one header key (header bytes 0..75 without the time, and the
// target: HeaderKey) offers to search: 2^32 nonces for each header time.
// Every device claims its chunks from one counter over (time, nonce), which
// only moves forward, so no (time, nonce) pair is ever handed out twice, on
// any device, however many devices share it.
//
// A position is the header time in the high 32 bits and a nonce offset in
// the low 32 bits; the nonce is first_nonce plus that offset, wrapping past
// 0xFFFFFFFF. Counting on past the last offset of a second moves the header
// time on by one second: the search goes on with a new time instead of
// running out.

constexpr uint32_t kFirstNonce = 0x80000000u;  // where every second's search begins
constexpr uint64_t kNoncesPerSecond = uint64_t{1} << 32;

struct WorkSpace {
  uint32_t first_nonce = kFirstNonce;  // set only while no device claims
  // The first position nobody has claimed. Devices move it by claiming; the
  // mining loop moves it up to the node's newest time (move_work_past).
  std::atomic<uint64_t> next{0};
  // Positions from here on may not be claimed: the bound on how far the
  // header time runs ahead of the node's. Written by the mining loop.
  std::atomic<uint64_t> end{0};
};

// One claim: `size` positions from `position`, all of one header time.
struct WorkChunk {
  uint64_t position = 0;
  uint64_t size = 0;  // 0: nothing left below the space's end
};

inline uint32_t time_at(uint64_t position) { return static_cast<uint32_t>(position >> 32); }
inline uint64_t first_position_of(uint32_t time) { return uint64_t{time} << 32; }
inline uint32_t nonce_at(const WorkSpace& space, uint64_t position) {
  return space.first_nonce + static_cast<uint32_t>(position);
}

// Sets the space up to hand out [next, end). No device may be claiming.
void begin_work_space(WorkSpace& space, uint64_t next, uint64_t end, uint32_t first_nonce = kFirstNonce);

// Claims up to max_size positions (at least 1 is asked for) and never past
// the end of a second, so that a chunk has one header time.
WorkChunk claim_work(WorkSpace& space, uint64_t max_size);

// Moves the counter forward to `position` if it is behind it; positions
// skipped are simply never searched. Safe while devices claim.
void move_work_past(WorkSpace& space, uint64_t position);

// True while some position below the end is unclaimed.
bool work_space_has_room(const WorkSpace& space);
