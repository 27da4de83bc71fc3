// The GPU nonce search and the self-test's SHA3-512: the one source that the
// OpenCL runtime compiles, nvcc compiles for the CUDA variant, and the host
// compiles for the tests (vendor.h says how). Written in the part of
// OpenCL C 1.2 that CUDA C++ and C++ also accept: no vector types, no
// address-space casts, every array index and rotation a constant once the
// loops are unrolled, so that the whole state stays in registers.
//
// The macro KECCAK_LANE_HALVES picks how a lane is held:
//   0 (default)  one 64-bit value; NVIDIA has 32-bit registers and makes a
//                rotation two funnel shifts and chi one 3-input logic
//                instruction (LOP3) per half.
//   1            two 32-bit words, for AMD cards: their compilers turn 64-bit
//                rotations into 64-bit shifts, but find bit-align
//                (v_alignbit_b32) and the 3-input XOR (v_xor3_b32) in the
//                32-bit form, and make chi two instructions a word. On
//                NVIDIA this form gains nothing (equal on sm_90, a little
//                worse on sm_80 and sm_89), so it is for AMD only.
// tools/kernel-report.sh counts what each choice costs per nonce: on gfx1030
// 5,521 vector instructions with halves against 7,702 with 64-bit lanes.

// ---- Tables, checked at compile time against hash/keccak_constants.h
// (kernel_host.h).

// Iota's constants.
CONSTANT_TABLE ulong kRoundConstants[24] = {
    0x0000000000000001UL, 0x0000000000008082UL, 0x800000000000808aUL, 0x8000000080008000UL,
    0x000000000000808bUL, 0x0000000080000001UL, 0x8000000080008081UL, 0x8000000000008009UL,
    0x000000000000008aUL, 0x0000000000000088UL, 0x0000000080008009UL, 0x000000008000000aUL,
    0x000000008000808bUL, 0x800000000000008bUL, 0x8000000000008089UL, 0x8000000000008003UL,
    0x8000000000008002UL, 0x8000000000000080UL, 0x000000000000800aUL, 0x800000008000000aUL,
    0x8000000080008081UL, 0x8000000000008080UL, 0x0000000080000001UL, 0x8000000080008008UL};

// Rho and pi seen from the destination: X(destination, source, rotation).
#define KECCAK_RHO_PI(X)                                                                      \
  X(0, 0, 0) X(1, 6, 44) X(2, 12, 43) X(3, 18, 21) X(4, 24, 14) X(5, 3, 28) X(6, 9, 20)       \
  X(7, 10, 3) X(8, 16, 45) X(9, 22, 61) X(10, 1, 1) X(11, 7, 6) X(12, 13, 25) X(13, 19, 8)    \
  X(14, 20, 18) X(15, 4, 27) X(16, 5, 36) X(17, 11, 10) X(18, 17, 15) X(19, 23, 56)           \
  X(20, 2, 62) X(21, 8, 55) X(22, 14, 39) X(23, 15, 41) X(24, 21, 2)

// ---- The layout shared with the host (kernel_host.h gives it the same
// structs), the same for every runtime.

// Lanes 0..3 of the final state: the first 32 digest bytes, the part of the
// digest that is compared with the target.
#define DIGEST_HEAD_LANES 4

// Work-items per group of a search launch.
#define SEARCH_GROUP_SIZE 256

// One batch, passed by value: it lands in the kernel's parameter space
// (CUDA's constant bank, OpenCL's argument segment), so every work-item reads
// it without a memory load and each queued batch carries its own copy.
typedef struct SearchParams {
  ulong round1_base[25];  // the header's final block after round 0's theta, rho and pi, nonce 0
  ulong target_lanes[DIGEST_HEAD_LANES];  // least significant first
  uint start_nonce;
  uint batch_size;
} SearchParams;

// Where a batch reports a solution. All zero before the batch; the first
// work-item to raise `claimed` owns `nonce` and `head_words`. `skipped`
// counts the batch's nonces that groups skipped on a stop (a batch has fewer
// than 2^32 nonces).
typedef struct SolutionSlot {
  uint claimed;
  uint nonce;
  uint head_words[2 * DIGEST_HEAD_LANES];  // the first 32 digest bytes as little-endian words
  uint skipped;
} SolutionSlot;

// ---- A lane, in the form the vendor's instructions want.

#if KECCAK_LANE_HALVES

