// The OpenCL nonce search and the self-test's SHA3-512, in OpenCL C 1.2.
//
// The host puts two macros in front of this text, generated from
// hash/keccak_constants.h so that the constants have one home:
//   KECCAK_ROUND_CONSTANTS     iota's 24 constants, as an array initialiser
//   KECCAK_RHO_PI(X)           X(destination, source, rotation) for each of
//                              the 25 lanes, rho and pi seen from the destination
// Every index and rotation below is therefore a compile-time constant, and
// the compiler keeps the state in registers.

#define ROTL64(v, n) rotate((ulong)(v), (ulong)(n))

__constant ulong kRoundConstants[24] = KECCAK_ROUND_CONSTANTS;

// Lanes 0..3 of the final state: the first 32 digest bytes, the part of the
// digest that is compared with the target.
#define DIGEST_HEAD_LANES 4

// Theta's column effects D[x] = C[x-1] ^ rotl(C[x+1], 1).
inline void theta_effect(const ulong a[25], ulong d[5]) {
  ulong c[5];
#pragma unroll
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma unroll
  for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ ROTL64(c[(x + 1) % 5], 1);
}

inline void theta_rho_pi(const ulong a[25], ulong b[25]) {
  ulong d[5];
  theta_effect(a, d);
#define THETA_RHO_PI_LANE(dst, src, rot) b[dst] = ROTL64(a[src] ^ d[(src) % 5], rot);
  KECCAK_RHO_PI(THETA_RHO_PI_LANE)
#undef THETA_RHO_PI_LANE
}

inline void chi_iota(const ulong b[25], ulong a[25], ulong round_constant) {
#pragma unroll
  for (int y = 0; y < 25; y += 5) {
#pragma unroll
    for (int x = 0; x < 5; ++x) a[y + x] = b[y + x] ^ (~b[y + (x + 1) % 5] & b[y + (x + 2) % 5]);
  }
  a[0] ^= round_constant;
}

inline void keccak_f1600(ulong a[25]) {
  ulong b[25];
  for (int round = 0; round < 24; ++round) {
    theta_rho_pi(a, b);
    chi_iota(b, a, kRoundConstants[round]);
  }
}

// The first 32 digest bytes for one nonce. round1_base is the final block's
// round 0 after theta, rho and pi with a zero nonce (computed on the host
// once per header). The nonce is the high half of lane 0: theta adds it to
// lane 0 itself, to every lane of column 1 through D[1] and, rotated by one,
// to every lane of column 4 through D[4]; rho and pi then move and rotate
// those shares like any lane. Round 23 computes only row 0 of chi, lanes 0..3.
inline void pow_digest_head(__constant const ulong* round1_base, uint nonce,
                            ulong head[DIGEST_HEAD_LANES]) {
  const ulong nonce_lane = (ulong)nonce << 32;
  ulong a[25];
  ulong b[25];
#define ADD_NONCE_SHARE(dst, src, rot)                                   \
  b[dst] = round1_base[dst];                                             \
  if ((src) == 0 || (src) % 5 == 1) b[dst] ^= ROTL64(nonce_lane, rot);   \
  else if ((src) % 5 == 4) b[dst] ^= ROTL64(nonce_lane, ((rot) + 1) % 64);
  KECCAK_RHO_PI(ADD_NONCE_SHARE)
#undef ADD_NONCE_SHARE
  chi_iota(b, a, kRoundConstants[0]);

  for (int round = 1; round < 23; ++round) {
    theta_rho_pi(a, b);
    chi_iota(b, a, kRoundConstants[round]);
  }

  ulong d[5];
  theta_effect(a, d);
#define ROW0_LANE(dst, src, rot) if ((dst) < 5) b[dst] = ROTL64(a[src] ^ d[(src) % 5], rot);
  KECCAK_RHO_PI(ROW0_LANE)
#undef ROW0_LANE
#pragma unroll
  for (int k = 0; k < DIGEST_HEAD_LANES; ++k) head[k] = b[k] ^ (~b[(k + 1) % 5] & b[(k + 2) % 5]);
  head[0] ^= kRoundConstants[23];
}

// hash <= target as 256-bit numbers, lane 3 holding the most significant
// words; equality meets the target.
inline bool digest_head_meets_target(const ulong head[DIGEST_HEAD_LANES],
                                     __constant const ulong* target_lanes) {
#pragma unroll
  for (int k = DIGEST_HEAD_LANES - 1; k >= 0; --k) {
    if (head[k] != target_lanes[k]) return head[k] < target_lanes[k];
  }
  return true;
}

// What the host writes before a launch: round1_base (25 lanes), then the
// target as 4 lanes, least significant first.
#define PARAMS_TARGET 25

// The solution slot: claimed (0 between launches), nonce, then the digest
// head as 8 words, low half of each lane first.
#define SLOT_WORDS 10

// Grid-stride over the batch with a 64-bit index, so that a batch of up to
// 2^32 - 1 nonces needs no more work-items than the grid has and the index
// cannot wrap before the batch ends. The first work-item to claim the slot
// reports; any other that also met the target drops its nonce.
__kernel void search_nonces(__constant const ulong* params, uint start_nonce, uint batch_size,
                            __global volatile uint* slot) {
  const ulong stride = get_global_size(0);
  for (ulong i = get_global_id(0); i < batch_size; i += stride) {
    const uint nonce = start_nonce + (uint)i;
    ulong head[DIGEST_HEAD_LANES];
    pow_digest_head(params, nonce, head);
    if (digest_head_meets_target(head, params + PARAMS_TARGET) &&
        atomic_cmpxchg(&slot[0], 0u, 1u) == 0u) {
      slot[1] = nonce;
#pragma unroll
      for (int k = 0; k < DIGEST_HEAD_LANES; ++k) {
        slot[2 + 2 * k] = (uint)head[k];
        slot[3 + 2 * k] = (uint)(head[k] >> 32);
      }
    }
  }
}

inline ulong load_le64(__global const uchar* p) {
  ulong v = 0;
  for (int j = 7; j >= 0; --j) v = (v << 8) | p[j];
  return v;
}

// For the self-test: per 80-byte message, its whole SHA3-512 digest (8
// lanes) with no midstate and no shortcut, then the search path's digest head
// (4 lanes) for the nonce in its bytes 76..79, from the host's round1_base.
__kernel void self_test_hashes(__global const uchar* messages, __constant const ulong* round1_bases,
                               __global ulong* digests, uint count) {
  const uint i = get_global_id(0);
  if (i >= count) return;
  __global const uchar* message = messages + 80 * i;
  ulong a[25];
  for (int k = 0; k < 25; ++k) a[k] = 0;
  for (int k = 0; k < 9; ++k) a[k] = load_le64(message + 8 * k);
  keccak_f1600(a);
  a[0] ^= load_le64(message + 72);
  a[1] ^= 0x06;           // SHA3 domain bits and first pad bit, block byte 8
  a[8] ^= 0x80UL << 56;   // last pad bit, block byte 71
  keccak_f1600(a);
  __global ulong* out = digests + 12 * i;
  for (int k = 0; k < 8; ++k) out[k] = a[k];

  const uint nonce = (uint)message[76] | (uint)message[77] << 8 | (uint)message[78] << 16 |
                     (uint)message[79] << 24;
  ulong head[DIGEST_HEAD_LANES];
  pow_digest_head(round1_bases + 25 * i, nonce, head);
  for (int k = 0; k < DIGEST_HEAD_LANES; ++k) out[8 + k] = head[k];
}
