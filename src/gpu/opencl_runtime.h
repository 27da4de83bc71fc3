#pragma once

#include <CL/cl.h>

#include <cstddef>
#include <string>

#include "gpu/opencl_devices.h"

// The two buffers of a search launch, laid out as search_kernel.cl reads
// them.
struct SearchParams {
  cl_ulong round1_base[25];  // HeaderMidstate::round1_base
  cl_ulong target_lanes[4];  // least significant first
};

struct SolutionSlot {
  cl_uint claimed;        // 0 between launches; the first work-item to meet the target raises it
  cl_uint nonce;
  cl_uint head_words[8];  // the first 32 digest bytes as little-endian words
};

// The chosen OpenCL device, ready to search: context, queue, the built
// program and its two kernels, and the two buffers a launch uses.
struct OpenClRuntime {
  int index = -1;            // the device's number as -d counts it
  OpenClDevice device;
  std::string name;          // describe_device()
  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel search = nullptr;     // search_nonces
  cl_kernel self_test = nullptr;  // self_test_hashes
  cl_mem params = nullptr;        // round1_base and target lanes of the current launch
  cl_mem slot = nullptr;          // the solution slot, all zero between launches
  size_t work_group = 0;          // work-items per group of a search launch
  size_t grid = 0;                // most work-items of one search launch
};

// The runtime of chosen_gpu_device().index, prepared at the first call and
// again whenever the chosen index has changed. The kernel is compiled here,
// from the source built into the binary. On failure it prints one line
// beginning "tamrix-miner: " (a failed build adds the compiler's log) on
// standard error and returns null; the next call tries again.
//
// The runtime lives in this file's own state and is used by one thread at a
// time: the launches (whichever thread the mining loop runs them on), or the
// benchmark and the self-test, which run on the main thread while nothing
// launches. It never touches the power controls' state.
OpenClRuntime* opencl_runtime();

// Builds `source` for the device. A failed build prints "tamrix-miner: the
// OpenCL kernel did not build on <device>:" and the compiler's log on
// standard error. Returns null on failure, with *error and *step (the call
// that failed) set for report_opencl_failure.
cl_program build_opencl_program(cl_context context, const OpenClDevice& device,
                                const std::string& source, cl_int* error, const char** step);

// Prints "tamrix-miner: OpenCL error in <step>: <name> (<code>)"; returns -1.
int report_opencl_failure(const char* step, cl_int code);
