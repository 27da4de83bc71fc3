// Portable kernel: one nonce per call in plain 64-bit integer code.

#include "hash/search_kernel_variants.h"
#include "hash/search_permutation.h"

namespace {

void hash_one_nonce(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t stride,
                    uint64_t (*digest_lanes)[4]) {
  keccak_search::hash_nonces<keccak_search::ScalarLanes>(midstate, first_nonce, stride,
                                                         digest_lanes);
}

}  // namespace

constinit const SearchKernel search_kernel_scalar = {"scalar", 1, &hash_one_nonce};
