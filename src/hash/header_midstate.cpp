#include "hash/header_midstate.h"

#include "hash/byte_order.h"
#include "hash/search_permutation.h"
#include "hash/sha3.h"

void header_midstate_init(HeaderMidstate* midstate, const uint8_t header[80]) {
  constexpr int kRateLanes = 9;  // SHA3-512 absorbs 72 bytes per block

  uint64_t state[25] = {};
  for (int k = 0; k < kRateLanes; ++k) state[k] = load_le64(header + 8 * k);
  keccak_f1600_cpu(state);

  // The final block with a zero nonce: header bytes 72..75 in the low half of
  // lane 0, then the SHA3 padding, 0x06 right after the 8 message bytes and
  // 0x80 in the block's last byte.
  state[0] ^= load_le32(header + 72);
  state[1] ^= 0x06;
  state[kRateLanes - 1] ^= uint64_t{0x80} << 56;
  keccak_search::theta_rho_pi<keccak_search::ScalarLanes>(state, midstate->round1_base,
                                                         keccak_search::Indices<keccak_search::kLanes>{});
}