typedef struct {
  uint lo;
  uint hi;
} Lane;

DEVICE_FN Lane lane_of(ulong v) {
  Lane l;
  l.lo = (uint)v;
  l.hi = (uint)(v >> 32);
  return l;
}

DEVICE_FN ulong lane_value(Lane l) { return ((ulong)l.hi << 32) | l.lo; }

DEVICE_FN Lane lane_xor(Lane a, Lane b) {
  Lane r;
  r.lo = a.lo ^ b.lo;
  r.hi = a.hi ^ b.hi;
  return r;
}

DEVICE_FN Lane lane_xor3(Lane a, Lane b, Lane c) {
  Lane r;
  r.lo = a.lo ^ b.lo ^ c.lo;
  r.hi = a.hi ^ b.hi ^ c.hi;
  return r;
}

// The high word of hi:lo shifted left by s (1..31): bit-align.
DEVICE_FN uint funnel_shift(uint hi, uint lo, int s) { return (hi << s) | (lo >> (32 - s)); }

DEVICE_FN Lane lane_rotl(Lane a, int n) {
  Lane r;
  if (n == 0) return a;
  if (n == 32) {
    r.lo = a.hi;
    r.hi = a.lo;
  } else if (n < 32) {
    r.hi = funnel_shift(a.hi, a.lo, n);
    r.lo = funnel_shift(a.lo, a.hi, n);
  } else {
    r.hi = funnel_shift(a.lo, a.hi, n - 32);
    r.lo = funnel_shift(a.hi, a.lo, n - 32);
  }
  return r;
}

// Chi's a ^ (~b & c): where b has a bit, a's bit stays; elsewhere a ^ c.
// A bit-select and an XOR a word, which the compiler may also make an AND
// and an XOR.
DEVICE_FN Lane lane_chi(Lane a, Lane b, Lane c) {
  Lane r;
  r.lo = select32(a.lo ^ c.lo, a.lo, b.lo);
  r.hi = select32(a.hi ^ c.hi, a.hi, b.hi);
  return r;
}

#else

typedef ulong Lane;

DEVICE_FN Lane lane_of(ulong v) { return v; }
DEVICE_FN ulong lane_value(Lane l) { return l; }
DEVICE_FN Lane lane_xor(Lane a, Lane b) { return a ^ b; }
DEVICE_FN Lane lane_xor3(Lane a, Lane b, Lane c) { return a ^ b ^ c; }
DEVICE_FN Lane lane_rotl(Lane a, int n) { return rotl64(a, n); }
DEVICE_FN Lane lane_chi(Lane a, Lane b, Lane c) { return a ^ (~b & c); }

#endif

// ---- Keccak-f[1600] on 25 lanes.

// Theta's column parities C[x], and each rotated by one.
DEVICE_FN void column_parities(const Lane a[25], Lane c[5], Lane c_rotated[5]) {
  UNROLL
  for (int x = 0; x < 5; ++x)
    c[x] = lane_xor3(lane_xor3(a[x], a[x + 5], a[x + 10]), a[x + 15], a[x + 20]);
  UNROLL
  for (int x = 0; x < 5; ++x) c_rotated[x] = lane_rotl(c[x], 1);
}

// Lane `source` through theta, then rho's rotation. Theta's effect on a
// column, D[x] = C[x-1] ^ rotl(C[x+1], 1), is not formed on its own: each
// lane takes both terms in one 3-input XOR per 32-bit half, which is fewer
// instructions than building D and then adding it.
DEVICE_FN Lane theta_rho_lane(const Lane a[25], const Lane c[5], const Lane c_rotated[5],
                              int source, int rotation) {
  const int x = source % 5;
  return lane_rotl(lane_xor3(a[source], c[(x + 4) % 5], c_rotated[(x + 1) % 5]), rotation);
}

DEVICE_FN void theta_rho_pi(const Lane a[25], Lane b[25]) {
  Lane c[5];
  Lane c_rotated[5];
  column_parities(a, c, c_rotated);
#define THETA_RHO_PI_LANE(dst, src, rot) b[dst] = theta_rho_lane(a, c, c_rotated, src, rot);
  KECCAK_RHO_PI(THETA_RHO_PI_LANE)
#undef THETA_RHO_PI_LANE
}

