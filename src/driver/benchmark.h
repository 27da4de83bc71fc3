#pragma once

#include <vector>

#include "driver/options.h"
#include "gpu/backend.h"

// Measures the opened GPUs `gpus` (through the backend, all at the same
// time; empty when the GPU is not enabled) and then the CPU search, each for
// options.bench_duration seconds, prints the rates (the GPUs' total in the
// GPU line, then each card's where there are several) and shuts the power
// controls down. Needs no node. A stop ends either half early, and a stop
// during the GPU half skips the CPU half; what was measured is printed.
void run_benchmark(const Options& options, const DeviceModes& modes, const std::vector<GpuContext*>& gpus);
