#include "driver/mining_loop.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/cpu_coordinator.h"
#include "driver/header_key.h"
#include "driver/rate_display.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "node/gbt_client.h"

namespace {

using Clock = MiningPorts::Clock;

// CPU workers start from the top half of the nonce space so that they do not
// repeat the nonces the GPU walks upward from 0.
constexpr uint32_t kCpuStartNonce = 0x80000000u;
// Fresh work once the GPU has launched more than this many nonces in one unit.
constexpr uint32_t kGpuRefreshNonces = 0x1000000u;

// What the whole run has done so far.
struct RunTotals {
  int blocks_found = 0;             // blocks the node accepted
  uint64_t gpu_hashes = 0;          // nonces of successful GPU launches
  uint64_t cpu_hashes_carried = 0;  // final hash counts of finished CPU searches
  Clock::time_point mining_start;   // reference point of the average rate
  Clock::time_point last_status;    // when the last status line was printed
};

// Where the GPU stands on the header it searched last: a later unit of the
// same header and target launches from here instead of from 0 again.
struct GpuCursor {
  HeaderKey key;
  uint32_t next_nonce = 0;
};

// How a unit of work ended. After a refresh the CPU search may go on while
// the next work is fetched; after the others it is stopped.
enum class UnitEnd { solved, stopped, refresh };

struct MiningRun {
  const Options& options;
  const DeviceModes& modes;
  const MiningPorts& ports;
  RunTotals totals;
  CpuCoordinator search;  // one search at a time, kept across units of one header
  BlockWork searched;     // the work of the current unit, which the search belongs to
  GpuCursor gpu;
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void stop_search(MiningRun& run) { run.totals.cpu_hashes_carried += stop_cpu_search(run.search); }

void announce_solution(MiningRun& run, const BlockWork& work, uint32_t nonce, const char* device) {
  std::printf("*** %s SOLUTION! Nonce: %u ***\n", device, nonce);
  if (run.ports.submit_block(work, nonce)) {
    ++run.totals.blocks_found;
    std::printf("Block %d ACCEPTED (%s)! (total: %d)\n", work.height, device,
                run.totals.blocks_found);
  }
}

void print_status(const MiningRun& run, Clock::time_point now) {
  // The average over the whole run, fetch time and failure waits included.
  const uint64_t cpu_hashes = run.totals.cpu_hashes_carried +
                              (cpu_search_active(run.search) ? run.search.hash_count.load() : 0);
  const double rate = static_cast<double>(cpu_hashes + run.totals.gpu_hashes) /
                      seconds_between(run.totals.mining_start, now);
  print_status_line(rate, device_label(run.modes.gpu_enabled, run.modes.cpu_enabled),
                    run.totals.blocks_found, run.ports.power_get_temp());
}

// Stops the search that kept running while the next work was fetched. If it
// solved the work it was started for, that block goes in first (unless a stop
// has been requested) and true is returned: the work fetched meanwhile
// predates the submission, so the caller fetches again.
bool stop_search_and_submit_its_solution(MiningRun& run) {
  if (!cpu_search_active(run.search)) return false;
  stop_search(run);  // the result record is complete only after the join
  if (!g_running.load() || !run.search.found.load()) return false;
  announce_solution(run, run.searched, run.search.result.nonce, "CPU");
  return true;
}

// Searches one unit of work until it is solved, the GPU fails or has launched
// enough nonces in this unit, the CPU-only time rule fires, or a stop is
// requested.
UnitEnd mine_work_unit(MiningRun& run, const BlockWork& work) {
  const MiningPorts& ports = run.ports;
  const HeaderKey key = make_header_key(work.header, work.target);
  if (!same_header_key(run.gpu.key, key)) run.gpu = GpuCursor{key, 0};
  uint32_t unit_gpu_nonces = 0;
  bool work_solved = false;

  while (g_running.load() && !work_solved) {
    // The CPU check comes first so that a CPU solution is never held up by a
    // GPU launch. The result record is read only after the join.
    if (run.modes.cpu_enabled && cpu_search_active(run.search) &&
        run.search.found.load(std::memory_order_relaxed)) {
      stop_search(run);
      announce_solution(run, work, run.search.result.nonce, "CPU");
      return UnitEnd::solved;
    }

    if (run.modes.gpu_enabled) {
      MiningResult gpu_result{};
      if (ports.launch_mining_kernel(work.header, run.gpu.next_nonce, run.options.batch_size,
                                     work.target, &gpu_result) != 0) {
        std::fputs("GPU kernel failed\n", stderr);
        return UnitEnd::refresh;
      }
      run.totals.gpu_hashes += run.options.batch_size;
      run.gpu.next_nonce += run.options.batch_size;
      unit_gpu_nonces += run.options.batch_size;
      if (gpu_result.found) {
        announce_solution(run, work, gpu_result.nonce, "GPU");
        work_solved = true;
      }
    } else {
      ports.sleep(std::chrono::milliseconds(50));
    }

    const Clock::time_point now = ports.now();
    if (seconds_between(run.totals.last_status, now) >= 2.0) {
      print_status(run, now);
      run.totals.last_status = now;
    }

    if (run.modes.gpu_enabled) {
      if (unit_gpu_nonces > kGpuRefreshNonces) break;
      continue;
    }
    // Without a GPU, refresh the work once a second has passed since the last
    // status line (not since this unit began).
    if (seconds_between(run.totals.last_status, ports.now()) > 1.0) break;
  }

  if (work_solved) return UnitEnd::solved;
  return g_running.load() ? UnitEnd::refresh : UnitEnd::stopped;
}

MiningPorts real_mining_ports(GbtClient& client) {
  MiningPorts ports;
  ports.get_work = [&client] { return client.get_work(); };
  ports.submit_block = [&client](const BlockWork& work, uint32_t nonce) {
    return client.submit_block(work, nonce);
  };
  ports.launch_mining_kernel = launch_mining_kernel;
  ports.power_get_temp = power_get_temp;
  ports.power_shutdown = power_shutdown;
  ports.now = [] { return Clock::now(); };
  ports.sleep = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
  return ports;
}

}  // namespace

void mine_with_ports(const Options& options, const DeviceModes& modes, const MiningPorts& ports) {
  MiningRun run{options, modes, ports, {}, {}, {}, {}};
  run.search.search_function = ports.cpu_search;
  run.search.start_thread = ports.start_thread;
  run.totals.mining_start = ports.now();
  run.totals.last_status = run.totals.mining_start;

  while (g_running.load()) {
    // A search still running from the last unit keeps hashing while this
    // fetch waits on the node.
    BlockWork work = ports.get_work();
    // New work of the same header and target takes the running search over
    // untouched; any other search is stopped here.
    const bool carries_on =
        work.valid && cpu_search_covers(run.search, work.header, work.target);
    if ((!carries_on || run.search.found.load(std::memory_order_relaxed)) &&
        stop_search_and_submit_its_solution(run))
      continue;
    if (!work.valid) {
      std::fputs("Failed to get work, retrying in 5s...\n", stderr);
      ports.sleep(std::chrono::seconds(5));
      continue;
    }
    // A stopped search of this header and target resumes where it stopped.
    // Once a stop has been requested the unit ends before its first pass, so
    // no search is started for it.
    if (run.modes.cpu_enabled && !cpu_search_active(run.search) && g_running.load())
      start_cpu_search(run.search, work.header, work.target, options.cpu_threads, kCpuStartNonce);
    run.searched = std::move(work);
    if (mine_work_unit(run, run.searched) != UnitEnd::refresh) stop_search(run);
  }

  stop_search(run);
  std::printf("Shutting down. Blocks found: %d\n", run.totals.blocks_found);
  ports.power_shutdown();
}

void run_mining_loop(const Options& options, const DeviceModes& modes) {
  GbtClient client(options.rpc_url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);

  std::printf("Connecting to %s...\n", options.rpc_url);
  if (modes.cpu_enabled) std::printf("CPU mining: %d threads\n", options.cpu_threads);
  if (modes.gpu_enabled)
    std::printf("GPU mining: device %d, batch size %u\n", options.gpu_device, options.batch_size);
  else
    std::printf("GPU mining: disabled (--cpu-only)\n");

  // The client is destroyed after mining ends, on the way out of this
  // function, so after power_shutdown.
  mine_with_ports(options, modes, real_mining_ports(client));
}
