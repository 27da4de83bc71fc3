#include "hash/header_midstate.h"

#include "hash/search_permutation.h"
#include "hash/sha3.h"

namespace {

uint64_t load_le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int j = bytes - 1; j >= 0; --j) v = (v << 8) | p[j];
  return v;
}

}  // namespace

void header_midstate_init(HeaderMidstate* midstate, const uint8_t header[80]) {
  constexpr int kRateLanes = 9;  // SHA3-512 absorbs 72 bytes per block

  uint64_t state[25] = {};
  for (int k = 0; k < kRateLanes; ++k) state[k] = load_le(header + 8 * k, 8);
  keccak_f1600_cpu(state);
  for (int k = 0; k < 25; ++k) midstate->lanes[k] = state[k];
  midstate->bits = static_cast<uint32_t>(load_le(header + 72, 4));

  // The final block with a zero nonce: bits in lane 0, then the SHA3 padding,
  // 0x06 right after the 8 message bytes and 0x80 in the block's last byte.
  state[0] ^= midstate->bits;
  state[1] ^= 0x06;
  state[kRateLanes - 1] ^= uint64_t{0x80} << 56;
  keccak_search::theta_rho_pi<keccak_search::ScalarLanes>(state, midstate->round1_base,
                                                         keccak_search::Indices<keccak_search::kLanes>{});
}
