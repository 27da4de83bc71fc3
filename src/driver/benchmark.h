#pragma once

#include "driver/options.h"
#include "gpu/backend.h"

// Measures the GPU `gpu` (through the backend; null when it is not enabled) and then the CPU search, each for
// options.bench_duration seconds, prints both rates and shuts the power
// controls down. Needs no node. A stop ends the CPU half early, and a stop
// during the GPU half skips the CPU half; what was measured is printed.
void run_benchmark(const Options& options, const DeviceModes& modes, GpuContext* gpu);
