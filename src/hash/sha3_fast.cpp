#include "hash/sha3_fast.h"

#include <cstring>

#include "hash/byte_order.h"
#include "hash/search_permutation.h"

namespace {

constexpr int kSha3_256RateLanes = 136 / 8;

// Rounds go in pairs, a into e and back, so no round copies the state.
[[gnu::always_inline]] inline void permute(uint64_t a[keccak_search::kLanes]) {
  using keccak_search::ScalarLanes;
  uint64_t e[keccak_search::kLanes];
  for (int round = 0; round < 24; round += 2) {
    keccak_search::full_round<ScalarLanes>(a, e, keccak_search::kRoundConstants.value[round],
                                           keccak_search::Indices<5>{});
    keccak_search::full_round<ScalarLanes>(e, a, keccak_search::kRoundConstants.value[round + 1],
                                           keccak_search::Indices<5>{});
  }
}

}  // namespace

void keccak_f1600_fast(uint64_t state[25]) {
  uint64_t a[keccak_search::kLanes];
  std::memcpy(a, state, sizeof a);
  permute(a);
  std::memcpy(state, a, sizeof a);
}

void sha3_256_fast(const uint8_t* in, uint64_t in_len, uint8_t out[32]) {
  constexpr uint64_t block_bytes = 8 * kSha3_256RateLanes;
  uint64_t a[keccak_search::kLanes] = {};
  // The last block always exists: it carries the padding even when the input
  // filled whole blocks. One call site keeps the unrolled rounds in the code once.
  uint8_t last[block_bytes];
  for (bool final_block = false; !final_block;) {
    const uint8_t* block = in;
    if (in_len >= block_bytes) {
      in += block_bytes;
      in_len -= block_bytes;
    } else {
      std::memset(last, 0, sizeof last);
      if (in_len > 0) std::memcpy(last, in, in_len);
      last[in_len] = 0x06;
      last[block_bytes - 1] |= 0x80;
      block = last;
      final_block = true;
    }
    for (int k = 0; k < kSha3_256RateLanes; ++k) a[k] ^= load_le64(block + 8 * k);
    permute(a);
  }
  for (int k = 0; k < 4; ++k) store_le64(out + 8 * k, a[k]);
}
