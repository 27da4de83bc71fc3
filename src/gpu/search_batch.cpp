#include "gpu/search_batch.h"

#include <algorithm>

#include "hash/byte_order.h"
#include "hash/header_midstate.h"

gpu_kernel::SearchParams search_params(const uint8_t header[80], uint32_t start_nonce,
                                       uint32_t batch_size, const uint32_t target[8]) {
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header);
  gpu_kernel::SearchParams params{};
  std::copy(std::begin(midstate.round1_base), std::end(midstate.round1_base), params.round1_base);
  for (int k = 0; k < DIGEST_HEAD_LANES; ++k)
    params.target_lanes[k] = static_cast<uint64_t>(target[2 * k]) |
                             static_cast<uint64_t>(target[2 * k + 1]) << 32;
  params.start_nonce = start_nonce;
  params.batch_size = batch_size;
  return params;
}

std::vector<SearchGrid> search_grids(const gpu_kernel::SearchParams& batch, uint64_t largest_grid,
                                     uint64_t group) {
  const uint64_t most = std::max(group, largest_grid / group * group);
  std::vector<SearchGrid> grids;
  for (uint64_t done = 0; done < batch.batch_size;) {
    const uint64_t size = std::min<uint64_t>(most, batch.batch_size - done);
    SearchGrid grid{batch, (size + group - 1) / group * group};
    grid.params.start_nonce = batch.start_nonce + static_cast<uint32_t>(done);
    grid.params.batch_size = static_cast<uint32_t>(size);
    grids.push_back(grid);
    done += size;
  }
  return grids;
}

void read_solution(const gpu_kernel::SolutionSlot& slot, MiningResult* result) {
  if (result == nullptr) return;
  result->found = slot.claimed != 0u;
  if (!result->found) return;
  result->nonce = slot.nonce;
  for (int w = 0; w < 2 * DIGEST_HEAD_LANES; ++w) store_le32(result->hash + 4 * w, slot.head_words[w]);
}

uint64_t launch_nonces(uint32_t batch_size, uint32_t launch_size) {
  if (launch_size == 0 || launch_size >= batch_size) return batch_size;
  const uint64_t fewest =
      (uint64_t{batch_size} + kMostLaunchesPerBatch - 1) / kMostLaunchesPerBatch;
  return std::max<uint64_t>(launch_size, fewest);
}

uint64_t searched_nonces(const gpu_kernel::SolutionSlot& slot, uint32_t batch_size) {
  return batch_size - std::min(slot.skipped, batch_size);
}
