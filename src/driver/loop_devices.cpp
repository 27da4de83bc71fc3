// The mining loop's devices: starting them on the work in hand, parking
// them, hearing what they found or why they ended, and the GPUs' health and
// temperature.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "driver/device_lines.h"
#include "driver/mining_run.h"

namespace {

void say_once(bool& said, const char* line, FILE* stream) {
  if (said) return;
  said = true;
  std::fputs(line, stream);
}

// The line that names the card after a line about it, where several cards mine.
void name_gpu_after(const MiningRun& run, const GpuUnit& unit, FILE* stream) {
  if (run.gpus.size() > 1) std::fprintf(stream, "  on %s\n", gpu_title(unit.ports->info).c_str());
}

void gpu_failed(MiningRun& run, GpuUnit& unit, Clock::time_point now) {
  unit.start_due = true;
  if (note_device_failed(unit.health, now) != HealthChange::failed) return;
  std::fputs("GPU kernel failed\n", stderr);
  name_gpu_after(run, unit, stderr);
}

// Joins the CPU search once it has been asked to stop, and carries its
// count over; returns its solution, if it found one.
std::optional<Solution> join_cpu(MiningRun& run) {
  if (!cpu_search_not_joined(run.cpu)) return std::nullopt;
  run.totals.cpu_hashes_carried += stop_cpu_search(run.cpu);
  switch (run.cpu.end) {
    case CpuSearchEnd::solved: {
      Solution solution{kCpuDevice, run.cpu.state.result.nonce, run.cpu.state.result.header_time, {}};
      std::memcpy(solution.hash, run.cpu.state.result.hash, sizeof solution.hash);
      return solution;
    }
    case CpuSearchEnd::space_used_up:
      note_no_room(run);
      break;
    case CpuSearchEnd::could_not_search:
      say_once(run.search_end_said,
               "tamrix-miner: the CPU search ended by itself (no usable kernel or worker thread); "
               "it is started again with each new work\n",
               stderr);
      break;
    case CpuSearchEnd::stopped:
      break;
  }
  return std::nullopt;
}

// Joins a GPU's thread, which first collects the batches it has queued;
// returns the solution one of them held, if any.
std::optional<Solution> join_gpu(MiningRun& run, GpuUnit& unit, int device, Clock::time_point now) {
  if (!join_gpu_launches(unit.launcher)) return std::nullopt;
  switch (unit.launcher.end) {
    case GpuEnd::solved: {
      Solution solution{device, unit.launcher.solution.nonce, unit.launcher.solution.header_time, {}};
      std::memcpy(solution.hash, unit.launcher.solution.hash, sizeof solution.hash);
      return solution;
    }
    case GpuEnd::failed:
      gpu_failed(run, unit, now);
      break;
    case GpuEnd::used_up:
      note_no_room(run);
      break;
    case GpuEnd::stopped:
      break;
  }
  return std::nullopt;
}

void stop_gpu(MiningRun& run, GpuUnit& unit, int device, Clock::time_point now) {
  ask_gpu_to_stop(unit.launcher, unit.ports->batches.cancel);
  if (const std::optional<Solution> solution = join_gpu(run, unit, device, now)) take_solution(run, *solution);
}

void start_gpu(MiningRun& run, GpuUnit& unit, bool room, Clock::time_point now) {
  if (gpu_launches_not_joined(unit.launcher)) return;
  if (!room) {
    note_no_room(run);
    return;
  }
  const GpuLaunchSetup setup{&unit.ports->batches, &run.space, &run.wakeup, run.options.batch_size,
                             &unit.ports->start_thread};
  if (start_gpu_launches(unit.launcher, run.searched.header, run.searched.target, setup))
    note_device_started(unit.health, now);
  else
    gpu_failed(run, unit, now);
}

}  // namespace

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

bool several_devices(const MiningRun& run) {
  return run.gpus.size() + (run.modes.cpu_enabled ? 1 : 0) > 1;
}

// Said once per header key: with a ticking curtime a fast card reaches the
// bound again every second, and one line says all there is to say.
void note_no_room(MiningRun& run) {
  if (run.no_room_said) return;
  run.no_room_said = true;
  std::printf(
      "Every nonce of every header time up to %u s past the node's has been searched; waiting for "
      "new work\n",
      kMaxSecondsAheadOfNode);
}

uint64_t cpu_hashes(const MiningRun& run) {
  return run.totals.cpu_hashes_carried +
         (cpu_search_not_joined(run.cpu) ? run.cpu.state.hash_count.load() : 0);
}

