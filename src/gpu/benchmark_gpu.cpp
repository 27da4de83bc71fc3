// The GPU benchmark: the real search kernel on an all-zero header with an
// all-zero target, which no hash meets, so every launch runs its whole batch.

#include <chrono>
#include <cstdint>

#include "gpu/backend.h"

namespace {

// Batches start small so that a slow GPU does not overshoot a short
// measurement, and double while a launch takes less than kTargetLaunch: by
// then the per-launch overhead (a result copy and a synchronisation) is a
// small fraction of each launch.
constexpr uint32_t kFirstBatch = 1u << 22;
constexpr uint32_t kLargestBatch = 1u << 31;
constexpr std::chrono::milliseconds kTargetLaunch{50};

}  // namespace

// A measuring time of 0 seconds or less measures nothing and gives 0, as a
// failed launch does (after its own message).
double benchmark_hashrate(int seconds) {
  if (seconds <= 0) return 0.0;

  using Clock = std::chrono::steady_clock;
  const uint8_t header[80] = {};
  const uint32_t target[8] = {};
  MiningResult result{};
  uint32_t batch = kFirstBatch;
  uint32_t nonce = 0;

  // Untimed: device selection, buffer allocation and module loading happen
  // at the first launch.
  if (launch_mining_kernel(header, nonce, batch, target, &result) != 0) return 0.0;
  nonce += batch;

  uint64_t hashes = 0;
  const Clock::time_point start = Clock::now();
  std::chrono::duration<double> elapsed{0.0};
  while (elapsed.count() < seconds) {
    const Clock::time_point launch_start = Clock::now();
    if (launch_mining_kernel(header, nonce, batch, target, &result) != 0) return 0.0;
    const Clock::time_point launch_end = Clock::now();
    hashes += batch;
    nonce += batch;
    elapsed = launch_end - start;
    if (launch_end - launch_start < kTargetLaunch && batch < kLargestBatch) batch *= 2;
  }
  return static_cast<double>(hashes) / elapsed.count();
}
