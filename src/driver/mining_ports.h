#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "driver/gpu_launcher.h"
#include "mine/cpu_coordinator.h"
#include "mine/search_state.h"
#include "mine/worker_starter.h"
#include "node/block_work.h"

// Everything the mining loop reaches outside itself: the node, the GPU
// backend, the clock, waiting and the search threads. The program passes the
// real ones (real_mining_ports); the driver's tests and the bench pass fakes.
// Every port runs on the main thread, except launch_mining_kernel, which runs
// on the GPU thread. Empty members marked optional take the real behaviour.
struct MiningPorts {
  using Clock = std::chrono::steady_clock;

  std::function<BlockWork()> get_work;
  std::function<bool(const BlockWork& work, uint32_t nonce)> submit_block;
  GpuLaunchFunction launch_mining_kernel;
  std::function<int()> power_get_temp;
  std::function<void()> power_shutdown;
  std::function<Clock::time_point()> now;
  std::function<void(std::chrono::milliseconds)> sleep;  // the 5 s wait after a failed fetch
  // The wait between passes: returns early, true, once `wakeup` is released.
  // Optional: wakeup.try_acquire_for(timeout).
  std::function<bool(LoopWakeup& wakeup, std::chrono::milliseconds timeout)> wait;

  CpuSearchFunction cpu_search = ::cpu_search;
  WorkerStarter start_thread;      // creates the coordinator thread; optional
  WorkerStarter start_gpu_thread;  // creates the GPU thread; optional
  // Called after the GPU thread has been asked to stop, before it is joined,
  // so that a fake launch that blocks can let go. Optional.
  std::function<void()> gpu_stop_requested;
};
