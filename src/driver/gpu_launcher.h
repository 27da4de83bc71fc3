#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <thread>

#include "gpu/backend.h"
#include "mine/header_key.h"
#include "mine/nonce_space.h"
#include "mine/search_state.h"
#include "mine/worker_starter.h"

// launch_mining_kernel in the program, a fake in the driver's tests.
using GpuLaunchFunction =
    std::function<int(const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                      const uint32_t target[8], MiningResult* result)>;

// How the GPU thread left its loop.
enum class GpuEnd { stopped, solved, failed, space_used_up };

// GPU batches launched one after another on a thread of their own, so that
// the card keeps hashing while the main thread fetches work, submits and
// prints. The thread takes its batches from the header's NonceSpace. Like
// CpuCoordinator it keeps its own copy of the header and target, carries on
// under a later unit of the same key, and resumes after a stop.
struct GpuLauncher {
  std::atomic<bool> running{false};
  // Set by the thread when it has left its loop by itself (solved, failed or
  // out of nonces), just before it wakes the loop.
  std::atomic<bool> ended_by_itself{false};
  // Nonces of successful launches since mining began: the GPU's hash count.
  std::atomic<uint64_t> launched{0};
  // The thread wakes the loop once `launched` passes this, so the loop can
  // end its unit by the refresh rule at once.
  std::atomic<uint64_t> wake_after{std::numeric_limits<uint64_t>::max()};
  GpuEnd end = GpuEnd::stopped;  // read only after the join
  MiningResult result{};         // the solution when end is solved; likewise
  std::thread thread;

  // Written only while no thread runs.
  uint8_t header[80] = {};
  uint32_t target[8] = {};
  HeaderKey key;
  uint64_t own_next = 0;  // next nonce of the GPU's own half
  // A batch taken from the space whose launch failed: launched first next
  // time, so that a failure loses no nonce.
  GpuBatch retry{0, 0};
  bool used_up = false;  // no nonce of this key is left for the GPU

  GpuLauncher() = default;
  GpuLauncher(const GpuLauncher&) = delete;
  GpuLauncher& operator=(const GpuLauncher&) = delete;
  ~GpuLauncher();
};

// What the GPU thread works with; everything outlives the thread.
struct GpuLaunchSetup {
  const GpuLaunchFunction* launch;
  NonceSpace* space;
  LoopWakeup* wakeup;
  uint32_t batch_size;
  const WorkerStarter* start_thread;  // creates the GPU thread; empty: std::thread
};

// Starts launching on header and target: from where the last launches of the
// same key stopped, otherwise from nonce 0. No thread may be running.
// Returns false, after one line on standard error, when the thread cannot be
// created.
bool start_gpu_launches(GpuLauncher& gpu, const uint8_t header[80], const uint32_t target[8],
                        const GpuLaunchSetup& setup);

bool gpu_launches_not_joined(const GpuLauncher& gpu);

// True while launches of this header and target have not been joined.
bool gpu_launches_cover(const GpuLauncher& gpu, const uint8_t header[80], const uint32_t target[8]);

// True when the last launches of this key found no nonce left to take.
bool gpu_launches_used_up(const GpuLauncher& gpu, const uint8_t header[80],
                          const uint32_t target[8]);

// Asks the thread to stop after its current launch and joins it, calling
// `stop_requested` (if set) in between. Returns false when no thread was
// running.
bool stop_gpu_launches(GpuLauncher& gpu, const std::function<void()>& stop_requested = {});
