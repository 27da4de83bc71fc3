#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "gpu/backend.h"
#include "gpu/backend_report.h"
#include "gpu/kernel/kernel_host.h"

// The host's half of one search batch, the same for the CUDA and OpenCL
// variants: the parameters search_nonces takes, the grids a batch is
// launched in, and what its solution slot tells the caller.

// 0 when `slot` numbers one of `slots` and that slot holds no batch; -1
// after one line otherwise. `Slot` is a runtime's slot, which has `queued`.
template <class Slot>
int check_free_slot(int slot, const Slot (&slots)[kGpuBatchSlots]) {
  if (slot < 0 || slot >= kGpuBatchSlots)
    return report_backend_failure("no batch slot %d (there are %d)", slot, kGpuBatchSlots);
  if (slots[slot].queued) return report_backend_failure("batch slot %d already holds a batch", slot);
  return 0;
}

// True when `slot` numbers one of `slots` and that slot holds a batch.
template <class Slot>
bool holds_batch(int slot, const Slot (&slots)[kGpuBatchSlots]) {
  return slot >= 0 && slot < kGpuBatchSlots && slots[slot].queued;
}

// The parameters of a batch of `batch_size` nonces from `start_nonce`.
gpu_kernel::SearchParams search_params(const uint8_t header[80], uint32_t start_nonce,
                                       uint32_t batch_size, const uint32_t target[8]);

// One launch of search_nonces: its share of the batch and its work-items, a
// whole number of groups.
struct SearchGrid {
  gpu_kernel::SearchParams params;
  uint64_t work_items;
};

// The grids that search `batch`, in order: one work-item per nonce, and
// none larger than `largest_grid` work-items (rounded down to whole groups of
// `group`), since a device limits a grid's size. Consecutive grids take
// consecutive nonces, so together they search exactly the batch. No grid
// for an empty batch.
std::vector<SearchGrid> search_grids(const gpu_kernel::SearchParams& batch, uint64_t largest_grid,
                                     uint64_t group);

// The most launches one batch is queued as. A runtime holds a limited number
// of launches in its queue and makes the next one wait for room, which would
// make queue_mining_batch wait for the card; 1024 launches of 2^20 nonces
// are a batch of a second and more on the fastest cards.
constexpr uint64_t kMostLaunchesPerBatch = 1024;

// The nonces of each launch of a batch (the last one may have fewer):
// `launch_size`, or the whole batch for 0 or a launch_size beyond it, raised
// to batch_size / kMostLaunchesPerBatch (rounded up) where more launches
// than that would be needed.
uint64_t launch_nonces(uint32_t batch_size, uint32_t launch_size);

// Calls queue_grid(grid) for every grid of every launch of `batch`, in order:
// the batch cut into launches of launch_nonces(), each launch into
// search_grids(). Stops at the first call that returns non-zero and returns
// that; 0 once every grid is queued. No allocation beyond one launch's grids.
template <class QueueGrid>
auto for_each_launch_grid(const gpu_kernel::SearchParams& batch, uint32_t launch_size,
                          uint64_t largest_grid, uint64_t group, QueueGrid queue_grid)
    -> decltype(queue_grid(std::declval<const SearchGrid&>())) {
  const uint64_t launch = launch_nonces(batch.batch_size, launch_size);
  for (uint64_t done = 0; done < batch.batch_size; done += launch) {
    gpu_kernel::SearchParams part = batch;
    part.start_nonce = batch.start_nonce + static_cast<uint32_t>(done);
    part.batch_size = static_cast<uint32_t>(std::min<uint64_t>(launch, batch.batch_size - done));
    for (const SearchGrid& grid : search_grids(part, largest_grid, group)) {
      const auto status = queue_grid(grid);
      if (status != 0) return status;
    }
  }
  return {};
}

// Fills *result (when not null) from the slot of a finished batch: found,
// with the nonce and the digest's first 32 bytes, when a work-item claimed
// the slot; otherwise only found, false.
void read_solution(const gpu_kernel::SolutionSlot& slot, MiningResult* result);

// The nonces a finished batch of `batch_size` really hashed: all of them,
// less those of the groups that found the stop word raised and skipped theirs.
uint64_t searched_nonces(const gpu_kernel::SolutionSlot& slot, uint32_t batch_size);
