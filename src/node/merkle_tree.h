#pragma once

#include <array>
#include <cstdint>
#include <vector>

using Hash32 = std::array<uint8_t, 32>;

// The merkle root over `leaves` in digest order: SHA3-256 of each pair of
// children, the last entry of an odd level paired with itself. The leaves
// are overwritten level by level, so a template's thousands of leaves need
// no second buffer. No leaves give all zeros; one leaf is its own root.
Hash32 merkle_root(std::vector<Hash32>& leaves);