void start_devices(MiningRun& run, Clock::time_point now) {
  const bool room = work_space_has_room(run.space);
  bool started = false;
  if (run.cpu_start_due) {
    run.cpu_start_due = false;
    if (run.modes.cpu_enabled && !cpu_search_not_joined(run.cpu)) {
      if (!room)
        note_no_room(run);
      else
        started |= start_cpu_search(run.cpu, run.searched.header, run.searched.target,
                                    run.options.cpu_threads, &run.space);
    }
  }
  for (GpuUnit& unit : run.gpus) {
    if (!unit.start_due || unit.guard.hot || !device_may_start(unit.health, now)) continue;
    unit.start_due = false;
    start_gpu(run, unit, room, now);
    started |= gpu_launches_not_joined(unit.launcher);
  }
  // The first device on work of a tip the watch named ends the switch.
  if (started && run.tip_moved_at) {
    run.last_switch_seconds = seconds_between(*run.tip_moved_at, now);
    run.tip_moved_at.reset();
  }
}

void stop_devices(MiningRun& run) {
  // Every device is asked first, so that they wind down together; the CPU's
  // solution is taken first.
  const Clock::time_point now = run.ports.now();
  if (cpu_search_not_joined(run.cpu)) run.cpu.state.running.store(false);
  for (GpuUnit& unit : run.gpus) ask_gpu_to_stop(unit.launcher, unit.ports->batches.cancel);
  std::vector<Solution> found;
  if (const std::optional<Solution> solution = join_cpu(run)) found.push_back(*solution);
  for (size_t k = 0; k < run.gpus.size(); ++k)
    if (const std::optional<Solution> solution = join_gpu(run, run.gpus[k], static_cast<int>(k), now))
      found.push_back(*solution);
  for (const Solution& solution : found) take_solution(run, solution);
}

void park_devices(MiningRun& run, Clock::time_point now) {
  if (!run.standing.have_work) return;
  stop_devices(run);
  // After news (a block of ours went in, a new tip) fresh work is on its
  // way; only a node that does not send it is worth a line.
  if (run.last_fetch_failed || now - run.standing.confirmed_at > kWorkValidFor)
    say_once(run.out_of_date_said,
             "The work in hand is out of date and the node sends no new work; the devices wait "
             "for it\n",
             stderr);
}

void take_device_news(MiningRun& run, Clock::time_point now) {
  if (cpu_search_not_joined(run.cpu) &&
      (run.cpu.state.found.load(std::memory_order_relaxed) || run.cpu.ended_by_itself.load())) {
    run.cpu.state.running.store(false);
    if (const std::optional<Solution> solution = join_cpu(run)) {
      take_solution(run, *solution);
      run.cpu_start_due = true;  // it goes on with the work in hand
    }
  }
  for (size_t k = 0; k < run.gpus.size(); ++k) {
    GpuUnit& unit = run.gpus[k];
    if (!gpu_launches_not_joined(unit.launcher) || !unit.launcher.ended_by_itself.load()) continue;
    if (const std::optional<Solution> solution = join_gpu(run, unit, static_cast<int>(k), now)) {
      take_solution(run, *solution);
      unit.start_due = true;
    }
  }
}

void note_healthy_devices(MiningRun& run, Clock::time_point now) {
  for (GpuUnit& unit : run.gpus) {
    if (note_device_healthy(unit.health, now) != HealthChange::recovered) continue;
    std::printf("GPU kernel works again\n");
    name_gpu_after(run, unit, stdout);
  }
}

void guard_temperatures(MiningRun& run, Clock::time_point now) {
  if (run.options.temp_limit <= 0) return;
  if (run.totals.last_temperature_check && now - *run.totals.last_temperature_check < std::chrono::seconds(1))
    return;
  run.totals.last_temperature_check = now;
  for (size_t k = 0; k < run.gpus.size(); ++k) {
    GpuUnit& unit = run.gpus[k];
    unit.temperature_c = unit.ports->temperature ? unit.ports->temperature() : -1;
    unit.power_watts = unit.ports->watts ? unit.ports->watts() : -1;
    unit.sensors_read_at = now;
    switch (check_temperature(unit.guard, unit.temperature_c, run.options.temp_limit)) {
      case TemperatureChange::reached_limit:
        std::printf("%s is at %dC, the --temp-limit: paused until it is %dC\n",
                    gpu_title(unit.ports->info).c_str(), unit.temperature_c,
                    run.options.temp_limit - kCoolingMarginC);
        stop_gpu(run, unit, static_cast<int>(k), now);
        unit.start_due = true;
        break;
      case TemperatureChange::cooled_down:
        std::printf("%s is down to %dC: mining again\n", gpu_title(unit.ports->info).c_str(),
                    unit.temperature_c);
        break;
      case TemperatureChange::none:
        break;
    }
  }
}

Clock::time_point next_device_try(const MiningRun& run, Clock::time_point now) {
  Clock::time_point next = Clock::time_point::max();
  for (const GpuUnit& unit : run.gpus)
    if (unit.start_due && device_backing_off(unit.health, now)) next = std::min(next, unit.health.next_try);
  return next;
}
