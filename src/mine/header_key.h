#pragma once

#include <cstdint>
#include <cstring>

#include "hash/byte_order.h"

// What two units of work must share for a search of one to go on as a
// search of the other: header bytes 0..75 except the time (68..71), and the
// target. Equal keys give every (header time, nonce) pair the same hash and
// verdict, so one WorkSpace serves them both.
struct HeaderKey {
  uint8_t header[76] = {};  // time bytes zero
  uint32_t target[8] = {};
  bool set = false;  // false: no header searched yet; equal to no key
};

inline HeaderKey make_header_key(const uint8_t header[80], const uint32_t target[8]) {
  HeaderKey key;
  std::memcpy(key.header, header, sizeof key.header);
  std::memset(key.header + kHeaderTimeOffset, 0, 4);
  std::memcpy(key.target, target, sizeof key.target);
  key.set = true;
  return key;
}

inline bool same_header_key(const HeaderKey& a, const HeaderKey& b) {
  return a.set && b.set && std::memcmp(a.header, b.header, sizeof a.header) == 0 &&
         std::memcmp(a.target, b.target, sizeof a.target) == 0;
}