DEVICE_FN void chi_iota(const Lane b[25], Lane a[25], int round) {
  UNROLL
  for (int y = 0; y < 25; y += 5) {
    UNROLL
    for (int x = 0; x < 5; ++x)
      a[y + x] = lane_chi(b[y + x], b[y + (x + 1) % 5], b[y + (x + 2) % 5]);
  }
  a[0] = lane_xor(a[0], lane_of(kRoundConstants[round]));
}

// The whole permutation, for the self-test; the search has its own shortened
// form below.
DEVICE_FN void keccak_f1600(Lane a[25]) {
  Lane b[25];
  for (int round = 0; round < 24; ++round) {
    theta_rho_pi(a, b);
    chi_iota(b, a, round);
  }
}

// ---- The proof-of-work hash of one nonce.

// The nonce's share of destination lane `dst` after round 0's theta, rho and
// pi, given the lane `src` that pi moved there. The nonce is the high half of
// lane 0: theta adds it to lane 0 itself, to every lane of column 1 through
// D[1], and rotated by one to every lane of column 4 through D[4]; rho and pi
// then move and rotate those eleven shares like any lane.
DEVICE_FN Lane nonce_share(Lane nonce_lane, int src, int rot) {
  if (src == 0 || src % 5 == 1) return lane_rotl(nonce_lane, rot);
  if (src % 5 == 4) return lane_rotl(nonce_lane, (rot + 1) % 64);
  return lane_of(0);
}

// The first 32 digest bytes (4 lanes) for one nonce. round1_base is the
// header's final block after round 0's theta, rho and pi with a zero nonce
// (computed on the host once per header), so this adds the nonce's share,
// runs the rest of round 0, rounds 1..22, and of round 23 only what the 4
// lanes need: all five column parities, then the five lanes of row 0.
DEVICE_FN void pow_digest_head(const ulong round1_base[25], uint nonce,
                               ulong head[DIGEST_HEAD_LANES]) {
  const Lane nonce_lane = lane_of((ulong)nonce << 32);
  Lane a[25];
  Lane b[25];
#define ADD_NONCE_SHARE(dst, src, rot) \
  b[dst] = lane_xor(lane_of(round1_base[dst]), nonce_share(nonce_lane, src, rot));
  KECCAK_RHO_PI(ADD_NONCE_SHARE)
#undef ADD_NONCE_SHARE
  chi_iota(b, a, 0);

  UNROLL
  for (int round = 1; round < 23; ++round) {
    theta_rho_pi(a, b);
    chi_iota(b, a, round);
  }

  Lane c[5];
  Lane c_rotated[5];
  column_parities(a, c, c_rotated);
#define ROW0_LANE(dst, src, rot) \
  if ((dst) < 5) b[dst] = theta_rho_lane(a, c, c_rotated, src, rot);
  KECCAK_RHO_PI(ROW0_LANE)
#undef ROW0_LANE
  UNROLL
  for (int k = 0; k < DIGEST_HEAD_LANES; ++k)
    head[k] = lane_value(lane_chi(b[k], b[k + 1], b[(k + 2) % 5]));
  head[0] ^= kRoundConstants[23];
}

// hash <= target as 256-bit numbers, lane 3 holding the most significant
// words; equality meets the target. For a real target lane 3 settles almost
// every nonce on its own.
DEVICE_FN bool digest_head_meets_target(const ulong head[DIGEST_HEAD_LANES],
                                        const ulong target_lanes[DIGEST_HEAD_LANES]) {
  UNROLL
  for (int k = DIGEST_HEAD_LANES - 1; k >= 0; --k) {
    if (head[k] != target_lanes[k]) return head[k] < target_lanes[k];
  }
  return true;
}

DEVICE_FN ulong load_le64(GLOBAL_AS const uchar* p) {
  ulong v = 0;
  for (int j = 7; j >= 0; --j) v = (v << 8) | p[j];
  return v;
}

// Full SHA3-512 of an 80-byte message with no midstate and no shortcut.
DEVICE_FN void sha3_512_80(GLOBAL_AS const uchar* message, ulong digest[8]) {
  Lane a[25];
  for (int k = 0; k < 25; ++k) a[k] = lane_of(k < 9 ? load_le64(message + 8 * k) : 0);
  keccak_f1600(a);
  a[0] = lane_xor(a[0], lane_of(load_le64(message + 72)));
  a[1] = lane_xor(a[1], lane_of(0x06));             // SHA3 domain bits and first pad bit, block byte 8
  a[8] = lane_xor(a[8], lane_of(0x80UL << 56));     // last pad bit, block byte 71
  keccak_f1600(a);
  for (int k = 0; k < 8; ++k) digest[k] = lane_value(a[k]);
}

