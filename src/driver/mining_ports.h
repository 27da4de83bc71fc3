#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "driver/gpu_launcher.h"
#include "driver/rig_status.h"
#include "gpu/backend.h"
#include "mine/cpu_coordinator.h"
#include "mine/search_state.h"
#include "mine/worker_starter.h"
#include "node/node_link.h"

// The node link as the mining loop reaches it: submit_solved_block,
// take_node_events, finish_node_link and node_link_status in the program,
// a scripted node in the driver's tests. All on the loop's thread; none of
// them waits for the node, except `finish`, after the devices have stopped.
struct NodePorts {
  std::function<void(SolvedBlock block)> submit;
  std::function<void(std::vector<NodeEvent>& events)> take_events;
  std::function<void()> finish;
  std::function<NodeLinkStatus()> status;  // optional
};

// One GPU as the mining loop reaches it.
struct GpuDevicePorts {
  GpuDeviceInfo info;     // its -d index, PCI bus id and name
  GpuBatchPorts batches;  // its GPU thread's, and the loop's cancel
  WorkerStarter start_thread;  // creates its GPU thread; optional
  // Its sensors, read on the loop's thread; optional.
  std::function<int()> temperature;  // degrees Celsius; 0 or below: none
  std::function<double()> watts;     // 0 or below: none
};

// Everything the mining loop reaches outside itself: the node link, the
// GPUs, the clock, waiting and the threads. The program passes the real
// ones (run_mining_loop); the driver's tests and the benches pass fakes.
// Each member says which thread calls it. Members marked optional may be
// left empty.
struct MiningPorts {
  using Clock = std::chrono::steady_clock;

  // The loop's thread.
  NodePorts node;
  std::function<void()> power_shutdown;  // every GPU's, once, as the loop ends
  std::function<Clock::time_point()> now;
  // Waits up to `timeout` for `wakeup` to be released; true when it was.
  // Optional: wakeup.try_acquire_for(timeout).
  std::function<bool(LoopWakeup& wakeup, std::chrono::milliseconds timeout)> wait;
  WorkerStarter start_thread;  // creates the coordinator thread; optional
  // Where the loop publishes its record a few times a second; optional.
  RigBoard* board = nullptr;

  // The GPUs mined on, in -d order; empty when the GPU is not enabled.
  std::vector<GpuDevicePorts> gpus;

  // The coordinator thread.
  CpuSearchFunction cpu_search = ::cpu_search;
};
