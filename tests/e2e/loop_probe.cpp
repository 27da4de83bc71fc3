// The real mining loop and node link in two set-ups the end-to-end tests
// cannot reach through the command line.
//
// loop_probe URL BATCH
//   A simulated card whose batches take a millisecond each: the batch
//   queued BATCH-th (from 0) reports a solution at its first nonce. With two
//   batches of 2^31 nonces a second, batch 2 is the first of the header time
//   one second past the node's curtime, so the block goes in with a rolled
//   time; against a node whose target every hash meets, that block is
//   valid. The loop stops at the block's verdict and prints one line on
//   standard error:
//     submitted TIME NONCE accepted|refused
//
// loop_probe URL --fail-device FAILING SECONDS DEVICE...
//   The build's real GPU backend on each DEVICE index (-d order), GPU only,
//   with device number FAILING (its place in the list) made to fail every
//   batch through its ports. After SECONDS the loop stops, and one line per
//   device gives its hashes a second over the run and its failures:
//     device 0 rate 1234567.0 failures 0

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/mining_loop.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "hash/byte_order.h"

namespace {

Options probe_options(const char* url) {
  Options options;
  options.rpc_url = url;
  options.rpc_user = "tamrix";
  options.rpc_pass = "tamrix";
  options.coinbase_addr = "tamrixdev1qminer";
  options.gpu_only = true;
  return options;
}

void stop_after(int seconds) {
  for (int k = 0; k < seconds * 10 && g_running.load(); ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  g_running.store(false);
}

int rolled_time_block(const char* url, int solution_batch) {
  Options options = probe_options(url);
  options.batch_size = 1u << 31;
  const DeviceModes modes = derive_device_modes(options);
  LoopWakeup wakeup{0};
  NodeLink link;
  if (!start_node_link(link, node_link_settings(options, wakeup))) return 1;

  // Touched by the GPU thread only.
  int queued = 0;
  int batch_in_slot[kGpuBatchSlots] = {};
  uint32_t first_nonce_in_slot[kGpuBatchSlots] = {};
  // The loop's thread only.
  uint32_t submitted_time = 0;
  uint32_t submitted_nonce = 0;

  MiningPorts ports;
  ports.node = node_link_ports(link);
  ports.node.submit = [&](SolvedBlock block) {
    submitted_time = header_time(block.work.header);
    submitted_nonce = block.nonce;
    submit_solved_block(link, std::move(block));
  };
  ports.node.take_events = [&](std::vector<NodeEvent>& events) {
    const size_t before = events.size();
    take_node_events(link, events);
    for (size_t k = before; k < events.size(); ++k)
      if (const BlockAnswered* answered = std::get_if<BlockAnswered>(&events[k])) {
        std::fprintf(stderr, "submitted %u %u %s\n", submitted_time, submitted_nonce,
                     answered->verdict == BlockVerdict::accepted ? "accepted" : "refused");
        g_running.store(false);
      }
  };
  GpuDevicePorts card;
  card.batches.queue = [&](int slot, const uint8_t*, uint32_t start_nonce, uint32_t, uint32_t, const uint32_t*) {
    batch_in_slot[slot] = queued++;
    first_nonce_in_slot[slot] = start_nonce;
    return 0;
  };
  card.batches.collect = [&](int slot, MiningResult* result, uint64_t*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (result) {
      result->found = batch_in_slot[slot] == solution_batch;
      result->nonce = first_nonce_in_slot[slot];
    }
    return 0;
  };
  ports.gpus.push_back(card);
  ports.now = [] { return std::chrono::steady_clock::now(); };

  std::thread timer([] { stop_after(30); });
  mine_with_ports(options, modes, ports, &wakeup);
  timer.join();
  return 0;
}

int one_device_failing(const char* url, int failing, int seconds, const std::vector<int>& indexes) {
  Options options = probe_options(url);
  options.batch_size = 65536;  // short launches on a CPU device
  const DeviceModes modes = derive_device_modes(options);
  std::vector<GpuContext*> gpus;
  for (const int index : indexes) {
    GpuContext* gpu = gpu_open_device(index);
    if (gpu == nullptr) return 1;
    gpus.push_back(gpu);
  }
  LoopWakeup wakeup{0};
  NodeLink link;
  if (!start_node_link(link, node_link_settings(options, wakeup))) return 1;
  RigBoard board;
  MiningPorts ports;
  ports.node = node_link_ports(link);
  ports.board = &board;
  for (size_t k = 0; k < gpus.size(); ++k) {
    GpuContext* gpu = gpus[k];
    GpuDevicePorts device;
    device.info = gpu_device_info(gpu);
    const bool fails = static_cast<int>(k) == failing;
    device.batches.queue = [gpu](int slot, const uint8_t header[80], uint32_t start, uint32_t size, uint32_t launch,
                                 const uint32_t target[8]) {
      return queue_mining_batch(gpu, slot, header, start, size, launch, target);
    };
    // The failing card searches its batch, and then reports it failed.
    device.batches.collect = [gpu, fails](int slot, MiningResult* result, uint64_t* searched) {
      const int status = collect_mining_batch(gpu, slot, result, searched);
      return fails ? -1 : status;
    };
    device.batches.cancel = [gpu] { gpu_cancel_batches(gpu); };
    ports.gpus.push_back(device);
  }
  ports.now = [] { return std::chrono::steady_clock::now(); };

  std::thread timer([seconds] { stop_after(seconds); });
  mine_with_ports(options, modes, ports, &wakeup);
  timer.join();
  const RigStatus status = read_rig_status(board);
  for (const DeviceStatus& device : status.devices)
    if (device.kind == "GPU")
      std::fprintf(stderr, "device %d rate %.1f failures %llu\n", device.index, device.rate_since_start,
                   static_cast<unsigned long long>(device.failures));
  for (GpuContext* gpu : gpus) gpu_close_device(gpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) return rolled_time_block(argv[1], std::atoi(argv[2]));
  if (argc >= 6 && std::strcmp(argv[2], "--fail-device") == 0) {
    std::vector<int> indexes;
    for (int k = 5; k < argc; ++k) indexes.push_back(std::atoi(argv[k]));
    return one_device_failing(argv[1], std::atoi(argv[3]), std::atoi(argv[4]), indexes);
  }
  std::fputs("usage: loop_probe URL BATCH | loop_probe URL --fail-device FAILING SECONDS DEVICE...\n", stderr);
  return 2;
}
