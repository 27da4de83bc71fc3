// The mining loop with the real node client and a simulated GPU: each launch
// takes batch_size / RATE seconds of wall time without using the CPU and
// finds nothing. After SECONDS the run is stopped, and one line on standard
// error gives the time the device was busy, the wall time and the number of
// getblocktemplate calls; the loop's own status lines go to standard output.
//
// Usage: bench_gpu_busy_share URL SECONDS RATE CPU_THREADS
//        (CPU_THREADS 0 means --gpu-only)
//
// Only the ports that every version of the loop has are set, so the same
// source measures the loop before and after a change.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <sys/prctl.h>

#include "driver/mining_loop.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "node/gbt_client.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: bench_gpu_busy_share URL SECONDS RATE CPU_THREADS\n", stderr);
    return 2;
  }
  const char* url = argv[1];
  const int seconds = std::atoi(argv[2]);
  const double rate = std::atof(argv[3]);
  const int cpu_threads = std::atoi(argv[4]);

  Options options;
  options.rpc_url = url;
  options.rpc_user = "tamrix";
  options.rpc_pass = "tamrix";
  options.coinbase_addr = "tamrixdev1qminer";
  options.cpu_threads = cpu_threads;
  options.gpu_only = cpu_threads == 0;
  const DeviceModes modes = derive_device_modes(options);

  // Sub-millisecond sleeps would otherwise overshoot by the default 50 us
  // timer slack, which a 0.28 ms launch cannot afford.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  GbtClient client(url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);
  std::atomic<long long> busy_ns{0};
  std::atomic<int> fetches{0};

  MiningPorts ports;
  ports.get_work = [&] {
    fetches.fetch_add(1);
    return client.get_work();
  };
  ports.submit_block = [&](const BlockWork& work, uint32_t nonce) {
    return client.submit_block(work, nonce);
  };
  ports.launch_mining_kernel = [&](const uint8_t*, uint32_t, uint32_t batch_size, const uint32_t*,
                                   MiningResult* result) {
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(static_cast<long long>(batch_size / rate * 1e9)));
    busy_ns.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count());
    if (result) result->found = false;
    return 0;
  };
  ports.power_get_temp = [] { return -1; };
  ports.power_shutdown = [] {};
  ports.now = [] { return std::chrono::steady_clock::now(); };
  ports.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };

  std::thread timer([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    g_running.store(false);
  });
  const auto start = std::chrono::steady_clock::now();
  mine_with_ports(options, modes, ports);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  timer.join();
  std::fflush(stdout);
  std::fprintf(stderr, "busy_s %.6f wall_s %.6f getblocktemplate %d\n", busy_ns.load() / 1e9, wall,
               fetches.load());
  return 0;
}
