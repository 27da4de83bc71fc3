#include "driver/mining_loop.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/gpu_launcher.h"
#include "driver/rate_display.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "mine/cpu_coordinator.h"
#include "mine/header_key.h"
#include "mine/nonce_space.h"
#include "node/gbt_client.h"
#include "node/url_display.h"

namespace {

using Clock = MiningPorts::Clock;
using namespace std::chrono_literals;

// Fresh work once the GPU has launched more than this many nonces in one unit.
constexpr uint64_t kGpuRefreshNonces = 0x1000000u;
// The longest wait between two passes of a unit.
constexpr std::chrono::milliseconds kPassWait = 50ms;

// What the whole run has done so far.
struct RunTotals {
  int blocks_found = 0;             // blocks the node accepted
  uint64_t cpu_hashes_carried = 0;  // final hash counts of finished CPU searches
  Clock::time_point mining_start;   // reference point of the average rate
  Clock::time_point last_status;    // when the last status line was printed
};

// How a unit of work ended. After a refresh the devices go on while the next
// work is fetched; after the others they are stopped.
enum class UnitEnd { solved, stopped, refresh };

struct MiningRun {
  MiningRun(const Options& o, const DeviceModes& m, const MiningPorts& p)
      : options(o), modes(m), ports(p) {}

