#include "gpu/nonce_midstate.h"

#include "gpu/keccak_gpu.cuh"
#include "hash/sha3.h"

NonceMidstate make_nonce_midstate(const uint8_t header[80]) {
  // First block: header bytes 0..71, a whole SHA3-512 rate.
  uint64_t state[25] = {};
  for (int k = 0; k < 9; ++k) state[k] = keccak_gpu::load_le64(header + 8 * k);
  keccak_f1600_cpu(state);

  // Second block with the nonce bytes zero: header bytes 72..75, then the
  // padding of an 8-byte final block.
  const uint64_t tail = static_cast<uint64_t>(header[72]) | static_cast<uint64_t>(header[73]) << 8 |
                        static_cast<uint64_t>(header[74]) << 16 |
                        static_cast<uint64_t>(header[75]) << 24;
  state[0] ^= tail;
  state[1] ^= 0x06;
  state[8] ^= 0x80ULL << 56;

  keccak_gpu::theta(state);
  NonceMidstate midstate;
  keccak_gpu::rho_pi(state, midstate.lane);
  return midstate;
}
