// Four nonces per call, one per 64-bit element of a 256-bit AVX2 register.
// This file alone is compiled with -mavx2; the dispatcher only hands it out on
// CPUs and systems that run AVX2.

#include <immintrin.h>

#include "hash/search_kernel_variants.h"
#include "hash/search_permutation.h"

namespace {

struct Avx2Lanes {
  using Vec = __m256i;
  static constexpr int width = 4;

  static Vec load(const uint64_t* p) { return _mm256_load_si256(reinterpret_cast<const Vec*>(p)); }
  static void store(uint64_t* p, Vec v) { _mm256_store_si256(reinterpret_cast<Vec*>(p), v); }
  static Vec broadcast(uint64_t word) { return _mm256_set1_epi64x(static_cast<long long>(word)); }
  static Vec xor2(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
  static Vec xor5(Vec a, Vec b, Vec c, Vec d, Vec e) {
    return _mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(_mm256_xor_si256(c, d), e));
  }
  static Vec chi(Vec a, Vec b, Vec c) { return _mm256_xor_si256(a, _mm256_andnot_si256(b, c)); }

  // AVX2 has no 64-bit rotate: shift both ways, except for whole-byte
  // rotations, which one byte shuffle does.
  template <int N>
  static Vec rotl(Vec v) {
    if constexpr (N == 0) {
      return v;
    } else if constexpr (N == 8) {
      return _mm256_shuffle_epi8(v, _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12,
                                                     13, 14, 7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10,
                                                     11, 12, 13, 14));
    } else if constexpr (N == 56) {
      return _mm256_shuffle_epi8(v, _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14,
                                                     15, 8, 1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12,
                                                     13, 14, 15, 8));
    } else {
      return _mm256_or_si256(_mm256_slli_epi64(v, N), _mm256_srli_epi64(v, 64 - N));
    }
  }
};

void hash_four_nonces(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t stride,
                      uint64_t (*digest_lanes)[4]) {
  keccak_search::hash_nonces<Avx2Lanes>(midstate, first_nonce, stride, digest_lanes);
}

}  // namespace

constinit const SearchKernel search_kernel_avx2 = {"avx2 4-way", Avx2Lanes::width, &hash_four_nonces};
