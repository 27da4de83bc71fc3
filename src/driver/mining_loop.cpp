#include "driver/mining_loop.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/cpu_coordinator.h"
#include "driver/rate_display.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "node/gbt_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU workers start from the top half of the nonce space so that they do not
// repeat the nonces the GPU walks upward from 0.
constexpr uint32_t kCpuStartNonce = 0x80000000u;
// Fresh work once the GPU has gone past this many nonces of one unit.
constexpr uint32_t kGpuRefreshNonces = 0x1000000u;

// What the whole run has done so far.
struct RunTotals {
  int blocks_found = 0;             // blocks the node accepted
  uint64_t gpu_hashes = 0;          // nonces of successful GPU launches
  uint64_t cpu_hashes_carried = 0;  // final CPU hash counts of finished units
  Clock::time_point mining_start;   // reference point of the average rate
  Clock::time_point last_status;    // when the last status line was printed
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void announce_solution(GbtClient& client, const BlockWork& work, uint32_t nonce,
                       const char* device, RunTotals& totals) {
  std::printf("*** %s SOLUTION! Nonce: %u ***\n", device, nonce);
  if (client.submit_block(work, nonce)) {
    ++totals.blocks_found;
    std::printf("Block %d ACCEPTED (%s)! (total: %d)\n", work.height, device, totals.blocks_found);
  }
}

void print_status(const CpuCoordinator& search, const DeviceModes& modes, const RunTotals& totals,
                  Clock::time_point now) {
  // The average over the whole run, fetch time and failure waits included.
  const uint64_t cpu_hashes =
      totals.cpu_hashes_carried + (cpu_search_active(search) ? search.hash_count.load() : 0);
  const double rate = static_cast<double>(cpu_hashes + totals.gpu_hashes) /
                      seconds_between(totals.mining_start, now);
  print_status_line(rate, device_label(modes.gpu_enabled, modes.cpu_enabled),
                    totals.blocks_found, power_get_temp());
}

// Searches one unit of work until it is solved, the GPU fails or has gone
// far enough, the CPU-only time rule fires, or a stop is requested.
void mine_work_unit(GbtClient& client, const BlockWork& work, const Options& options,
                    const DeviceModes& modes, RunTotals& totals) {
  CpuCoordinator search;
  if (modes.cpu_enabled)
    start_cpu_search(search, work.header, work.target, options.cpu_threads, kCpuStartNonce);
  uint32_t gpu_nonce = 0;
  bool work_solved = false;

  while (g_running.load() && !work_solved) {
    // The CPU check comes first so that a CPU solution is never held up by a
    // GPU launch. The result record is read only after the join.
    if (modes.cpu_enabled && search.found.load(std::memory_order_relaxed)) {
      totals.cpu_hashes_carried += stop_cpu_search(search);
      announce_solution(client, work, search.result.nonce, "CPU", totals);
      break;
    }

    if (modes.gpu_enabled) {
      MiningResult gpu_result{};
      if (launch_mining_kernel(work.header, gpu_nonce, options.batch_size, work.target,
                               &gpu_result) != 0) {
        std::fputs("GPU kernel failed\n", stderr);
        break;
      }
      totals.gpu_hashes += options.batch_size;
      gpu_nonce += options.batch_size;
      if (gpu_result.found) {
        announce_solution(client, work, gpu_result.nonce, "GPU", totals);
        work_solved = true;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    const Clock::time_point now = Clock::now();
    if (seconds_between(totals.last_status, now) >= 2.0) {
      print_status(search, modes, totals, now);
      totals.last_status = now;
    }

    if (modes.gpu_enabled) {
      if (gpu_nonce > kGpuRefreshNonces) break;
      continue;
    }
    // Without a GPU, refresh the work once a second has passed since the last
    // status line (not since this unit began).
    if (seconds_between(totals.last_status, Clock::now()) > 1.0) break;
  }

  totals.cpu_hashes_carried += stop_cpu_search(search);
}

}  // namespace

void run_mining_loop(const Options& options, const DeviceModes& modes) {
  GbtClient client(options.rpc_url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);

  std::printf("Connecting to %s...\n", options.rpc_url);
  if (modes.cpu_enabled) std::printf("CPU mining: %d threads\n", options.cpu_threads);
  if (modes.gpu_enabled)
    std::printf("GPU mining: device %d, batch size %u\n", options.gpu_device, options.batch_size);
  else
    std::printf("GPU mining: disabled (--cpu-only)\n");

  RunTotals totals;
  totals.mining_start = Clock::now();
  totals.last_status = totals.mining_start;

  while (g_running.load()) {
    const BlockWork work = client.get_work();
    if (!work.valid) {
      std::fputs("Failed to get work, retrying in 5s...\n", stderr);
      std::this_thread::sleep_for(std::chrono::seconds(5));
      continue;
    }
    mine_work_unit(client, work, options, modes, totals);
  }

  std::printf("Shutting down. Blocks found: %d\n", totals.blocks_found);
  // The client is destroyed after this, on the way out of the function.
  power_shutdown();
}
