// The mining loop with the real node link and a simulated rig: one card per
// rate given, each a card of that many hashes a second. A queued batch
// starts when the card has finished the ones queued before it (or at once,
// if it is idle), takes batch_size / rate seconds, uses no CPU and finds
// nothing; collecting it waits for its end, and a cancel cuts it short at
// that moment. One card may be made to fail a batch every few seconds.
// After SECONDS the run is stopped, and one line on standard error gives
// each card's busy time (what it searched, in seconds of its rate), the
// wall time and the nonces searched twice for the same header bytes 0..75
// across all cards; the loop's own lines go to standard output.
//
// Usage: bench_gpu_busy_share URL SECONDS RATE[,RATE...] CPU_THREADS [BATCH_SIZE [FAILING EVERY_S]]
//        (CPU_THREADS 0 means --gpu-only; BATCH_SIZE as --batch-size, whose
//        default 1048576 is launches of 2^20 nonces grouped by time;
//        FAILING the card's place in the list, from 0)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>

#include "devnode_options.h"
#include "driver/mining_loop.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "repeat_count.h"

using Clock = std::chrono::steady_clock;

// Nonces searched by every card, for the repeats: the cards' threads add
// what they collected.
struct SearchedNonces {
  std::mutex lock;
  RepeatCount repeats;

  void add(const uint8_t header[80], uint32_t start, uint64_t size) {
    std::lock_guard<std::mutex> hold(lock);
    repeats.add(header, start, size);
  }
};

// One card. Its batch calls come from its GPU thread only, cancel from the
// loop's; main reads the totals after the loop has joined the threads.
struct SimulatedCard {
  SimulatedCard(double hashes_per_second, SearchedNonces& searched_nonces)
      : rate(hashes_per_second), searched(searched_nonces) {}

  struct Slot {
    Clock::time_point starts, ends;
    uint8_t header[80];
    uint32_t start_nonce = 0;
    uint64_t size = 0;
  };

  double rate;
  SearchedNonces& searched;
  Clock::time_point free_at{};  // when the card ends the last batch queued
  Slot slots[kGpuBatchSlots];
  std::atomic<long long> cancelled_at{0};  // ns since the clock's epoch; 0: no cut
  double busy_s = 0;
  // Failing every `fail_every` seconds (0: never), from the start.
  double fail_every = 0;
  Clock::time_point next_failure{};

  int queue(int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size) {
    const Clock::time_point now = Clock::now();
    cancelled_at.store(0);  // a new batch ends the cut
    const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(batch_size / rate));
    Slot& s = slots[slot];
    s.starts = std::max(now, free_at);
    s.ends = s.starts + duration;
    std::copy(header, header + 80, s.header);
    s.start_nonce = start_nonce;
    s.size = batch_size;
    free_at = s.ends;
    return 0;
  }

  int collect(int slot, MiningResult* result, uint64_t* searched_count) {
    Slot& s = slots[slot];
    Clock::time_point ends = s.ends;
    const long long cut = cancelled_at.load();
    if (cut != 0) ends = std::min(ends, std::max(s.starts, Clock::time_point(Clock::duration(cut))));
    std::this_thread::sleep_until(ends);
    if (ends < s.ends) free_at = ends;
    const double seconds = std::chrono::duration<double>(ends - s.starts).count();
    const uint64_t done = ends == s.ends ? s.size : std::min<uint64_t>(s.size, static_cast<uint64_t>(seconds * rate));
    if (result) result->found = false;
    if (searched_count) *searched_count = done;
    if (fail_every > 0 && Clock::now() >= next_failure) {
      next_failure = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(fail_every));
      return -1;  // searched for nothing: the batch is queued again
    }
    busy_s += seconds;
    searched.add(s.header, s.start_nonce, done);
    return 0;
  }

  void cancel() { cancelled_at.store(Clock::now().time_since_epoch().count()); }
};

std::vector<double> rates_of(const char* list) {
  std::vector<double> rates;
  std::stringstream text(list);
  for (std::string item; std::getline(text, item, ',');) rates.push_back(std::atof(item.c_str()));
  return rates;
}

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6 && argc != 8) {
    std::fputs("usage: bench_gpu_busy_share URL SECONDS RATE[,RATE...] CPU_THREADS [BATCH_SIZE [FAILING EVERY_S]]\n",
               stderr);
    return 2;
  }
  const char* url = argv[1];
  const int seconds = std::atoi(argv[2]);
  const int cpu_threads = std::atoi(argv[4]);

  Options options = devnode_options(url);
  options.cpu_threads = cpu_threads;
  options.gpu_only = cpu_threads == 0;
  if (argc >= 6) options.batch_size = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
  const DeviceModes modes = derive_device_modes(options);

  // Sub-millisecond sleeps would otherwise overshoot by the default 50 us
  // timer slack, which a 0.08 ms launch cannot afford.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  SearchedNonces searched;
  std::deque<SimulatedCard> cards;
  for (const double rate : rates_of(argv[3])) cards.emplace_back(rate, searched);
  if (argc == 8) {
    SimulatedCard& failing = cards.at(static_cast<size_t>(std::atoi(argv[6])));
    failing.fail_every = std::atof(argv[7]);
    failing.next_failure = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(failing.fail_every));
  }

  LoopWakeup wakeup{0};
  NodeLink link;
  if (!start_node_link(link, node_link_settings(options, wakeup))) return 1;
  MiningPorts ports;
  ports.node = node_link_ports(link);
  for (size_t k = 0; k < cards.size(); ++k) {
    SimulatedCard& card = cards[k];
    GpuDevicePorts device;
    device.info.index = static_cast<int>(k);
    device.info.name = "simulated " + std::to_string(card.rate / 1e9) + " GH/s";
    device.batches.queue = [&card](int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                                   uint32_t, const uint32_t*) { return card.queue(slot, header, start_nonce, batch_size); };
    device.batches.collect = [&card](int slot, MiningResult* result, uint64_t* searched_count) {
      return card.collect(slot, result, searched_count);
    };
    device.batches.cancel = [&card] { card.cancel(); };
    ports.gpus.push_back(device);
  }
  ports.now = [] { return Clock::now(); };

  std::thread timer([seconds] {
    for (int k = 0; k < seconds * 20 && g_running.load(); ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_running.store(false);
  });
  const auto start = Clock::now();
  mine_with_ports(options, modes, ports, &wakeup);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  timer.join();
  std::fflush(stdout);
  std::string busy;
  for (const SimulatedCard& card : cards) busy += (busy.empty() ? "" : ",") + std::to_string(card.busy_s);
  std::fprintf(stderr, "busy_s %s wall_s %.6f repeats %llu\n", busy.c_str(), wall,
               static_cast<unsigned long long>(searched.repeats.repeats()));
  return 0;
}
