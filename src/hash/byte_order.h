#pragma once

#include <cstdint>

// Little-endian loads and stores, byte by byte so that they are correct on any
// host and at any alignment. Compilers turn each into one move on x86-64.

inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t load_le64(const uint8_t* p) {
  return static_cast<uint64_t>(load_le32(p)) | static_cast<uint64_t>(load_le32(p + 4)) << 32;
}

inline void store_le32(uint8_t* p, uint32_t v) {
  for (int j = 0; j < 4; ++j) p[j] = static_cast<uint8_t>(v >> (8 * j));
}

inline void store_le64(uint8_t* p, uint64_t v) {
  for (int j = 0; j < 8; ++j) p[j] = static_cast<uint8_t>(v >> (8 * j));
}

// Every copy of an 80-byte block header carries its nonce in the last four
// bytes, little-endian.
constexpr int kHeaderNonceOffset = 76;

inline void put_header_nonce(uint8_t header[80], uint32_t nonce) {
  store_le32(header + kHeaderNonceOffset, nonce);
}

// And its time, seconds since 1970, in bytes 68..71: the one other field a
// miner may change (the node lists "time" as mutable) to get more nonces.
constexpr int kHeaderTimeOffset = 68;

inline uint32_t header_time(const uint8_t header[80]) { return load_le32(header + kHeaderTimeOffset); }

inline void put_header_time(uint8_t header[80], uint32_t time) {
  store_le32(header + kHeaderTimeOffset, time);
}
