#pragma once

// The Keccak-f[1600] rounds of the CPU code, written once over a lane-wise
// vector type: every nonce search kernel runs them on the final block of a
// header, and the node's fast SHA3-256 runs them as a whole permutation.
//
// A kernel supplies an Ops type:
//   Vec                        one 64-bit lane of `width` hash instances
//   width                      instances per Vec
//   load(p), store(p, v)       `width` consecutive words, aligned to 64 bytes
//   broadcast(word)            the same word in every instance
//   xor2(a, b), xor5(a..e)     exclusive or
//   rotl<N>(v)                 rotate every instance left by N, 0 <= N < 64
//   chi(a, b, c)               a ^ (~b & c)
//
// State layout, the same for every kernel: Vec state[25], where
// state[lane_index(x, y)] holds lane (x, y) of all instances and instance i
// lives in element i of each Vec.
//
// Everything here has internal linkage on purpose. Each kernel file is built
// with its own instruction-set flags; an inline function with external linkage
// would be emitted in several of them and the linker would keep one copy,
// possibly an AVX-512 one, for the baseline code too.

#include <cstdint>
#include <utility>

#include "hash/header_midstate.h"
#include "hash/keccak_constants.h"

namespace {
namespace keccak_search {

using keccak::column_of;
using keccak::kLanes;
using keccak::kRhoPi;
using keccak::kRoundConstants;
using keccak::lane_index;

constexpr int row_start(int lane) { return lane - lane % 5; }

// The word every kernel works in when it is not vectorised; header_midstate
// uses it too, to precompute the first round.
struct ScalarLanes {
  using Vec = uint64_t;
  static constexpr int width = 1;
  static Vec load(const uint64_t* p) { return *p; }
  static void store(uint64_t* p, Vec v) { *p = v; }
  static Vec broadcast(uint64_t word) { return word; }
  static Vec xor2(Vec a, Vec b) { return a ^ b; }
  static Vec xor5(Vec a, Vec b, Vec c, Vec d, Vec e) { return a ^ b ^ c ^ d ^ e; }
  template <int N>
  static Vec rotl(Vec v) {
    if constexpr (N == 0) return v;
    else return (v << N) | (v >> (64 - N));
  }
  static Vec chi(Vec a, Vec b, Vec c) { return a ^ (~b & c); }
};

// The steps below are folds over compile-time indices (lanes J, columns X,
// rows Y), one always-inlined call each, so that every index and rotation
// count is a constant and the state arrays can live in registers.
template <int N>
using Indices = std::make_integer_sequence<int, N>;

// The theta effect D[x] = C[x-1] ^ rotl(C[x+1], 1) for each column x.
template <class Ops, int... X>
[[gnu::always_inline]] inline void theta_effect(const typename Ops::Vec a[kLanes],
                                                typename Ops::Vec d[5],
                                                std::integer_sequence<int, X...>) {
  typename Ops::Vec c[5];
  ((c[X] = Ops::xor5(a[X], a[X + 5], a[X + 10], a[X + 15], a[X + 20])), ...);
  ((d[X] = Ops::xor2(c[(X + 4) % 5], Ops::template rotl<1>(c[(X + 1) % 5]))), ...);
}

template <class Ops, int J>
[[gnu::always_inline]] inline typename Ops::Vec rho_pi_lane(const typename Ops::Vec a[kLanes],
                                                            const typename Ops::Vec d[5]) {
  constexpr int source = kRhoPi.source[J];
  return Ops::template rotl<kRhoPi.rotation[J]>(Ops::xor2(a[source], d[column_of(source)]));
}

// Theta, rho and pi into b, for the destination lanes J...
template <class Ops, int... J>
[[gnu::always_inline]] inline void theta_rho_pi(const typename Ops::Vec a[kLanes],
                                                typename Ops::Vec b[kLanes],
                                                std::integer_sequence<int, J...>) {
  typename Ops::Vec d[5];
  theta_effect<Ops>(a, d, Indices<5>{});
  ((b[J] = rho_pi_lane<Ops, J>(a, d)), ...);
}

template <class Ops, int J>
[[gnu::always_inline]] inline typename Ops::Vec chi_lane(const typename Ops::Vec b[kLanes]) {
  constexpr int row = row_start(J), x = column_of(J);
  return Ops::chi(b[J], b[row + (x + 1) % 5], b[row + (x + 2) % 5]);
}

// Chi for the lanes J... and iota.
template <class Ops, int... J>
[[gnu::always_inline]] inline void chi_iota(const typename Ops::Vec b[kLanes], typename Ops::Vec e[],
                                            uint64_t round_constant,
                                            std::integer_sequence<int, J...>) {
  ((e[J] = chi_lane<Ops, J>(b)), ...);
  e[0] = Ops::xor2(e[0], Ops::broadcast(round_constant));
}

// Rho, pi and chi for output row Y, whose five inputs are gathered just
// before chi needs them; this keeps fewer values alive at once.
template <class Ops, int Y, int... X>
[[gnu::always_inline]] inline void rho_pi_chi_row(const typename Ops::Vec a[kLanes],
                                                  const typename Ops::Vec d[5],
                                                  typename Ops::Vec e[kLanes],
                                                  std::integer_sequence<int, X...>) {
  const typename Ops::Vec b[5] = {rho_pi_lane<Ops, lane_index(X, Y)>(a, d)...};
  ((e[lane_index(X, Y)] = Ops::chi(b[X], b[(X + 1) % 5], b[(X + 2) % 5])), ...);
}

template <class Ops, int... Y>
[[gnu::always_inline]] inline void full_round(const typename Ops::Vec a[kLanes],
                                              typename Ops::Vec e[kLanes], uint64_t round_constant,
                                              std::integer_sequence<int, Y...>) {
  typename Ops::Vec d[5];
  theta_effect<Ops>(a, d, Indices<5>{});
  (rho_pi_chi_row<Ops, Y>(a, d, e, Indices<5>{}), ...);
  e[0] = Ops::xor2(e[0], Ops::broadcast(round_constant));
}

// Round 0 of the final block, lane J after rho and pi. The nonce enters lane
// 0 only; through theta it also reaches every lane of column 1 (via C[0] in
// D[1]) and, rotated by one, of column 4 (via D[4]). Everything else is
// precomputed in midstate.round1_base.
template <class Ops, int J>
[[gnu::always_inline]] inline typename Ops::Vec first_round_lane(const HeaderMidstate& midstate,
                                                                 typename Ops::Vec nonce_word) {
  constexpr int source = kRhoPi.source[J];
  constexpr int rotation = kRhoPi.rotation[J];
  const typename Ops::Vec base = Ops::broadcast(midstate.round1_base[J]);
  if constexpr (source == 0 || column_of(source) == 1)
    return Ops::xor2(base, Ops::template rotl<rotation>(nonce_word));
  else if constexpr (column_of(source) == 4)
    return Ops::xor2(base, Ops::template rotl<(rotation + 1) % 64>(nonce_word));
  else
    return base;
}

template <class Ops, int... J>
[[gnu::always_inline]] inline void first_round(const HeaderMidstate& midstate,
                                               typename Ops::Vec nonce_word,
                                               typename Ops::Vec e[kLanes],
                                               std::integer_sequence<int, J...> lanes) {
  typename Ops::Vec b[kLanes];
  ((b[J] = first_round_lane<Ops, J>(midstate, nonce_word)), ...);
  chi_iota<Ops>(b, e, kRoundConstants.value[0], lanes);
}

// Round 23: only digest lanes 0..3 are wanted. They come from row 0 of chi,
// whose five inputs still need the full theta.
template <class Ops>
[[gnu::always_inline]] inline void last_round(const typename Ops::Vec a[kLanes],
                                              typename Ops::Vec digest[4]) {
  typename Ops::Vec b[kLanes];
  theta_rho_pi<Ops>(a, b, Indices<5>{});
  chi_iota<Ops>(b, digest, kRoundConstants.value[23], Indices<4>{});
}

// The body shared by every search kernel: hashes the Ops::width nonces
// first_nonce + i * stride (mod 2^32) and writes digest lanes 0..3 of each.
template <class Ops>
[[gnu::always_inline]] inline void hash_nonces(const HeaderMidstate& midstate, uint32_t first_nonce,
                                               uint32_t stride, uint64_t (*digest_lanes)[4]) {
  using Vec = typename Ops::Vec;
  constexpr int width = Ops::width;

  // Final-block lane 0 is bits | nonce << 32; bits already sits in round1_base.
  alignas(64) uint64_t nonce_words[width];
  for (int i = 0; i < width; ++i)
    nonce_words[i] = uint64_t{static_cast<uint32_t>(first_nonce + static_cast<uint32_t>(i) * stride)}
                     << 32;

  Vec a[kLanes], e[kLanes];
  first_round<Ops>(midstate, Ops::load(nonce_words), a, Indices<kLanes>{});
  for (int round = 1; round < 23; round += 2) {
    full_round<Ops>(a, e, kRoundConstants.value[round], Indices<5>{});
    full_round<Ops>(e, a, kRoundConstants.value[round + 1], Indices<5>{});
  }
  Vec digest[4];
  last_round<Ops>(a, digest);

  alignas(64) uint64_t by_lane[4][width];
  for (int k = 0; k < 4; ++k) Ops::store(by_lane[k], digest[k]);
  for (int i = 0; i < width; ++i)
    for (int k = 0; k < 4; ++k) digest_lanes[i][k] = by_lane[k][i];
}

}  // namespace keccak_search
}  // namespace
