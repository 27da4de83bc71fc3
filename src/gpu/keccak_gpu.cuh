#pragma once

// Keccak-f[1600] as the GPU search runs it: 25 lanes in registers, rounds
// unrolled, rotations as pairs of 32-bit funnel shifts.
//
// The same source also compiles as plain C++. That host build is how the
// tests check this arithmetic against the reference on machines without a
// GPU, so the only device-only code is the three one-instruction helpers
// below (funnel shift, lane split, lane join), each with a C++ twin.

#include <cstdint>
#include <utility>

#include "hash/keccak_constants.h"

#if defined(__CUDACC__)
#define KECCAK_GPU_INLINE __host__ __device__ __forceinline__
#else
#define KECCAK_GPU_INLINE inline
#endif

#if defined(__CUDA_ARCH__)
#define KECCAK_GPU_UNROLL _Pragma("unroll")
#else
#define KECCAK_GPU_UNROLL
#endif

namespace keccak_gpu {

// Lanes 0..3 of the final state: the first 32 digest bytes, the part of the
// digest that is compared with the target.
constexpr int kDigestHeadLanes = 4;

// High 32 bits of the 64-bit value hi:lo shifted left by `shift` (1..31).
// On the GPU this is one SHF instruction. The assembly is deliberately not
// volatile, so the compiler may still drop or merge unused rotations.
KECCAK_GPU_INLINE uint32_t funnel_shift_left(uint32_t lo, uint32_t hi, int shift) {
#if defined(__CUDA_ARCH__)
  uint32_t out;
  asm("shf.l.wrap.b32 %0, %1, %2, %3;" : "=r"(out) : "r"(lo), "r"(hi), "r"(shift));
  return out;
#else
  return (hi << shift) | (lo >> (32 - shift));
#endif
}

// A lane as the two 32-bit registers the GPU holds it in. On the GPU the
// split and the join are register renames (mov.b64 with a register pair).
KECCAK_GPU_INLINE void split_lane(uint64_t lane, uint32_t* lo, uint32_t* hi) {
#if defined(__CUDA_ARCH__)
  asm("mov.b64 {%0, %1}, %2;" : "=r"(*lo), "=r"(*hi) : "l"(lane));
#else
  *lo = static_cast<uint32_t>(lane);
  *hi = static_cast<uint32_t>(lane >> 32);
#endif
}

KECCAK_GPU_INLINE uint64_t join_lane(uint32_t lo, uint32_t hi) {
#if defined(__CUDA_ARCH__)
  uint64_t lane;
  asm("mov.b64 %0, {%1, %2};" : "=l"(lane) : "r"(lo), "r"(hi));
  return lane;
#else
  return (static_cast<uint64_t>(hi) << 32) | lo;
#endif
}

// 64-bit rotate left as two funnel shifts, one per half.
template <int S>
KECCAK_GPU_INLINE uint64_t rotl(uint64_t value) {
  static_assert(S > 0 && S < 64, "rotation by a whole lane is no rotation");
  uint32_t lo;
  uint32_t hi;
  split_lane(value, &lo, &hi);
  if constexpr (S == 32) {
    return join_lane(hi, lo);
  } else if constexpr (S < 32) {
    return join_lane(funnel_shift_left(hi, lo, S), funnel_shift_left(lo, hi, S));
  } else {  // swapping the halves is a rotation by 32
    return join_lane(funnel_shift_left(lo, hi, S - 32), funnel_shift_left(hi, lo, S - 32));
  }
}

KECCAK_GPU_INLINE uint64_t round_constant(int round) {
  constexpr keccak::RoundConstants rc = keccak::kRoundConstants;
  return rc.value[round];
}

KECCAK_GPU_INLINE void theta(uint64_t a[25]) {
  uint64_t c[5];
  KECCAK_GPU_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
  KECCAK_GPU_UNROLL
  for (int x = 0; x < 5; ++x) {
    const uint64_t d = c[(x + 4) % 5] ^ rotl<1>(c[(x + 1) % 5]);
    KECCAK_GPU_UNROLL
    for (int y = 0; y < 25; y += 5) a[y + x] ^= d;
  }
}

// Lane J after rho and pi: the lane pi moves there, rotated by its rho
// offset. Lane 0 stays where it is, unrotated.
template <int J>
KECCAK_GPU_INLINE uint64_t rho_pi_lane(const uint64_t a[25]) {
  // Read into constants first: device code may not touch the host table
  // itself, only values computed from it at compile time.
  constexpr int source = keccak::kRhoPi.source[J];
  constexpr int rotation = keccak::kRhoPi.rotation[J];
  if constexpr (rotation == 0) return a[source];
  else return rotl<rotation>(a[source]);
}

// One call per destination lane, so that every rotation stays a
// compile-time constant.
template <int... J>
KECCAK_GPU_INLINE void rho_pi_lanes(const uint64_t a[25], uint64_t b[25],
                                    std::integer_sequence<int, J...>) {
  ((b[J] = rho_pi_lane<J>(a)), ...);
}

KECCAK_GPU_INLINE void rho_pi(const uint64_t a[25], uint64_t b[25]) {
  rho_pi_lanes(a, b, std::make_integer_sequence<int, 25>{});
}

// Lane J after theta (given its column effects d) and rho and pi, for the
// last round, which needs only row 0.
template <int J>
KECCAK_GPU_INLINE uint64_t theta_rho_pi_lane(const uint64_t a[25], const uint64_t d[5]) {
  constexpr int source = keccak::kRhoPi.source[J];
  constexpr int rotation = keccak::kRhoPi.rotation[J];
  constexpr int column = source % 5;
  const uint64_t lane = a[source] ^ d[column];
  if constexpr (rotation == 0) return lane;
  else return rotl<rotation>(lane);
}

KECCAK_GPU_INLINE void chi(const uint64_t b[25], uint64_t a[25]) {
  KECCAK_GPU_UNROLL
  for (int y = 0; y < 25; y += 5) {
    KECCAK_GPU_UNROLL
    for (int x = 0; x < 5; ++x) a[y + x] = b[y + x] ^ (~b[y + (x + 1) % 5] & b[y + (x + 2) % 5]);
  }
}

KECCAK_GPU_INLINE void keccak_round(uint64_t a[25], int round) {
  uint64_t b[25];
  theta(a);
  rho_pi(a, b);
  chi(b, a);
  a[0] ^= round_constant(round);
}

KECCAK_GPU_INLINE void keccak_f1600(uint64_t a[25]) {
  KECCAK_GPU_UNROLL
  for (int round = 0; round < 24; ++round) keccak_round(a, round);
}

// rotl<S> of a lane whose low half is zero: two plain shifts, which also
// stay visible to the optimiser.
template <int S>
KECCAK_GPU_INLINE uint64_t rotl_high_half(uint32_t high) {
  static_assert(S >= 0 && S < 64, "rotation offsets are below 64");
  const uint64_t lane = static_cast<uint64_t>(high) << 32;
  if constexpr (S == 0) return lane;
  else return (lane << S) | (lane >> (64 - S));
}

// The nonce's share of destination lane J after round 0's theta, rho and pi.
// The nonce is the high half of lane 0. Theta adds it to lane 0 itself, to
// every lane of column 1 through D[1], and rotated by one to every lane of
// column 4 through D[4]; rho and pi then move and rotate those eleven lanes
// like any others.
template <int J>
KECCAK_GPU_INLINE void add_nonce_share(uint64_t b[25], uint32_t nonce) {
  constexpr int source = keccak::kRhoPi.source[J];
  constexpr int rotation = keccak::kRhoPi.rotation[J];
  constexpr int column = source % 5;
  if constexpr (source == 0 || column == 1)
    b[J] ^= rotl_high_half<rotation>(nonce);
  else if constexpr (column == 4)
    b[J] ^= rotl_high_half<(rotation + 1) % 64>(nonce);
}

template <int... J>
KECCAK_GPU_INLINE void add_nonce_shares(uint64_t b[25], uint32_t nonce,
                                        std::integer_sequence<int, J...>) {
  (add_nonce_share<J>(b, nonce), ...);
}

// XORs a nonce's share of round 0's theta, rho and pi into a state that went
// through those steps with the nonce zero (HeaderMidstate::round1_base).
KECCAK_GPU_INLINE void add_nonce_to_round0(uint64_t b[25], uint32_t nonce) {
  add_nonce_shares(b, nonce, std::make_integer_sequence<int, 25>{});
}

// The proof-of-work digest's first 32 bytes (4 lanes) for one nonce: the rest
// of round 0, rounds 1..22, and of round 23 only what those 4 lanes need
// (all of theta's column sums, then 5 lanes of row 0).
KECCAK_GPU_INLINE void pow_digest_head(const uint64_t round1_base[25], uint32_t nonce,
                                       uint64_t head[kDigestHeadLanes]) {
  uint64_t b[25];
  KECCAK_GPU_UNROLL
  for (int i = 0; i < 25; ++i) b[i] = round1_base[i];
  add_nonce_to_round0(b, nonce);

  uint64_t a[25];
  chi(b, a);
  a[0] ^= round_constant(0);

  KECCAK_GPU_UNROLL
  for (int round = 1; round < 23; ++round) keccak_round(a, round);

  uint64_t c[5];
  KECCAK_GPU_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
  uint64_t d[5];
  KECCAK_GPU_UNROLL
  for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ rotl<1>(c[(x + 1) % 5]);
  const uint64_t row0[5] = {theta_rho_pi_lane<0>(a, d), theta_rho_pi_lane<1>(a, d),
                            theta_rho_pi_lane<2>(a, d), theta_rho_pi_lane<3>(a, d),
                            theta_rho_pi_lane<4>(a, d)};
  KECCAK_GPU_UNROLL
  for (int k = 0; k < kDigestHeadLanes; ++k)
    head[k] = row0[k] ^ (~row0[(k + 1) % 5] & row0[(k + 2) % 5]);
  head[0] ^= round_constant(23);
}

// The target as 4 lanes, least significant first, so that it can be compared
// with the digest head a lane at a time.
KECCAK_GPU_INLINE void target_to_lanes(const uint32_t target[8], uint64_t lanes[kDigestHeadLanes]) {
  for (int k = 0; k < kDigestHeadLanes; ++k)
    lanes[k] = static_cast<uint64_t>(target[2 * k]) | static_cast<uint64_t>(target[2 * k + 1]) << 32;
}

// hash <= target as 256-bit numbers. Lane 3 holds the most significant
// words, and for a real target it settles almost every nonce on its own.
KECCAK_GPU_INLINE bool digest_head_meets_target(const uint64_t head[kDigestHeadLanes],
                                                const uint64_t target_lanes[kDigestHeadLanes]) {
  KECCAK_GPU_UNROLL
  for (int k = kDigestHeadLanes - 1; k >= 0; --k) {
    if (head[k] != target_lanes[k]) return head[k] < target_lanes[k];
  }
  return true;
}

KECCAK_GPU_INLINE uint64_t load_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int j = 7; j >= 0; --j) v = (v << 8) | p[j];
  return v;
}

// Full SHA3-512 of an 80-byte message with no midstate and no shortcuts; the
// self-test uses it to check the permutation itself on the GPU.
KECCAK_GPU_INLINE void sha3_512_80(const uint8_t message[80], uint64_t digest[8]) {
  uint64_t a[25] = {};
  for (int k = 0; k < 9; ++k) a[k] = load_le64(message + 8 * k);
  keccak_f1600(a);
  a[0] ^= load_le64(message + 72);
  a[1] ^= 0x06;                      // SHA3 domain bits and first pad bit, block byte 8
  a[8] ^= 0x80ULL << 56;             // last pad bit, block byte 71
  keccak_f1600(a);
  for (int k = 0; k < 8; ++k) digest[k] = a[k];
}

}  // namespace keccak_gpu
