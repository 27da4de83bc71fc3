#pragma once

#include <cstdint>

// What the GPU search needs from one header, prepared on the host once per
// launch.
//
// Header bytes 0..71 fill the first SHA3-512 block, so that permutation is the
// same for every nonce. The second block differs between nonces only in the
// high half of lane 0 (header bytes 76..79). Round 0's theta, rho and pi are
// linear, so they are applied here with the nonce bytes zero, and each
// thread XORs its nonce's share in afterwards (add_nonce_to_round0 in
// keccak_gpu.cuh) before round 0's chi.
struct NonceMidstate {
  uint64_t lane[25];  // second permutation, round 0 after theta, rho and pi, nonce zero
};

// Only header bytes 0..75 are read.
NonceMidstate make_nonce_midstate(const uint8_t header[80]);
