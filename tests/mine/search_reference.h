#pragma once

// Test-side model of the nonce search, built on the reference SHA3 and a
// byte-wise 256-bit comparison that shares no code with the miner's.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "hash/sha3.h"
#include "mine/cpu_search.h"

using Header = std::array<uint8_t, 80>;
using Hash256 = std::array<uint8_t, 32>;  // little-endian 256-bit value

// A header with distinct bytes per seed. The nonce bytes hold junk: the
// search must ignore the caller's nonce field.
inline Header make_header(int seed) {
  Header h{};
  for (int k = 0; k < 76; ++k) h[k] = static_cast<uint8_t>(k * 29 + seed * 131 + 7);
  for (int k = 76; k < 80; ++k) h[k] = 0xEE;
  return h;
}

inline Hash256 reference_hash(const Header& header, uint32_t nonce) {
  Header h = header;
  for (int j = 0; j < 4; ++j) h[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
  uint8_t digest[64];
  sha3_512_cpu(h.data(), h.size(), digest);
  Hash256 out;
  std::memcpy(out.data(), digest, out.size());
  return out;
}

// Met by every hash.
inline Hash256 all_ones() {
  Hash256 t;
  t.fill(0xFF);
  return t;
}

inline bool value_le(const Hash256& a, const Hash256& b) {
  for (int i = 31; i >= 0; --i)
    if (a[i] != b[i]) return a[i] < b[i];
  return true;
}

inline std::array<uint32_t, 8> target_words(const Hash256& t) {
  std::array<uint32_t, 8> w{};
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) w[i] |= static_cast<uint32_t>(t[4 * i + j]) << (8 * j);
  return w;
}

// The first nonce in one worker's sequence that meets the target, and how
// many hashes that worker computes up to and including it.
struct FirstHit {
  uint32_t nonce;
  uint64_t hashes;
};

inline FirstHit first_hit(const Header& header, const Hash256& target, uint32_t first_nonce,
                          uint32_t stride) {
  uint32_t nonce = first_nonce;
  for (uint64_t n = 1;; ++n, nonce += stride)
    if (value_le(reference_hash(header, nonce), target)) return FirstHit{nonce, n};
}

// Caller-owned search state, set up as the callers of cpu_mine do.
struct SearchState {
  std::atomic<bool> running{true};
  std::atomic<bool> found{false};
  std::atomic<uint64_t> hash_count{0};
  CpuMiningResult result{};
};

inline void run_search(const Header& header, const Hash256& target, int num_threads,
                       uint32_t start_nonce, SearchState& s) {
  const auto words = target_words(target);
  cpu_mine(header.data(), words.data(), num_threads, start_nonce, s.running, s.found, &s.result,
           s.hash_count);
}
