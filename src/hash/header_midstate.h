#pragma once

#include <cstdint>

// What every nonce of one header has in common, for every nonce search: the
// CPU kernels and both GPU kernels start from it.
//
// Header bytes 0..71 fill the first SHA3-512 block exactly, so their
// permutation is done once per header; each nonce then costs a single
// permutation of the final block. That block differs between nonces only in
// the high half of lane 0 (header bytes 76..79). Theta, rho and pi of its
// first round are linear, so they are applied here with a zero nonce; a
// kernel only adds the nonce's share before that round's chi.
struct HeaderMidstate {
  uint64_t round1_base[25];  // final block, round 0 after theta, rho and pi; indexed by destination lane
};

// Fills `midstate` from an 80-byte header. Bytes 76..79 (the nonce) are not read.
void header_midstate_init(HeaderMidstate* midstate, const uint8_t header[80]);