// ---- The kernels.

#if !defined(KERNEL_HOST_BUILD)

// The first work-item of a batch to meet the target reports; any other that
// also met it drops its nonce.
DEVICE_FN void report_solution(GLOBAL_AS SolutionSlot* slot, uint nonce,
                               const ulong head[DIGEST_HEAD_LANES]) {
  if (!claim_first(&slot->claimed)) return;
  slot->nonce = nonce;
  UNROLL
  for (int k = 0; k < DIGEST_HEAD_LANES; ++k) {
    slot->head_words[2 * k] = (uint)head[k];
    slot->head_words[2 * k + 1] = (uint)(head[k] >> 32);
  }
}

// Whether the group that runs this work-item was stopped before it began:
// the stop word, which only grows, has passed the value the batch was queued
// under. One work-item reads it (one load a group, not one a nonce) and
// tells the others through group memory, so the whole group hashes or the
// whole group skips, and the group's first work-item counts what it skipped.
// SEARCH_STOP_CHECK 0 leaves the check out; only tools/kernel-report.sh
// builds it so, to count what the check costs a nonce.
#ifndef SEARCH_STOP_CHECK
#define SEARCH_STOP_CHECK 1
#endif

// One nonce per work-item: work-item i searches start_nonce + i (wrapping at
// 2^32) if i < batch_size. Each work-item thus lasts one nonce, so the device
// starts groups as it has room and only a batch's last groups can leave it
// part idle. The host launches a batch as a group of launches, each in
// several grids where it is larger than a grid may be, each grid with its
// own start_nonce and batch_size. A group that starts after the host raised
// the stop word above `stops_seen` skips its nonces and adds their number to
// slot->skipped, so a stop cuts a batch short within about a group's time.
KERNEL_ENTRY search_nonces(const SearchParams params, GLOBAL_AS SolutionSlot* slot,
                           GLOBAL_AS volatile const uint* stop_word, const uint stops_seen) {
  const ulong i = GLOBAL_ID();
#if SEARCH_STOP_CHECK
  GROUP_SHARED uint group_stopped;
  if (LOCAL_ID() == 0) group_stopped = *stop_word > stops_seen;
  GROUP_BARRIER();
  if (group_stopped) {
    // The grid holds whole groups and no group lies wholly past the batch.
    const ulong in_batch = params.batch_size - (i - LOCAL_ID());
    const ulong group = LOCAL_SIZE();
    if (LOCAL_ID() == 0) count_up(&slot->skipped, (uint)(in_batch < group ? in_batch : group));
    return;
  }
#endif
  if (i >= params.batch_size) return;
  const uint nonce = params.start_nonce + (uint)i;
  ulong head[DIGEST_HEAD_LANES];
  pow_digest_head(params.round1_base, nonce, head);
  if (digest_head_meets_target(head, params.target_lanes)) report_solution(slot, nonce, head);
}

// For the self-test: per 80-byte message, its whole SHA3-512 digest (8
// lanes), then the search path's digest head (4 lanes) for the nonce in its
// bytes 76..79, from the host's round1_base of that message.
KERNEL_ENTRY self_test_hashes(GLOBAL_AS const uchar* messages, GLOBAL_AS const ulong* round1_bases,
                              GLOBAL_AS ulong* digests, uint count) {
  const ulong i = GLOBAL_ID();
  if (i >= count) return;
  GLOBAL_AS const uchar* message = messages + 80 * i;
  GLOBAL_AS ulong* out = digests + 12 * i;
  ulong digest[8];
  sha3_512_80(message, digest);
  for (int k = 0; k < 8; ++k) out[k] = digest[k];

  ulong base[25];
  for (int k = 0; k < 25; ++k) base[k] = round1_bases[25 * i + k];
  const uint nonce = (uint)message[76] | (uint)message[77] << 8 | (uint)message[78] << 16 |
                     (uint)message[79] << 24;
  ulong head[DIGEST_HEAD_LANES];
  pow_digest_head(base, nonce, head);
  for (int k = 0; k < DIGEST_HEAD_LANES; ++k) out[8 + k] = head[k];
}

#endif
