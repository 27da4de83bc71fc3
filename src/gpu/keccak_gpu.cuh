#pragma once

// Keccak-f[1600] as the GPU search runs it: 25 lanes in registers, rounds
// unrolled, rotations as pairs of 32-bit funnel shifts.
//
// The same source also compiles as plain C++. That host build is how the
// tests check this arithmetic against the reference on machines without a
// GPU, so the only device-only code is the three one-instruction helpers
// below (funnel shift, lane split, lane join), each with a C++ twin.

#include <cstdint>

#include "gpu/nonce_midstate.h"

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
  constexpr uint64_t rc[24] = {
      0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL,
      0x8000000080008000ULL, 0x000000000000808bULL, 0x0000000080000001ULL,
      0x8000000080008081ULL, 0x8000000000008009ULL, 0x000000000000008aULL,
      0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
      0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL,
      0x8000000000008003ULL, 0x8000000000008002ULL, 0x8000000000000080ULL,
      0x000000000000800aULL, 0x800000008000000aULL, 0x8000000080008081ULL,
      0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};
  return rc[round];
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

// Rho and pi together: lane (x, y) is rotated by its rho offset and lands at
// (y, 2x + 3y). One line per lane so that every offset stays a compile-time
// constant. Lane 0 stays where it is, unrotated.
KECCAK_GPU_INLINE void rho_pi(const uint64_t a[25], uint64_t b[25]) {
  b[0] = a[0];
  b[1] = rotl<44>(a[6]);
  b[2] = rotl<43>(a[12]);
  b[3] = rotl<21>(a[18]);
  b[4] = rotl<14>(a[24]);
  b[5] = rotl<28>(a[3]);
  b[6] = rotl<20>(a[9]);
  b[7] = rotl<3>(a[10]);
  b[8] = rotl<45>(a[16]);
  b[9] = rotl<61>(a[22]);
  b[10] = rotl<1>(a[1]);
  b[11] = rotl<6>(a[7]);
  b[12] = rotl<25>(a[13]);
  b[13] = rotl<8>(a[19]);
  b[14] = rotl<18>(a[20]);
  b[15] = rotl<27>(a[4]);
  b[16] = rotl<36>(a[5]);
  b[17] = rotl<10>(a[11]);
  b[18] = rotl<15>(a[17]);
  b[19] = rotl<56>(a[23]);
  b[20] = rotl<62>(a[2]);
  b[21] = rotl<55>(a[8]);
  b[22] = rotl<39>(a[14]);
  b[23] = rotl<41>(a[15]);
  b[24] = rotl<2>(a[21]);
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

// XORs a nonce's share of round 0's theta, rho and pi into a state that went
// through those steps with the nonce zero (NonceMidstate). The nonce is the
// high half of lane 0. Theta adds it to lane 0 itself, to every lane of
// column 1 through D[1], and rotated by one to every lane of column 4 through
// D[4]. Rho and pi then move and rotate those eleven lanes like any others,
// so each share is the nonce lane rotated by rho's offset (plus one for
// column 4), stored where pi puts that lane.
KECCAK_GPU_INLINE void add_nonce_to_round0(uint64_t b[25], uint32_t nonce) {
  b[0] ^= rotl_high_half<0>(nonce);
  // column 1: lanes 1, 6, 11, 16, 21
  b[10] ^= rotl_high_half<1>(nonce);
  b[1] ^= rotl_high_half<44>(nonce);
  b[17] ^= rotl_high_half<10>(nonce);
  b[8] ^= rotl_high_half<45>(nonce);
  b[24] ^= rotl_high_half<2>(nonce);
  // column 4: lanes 4, 9, 14, 19, 24
  b[15] ^= rotl_high_half<27 + 1>(nonce);
  b[6] ^= rotl_high_half<20 + 1>(nonce);
  b[22] ^= rotl_high_half<39 + 1>(nonce);
  b[13] ^= rotl_high_half<8 + 1>(nonce);
  b[4] ^= rotl_high_half<14 + 1>(nonce);
}

// The proof-of-work digest's first 32 bytes (4 lanes) for one nonce: the rest
// of round 0, rounds 1..22, and of round 23 only what those 4 lanes need
// (all of theta's column sums, then 5 lanes of row 0).
KECCAK_GPU_INLINE void pow_digest_head(const NonceMidstate& midstate, uint32_t nonce,
                                       uint64_t head[kDigestHeadLanes]) {
  uint64_t b[25];
  KECCAK_GPU_UNROLL
  for (int i = 0; i < 25; ++i) b[i] = midstate.lane[i];
  add_nonce_to_round0(b, nonce);

  uint64_t a[25];
  chi(b, a);
  a[0] ^= round_constant(0);

  KECCAK_GPU_UNROLL
  for (int round = 1; round < 23; ++round) keccak_round(a, round);

  uint64_t c[5];
  KECCAK_GPU_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
  const uint64_t row0_0 = a[0] ^ c[4] ^ rotl<1>(c[1]);
  const uint64_t row0_1 = rotl<44>(a[6] ^ c[0] ^ rotl<1>(c[2]));
  const uint64_t row0_2 = rotl<43>(a[12] ^ c[1] ^ rotl<1>(c[3]));
  const uint64_t row0_3 = rotl<21>(a[18] ^ c[2] ^ rotl<1>(c[4]));
  const uint64_t row0_4 = rotl<14>(a[24] ^ c[3] ^ rotl<1>(c[0]));
  head[0] = row0_0 ^ (~row0_1 & row0_2) ^ round_constant(23);
  head[1] = row0_1 ^ (~row0_2 & row0_3);
  head[2] = row0_2 ^ (~row0_3 & row0_4);
  head[3] = row0_3 ^ (~row0_4 & row0_0);
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
