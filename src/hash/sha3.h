#pragma once

#include <cstdint>

// FIPS 202 SHA3 on 64-bit lanes: the plain reference implementation.
// Every fast path of the miner is tested against these functions, so they
// stay readable and are never optimised.

uint64_t keccak_rotl64(uint64_t value, int shift);

// Keccak-f[1600] permutation, 24 rounds, in place.
void keccak_f1600_cpu(uint64_t state[25]);

// One-shot sponge with the SHA3 domain padding. rate and out_len are
// multiples of 8 with out_len <= rate <= 200.
void keccak_sponge(const uint8_t* in, uint64_t in_len, uint8_t* out, int rate, int out_len);

void sha3_256_cpu(const uint8_t* in, uint64_t in_len, uint8_t* out);  // out: 32 bytes
void sha3_512_cpu(const uint8_t* in, uint64_t in_len, uint8_t* out);  // out: 64 bytes
