#pragma once

#include <cstdint>

// SHA3-256 for the node side of the miner (coinbase id, merkle tree), where a
// large template needs thousands of hashes per block. The same function as
// sha3_256_cpu, with the permutation unrolled and the state held in locals;
// the reference in sha3.h stays the one to check it against.

// Keccak-f[1600], 24 rounds, in place.
void keccak_f1600_fast(uint64_t state[25]);

void sha3_256_fast(const uint8_t* in, uint64_t in_len, uint8_t out[32]);
