#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The driver reaches the GPUs and their power controls only through these
// functions. Which variant stands behind them (CPU-only, CUDA or OpenCL) is
// chosen when the miner is built (TAMRIX_GPU).
//
// Every device is reached through a GpuContext that gpu_open_device opened
// for it: its searches (the runtime's context, queues and result slots) and
// its power controls. Any number of devices may be open at once, one context
// each; nothing is process-wide.
//
// Threads: queue_mining_batch, collect_mining_batch and launch_mining_kernel
// of one context are called from one thread at a time (the mining loop's GPU
// thread of that device), never two at once; each device has its own thread,
// so contexts of different devices are used at the same time. The power and
// sensor calls of a context (power_get_temp, power_get_watts) may run on the
// main thread while that context's GPU thread searches, and
// gpu_cancel_batches from any thread at any time. Everything else
// (gpu_list_devices, gpu_open_device, gpu_close_device, power_init,
// power_set_limit, power_restore, power_shutdown, benchmark_hashrate,
// test_sha3_512_gpu) runs on the main thread while no search of that context
// can.

// Outcome of one GPU batch. The caller owns it and zeroes it before a launch.
struct MiningResult {
  uint32_t nonce;    // the nonce that met the target
  uint8_t hash[32];  // first 32 bytes of that header's SHA3-512 digest
  bool found;        // true when the batch found a solution
};

// A device as the operator names it. The index is the one -d takes; the
// PCI bus id names the same card to every tool (nvidia-smi, sysfs), whatever
// order a runtime lists its devices in.
struct GpuDeviceInfo {
  int index = -1;             // as -d counts: 0, 1, ...
  std::string pci_bus_id;     // "0000:65:00.0"; "" when the runtime does not tell
  std::string name;           // the runtime's name of the device, as it gave it
  std::string runtime;        // "CUDA", "OpenCL"; "none" in the CPU-only build
  uint64_t memory_bytes = 0;  // the device's global memory; 0 when unknown
};

// One device opened for searching and power control; each variant defines
// it. Owned by whoever opened it, released with gpu_close_device.
struct GpuContext;

// False only in the build without GPU support, where every GPU entry point
// fails; the miner then asks for --cpu-only instead of trying the GPU.
bool gpu_support_built_in();

// Every device this build can mine on, in the order -d counts them. Empty,
// with *why set to one line for the operator (no newline), when there is
// none: no driver, no device, or (CPU-only build) no GPU support. Quiet.
std::vector<GpuDeviceInfo> gpu_list_devices(std::string* why);

// Opens device `index` (gpu_list_devices' order): the context of its
// searches, with the kernel built, ready for the first batch, so a search
// never waits for a compiler; its power controls are not opened yet
// (power_init). Null, after one line on stderr, when the device cannot be
// opened. The OpenCL variant names the device on stdout ("tamrix-miner:
// OpenCL device N: NAME (PLATFORM)"), after a line about the build where
// the build takes longer than a second: the build is waited for here,
// before mining starts, and a stop during it waits for it too. The CPU-only
// build opens a context for any index, on which every GPU entry point
// reports that GPU support is not built in. The entry points below but
// gpu_device_info fail, or do nothing, on a null device.
GpuContext* gpu_open_device(int index);

// Waits for any batch still queued, closes the power controls
// (power_shutdown) and releases everything. Harmless on null.
void gpu_close_device(GpuContext* device);

// The identity of an open device.
const GpuDeviceInfo& gpu_device_info(const GpuContext* device);

// Searches batch_size nonces upward from start_nonce (wrapping at 2^32) over
// the 80-byte header (bytes 76..79 are replaced by each nonce, little-endian)
// against the 256-bit target (8 words, least significant first), in one
// kernel launch (or several, where a device limits a grid's size). Returns 0
// once the batch has been searched, non-zero on failure. One queue and one
// collect on slot 0.
int launch_mining_kernel(GpuContext* device, const uint8_t header[80], uint32_t start_nonce,
                         uint32_t batch_size, const uint32_t target[8], MiningResult* result);

