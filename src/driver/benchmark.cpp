#include "driver/benchmark.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/device_lines.h"
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

// The hottest card's temperature; 0 or below when none reports one.
int hottest(const std::vector<GpuContext*>& gpus) {
  int temperature = -1;
  for (GpuContext* gpu : gpus) temperature = std::max(temperature, power_get_temp(gpu));
  return temperature;
}

// Every card's rate, measured at the same time, each on a thread of its own;
// a stop ends them all.
std::vector<double> measure_gpu_hashrates(const std::vector<GpuContext*>& gpus, int seconds) {
  std::vector<double> rates(gpus.size(), 0.0);
  if (gpus.size() == 1) {
    rates[0] = benchmark_hashrate(gpus[0], seconds, g_running);
    return rates;
  }
  std::vector<std::thread> threads;
  std::vector<size_t> left;  // cards whose thread the system refused: measured here after
  for (size_t k = 0; k < gpus.size(); ++k) {
    try {
      threads.emplace_back([&rates, &gpus, k, seconds] { rates[k] = benchmark_hashrate(gpus[k], seconds, g_running); });
    } catch (const std::system_error&) {
      left.push_back(k);
    }
  }
  for (std::thread& thread : threads) thread.join();
  for (const size_t k : left) rates[k] = benchmark_hashrate(gpus[k], seconds, g_running);
  return rates;
}
}  // namespace

void run_benchmark(const Options& options, const DeviceModes& modes, const std::vector<GpuContext*>& gpus) {
  if (modes.gpu_enabled) {
    const int temperature = hottest(gpus);
    if (temperature > 0) std::printf("GPU temp: %dC\n", temperature);
    std::printf("\n--- GPU Benchmark (%d seconds) ---\n", options.bench_duration);
    const std::vector<double> rates = measure_gpu_hashrates(gpus, options.bench_duration);
    double total = 0;
    for (const double rate : rates) total += rate;
    print_hashrate(total, "GPU");
    // Several cards: each one's share after the line of the whole rig.
    if (gpus.size() > 1)
      for (size_t k = 0; k < gpus.size(); ++k) {
        const std::string title = "  " + gpu_title(gpu_device_info(gpus[k]));
        print_hashrate(rates[k], title.c_str());
      }
  }
  // A stop during the GPU half ends the benchmark with what it measured.
  if (modes.cpu_enabled && g_running.load()) {
    std::printf("\n--- CPU Benchmark (%d threads, %d seconds) ---\n", options.cpu_threads,
                options.bench_duration);
    print_hashrate(measure_cpu_hashrate(options.cpu_threads, options.bench_duration), "CPU");
  }
  if (modes.gpu_enabled) {
    const int temperature = hottest(gpus);
    if (temperature > 0) std::printf("\nGPU temp after: %dC\n", temperature);
  }
  for (GpuContext* gpu : gpus) power_shutdown(gpu);
}
