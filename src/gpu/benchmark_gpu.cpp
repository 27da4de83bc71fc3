// The GPU benchmark: the real search kernel on an all-zero header with an
// all-zero target, which no hash meets, so every batch runs whole. Two
// batches stay queued, each a group of launches as the mining loop queues
// them, so the rate is the card's and not the card's less the gaps between
// launches.

#include <chrono>
#include <cstdint>

#include "gpu/backend.h"

namespace {

// The first launch on a device pays for loading the kernel (CUDA loads a
// module at its first use), so a small untimed batch goes first.
constexpr uint32_t kWarmUpBatch = 1u << 16;
// Batches start small so that a slow device does not overshoot a short
// measurement or a stop, and double while a batch takes less than
// kTargetBatch: by then the per-batch overhead is a small fraction of each
// batch, and a stop waits for at most about one batch.
constexpr uint32_t kFirstBatch = 1u << 20;
constexpr uint32_t kLargestBatch = 1u << 31;
constexpr std::chrono::milliseconds kTargetBatch{50};
// The launches the mining loop's batches are made of.
constexpr uint32_t kLaunchSize = 1u << 20;

const uint8_t kHeader[80] = {};
const uint32_t kTarget[8] = {};

bool any_queued(const bool queued[kGpuBatchSlots]) {
  for (int slot = 0; slot < kGpuBatchSlots; ++slot)
    if (queued[slot]) return true;
  return false;
}

}  // namespace

// A measuring time of 0 seconds or less measures nothing and gives 0, as a
// failed batch does (after its own message). A stop cuts the queued batches
// short and counts the nonces they did hash.
double benchmark_hashrate(GpuContext* device, int seconds, const std::atomic<bool>& running) {
  if (device == nullptr || seconds <= 0 || !running.load()) return 0.0;
  using Clock = std::chrono::steady_clock;

  MiningResult result{};
  if (launch_mining_kernel(device, kHeader, 0, kWarmUpBatch, kTarget, &result) != 0) return 0.0;

  uint32_t batch = kFirstBatch;
  uint32_t nonce = kWarmUpBatch;
  bool queued[kGpuBatchSlots] = {};
  bool failed = false;
  bool stopped = false;
  const Clock::time_point start = Clock::now();
  for (int slot = 0; slot < kGpuBatchSlots && !failed; ++slot) {
    failed = queue_mining_batch(device, slot, kHeader, nonce, batch, kLaunchSize, kTarget) != 0;
    queued[slot] = !failed;
    nonce += batch;
  }

  // The slots finish in turn. Each batch collected counts what it hashed,
  // and its slot is queued again until the time is up or the run stops;
  // then the others drain, cut short on a stop.
  uint64_t hashes = 0;
  Clock::time_point end = start;
  for (int slot = 0; any_queued(queued); slot = (slot + 1) % kGpuBatchSlots) {
    if (!queued[slot]) continue;
    uint64_t searched = 0;
    failed |= collect_mining_batch(device, slot, nullptr, &searched) != 0;
    queued[slot] = false;
    const Clock::time_point now = Clock::now();
    if (now - end < kTargetBatch && batch < kLargestBatch) batch *= 2;
    hashes += searched;
    end = now;
    if (!stopped && !running.load()) {
      stopped = true;
      gpu_cancel_batches(device);
    }
    if (failed || stopped || now - start >= std::chrono::seconds(seconds)) continue;
    failed = queue_mining_batch(device, slot, kHeader, nonce, batch, kLaunchSize, kTarget) != 0;
    queued[slot] = !failed;
    nonce += batch;
  }
  const std::chrono::duration<double> elapsed = end - start;
  if (failed || elapsed.count() <= 0.0) return 0.0;
  return static_cast<double>(hashes) / elapsed.count();
}
