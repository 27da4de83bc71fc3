#include "gpu/selftest_vectors.h"

#include <cstring>

#include "hash/byte_order.h"
#include "hash/sha3.h"

void make_self_test_headers(uint8_t headers[kSelfTestVectors][80]) {
  uint64_t seed = 0x9e3779b97f4a7c15ULL;
  for (int v = 0; v < kSelfTestVectors; ++v) {
    for (int j = 0; j < 80; ++j) {
      seed ^= seed << 13;  // xorshift64
      seed ^= seed >> 7;
      seed ^= seed << 17;
      const uint8_t pattern[3] = {0x00, 0xff, static_cast<uint8_t>(j)};
      headers[v][j] = v < 3 ? pattern[v] : static_cast<uint8_t>(seed);
    }
  }
}

bool self_test_digests_match(const uint8_t header[80], const uint64_t full[8],
                             const uint64_t head[4]) {
  uint8_t expected[64];
  sha3_512_cpu(header, 80, expected);
  uint8_t gpu_full[64];
  uint8_t gpu_head[32];
  for (int k = 0; k < 8; ++k) store_le64(gpu_full + 8 * k, full[k]);
  for (int k = 0; k < 4; ++k) store_le64(gpu_head + 8 * k, head[k]);
  return std::memcmp(gpu_full, expected, 64) == 0 && std::memcmp(gpu_head, expected, 32) == 0;
}
