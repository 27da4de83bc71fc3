#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "driver/cpu_coordinator.h"
#include "gpu/backend.h"
#include "mine/worker_start.h"
#include "node/block_work.h"

// Everything the mining loop reaches outside itself: the node, the GPU
// backend, the clock, sleeping and the CPU search's threads. The program
// passes the real ones (real_mining_ports); the driver's tests pass fakes to
// drive the loop pass by pass.
struct MiningPorts {
  using Clock = std::chrono::steady_clock;

  std::function<BlockWork()> get_work;
  std::function<bool(const BlockWork& work, uint32_t nonce)> submit_block;
  std::function<int(const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                    const uint32_t target[8], MiningResult* result)>
      launch_mining_kernel;
  std::function<int()> power_get_temp;
  std::function<void()> power_shutdown;
  std::function<Clock::time_point()> now;
  std::function<void(std::chrono::milliseconds)> sleep;

  CpuSearchFunction cpu_search = cpu_mine_resume;
  WorkerStarter start_thread;  // creates the coordinator thread; empty: std::thread
};
