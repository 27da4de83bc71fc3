// The GPU benchmark: the real search kernel on an all-zero header with an
// all-zero target, which no hash meets, so every batch runs whole. Two
// batches stay queued, as the mining loop keeps them, so the rate is the
// card's and not the card's less the gaps between launches.

#include <chrono>
#include <cstdint>

#include "gpu/backend.h"

namespace {

// Batches start small so that a slow GPU does not overshoot a short
// measurement, and double while a batch takes less than kTargetBatch: by
// then the per-batch overhead is a small fraction of each batch.
constexpr uint32_t kFirstBatch = 1u << 22;
constexpr uint32_t kLargestBatch = 1u << 31;
constexpr std::chrono::milliseconds kTargetBatch{50};

const uint8_t kHeader[80] = {};
const uint32_t kTarget[8] = {};

bool any_queued(const uint32_t sizes[kGpuBatchSlots]) {
  for (int slot = 0; slot < kGpuBatchSlots; ++slot)
    if (sizes[slot] != 0) return true;
  return false;
}

}  // namespace

// A measuring time of 0 seconds or less measures nothing and gives 0, as a
// failed batch does (after its own message).
double benchmark_hashrate(int seconds) {
  if (seconds <= 0) return 0.0;
  using Clock = std::chrono::steady_clock;

  // Untimed: opening the device and building the kernel happen here.
  MiningResult result{};
  if (launch_mining_kernel(kHeader, 0, kFirstBatch, kTarget, &result) != 0) return 0.0;

  uint32_t batch = kFirstBatch;
  uint32_t nonce = kFirstBatch;
  uint32_t queued[kGpuBatchSlots] = {};  // each slot's batch size; 0 when free
  bool failed = false;
  const Clock::time_point start = Clock::now();
  for (int slot = 0; slot < kGpuBatchSlots && !failed; ++slot) {
    failed = queue_mining_batch(slot, kHeader, nonce, batch, kTarget) != 0;
    queued[slot] = failed ? 0 : batch;
    nonce += batch;
  }

  // The slots finish in turn. Each batch collected counts, and its slot is
  // queued again until the time is up; then the others drain.
  uint64_t hashes = 0;
  Clock::time_point end = start;
  for (int slot = 0; any_queued(queued); slot = (slot + 1) % kGpuBatchSlots) {
    if (queued[slot] == 0) continue;
    failed |= collect_mining_batch(slot, nullptr) != 0;
    const Clock::time_point now = Clock::now();
    if (now - end < kTargetBatch && batch < kLargestBatch) batch *= 2;
    hashes += queued[slot];
    queued[slot] = 0;
    end = now;
    if (failed || now - start >= std::chrono::seconds(seconds)) continue;
    failed = queue_mining_batch(slot, kHeader, nonce, batch, kTarget) != 0;
    queued[slot] = failed ? 0 : batch;
    nonce += batch;
  }
  const std::chrono::duration<double> elapsed = end - start;
  if (failed || elapsed.count() <= 0.0) return 0.0;
  return static_cast<double>(hashes) / elapsed.count();
}
