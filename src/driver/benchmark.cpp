#include "driver/benchmark.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/rate_display.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "mine/cpu_coordinator.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sleeps until `deadline`, or less once a stop has been requested: a stop
// is seen within a twentieth of a second.
void sleep_until_or_stopped(Clock::time_point deadline) {
  constexpr auto kSlice = std::chrono::milliseconds(50);
  for (auto now = Clock::now(); now < deadline && g_running.load(); now = Clock::now())
    std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, kSlice));
}

// Hashes per second of the real CPU search over `seconds`, or over the time
// until a stop. The target of all zeros is practically never met, so the
// workers run until told to stop; the span measured includes thread start-up
// and the join.
double measure_cpu_hashrate(int num_threads, int seconds) {
  const uint8_t header[80] = {};
  const uint32_t target[8] = {};
  WorkSpace space;
  begin_work_space(space, 0, UINT64_MAX, 0);
  CpuCoordinator search;
  const auto start = Clock::now();
  start_cpu_search(search, header, target, num_threads, &space);
  if (seconds > 0) sleep_until_or_stopped(start + std::chrono::seconds(seconds));
  const uint64_t hashes = stop_cpu_search(search);
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  return static_cast<double>(hashes) / elapsed.count();
}

}  // namespace

void run_benchmark(const Options& options, const DeviceModes& modes, GpuContext* gpu) {
  if (modes.gpu_enabled) {
    const int temperature = power_get_temp(gpu);
    if (temperature > 0) std::printf("GPU temp: %dC\n", temperature);
    std::printf("\n--- GPU Benchmark (%d seconds) ---\n", options.bench_duration);
    print_hashrate(benchmark_hashrate(gpu, options.bench_duration, g_running), "GPU");
  }
  // A stop during the GPU half ends the benchmark with what it measured.
  if (modes.cpu_enabled && g_running.load()) {
    std::printf("\n--- CPU Benchmark (%d threads, %d seconds) ---\n", options.cpu_threads,
                options.bench_duration);
    print_hashrate(measure_cpu_hashrate(options.cpu_threads, options.bench_duration), "CPU");
  }
  if (modes.gpu_enabled) {
    const int temperature = power_get_temp(gpu);
    if (temperature > 0) std::printf("\nGPU temp after: %dC\n", temperature);
  }
  if (gpu) power_shutdown(gpu);
}
