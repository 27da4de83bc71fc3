// How long a CPU solution waits before the mining loop hands it to the node
// link: the loop runs with the real node link, CPU only, and a stand-in for
// the CPU search that announces a solution the way the real winner does
// (found set, result written, the loop woken) at a random moment 20 to
// 120 ms into each sitting. The time from setting `found` to the hand-over
// (from where the link sends it at once) is collected over SOLUTIONS
// solutions and printed as a distribution in milliseconds.
//
// Usage: bench_solution_latency URL [SOLUTIONS]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "devnode_options.h"
#include "driver/mining_loop.h"
#include "driver/run_flag.h"
#include "hash/byte_order.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: bench_solution_latency URL [SOLUTIONS]\n", stderr);
    return 2;
  }
  const size_t wanted = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 100;

  const Options options = devnode_cpu_options(argv[1]);
  const DeviceModes modes = derive_device_modes(options);

  std::atomic<long long> found_at{0};  // ns since the clock's epoch
  std::vector<double> latencies_ms;    // the loop's thread only

  LoopWakeup wakeup{0};
  NodeLink link;
  if (!start_node_link(link, node_link_settings(options, wakeup))) return 1;
  MiningPorts ports;
  ports.node = node_link_ports(link);
  ports.node.submit = [&](SolvedBlock block) {
    const long long now = Clock::now().time_since_epoch().count();
    latencies_ms.push_back((now - found_at.load()) / 1e6);
    if (latencies_ms.size() >= wanted) g_running.store(false);
    submit_solved_block(link, std::move(block));
  };
  ports.now = [] { return Clock::now(); };
  std::mt19937 random(12345);
  ports.cpu_search = [&](const CpuSearchJob& job, SearchState& state) {
    const auto due = Clock::now() + std::chrono::milliseconds(20 + random() % 100);
    while (state.running.load() && Clock::now() < due) std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (!state.running.load()) return CpuSearchEnd::stopped;
    found_at.store(Clock::now().time_since_epoch().count());
    state.found.store(true);
    state.result.nonce = 0x80000000u;
    state.result.header_time = header_time(job.header);
    state.result.found = true;
    if (state.wakeup) state.wakeup->release();
    return CpuSearchEnd::solved;
  };

  mine_with_ports(options, modes, ports, &wakeup);
  std::fflush(stdout);
  if (latencies_ms.empty()) return 1;
  std::sort(latencies_ms.begin(), latencies_ms.end());
  const auto at = [&](double q) {
    return latencies_ms[static_cast<size_t>(q * static_cast<double>(latencies_ms.size() - 1))];
  };
  std::fprintf(stderr,
               "solutions %zu | latency ms: min %.3f p10 %.3f median %.3f p90 %.3f p99 %.3f max "
               "%.3f\n",
               latencies_ms.size(), at(0), at(0.1), at(0.5), at(0.9), at(0.99), at(1));
  return 0;
}
