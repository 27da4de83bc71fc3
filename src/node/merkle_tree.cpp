#include "node/merkle_tree.h"

#include <cstring>

#include "hash/sha3_fast.h"

Hash32 merkle_root(std::vector<Hash32>& leaves) {
  if (leaves.empty()) return Hash32{};
  size_t n = leaves.size();
  while (n > 1) {
    const size_t parents = (n + 1) / 2;
    for (size_t m = 0; m < parents; ++m) {
      const size_t left = 2 * m;
      const size_t right = left + 1 < n ? left + 1 : left;  // odd level: the last pairs with itself
      // Copied first: parent m overwrites a slot at or before its children,
      // and may be one of them.
      uint8_t pair[64];
      std::memcpy(pair, leaves[left].data(), 32);
      std::memcpy(pair + 32, leaves[right].data(), 32);
      sha3_256_fast(pair, sizeof pair, leaves[m].data());
    }
    n = parents;
  }
  return leaves[0];
}
