#pragma once

#include <CL/cl.h>

#include <cstdint>
#include <string>

#include "gpu/backend.h"
#include "gpu/kernel/kernel_host.h"
#include "gpu/opencl/devices.h"
#include "gpu/opencl/program.h"

// One OpenCL device opened for searching: its context, in-order queue, the
// built program, and one result slot per batch that may be in flight. Any
// number may be open at once, on one device or several; the backend's free
// functions keep one (backend_opencl.cpp). A context is used by one thread at
// a time and must stay where it was opened while a batch is queued (a
// queued batch's result is read into its slot).

// What a context is opened with; the defaults are the miner's.
struct OpenClOptions {
  // The lane form and optimisation; the miner's is kernel_build_for(device).
  bool choose_build_for_device = true;
  KernelBuild build;
  // The most work-items of one grid. One work-item searches one nonce, and a
  // batch larger than this is launched in several grids; 2^31 keeps every
  // grid within a device whose sizes are 32-bit.
  uint64_t largest_grid = uint64_t{1} << 31;
};

struct OpenClSlot {
  cl_mem result = nullptr;           // the batch's SolutionSlot on the device
  gpu_kernel::SolutionSlot found{};  // where the batch's result is read to
  cl_event done = nullptr;           // that read's event, while a batch is queued
  bool queued = false;               // the slot holds a batch (perhaps an empty one)
};

struct OpenClContext {
  int index = -1;  // the device's number as -d counts it
  OpenClDevice device;
  std::string name;  // describe_device()
  KernelBuild build;
  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel search = nullptr;     // search_nonces
  cl_kernel self_test = nullptr;  // self_test_hashes
  OpenClSlot slots[kGpuBatchSlots];
  size_t work_group = 0;       // work-items per group of a search launch
  uint64_t largest_grid = 0;   // options.largest_grid
};

// Opens device `index` (the order of list_opencl_devices) and builds the
// kernel for it. Returns false after one line on standard error (a failed
// build adds the compiler's log), with *context left closed.
bool opencl_context_open(int index, const OpenClOptions& options, OpenClContext* context);

// Waits for any queued batch, then releases everything; harmless on a
// context that is not open.
void opencl_context_close(OpenClContext* context);

bool opencl_context_is_open(const OpenClContext& context);

// queue_mining_batch and collect_mining_batch (backend.h) on this context.
int opencl_queue_batch(OpenClContext* context, int slot, const uint8_t header[80],
                       uint32_t start_nonce, uint32_t batch_size, const uint32_t target[8]);
int opencl_collect_batch(OpenClContext* context, int slot, MiningResult* result);

// Prints "tamrix-miner: OpenCL error in <step>: <name> (<code>)"; returns -1.
int report_opencl_failure(const char* step, cl_int code);
