#include "driver/benchmark.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "mine/cpu_coordinator.h"
#include "driver/rate_display.h"
#include "gpu/backend.h"

namespace {

// Hashes per second of the real CPU search over `seconds`. The target of all
// zeros is practically never met, so the workers run until told to stop; the
// span measured includes thread start-up and the join.
double measure_cpu_hashrate(int num_threads, int seconds) {
  const uint8_t header[80] = {};
  const uint32_t target[8] = {};
  WorkSpace space;
  begin_work_space(space, 0, UINT64_MAX, 0);
  CpuCoordinator search;
  const auto start = std::chrono::steady_clock::now();
  start_cpu_search(search, header, target, num_threads, &space);
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const uint64_t hashes = stop_cpu_search(search);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<double>(hashes) / elapsed.count();
}

}  // namespace

void run_benchmark(const Options& options, const DeviceModes& modes) {
  if (modes.gpu_enabled) {
    const int temperature = power_get_temp();
    if (temperature > 0) std::printf("GPU temp: %dC\n", temperature);
    std::printf("\n--- GPU Benchmark (%d seconds) ---\n", options.bench_duration);
    print_hashrate(benchmark_hashrate(options.bench_duration), "GPU");
  }
  if (modes.cpu_enabled) {
    std::printf("\n--- CPU Benchmark (%d threads, %d seconds) ---\n", options.cpu_threads,
                options.bench_duration);
    print_hashrate(measure_cpu_hashrate(options.cpu_threads, options.bench_duration), "CPU");
  }
  if (modes.gpu_enabled) {
    const int temperature = power_get_temp();
    if (temperature > 0) std::printf("\nGPU temp after: %dC\n", temperature);
  }
  power_shutdown();
}
