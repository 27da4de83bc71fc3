#pragma once

#include <CL/cl.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "gpu/backend.h"
#include "gpu/kernel/kernel_host.h"
#include "gpu/opencl/devices.h"
#include "gpu/opencl/program.h"

// One OpenCL device opened for searching: its context, the built program,
// one result slot per batch that may be in flight, each with an in-order
// queue of its own, and the stop word that cuts batches short. Any number may
// be open at once, on one device or several. A context is used by one thread
// at a time, apart from opencl_cancel_batches, and must stay where it was
// opened while a batch is queued (a queued batch's result is read into its
// slot).

// Where the stop word lives, which decides how a cancel reaches the groups
// of a kernel that is running.
enum class StopWordPlace {
  // Chosen by the device: host memory where the device shares the host's
  // (CL_DEVICE_HOST_UNIFIED_MEMORY: CPU runtimes, integrated GPUs), device
  // memory elsewhere.
  automatic,
  // Memory the host writes directly and the kernel reads directly. POCL's
  // CPU device runs a write queued on a second queue only after the kernel
  // running on the first has ended, so there only this reaches a running
  // kernel.
  host_memory,
  // A buffer in the card's memory, written through a queue of its own, which
  // a card's copy engine runs beside the kernels.
  device_memory,
};

// What a context is opened with; the defaults are the miner's.
struct OpenClOptions {
  // The lane form and optimisation; the miner's is kernel_build_for(device).
  bool choose_build_for_device = true;
  KernelBuild build;
  // The most work-items of one grid. One work-item searches one nonce, and a
  // batch larger than this is launched in several grids; 2^31 keeps every
  // grid within a device whose sizes are 32-bit.
  uint64_t largest_grid = uint64_t{1} << 31;
  StopWordPlace stop_word_place = StopWordPlace::automatic;
  // A build that takes longer than this is announced with a line (stdout),
  // so that the operator knows what the start, or a stop, waits for.
  std::chrono::milliseconds slow_build = std::chrono::seconds(1);
};

struct OpenClSlot {
  cl_command_queue queue = nullptr;  // the slot's own in-order queue
  cl_mem result = nullptr;           // the batch's SolutionSlot on the device
  gpu_kernel::SolutionSlot found{};  // where the batch's result is read to
  cl_event done = nullptr;           // that read's event, while a batch is queued
  uint32_t batch_size = 0;           // the nonces of the batch queued
  bool queued = false;               // the slot holds a batch (perhaps an empty one)
};

struct OpenClContext {
  int index = -1;  // the device's number as -d counts it
  OpenClDevice device;
  std::string name;  // describe_device()
  KernelBuild build;
  cl_context context = nullptr;
  cl_program program = nullptr;
  cl_kernel search = nullptr;     // search_nonces
  cl_kernel self_test = nullptr;  // self_test_hashes
  OpenClSlot slots[kGpuBatchSlots];
  size_t work_group = 0;      // work-items per group of a search launch
  uint64_t largest_grid = 0;  // options.largest_grid

  // The stop word (gpu/stop_word.h). stop_host is a page of host memory the
  // context owns: the word itself (host_memory), or the value a cancel writes
  // to the device (device_memory), through `control`.
  StopWordPlace stop_place = StopWordPlace::host_memory;
  cl_mem stop_word = nullptr;
  uint32_t* stop_host = nullptr;
  cl_command_queue control = nullptr;  // device_memory only
  uint32_t stop_requests = 0;          // cancels so far; any thread, atomically
  uint32_t stops_seen = 0;             // what the queued batches run under; the GPU thread's
};

// Opens device `index` (the order of list_opencl_devices) and builds the
// kernel for it, announcing a slow build (options.slow_build). Returns false
// after one line on standard error (a failed build adds the compiler's log),
// with *context left closed.
bool opencl_context_open(int index, const OpenClOptions& options, OpenClContext* context);

// Waits for any queued batch, then releases everything; harmless on a
// context that is not open.
void opencl_context_close(OpenClContext* context);

bool opencl_context_is_open(const OpenClContext& context);

// queue_mining_batch, collect_mining_batch and gpu_cancel_batches
// (backend.h) on this context.
int opencl_queue_batch(OpenClContext* context, int slot, const uint8_t header[80],
                       uint32_t start_nonce, uint32_t batch_size, uint32_t launch_size,
                       const uint32_t target[8]);
int opencl_collect_batch(OpenClContext* context, int slot, MiningResult* result,
                         uint64_t* searched);
void opencl_cancel_batches(OpenClContext* context);

// Prints "tamrix-miner: OpenCL error in <step>: <name> (<code>)"; returns -1.
int report_opencl_failure(const char* step, cl_int code);
