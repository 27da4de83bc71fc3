#pragma once

#include <cstdint>
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

// Fills *result (when not null) from the slot of a finished batch: found,
// with the nonce and the digest's first 32 bytes, when a work-item claimed
// the slot; otherwise only found, false.
void read_solution(const gpu_kernel::SolutionSlot& slot, MiningResult* result);
