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
