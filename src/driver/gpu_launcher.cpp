#include "driver/gpu_launcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "hash/byte_order.h"

GpuLauncher::~GpuLauncher() { stop_gpu_launches(*this); }

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kFirstBatchByTime = uint64_t{1} << 20;
constexpr uint64_t kSmallestBatchByTime = uint64_t{1} << 16;
constexpr uint64_t kLargestBatchByTime = uint64_t{1} << 31;

// A batch the card has been given, in the order it was queued, and the size
// it was meant to have (a claim at the end of a second may be shorter).
struct InFlight {
  int slot;
  WorkChunk chunk;
  uint64_t planned;
};

// Up to kGpuBatchSlots batches, oldest first; the GPU thread's own.
struct Pipeline {
  InFlight batches[kGpuBatchSlots];
  int count = 0;

  int free_slot() const {
    for (int slot = 0; slot < kGpuBatchSlots; ++slot) {
      bool used = false;
      for (int k = 0; k < count; ++k) used = used || batches[k].slot == slot;
      if (!used) return slot;
    }
    return -1;
  }
  void push(InFlight batch) { batches[count++] = batch; }
  InFlight pop_oldest() {
    const InFlight oldest = batches[0];
    std::move(batches + 1, batches + count, batches);
    --count;
    return oldest;
  }
};

// The next batch: one kept from a failure first, otherwise a fresh claim.
WorkChunk next_batch(GpuLauncher& gpu, const GpuLaunchSetup& setup, uint64_t planned) {
  if (!gpu.retry.empty()) {
    const WorkChunk kept = gpu.retry.front();
    gpu.retry.erase(gpu.retry.begin());
    return kept;
  }
  return claim_work(*setup.space, planned);
}

// The GPU thread: keeps kGpuBatchSlots batches queued until the loop stops
// it, a batch fails or holds a solution, or the space has no room left; then
// collects what it queued, so that no batch is lost or queued twice and a
// solution collected after a stop still reaches the loop. It wakes the loop
// when it ends by itself.
void launch_until_stopped(GpuLauncher& gpu, const GpuLaunchSetup& setup) {
  uint8_t header[80];
  std::memcpy(header, gpu.header, sizeof header);
  Pipeline pipeline;
  bool solved = false;
  bool failed = false;
  bool used_up = false;
  Clock::time_point last_collect = Clock::now();

  for (;;) {
    while (pipeline.count < kGpuBatchSlots && gpu.running.load() && !solved && !failed &&
           !used_up) {
      const uint64_t planned = batch_of_launches(gpu.batch_size, setup.launch_size);
      const WorkChunk chunk = next_batch(gpu, setup, planned);
      if (chunk.size == 0) {
        used_up = true;
        break;
      }
      const int slot = pipeline.free_slot();
      put_header_time(header, time_at(chunk.position));
      if (setup.batches->queue(slot, header, nonce_at(*setup.space, chunk.position),
                               static_cast<uint32_t>(chunk.size), setup.launch_size, gpu.target) != 0) {
        gpu.retry.push_back(chunk);
        failed = true;
        break;
      }
      pipeline.push(InFlight{slot, chunk, planned});
    }
    if (pipeline.count == 0) break;

    const bool was_full = pipeline.count == kGpuBatchSlots;
    const InFlight oldest = pipeline.pop_oldest();
    MiningResult result{};
    uint64_t searched = oldest.chunk.size;
    if (setup.batches->collect(oldest.slot, &result, &searched) != 0) {
      gpu.retry.push_back(oldest.chunk);
      failed = true;
      continue;
    }
    gpu.launched.fetch_add(std::min(searched, oldest.chunk.size));
    if (result.found && !solved) {
      gpu.solution = GpuSolution{result.nonce, time_at(oldest.chunk.position), {}};
      std::memcpy(gpu.solution.hash, result.hash, sizeof gpu.solution.hash);
      solved = true;
    }
    // With a batch queued behind it, the time between two collects is the
    // card's time for one batch; a batch cut short or shortened by the end
    // of a second says nothing about it.
    const Clock::time_point now = Clock::now();
    if (was_full && oldest.chunk.size == oldest.planned && searched == oldest.chunk.size &&
        gpu.running.load())
      gpu.batch_size = std::max<uint64_t>(
          next_batch_size_by_time(oldest.planned, std::chrono::duration<double>(now - last_collect).count()),
          setup.launch_size);
    last_collect = now;
  }

  // A failure while stopping is no failure of the card's: the batch is kept
  // for the next start either way.
  if (solved)
    gpu.end = GpuEnd::solved;
  else if (failed && gpu.running.load())
    gpu.end = GpuEnd::failed;
  else if (used_up)
    gpu.end = GpuEnd::used_up;
  else
    gpu.end = GpuEnd::stopped;
  if (gpu.end != GpuEnd::stopped && gpu.running.load()) {
    gpu.ended_by_itself.store(true);
    setup.wakeup->release();
  }
}

}  // namespace

uint64_t next_batch_size_by_time(uint64_t size, double seconds) {
  if (seconds < 0.010) return std::min(size * 2, kLargestBatchByTime);
  if (seconds > 0.040) return std::max(size / 2, kSmallestBatchByTime);
  return size;
}

uint64_t batch_of_launches(uint64_t by_time, uint32_t launch_size) {
  if (launch_size == 0) return by_time;
  return std::max<uint64_t>(by_time / launch_size, 1) * launch_size;
}

bool start_gpu_launches(GpuLauncher& gpu, const uint8_t header[80], const uint32_t target[8],
                        const GpuLaunchSetup& setup) {
  const HeaderKey key = make_header_key(header, target);
  if (!same_header_key(gpu.key, key)) gpu.retry.clear();
  std::memcpy(gpu.header, header, sizeof gpu.header);
  std::memcpy(gpu.target, target, sizeof gpu.target);
  gpu.key = key;
  if (gpu.batch_size == 0) gpu.batch_size = std::max<uint64_t>(kFirstBatchByTime, setup.launch_size);
  gpu.running.store(true);
  gpu.ended_by_itself.store(false);
  gpu.end = GpuEnd::stopped;
  gpu.solution = GpuSolution{};
  return start_thread_or_say(gpu.thread, *setup.start_thread,
                             [&gpu, setup] { launch_until_stopped(gpu, setup); }, "GPU launch");
}

bool gpu_launches_not_joined(const GpuLauncher& gpu) { return gpu.thread.joinable(); }

void ask_gpu_to_stop(GpuLauncher& gpu, const std::function<void()>& cancel) {
  if (!gpu.thread.joinable()) return;
  gpu.running.store(false);
  if (cancel) cancel();
}

bool join_gpu_launches(GpuLauncher& gpu) {
  if (!gpu.thread.joinable()) return false;
  gpu.running.store(false);
  gpu.thread.join();
  return true;
}

bool stop_gpu_launches(GpuLauncher& gpu, const std::function<void()>& cancel) {
  ask_gpu_to_stop(gpu, cancel);
  return join_gpu_launches(gpu);
}
