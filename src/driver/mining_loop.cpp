#include "driver/mining_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "driver/device_lines.h"
#include "driver/mining_run.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "node/node_link.h"
#include "node/url_display.h"

namespace {

// Waits until the next thing due, or until a device or the node link has
// news, and no longer than kLongestWait, so that a stop is seen promptly.
void wait_for_news(MiningRun& run, Clock::time_point now) {
  Clock::time_point wake = run.totals.last_status + kStatusInterval;
  if (work_usable(run.standing, now)) {
    wake = std::min(wake, work_expires_at(run.standing));
    wake = std::min(wake, next_device_try(run, now));
  }
  wake = std::clamp(wake, now, now + kLongestWait);
  const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
  if (run.ports.wait)
    run.ports.wait(run.wakeup, timeout);
  else
    (void)run.wakeup.try_acquire_for(timeout);
}

void run_loop(MiningRun& run) {
  const MiningPorts& ports = run.ports;
  run.cpu.search_function = ports.cpu_search;
  run.cpu.start_thread = ports.start_thread;
  run.cpu.state.wakeup = &run.wakeup;
  for (const GpuDevicePorts& gpu : ports.gpus) run.gpus.emplace_back().ports = &gpu;
  run.totals.started_at = std::chrono::system_clock::now();
  run.totals.mining_start = ports.now();
  run.totals.last_status = run.totals.mining_start;

  while (g_running.load()) {
    Clock::time_point now = ports.now();
    take_node_news(run, now);
    take_device_news(run, now);
    now = ports.now();
    guard_temperatures(run, now);
    if (work_usable(run.standing, now))
      start_devices(run, now);
    else
      park_devices(run, now);
    note_healthy_devices(run, now);
    sample_rates(run, now);
    if (now - run.totals.last_status >= kStatusInterval)
      print_status(run, now);
    else
      publish_status(run, now);
    wait_for_news(run, now);
  }

  // A block found before the stop, or in a batch collected after it, is
  // still handed over; the link then tries what is unanswered once more,
  // and its verdicts are the last lines.
  stop_devices(run);
  ports.node.finish();
  take_node_news(run, ports.now());
  publish_status(run, ports.now(), true);
}

}  // namespace

NodeLinkSettings node_link_settings(const Options& options, LoopWakeup& wakeup) {
  NodeLinkSettings settings;
  settings.nodes.push_back(NodeAddress{*options.rpc_url, options.rpc_user, *options.rpc_pass});
  for (const std::string& url : options.backup_nodes) settings.nodes.push_back(backup_node_address(url));
  settings.coinbase_addr = options.coinbase_addr;
  settings.wakeup = &wakeup;
  settings.stop_requested = [] { return !g_running.load(); };
  settings.submissions_abandoned = [] { return submission_abandoned().load(); };
  return settings;
}

NodePorts node_link_ports(NodeLink& link) {
  NodePorts ports;
  ports.submit = [&link](SolvedBlock block) { submit_solved_block(link, std::move(block)); };
  ports.take_events = [&link](std::vector<NodeEvent>& events) { take_node_events(link, events); };
  ports.finish = [&link] { finish_node_link(link); };
  ports.status = [&link] { return node_link_status(link); };
  return ports;
}

namespace {

MiningPorts real_mining_ports(NodeLink& link, const std::vector<GpuContext*>& gpus) {
  MiningPorts ports;
  ports.node = node_link_ports(link);
  for (GpuContext* gpu : gpus) {
    GpuDevicePorts device;
    device.info = gpu_device_info(gpu);
    device.batches.queue = [gpu](int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                                 uint32_t launch_size, const uint32_t target[8]) {
      return queue_mining_batch(gpu, slot, header, start_nonce, batch_size, launch_size, target);
    };
    device.batches.collect = [gpu](int slot, MiningResult* result, uint64_t* searched) {
      return collect_mining_batch(gpu, slot, result, searched);
    };
    device.batches.cancel = [gpu] { gpu_cancel_batches(gpu); };
    device.temperature = [gpu] { return power_get_temp(gpu); };
    device.watts = [gpu] { return power_get_watts(gpu); };
    ports.gpus.push_back(std::move(device));
  }
  ports.power_shutdown = [gpus] {
    for (GpuContext* gpu : gpus) power_shutdown(gpu);
  };
  ports.now = [] { return Clock::now(); };
  return ports;
}

}  // namespace

void mine_with_ports(const Options& options, const DeviceModes& modes, const MiningPorts& ports,
                     LoopWakeup* wakeup) {
  LoopWakeup own_wakeup{0};
  {
    MiningRun run(options, modes, ports, wakeup ? *wakeup : own_wakeup);
    run_loop(run);
    std::printf("Shutting down. Blocks found: %d\n", run.totals.blocks_found);
  }
  if (ports.power_shutdown) ports.power_shutdown();
}

bool run_mining_loop(const Options& options, const DeviceModes& modes, const std::vector<GpuContext*>& gpus,
                     const RigBoardReader& reader) {
  // The reader (the API of --api-bind) starts before the node is asked
  // anything, so that a port already taken stops the run first; the board
  // outlives it.
  RigBoard board;
  if (reader.start && !reader.start(options, board)) return false;

  std::printf("Connecting to %s...\n", shown_text(url_for_display(*options.rpc_url)).c_str());
  if (modes.cpu_enabled) std::printf("CPU mining: %d threads\n", options.cpu_threads);
  if (!modes.gpu_enabled) {
    std::printf("GPU mining: disabled (--cpu-only)\n");
  } else {
    std::vector<GpuDeviceInfo> infos;
    for (GpuContext* gpu : gpus) infos.push_back(gpu_device_info(gpu));
    print_gpu_start_lines(infos, options.batch_size);
  }

  // The link posts to the wakeup, so it outlives the link; the link's
  // threads are joined by finish_node_link at the end of mining, before the
  // board and the ports go.
  LoopWakeup wakeup{0};
  NodeLink link;
  if (!start_node_link(link, node_link_settings(options, wakeup))) {
    if (reader.stop) reader.stop();
    return false;
  }
  MiningPorts ports = real_mining_ports(link, gpus);
  ports.board = &board;
  mine_with_ports(options, modes, ports, &wakeup);
  if (reader.stop) reader.stop();
  return true;
}