  const Options& options;
  const DeviceModes& modes;
  const MiningPorts& ports;
  RunTotals totals;
  LoopWakeup wakeup{0};  // released by a device with news; ends the pass's wait
  // The nonces of the header being searched, shared by both devices.
  NonceSpace space;
  HeaderKey space_key;
  bool space_used_up_said = false;
  bool search_end_said = false;
  CpuCoordinator cpu;  // one search at a time, kept across units of one header
  GpuLauncher gpu;     // likewise for the GPU's launches
  BlockWork searched;  // the work of the current unit, which the devices belong to
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void stop_gpu(MiningRun& run) { stop_gpu_launches(run.gpu, run.ports.gpu_stop_requested); }

void announce_solution(MiningRun& run, const BlockWork& work, uint32_t nonce, const char* device) {
  std::printf("*** %s SOLUTION! Nonce: %u ***\n", device, nonce);
  // A block found before a stop still goes in; a second signal cuts the wait
  // for the node short, so what was printed must be out by then.
  std::fflush(stdout);
  submission_begins();
  const bool accepted = run.ports.submit_block(work, nonce);
  submission_ends();
  if (accepted) {
    ++run.totals.blocks_found;
    std::printf("Block %d ACCEPTED (%s)! (total: %d)\n", work.height, device,
                run.totals.blocks_found);
  }
}

void print_status(const MiningRun& run, Clock::time_point now) {
  // The average over the whole run, fetch time and failure waits included.
  // Both counts hold only nonces actually hashed.
  const uint64_t cpu_hashes =
      run.totals.cpu_hashes_carried +
      (cpu_search_not_joined(run.cpu) ? run.cpu.state.hash_count.load() : 0);
  const double rate = static_cast<double>(cpu_hashes + run.gpu.launched.load()) /
                      seconds_between(run.totals.mining_start, now);
  print_status_line(rate, device_label(run.modes.gpu_enabled, run.modes.cpu_enabled),
                    run.totals.blocks_found, run.ports.power_get_temp());
}

// Says once per header that its nonces are all used: until the header
// changes, the devices wait.
void note_space_used_up(MiningRun& run) {
  const bool cpu_done = !run.modes.cpu_enabled || run.cpu.used_up;
  const bool gpu_done = !run.modes.gpu_enabled || run.gpu.used_up;
  if (!cpu_done || !gpu_done || run.space_used_up_said) return;
  run.space_used_up_said = true;
  std::printf("Every nonce of this header has been searched; waiting for new work\n");
}

// Stops and joins the CPU search and carries its count over. A search that
// ended by itself because it could not search at all must not hold its
// header: it is said once per run, and the next unit starts it again.
void stop_cpu(MiningRun& run) {
  if (!cpu_search_not_joined(run.cpu)) return;
  run.totals.cpu_hashes_carried += stop_cpu_search(run.cpu);
  if (run.cpu.end == CpuSearchEnd::space_used_up) note_space_used_up(run);
  if (run.cpu.end == CpuSearchEnd::could_not_search && !run.search_end_said) {
    run.search_end_said = true;
    std::fputs(
        "tamrix-miner: the CPU search ended by itself (no usable kernel or worker thread); "
        "each new unit of work tries again\n",
        stderr);
  }
}

// Stops the CPU search and/or the GPU launches and submits, with the work it
// was found for, a solution either had found (the CPU's first; a second one
// is the same block). Returns true when one was submitted.
bool stop_and_submit(MiningRun& run, bool cpu, bool gpu) {
  bool cpu_found = false;
  bool gpu_found = false;
  if (cpu && cpu_search_not_joined(run.cpu)) {
    stop_cpu(run);  // the result record is complete only after the join
    cpu_found = run.cpu.state.found.load();
  }
  if (gpu && stop_gpu_launches(run.gpu, run.ports.gpu_stop_requested)) {
    gpu_found = run.gpu.end == GpuEnd::solved;
    // A launch that failed while the main thread was busy ends no unit, but
    // still says so.
    if (run.gpu.end == GpuEnd::failed) std::fputs("GPU kernel failed\n", stderr);
    if (run.gpu.end == GpuEnd::space_used_up) note_space_used_up(run);
  }
  if (cpu_found)
    announce_solution(run, run.searched, run.cpu.state.result.nonce, "CPU");
  else if (gpu_found)
    announce_solution(run, run.searched, run.gpu.result.nonce, "GPU");
  return cpu_found || gpu_found;
}

// Searches one unit of work until it is solved, the GPU fails or has launched
// enough nonces in this unit, the header's nonces are used up, the CPU-only
// time rule fires, or a stop is requested. Each pass waits up to 50 ms, less
// when a device has news.
UnitEnd mine_work_unit(MiningRun& run, const BlockWork& work) {
  const MiningPorts& ports = run.ports;
  const uint64_t unit_start_launched = run.gpu.launched.load();
  run.gpu.wake_after.store(unit_start_launched + kGpuRefreshNonces);
  bool work_solved = false;

  while (g_running.load() && !work_solved) {
    if (ports.wait)
      ports.wait(run.wakeup, kPassWait);
    else
      (void)run.wakeup.try_acquire_for(kPassWait);

    if (cpu_search_not_joined(run.cpu)) {
      if (run.cpu.state.found.load(std::memory_order_relaxed)) {
        stop_cpu(run);  // the result record is complete only after the join
        announce_solution(run, work, run.cpu.state.result.nonce, "CPU");
        return UnitEnd::solved;
      }
      if (run.cpu.ended_by_itself.load()) stop_cpu(run);
    }

    if (gpu_launches_not_joined(run.gpu) && run.gpu.ended_by_itself.load()) {
      stop_gpu(run);
      if (run.gpu.end == GpuEnd::failed) {
        std::fputs("GPU kernel failed\n", stderr);
        return UnitEnd::refresh;
      }
      if (run.gpu.end == GpuEnd::solved) {
        announce_solution(run, work, run.gpu.result.nonce, "GPU");
        work_solved = true;
      }
      if (run.gpu.end == GpuEnd::space_used_up) note_space_used_up(run);
    }

    const Clock::time_point now = ports.now();
    if (seconds_between(run.totals.last_status, now) >= 2.0) {
      print_status(run, now);
      run.totals.last_status = now;
    }

    if (run.modes.gpu_enabled) {
      if (run.gpu.launched.load() - unit_start_launched > kGpuRefreshNonces) break;
      // A GPU that is not launching (no nonce of this header left, or its
      // thread refused) waits for new work: one fetch per pass.
      if (!gpu_launches_not_joined(run.gpu)) break;
      continue;
    }
    // Without a GPU, refresh the work once a second has passed since the last
    // status line (not since this unit began).
    if (seconds_between(run.totals.last_status, ports.now()) > 1.0) break;
  }

  if (work_solved) return UnitEnd::solved;
  return g_running.load() ? UnitEnd::refresh : UnitEnd::stopped;
}

// Sets the devices going on `work`, each unless it is already searching that
// header, has used up its nonces, or a stop has been requested.
void start_devices(MiningRun& run, const BlockWork& work) {
  const HeaderKey key = make_header_key(work.header, work.target);
  if (!same_header_key(run.space_key, key)) {
    // Both devices have been stopped for the new header by now.
    reset_nonce_space(run.space, run.modes.gpu_enabled ? kCpuRegionBesideGpu : kCpuRegionAlone);
    run.space_key = key;
    run.space_used_up_said = false;
  }
  if (!g_running.load()) return;
  if (run.modes.cpu_enabled && !cpu_search_not_joined(run.cpu) &&
      !cpu_search_used_up(run.cpu, work.header, work.target))
    start_cpu_search(run.cpu, work.header, work.target, run.options.cpu_threads, kCpuStartNonce,
                     &run.space);
  if (run.modes.gpu_enabled && !gpu_launches_not_joined(run.gpu) &&
      !gpu_launches_used_up(run.gpu, work.header, work.target))
    start_gpu_launches(run.gpu, work.header, work.target,
                       GpuLaunchSetup{&run.ports.launch_mining_kernel, &run.space, &run.wakeup,
                                      run.options.batch_size, &run.ports.start_gpu_thread});
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
  MiningRun run(options, modes, ports);
  run.cpu.search_function = ports.cpu_search;
  run.cpu.start_thread = ports.start_thread;
  run.cpu.state.wakeup = &run.wakeup;
  run.totals.mining_start = ports.now();
  run.totals.last_status = run.totals.mining_start;

  while (g_running.load()) {
    // Devices still running from the last unit keep hashing while this
    // fetch waits on the node.
    BlockWork work = ports.get_work();
    // New work of the same header and target takes the running devices over
    // untouched; any other is stopped here, and whatever they found goes in
    // first, with the work it was found for. The work fetched meanwhile
    // predates that submission, so it is dropped and fetched again.
    const bool cpu_carries_on = work.valid &&
                                cpu_search_covers(run.cpu, work.header, work.target) &&
                                !run.cpu.ended_by_itself.load() &&
                                !run.cpu.state.found.load(std::memory_order_relaxed);
    const bool gpu_carries_on = work.valid &&
                                gpu_launches_cover(run.gpu, work.header, work.target) &&
                                !run.gpu.ended_by_itself.load();
    if (stop_and_submit(run, !cpu_carries_on, !gpu_carries_on)) continue;
    if (!work.valid) {
      std::fputs("Failed to get work, retrying in 5s...\n", stderr);
      ports.sleep(std::chrono::seconds(5));
      continue;
    }
    // Stopped devices of this header and target resume where they stopped.
    // Once a stop has been requested the unit ends before its first pass, so
    // nothing is started for it.
    start_devices(run, work);
    run.searched = std::move(work);
    switch (mine_work_unit(run, run.searched)) {
      case UnitEnd::refresh:
        break;
      case UnitEnd::solved:
        // Another solution of the same block is worth nothing now.
        stop_cpu(run);
        stop_gpu(run);
        break;
      case UnitEnd::stopped:
        // A solution found before the stop but not yet noticed still goes in.
        stop_and_submit(run, true, true);
        break;
    }
  }

  stop_and_submit(run, true, true);
  std::printf("Shutting down. Blocks found: %d\n", run.totals.blocks_found);
  ports.power_shutdown();
}

void run_mining_loop(const Options& options, const DeviceModes& modes) {
  GbtClient client(*options.rpc_url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);
  // A second signal during a submission on the way out stops the wait for
  // the node's answer.
  client.give_up_when([] { return submission_abandoned().load(); });

  std::printf("Connecting to %s...\n", url_for_display(*options.rpc_url).c_str());
  if (modes.cpu_enabled) std::printf("CPU mining: %d threads\n", options.cpu_threads);
  if (modes.gpu_enabled)
    std::printf("GPU mining: device %d, batch size %u\n", options.gpu_device, options.batch_size);
  else
    std::printf("GPU mining: disabled (--cpu-only)\n");

  // The client is destroyed after mining ends, on the way out of this
  // function, so after power_shutdown.
  mine_with_ports(options, modes, real_mining_ports(client));
}
