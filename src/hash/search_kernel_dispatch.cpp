// Lookup, self-test and the automatic choice. Which kernels exist and which
// this CPU runs comes from the processor's kernel list
// (search_kernel_list_*.cpp, picked by src/hash/CMakeLists.txt).
#include <cstdio>
#include <cstring>
#include <vector>

#include "hash/byte_order.h"
#include "hash/search_kernels.h"
#include "hash/sha3.h"

namespace {

uint64_t splitmix64(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// One call of the kernel against sha3_512_cpu for each of its nonces.
bool agrees_with_reference(const SearchKernel& kernel, const uint8_t header[80],
                           uint32_t first_nonce, uint32_t stride) {
  if (kernel.width < 1 || kernel.width > kMaxSearchKernelWidth) return false;

  HeaderMidstate midstate;
  header_midstate_init(&midstate, header);
  uint64_t lanes[kMaxSearchKernelWidth][4];
  kernel.hash(midstate, first_nonce, stride, lanes);

  uint8_t candidate[80];
  std::memcpy(candidate, header, sizeof candidate);
  for (int i = 0; i < kernel.width; ++i) {
    put_header_nonce(candidate, first_nonce + static_cast<uint32_t>(i) * stride);
    uint8_t digest[64];
    sha3_512_cpu(candidate, sizeof candidate, digest);
    for (int k = 0; k < 4; ++k)
      if (lanes[i][k] != load_le64(digest + 8 * k)) return false;
  }
  return true;
}

}  // namespace

const SearchKernel* search_kernel_find(const char* name) {
  if (name == nullptr) return nullptr;
  for (const SearchKernel* kernel : search_kernels_all())
    if (std::strcmp(kernel->name, name) == 0)
      return search_kernel_supported(*kernel) ? kernel : nullptr;
  return nullptr;
}

bool search_kernel_self_test(const SearchKernel& kernel) {
  // The first two ranges cross 2^32 within one call of a 4- or 8-way kernel;
  // strides other than 1 catch slots that are handed the wrong nonce.
  struct Range {
    uint32_t first_nonce;
    uint32_t stride;
  };
  constexpr Range kRanges[] = {{0xFFFFFFFEu, 1}, {0xFFFFFFFAu, 3}, {0x80000000u, 7}};

  uint64_t seed = 0x5EED0F7E57ULL;
  for (const Range& range : kRanges) {
    uint8_t header[80];
    for (int k = 0; k < 10; ++k) {
      const uint64_t word = splitmix64(&seed);
      for (int j = 0; j < 8; ++j) header[8 * k + j] = static_cast<uint8_t>(word >> (8 * j));
    }
    if (!agrees_with_reference(kernel, header, range.first_nonce, range.stride)) return false;
  }
  return true;
}

const SearchKernel* search_kernel_first_passing(std::span<const SearchKernel* const> candidates) {
  for (const SearchKernel* kernel : candidates)
    if (search_kernel_self_test(*kernel)) return kernel;
  return nullptr;
}

const SearchKernel* search_kernel_auto() {
  // A function-local static: the first caller decides, concurrent first
  // callers wait for it, and every later call is a plain load.
  static const SearchKernel* const chosen = [] {
    std::vector<const SearchKernel*> supported;
    for (const SearchKernel* kernel : search_kernels_all())
      if (search_kernel_supported(*kernel)) supported.push_back(kernel);
    const SearchKernel* passing = search_kernel_first_passing(supported);
    // Said here, where the choice is made once, rather than by every search.
    if (passing == nullptr)
      std::fputs("tamrix-miner: no SHA3-512 search kernel agrees with the reference; CPU search disabled\n",
                 stderr);
    return passing;
  }();
  return chosen;
}
