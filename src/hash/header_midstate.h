#pragma once

#include <cstdint>

// What every nonce of one header has in common. Header bytes 0..71 fill the
// first SHA3-512 block exactly, so their permutation is done once per header;
// each nonce then costs a single permutation of the final block.
struct HeaderMidstate {
  uint64_t lanes[25];  // state after absorbing and permuting header bytes 0..71
  uint32_t bits;       // header bytes 72..75, little-endian: the final block's low half of lane 0

  // Theta, rho and pi of the first final-block round are linear, so they are
  // applied once here to the final-block state with a zero nonce; a kernel
  // only adds the nonce's contribution. Indexed by destination lane.
  uint64_t round1_base[25];
};

// Fills `midstate` from an 80-byte header. Bytes 76..79 (the nonce) are not read.
void header_midstate_init(HeaderMidstate* midstate, const uint8_t header[80]);
