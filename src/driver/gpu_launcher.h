#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "driver/options.h"
#include "gpu/backend.h"
#include "mine/header_key.h"
#include "mine/search_state.h"
#include "mine/work_space.h"
#include "mine/worker_starter.h"

// One device's queue_mining_batch, collect_mining_batch and
// gpu_cancel_batches in the program, fakes in the driver's tests and the
// benches. Queue and collect are called from the device's GPU thread only;
// cancel from the mining loop's thread, while the GPU thread queues and
// collects.
struct GpuBatchPorts {
  // A batch of batch_size nonces, searched as launches of launch_size (0: one launch).
  std::function<int(int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                    uint32_t launch_size, const uint32_t target[8])>
      queue;
  // `searched` is preset to the whole batch; a batch cut short lowers it.
  std::function<int(int slot, MiningResult* result, uint64_t* searched)> collect;
  // Cuts the queued batches short, so that a stop waits a work-group's time
  // instead of a batch's. Optional.
  std::function<void()> cancel;
};

// How the GPU thread left its loop.
enum class GpuEnd {
  stopped,  // the loop cleared `running`
  solved,   // a collected batch held a solution (also one collected after a stop)
  failed,   // a queue or collect failed; the batch is kept in `retry`
  used_up,  // the space had nothing left to claim
};

// A GPU solution, the header time of the batch it was found in, and the
// first 32 bytes of its digest (the block's hash).
struct GpuSolution {
  uint32_t nonce = 0;
  uint32_t header_time = 0;
  uint8_t hash[32] = {};
};

// One GPU's batches on a thread of its own, kGpuBatchSlots in flight: the
// next batch is queued before the last one is collected, so the card starts
// it the moment it finishes the one before while the host reads that result.
// A batch is a group of kernel launches of --batch-size nonces, as many as
// take the card 10 to 40 ms, so the host wakes at most about a hundred times
// a second however short one launch is. The batches are claimed from the
// header key's WorkSpace, which every device shares. Like CpuCoordinator it
// keeps its own copy of the header and target, and carries on under later
// work of the same key.
//
// Who writes what: `running` by the loop. `ended_by_itself`, `launched`,
// `end`, `solution`, `retry` and `batch_size` by the GPU thread while it
// runs; the loop reads `ended_by_itself` and `launched` at any time, the
// rest only after the join, and sets them up in start_gpu_launches, while
// no GPU thread runs. `header`, `target` and `key` by the loop, only while
// no GPU thread runs; the GPU thread reads them.
struct GpuLauncher {
  std::atomic<bool> running{false};
  // Set by the thread when it has left its loop by itself (solved, failed or
  // out of room), just before it wakes the mining loop.
  std::atomic<bool> ended_by_itself{false};
  // Nonces searched in batches collected since mining began (a batch cut
  // short counts what it searched): the GPU's hash count.
  std::atomic<uint64_t> launched{0};
  GpuEnd end = GpuEnd::stopped;
  GpuSolution solution;
  // Claimed batches that failed: queued first next time on the same key, so
  // that a failure loses no nonce. Never more than kGpuBatchSlots.
  std::vector<WorkChunk> retry;
  // The size of the next batch, sized by time; kept across restarts, so a
  // card is measured once.
  uint64_t batch_size = 0;
  std::thread thread;

  uint8_t header[80] = {};
  uint32_t target[8] = {};
  HeaderKey key;

  GpuLauncher() = default;
  GpuLauncher(const GpuLauncher&) = delete;
  GpuLauncher& operator=(const GpuLauncher&) = delete;
  ~GpuLauncher();
};

// What the GPU thread works with; everything outlives the thread.
struct GpuLaunchSetup {
  const GpuBatchPorts* batches;
  WorkSpace* space;
  LoopWakeup* wakeup;
  uint32_t launch_size;               // --batch-size: nonces per launch; 0: one launch a batch
  const WorkerStarter* start_thread;  // creates the GPU thread; empty: std::thread
};

// Starts launching on header and target. Batches kept for a retry are
// dropped when the key is not the one they were claimed for. No thread may
// be running. Returns false, after one line on standard error, when the
// thread cannot be created.
bool start_gpu_launches(GpuLauncher& gpu, const uint8_t header[80], const uint32_t target[8],
                        const GpuLaunchSetup& setup);

bool gpu_launches_not_joined(const GpuLauncher& gpu);

// Asks the thread to stop queuing and cuts its queued batches short with
// `cancel` (if set); the thread still collects what it queued. Harmless when
// no thread runs. Several devices are asked first and joined after, so that
// they wind down together.
void ask_gpu_to_stop(GpuLauncher& gpu, const std::function<void()>& cancel);

// Joins the thread once it has collected what it queued. Returns false when
// no thread was running.
bool join_gpu_launches(GpuLauncher& gpu);

// Both of the above.
bool stop_gpu_launches(GpuLauncher& gpu, const std::function<void()>& cancel = {});

// The size of the next batch sized by time, from the size of the last one and
// the seconds the card took for it: doubled below 10 ms, halved above 40 ms,
// so that a solution or a stop waits a few tens of milliseconds at most
// while the host is woken no more than about a hundred times a second.
uint64_t next_batch_size_by_time(uint64_t size, double seconds);

// The nonces of the next batch: `by_time` rounded down to whole launches of
// `launch_size`, at least one launch; `by_time` itself for 0 (one launch).
uint64_t batch_of_launches(uint64_t by_time, uint32_t launch_size);
