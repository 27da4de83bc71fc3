#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "driver/gpu_launcher.h"
#include "mine/cpu_coordinator.h"
#include "mine/search_state.h"
#include "mine/worker_starter.h"
#include "node/block_work.h"

// What the longpoll watch has seen: how many times the chain tip changed,
// and the tip it saw last (header bytes 4..11 of a template on that tip,
// little-endian; 0 before its first answer).
struct TipNews {
  uint64_t changes = 0;
  uint64_t fingerprint = 0;
};

// Everything the mining loop reaches outside itself: the node, the GPU
// backend, the clock, waiting, the longpoll watch and the threads. The
// program passes the real ones (real_mining_ports); the driver's tests and
// the benches pass fakes. Each member says which thread calls it. Members
// marked optional may be left empty.
struct MiningPorts {
  using Clock = std::chrono::steady_clock;

  // The loop's thread.
  std::function<BlockWork()> get_work;
  std::function<bool(const BlockWork& work, uint32_t nonce)> submit_block;
  std::function<int()> power_get_temp;
  std::function<void()> power_shutdown;
  std::function<Clock::time_point()> now;
  // Waits up to `timeout` for `wakeup` to be released; true when it was.
  // Optional: wakeup.try_acquire_for(timeout).
  std::function<bool(LoopWakeup& wakeup, std::chrono::milliseconds timeout)> wait;
  // The longpoll watch; optional (empty: the clock alone refreshes the work).
  std::function<TipNews()> tip_news;
  WorkerStarter start_thread;      // creates the coordinator thread; optional
  WorkerStarter start_gpu_thread;  // creates the GPU thread; optional
  // Called after the GPU thread has been asked to stop, before it is joined,
  // so that a fake batch that blocks can let go. Optional.
  std::function<void()> gpu_stop_requested;

  // The GPU thread: queue_mining_batch and collect_mining_batch.
  GpuBatchPorts gpu_batches;

  // The coordinator thread.
  CpuSearchFunction cpu_search = ::cpu_search;
};
