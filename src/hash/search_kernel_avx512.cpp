// Eight nonces per call, one per 64-bit element of a 512-bit register. This
// file alone is compiled with -mavx512f -mavx512vl; the dispatcher only hands
// it out where the CPU has both and the OS saves the ZMM registers.

#include <immintrin.h>

#include "hash/search_kernel_variants.h"
#include "hash/search_permutation.h"

namespace {

// vpternlogq truth tables, indexed by (a << 2) | (b << 1) | c.
constexpr int kXor3 = 0x96;         // a ^ b ^ c
constexpr int kXorAndNot = 0xD2;    // a ^ (~b & c)

struct Avx512Lanes {
  using Vec = __m512i;
  static constexpr int width = 8;

  static Vec load(const uint64_t* p) { return _mm512_load_si512(p); }
  static void store(uint64_t* p, Vec v) { _mm512_store_si512(p, v); }
  static Vec broadcast(uint64_t word) { return _mm512_set1_epi64(static_cast<long long>(word)); }
  static Vec xor2(Vec a, Vec b) { return _mm512_xor_si512(a, b); }
  static Vec xor5(Vec a, Vec b, Vec c, Vec d, Vec e) {
    return _mm512_ternarylogic_epi64(_mm512_ternarylogic_epi64(a, b, c, kXor3), d, e, kXor3);
  }
  static Vec chi(Vec a, Vec b, Vec c) { return _mm512_ternarylogic_epi64(a, b, c, kXorAndNot); }
  // The masked form with every element selected is the same vprolq;
  // GCC 12's unmasked _mm512_rol_epi64 trips -Wuninitialized in its own header.
  template <int N>
  static Vec rotl(Vec v) {
    if constexpr (N == 0) return v;
    else return _mm512_mask_rol_epi64(v, 0xFF, v, N);
  }
};

void hash_eight_nonces(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t stride,
                       uint64_t (*digest_lanes)[4]) {
  keccak_search::hash_nonces<Avx512Lanes>(midstate, first_nonce, stride, digest_lanes);
}

}  // namespace

constinit const SearchKernel search_kernel_avx512 = {"avx512 8-way", Avx512Lanes::width,
                                                     &hash_eight_nonces};
