#pragma once

// The constants of Keccak-f[1600], computed at compile time from their
// definitions in FIPS 202 rather than typed in. Every implementation in the
// miner takes them from here: the search kernels and the fast SHA3-256
// directly, while the plain reference and the GPU kernel (whose source must
// also compile as OpenCL C) check their own hand-written tables against them
// (gpu/kernel/kernel_host.h), so a slip in either shows up at compile time.

#include <cstdint>

namespace keccak {

constexpr int kLanes = 25;
constexpr int kRounds = 24;

constexpr int lane_index(int x, int y) { return x + 5 * y; }
constexpr int column_of(int lane) { return lane % 5; }

// Rho and pi together, seen from the destination lane: which lane moves there
// and by how much it is rotated on the way.
struct RhoPi {
  int source[kLanes];
  int rotation[kLanes];
};

// Rho's offsets follow the walk (x, y) -> (y, 2x + 3y) from lane (1, 0); lane
// (x, y) of the walk's step t is rotated by (t + 1)(t + 2) / 2. Pi then moves
// lane (x, y) to (y, 2x + 3y), so the destination (dx, dy) takes lane
// ((dx + 3dy) mod 5, dx).
constexpr RhoPi make_rho_pi() {
  int rho[kLanes] = {};
  int x = 1, y = 0;
  for (int t = 0; t < kRounds; ++t) {
    rho[lane_index(x, y)] = ((t + 1) * (t + 2) / 2) % 64;
    const int next_y = (2 * x + 3 * y) % 5;
    x = y;
    y = next_y;
  }
  RhoPi table = {};
  for (int dy = 0; dy < 5; ++dy) {
    for (int dx = 0; dx < 5; ++dx) {
      const int source = lane_index((dx + 3 * dy) % 5, dx);
      table.source[lane_index(dx, dy)] = source;
      table.rotation[lane_index(dx, dy)] = rho[source];
    }
  }
  return table;
}

constexpr RhoPi kRhoPi = make_rho_pi();

// One output bit of the LFSR x^8 + x^6 + x^5 + x^4 + 1 (FIPS 202, rc(t)).
constexpr bool round_constant_bit(int t) {
  unsigned r = 1;
  for (int i = 0; i < t % 255; ++i) r = (r & 0x80) ? ((r << 1) ^ 0x171) : (r << 1);
  return r & 1;
}

struct RoundConstants {
  uint64_t value[kRounds];
};

// Iota's constant of round i has bit 2^j - 1 set where rc(j + 7i) is 1.
constexpr RoundConstants make_round_constants() {
  RoundConstants rc = {};
  for (int round = 0; round < kRounds; ++round)
    for (int j = 0; j < 7; ++j)
      if (round_constant_bit(j + 7 * round)) rc.value[round] |= uint64_t{1} << ((1 << j) - 1);
  return rc;
}

constexpr RoundConstants kRoundConstants = make_round_constants();

}  // namespace keccak
