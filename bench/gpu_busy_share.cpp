// The mining loop with the real node client and a simulated card of RATE
// hashes a second: a queued batch starts when the card has finished the ones
// queued before it (or at once, if it is idle), takes batch_size / RATE
// seconds, uses no CPU and finds nothing; collecting it waits for its end.
// After SECONDS the run is stopped, and one line on standard error gives the
// card's busy time, the wall time, the getblocktemplate calls and the nonces
// the card was given twice for the same header bytes 0..75; the loop's own
// status lines go to standard output.
//
// Usage: bench_gpu_busy_share URL SECONDS RATE CPU_THREADS [BATCH_SIZE]
//        (CPU_THREADS 0 means --gpu-only; BATCH_SIZE as --batch-size, whose
//        default 0 sizes batches by time)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <sys/prctl.h>

#include "devnode_options.h"
#include "driver/mining_loop.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "node/gbt_client.h"
#include "repeat_count.h"

using Clock = std::chrono::steady_clock;

// The card. Its batch calls come from the loop's GPU thread only, and main
// reads the totals after the loop has joined that thread.
struct SimulatedCard {
  explicit SimulatedCard(double hashes_per_second) : rate(hashes_per_second) {}

  double rate;
  Clock::time_point free_at{};  // when the card ends the last batch queued
  Clock::time_point slot_ends[kGpuBatchSlots];
  double busy_s = 0;
  RepeatCount repeats;

  int queue(int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size) {
    const auto duration = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(batch_size / rate));
    const Clock::time_point starts = std::max(Clock::now(), free_at);
    free_at = starts + duration;
    slot_ends[slot] = free_at;
    busy_s += batch_size / rate;
    repeats.add(header, start_nonce, batch_size);
    return 0;
  }

  int collect(int slot, MiningResult* result) {
    std::this_thread::sleep_until(slot_ends[slot]);
    if (result) result->found = false;
    return 0;
  }
};

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fputs("usage: bench_gpu_busy_share URL SECONDS RATE CPU_THREADS [BATCH_SIZE]\n", stderr);
    return 2;
  }
  const char* url = argv[1];
  const int seconds = std::atoi(argv[2]);
  const int cpu_threads = std::atoi(argv[4]);

  Options options = devnode_options(url);
  options.cpu_threads = cpu_threads;
  options.gpu_only = cpu_threads == 0;
  if (argc == 6) options.batch_size = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
  const DeviceModes modes = derive_device_modes(options);

  // Sub-millisecond sleeps would otherwise overshoot by the default 50 us
  // timer slack, which a 0.08 ms batch cannot afford.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  GbtClient client(url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);
  SimulatedCard card(std::atof(argv[3]));
  std::atomic<int> fetches{0};

  MiningPorts ports;
  ports.get_work = [&] {
    fetches.fetch_add(1);
    return client.get_work();
  };
  ports.submit_block = [&](const BlockWork& work, uint32_t nonce) {
    return client.submit_block(work, nonce).verdict == SubmitVerdict::accepted;
  };
  ports.gpu_batches.queue = [&card](int slot, const uint8_t header[80], uint32_t start_nonce,
                                    uint32_t batch_size, const uint32_t*) {
    return card.queue(slot, header, start_nonce, batch_size);
  };
  ports.gpu_batches.collect = [&card](int slot, MiningResult* result) {
    return card.collect(slot, result);
  };
  ports.power_get_temp = [] { return -1; };
  ports.power_shutdown = [] {};
  ports.now = [] { return Clock::now(); };

  std::thread timer([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    g_running.store(false);
  });
  const auto start = Clock::now();
  mine_with_ports(options, modes, ports);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  timer.join();
  std::fflush(stdout);
  std::fprintf(stderr, "busy_s %.6f wall_s %.6f getblocktemplate %d repeats %llu\n", card.busy_s,
               wall, fetches.load(), static_cast<unsigned long long>(card.repeats.repeats()));
  return 0;
}
