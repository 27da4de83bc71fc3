#pragma once

#include <cstdint>

// The headers every GPU backend's SHA3-512 self-test hashes, and the check
// of what the GPU made of them against sha3_512_cpu.

constexpr int kSelfTestVectors = 8;

// Fixed patterns (all zero, all one bits, counting bytes) and pseudo-random
// headers, so that every lane and every nonce byte carries set bits somewhere.
void make_self_test_headers(uint8_t headers[kSelfTestVectors][80]);

// True when both the GPU's full digest (8 lanes) and the search path's
// digest head (4 lanes, from the midstate and the nonce in bytes 76..79)
// agree with the CPU's SHA3-512 of the header.
bool self_test_digests_match(const uint8_t header[80], const uint64_t full[8],
                             const uint64_t head[4]);
