#pragma once

#include <cstdint>
#include <cstring>

// What decides the outcome of hashing a nonce: header bytes 0..75 and the
// target. Two units of work with equal keys share every nonce's hash and
// verdict, so a search of one may simply go on as a search of the other.
struct HeaderKey {
  uint8_t header[76] = {};
  uint32_t target[8] = {};
  bool set = false;  // false: no header searched yet; equal to no key
};

inline HeaderKey make_header_key(const uint8_t header[80], const uint32_t target[8]) {
  HeaderKey key;
  std::memcpy(key.header, header, sizeof key.header);
  std::memcpy(key.target, target, sizeof key.target);
  key.set = true;
  return key;
}

inline bool same_header_key(const HeaderKey& a, const HeaderKey& b) {
  return a.set && b.set && std::memcmp(a.header, b.header, sizeof a.header) == 0 &&
         std::memcmp(a.target, b.target, sizeof a.target) == 0;
}
