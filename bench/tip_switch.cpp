// How soon the miner hashes on a new chain tip: the mining loop runs with the
// real node link, CPU only, against a development node whose tip this bench
// moves (devnode_newtip, as another miner's block would) at random moments
// 1 to 2 s apart. The CPU search is the real one, noting the moment it
// starts on a header of a tip other than the last: its first hash follows
// within microseconds. The time from sending the change to that moment is
// collected over CHANGES changes and printed as a distribution in
// milliseconds, with the label LABEL (the node decides whether the link's
// longpoll watch hears of the tip, or only its once-a-second refresh).
//
// Usage: bench_tip_switch URL CHANGES LABEL

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
#include "node/gbt_client.h"
#include "node/longpoll_watch.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: bench_tip_switch URL CHANGES LABEL\n", stderr);
    return 2;
  }
  const size_t changes = static_cast<size_t>(std::atoi(argv[2]));

  const Options options = devnode_cpu_options(argv[1]);
  const DeviceModes modes = derive_device_modes(options);
  GbtClient mover(*options.rpc_url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);

  // Written by the coordinator threads one after another, read after the loop.
  std::vector<Clock::time_point> new_tip_searched;
  uint64_t last_tip = 0;
  std::vector<Clock::time_point> changed;  // the mover's, read after its join

  LoopWakeup wakeup{0};
  NodeLink link;
  if (!start_node_link(link, node_link_settings(options, wakeup))) return 1;
  MiningPorts ports;
  ports.node = node_link_ports(link);
  ports.now = [] { return Clock::now(); };
  ports.cpu_search = [&](const CpuSearchJob& job, SearchState& state) {
    const uint64_t tip = tip_fingerprint_of(job.header);
    if (last_tip != 0 && tip != last_tip) new_tip_searched.push_back(Clock::now());
    last_tip = tip;
    return cpu_search(job, state);
  };

  std::thread moves([&] {
    std::mt19937 random(2024);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the first work is in
    for (size_t k = 0; k < changes && g_running.load(); ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 + random() % 1000));
      changed.push_back(Clock::now());
      mover.rpc_call("devnode_newtip", "[]");
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    g_running.store(false);
  });
  mine_with_ports(options, modes, ports, &wakeup);
  moves.join();
  std::fflush(stdout);

  if (new_tip_searched.size() != changed.size()) {
    std::fprintf(stderr, "%zu tip changes made, %zu searched\n", changed.size(), new_tip_searched.size());
    return 1;
  }
  std::vector<double> ms;
  for (size_t k = 0; k < changed.size(); ++k)
    ms.push_back(std::chrono::duration<double, std::milli>(new_tip_searched[k] - changed[k]).count());
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[static_cast<size_t>(q * static_cast<double>(ms.size() - 1))]; };
  std::fprintf(stderr, "%s: %zu tip changes | to the first hash, ms: min %.1f median %.1f p90 %.1f max %.1f\n",
               argv[3], ms.size(), at(0), at(0.5), at(0.9), at(1));
  return 0;
}