// Pipelined batches: the mining loop's GPU thread keeps a batch queued behind
// the one running in each device, so the card starts the next batch the
// moment it finishes one while the host reads the last result. Each slot has
// its own in-order stream (CUDA) or queue (OpenCL), so the last partial wave
// of one slot's launch overlaps the next launch of the other slot instead of
// leaving part of the card idle.
constexpr int kGpuBatchSlots = 2;

// Queues a search of `batch_size` nonces upward from `start_nonce` in `slot`
// (0 .. kGpuBatchSlots - 1), and returns without waiting for it. The batch is
// searched as consecutive kernel launches of `launch_size` nonces each (the
// last one shorter), exactly as launch_mining_kernel searches each of them;
// a launch_size of 0 launches the whole batch at once. Grouping launches
// this way lets the host wake once per batch however short one launch is.
// A batch is never more than 1024 launches: a smaller launch_size is raised
// to batch_size / 1024 (rounded up), so that a runtime's queue of launches
// holds the whole batch and queueing it does not wait for the card.
// The header and target are copied before it returns. The slot must be free:
// never queued, or collected since. Returns 0 once queued; non-zero on
// failure, after one line on stderr, and then the slot is as it was (free,
// or still holding its earlier batch when it was not free). An empty batch
// (batch_size 0) queues nothing on the GPU and is collected as searched,
// without a solution.
int queue_mining_batch(GpuContext* device, int slot, const uint8_t header[80], uint32_t start_nonce,
                       uint32_t batch_size, uint32_t launch_size, const uint32_t target[8]);

// Waits for the batch queued in `slot`, frees the slot and fills `result`
// (may be null) as launch_mining_kernel does: `found` is false unless the
// batch found a solution, on every return. `searched` (may be null) gets the
// number of nonces the device actually hashed: the whole batch, unless
// gpu_cancel_batches cut it short. Returns 0 when the batch was searched
// (whole or cut short); non-zero when it failed, after one line on stderr,
// or, without a line, when the slot (or a slot number out of range) held no
// batch. The batches of one slot run in the order they were queued; those
// of different slots run side by side, so either may finish first.
int collect_mining_batch(GpuContext* device, int slot, MiningResult* result,
                         uint64_t* searched = nullptr);

// Cuts short every batch queued on the device: work-groups that start after
// the cut reaches the device skip their nonces, so a collect returns within
// about a work-group's time however long the batch (a CUDA card and an
// OpenCL device that shares the host's memory take the cut at once; another
// OpenCL device when its driver runs the write of a second queue, which a
// card's copy engine does beside the kernels). Skipped nonces are not
// searched, and never searched later either; `searched` counts only what
// was hashed. Callable from any thread while the GPU thread queues and
// collects; the cut lasts until the device has no batch queued and the next
// batch is queued.
void gpu_cancel_batches(GpuContext* device);

// The device's header hashes per second, measured over about `seconds`
// seconds, or over less once `running` reads false (then the rate of the
// time measured). 0 on failure, after its line.
double benchmark_hashrate(GpuContext* device, int seconds, const std::atomic<bool>& running);

// Checks the device's SHA3-512 against the CPU reference and prints a verdict.
void test_sha3_512_gpu(GpuContext* device);

// The power controls of an open device. power_init is 0 when they are ready
// (quietly -1 for a device that has none); power_set_limit takes percent of
// the device's TDP; power_restore goes back to the limit from before
// power_set_limit; power_shutdown restores it and releases what power_init
// acquired, harmless when power_init failed or never ran.
int power_init(GpuContext* device);
int power_set_limit(GpuContext* device, int percent);
void power_restore(GpuContext* device);
void power_shutdown(GpuContext* device);

// Sensors of the controls power_init opened, read on the main thread while
// the device searches; quiet, and not available, where power_init failed or
// the device has no such sensor.
int power_get_temp(GpuContext* device);      // degrees Celsius; 0 or below: not available
double power_get_watts(GpuContext* device);  // power draw in watts; 0 or below: not available
