#include "hash/sha3.h"

#include <cstring>

#include "hash/byte_order.h"
#include "hash/keccak_constants.h"

namespace {

// The tables as FIPS 202 prints them, kept here so that the reference does
// not lean on the derivation in keccak_constants.h: the two are compared at
// compile time below.
constexpr uint64_t rc[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL,
    0x8000000080008000ULL, 0x000000000000808bULL, 0x0000000080000001ULL,
    0x8000000080008081ULL, 0x8000000000008009ULL, 0x000000000000008aULL,
    0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL,
    0x8000000000008003ULL, 0x8000000000008002ULL, 0x8000000000000080ULL,
    0x000000000000800aULL, 0x800000008000000aULL, 0x8000000080008081ULL,
    0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};
// The pi permutation is one cycle through lanes 1..24; walking it lets rho
// and pi move every lane exactly once with a single carried value.
constexpr int pi_target[24] = {10, 7,  11, 17, 18, 3, 5,  16, 8,  21, 24, 4,
                               15, 23, 19, 13, 12, 2, 20, 14, 22, 9,  6,  1};
constexpr int rho_offset[24] = {1,  3,  6,  10, 15, 21, 28, 36, 45, 55, 2,  14,
                                27, 41, 56, 8,  25, 43, 62, 18, 39, 61, 20, 44};

constexpr bool tables_match_the_derived_constants() {
  for (int round = 0; round < 24; ++round)
    if (rc[round] != keccak::kRoundConstants.value[round]) return false;
  int walked = 1;  // the walk starts at lane 1 and moves it to pi_target[0]
  for (int step = 0; step < 24; ++step) {
    const int target = pi_target[step];
    if (keccak::kRhoPi.source[target] != walked) return false;
    if (keccak::kRhoPi.rotation[target] != rho_offset[step]) return false;
    walked = target;
  }
  return walked == 1 && keccak::kRhoPi.source[0] == 0 && keccak::kRhoPi.rotation[0] == 0;
}
static_assert(tables_match_the_derived_constants(),
              "the reference's tables and keccak_constants.h disagree");

void absorb_block(uint64_t state[25], const uint8_t* block, int rate) {
  for (int k = 0; k < rate / 8; ++k) state[k] ^= load_le64(block + 8 * k);
  keccak_f1600_cpu(state);
}

}  // namespace

uint64_t keccak_rotl64(uint64_t value, int shift) {
  const unsigned s = static_cast<unsigned>(shift) & 63u;
  if (s == 0) return value;
  return (value << s) | (value >> (64 - s));
}

void keccak_f1600_cpu(uint64_t state[25]) {
  for (int round = 0; round < 24; ++round) {
    // theta
    uint64_t c[5];
    for (int x = 0; x < 5; ++x)
      c[x] = state[x] ^ state[x + 5] ^ state[x + 10] ^ state[x + 15] ^ state[x + 20];
    for (int x = 0; x < 5; ++x) {
      const uint64_t d = c[(x + 4) % 5] ^ keccak_rotl64(c[(x + 1) % 5], 1);
      for (int y = 0; y < 25; y += 5) state[y + x] ^= d;
    }

    // rho and pi
    uint64_t carried = state[1];
    for (int step = 0; step < 24; ++step) {
      const int j = pi_target[step];
      const uint64_t saved = state[j];
      state[j] = keccak_rotl64(carried, rho_offset[step]);
      carried = saved;
    }

    // chi
    for (int y = 0; y < 25; y += 5) {
      uint64_t b[5];
      for (int x = 0; x < 5; ++x) b[x] = state[y + x];
      for (int x = 0; x < 5; ++x) state[y + x] = b[x] ^ (~b[(x + 1) % 5] & b[(x + 2) % 5]);
    }

    // iota
    state[0] ^= rc[round];
  }
}

void keccak_sponge(const uint8_t* in, uint64_t in_len, uint8_t* out, int rate, int out_len) {
  uint64_t state[25] = {};
  const uint64_t block_len = static_cast<uint64_t>(rate);

  while (in_len >= block_len) {
    absorb_block(state, in, rate);
    in += block_len;
    in_len -= block_len;
  }

  // The final block always exists: it carries the padding, and holds nothing
  // else when the input was a whole number of blocks.
  uint8_t last[200] = {};
  if (in_len > 0) std::memcpy(last, in, in_len);
  last[in_len] = 0x06;
  last[rate - 1] |= 0x80;
  absorb_block(state, last, rate);

  for (int k = 0; k < out_len / 8; ++k) store_le64(out + 8 * k, state[k]);
}

void sha3_256_cpu(const uint8_t* in, uint64_t in_len, uint8_t* out) {
  keccak_sponge(in, in_len, out, 136, 32);
}

void sha3_512_cpu(const uint8_t* in, uint64_t in_len, uint8_t* out) {
  keccak_sponge(in, in_len, out, 72, 64);
}
