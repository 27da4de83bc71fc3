#pragma once

#include "driver/options.h"

// Measures the GPU (through the backend) and then the CPU search, each for
// options.bench_duration seconds, prints both rates and shuts the power
// controls down. Needs no node.
void run_benchmark(const Options& options, const DeviceModes& modes);
