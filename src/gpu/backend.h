#pragma once

#include <cstdint>

// The driver reaches the GPU and its power controls only through these
// functions. Which variant stands behind them is chosen when the miner is
// built (TAMRIX_GPU).
//
// Threads: while mining, the GPU entry points that search (launch_mining_kernel,
// queue_mining_batch, collect_mining_batch) are called from the mining loop's
// GPU thread, one call after another and never two at once, so that the card
// keeps hashing while the main thread fetches work and submits blocks. Every
// other function is called from the main thread: the power calls may
// therefore run while a batch is under way on the GPU thread.
// benchmark_hashrate, test_sha3_512_gpu and gpu_use_device run only when no
// search can.
//
// The variants behind these functions keep their state in a context opened
// for one device (a struct of each runtime's own, see cuda/context.h and
// opencl/context.h). These functions carry no handle, so each variant keeps
// one process-wide default: the device gpu_use_device names, opened at its
// first search.

// Outcome of one GPU batch. The caller owns it and zeroes it before a launch.
struct MiningResult {
  uint32_t nonce;    // the nonce that met the target
  uint8_t hash[32];  // first 32 bytes of that header's SHA3-512 digest
  bool found;        // true when the batch found a solution
};

// Searches batch_size nonces upward from start_nonce (wrapping at 2^32) over
// the 80-byte header (bytes 76..79 are replaced by each nonce, little-endian)
// against the 256-bit target (8 words, least significant first).
// Returns 0 once the batch has been searched, non-zero on failure. The loop
// hands out the batches so that no nonce of a header is launched twice, and
// a last batch may be shorter than --batch-size.
int launch_mining_kernel(const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                         const uint32_t target[8], MiningResult* result);

// Pipelined launches. The mining loop's GPU thread keeps a batch queued
// behind the one running, so the card starts the next batch the moment it
// finishes one while the host reads the last result; launch_mining_kernel
// is one queue and one collect on slot 0.
constexpr int kGpuBatchSlots = 2;

// Queues a search of `batch_size` nonces upward from `start_nonce`, exactly
// as launch_mining_kernel searches them, in `slot` (0 .. kGpuBatchSlots - 1),
// and returns without waiting for it. The header and target are copied
// before it returns. The slot must be free: never queued, or collected since.
// Returns 0 once queued; non-zero on failure, after one line on stderr, and
// then the slot is as it was (free, or still holding its earlier batch when
// it was not free). An empty batch (batch_size 0) queues nothing on the GPU
// and is collected as searched, without a solution.
int queue_mining_batch(int slot, const uint8_t header[80], uint32_t start_nonce,
                       uint32_t batch_size, const uint32_t target[8]);

// Waits for the batch queued in `slot`, frees the slot and fills `result`
// (may be null) as launch_mining_kernel does: `found` is false unless the
// batch found a solution, on every return. Returns 0 when the batch was
// searched; non-zero when it failed, after one line on stderr, or, without
// a line, when the slot (or a slot number out of range) held no batch.
// Batches finish in the order they were queued.
int collect_mining_batch(int slot, MiningResult* result);

// False only in the build without GPU support, where every GPU entry point
// fails; the miner then asks for --cpu-only instead of trying the GPU.
bool gpu_support_built_in();

// Names the device (-d) that the searches, the benchmark and the self-test
// use, in the numbering power_init takes; device 0 until called. A default
// context open on another device is closed, dropping any queued batch.
// power_init(device) names the device as well, for a caller that names it
// only there.
void gpu_use_device(int device);

// The GPU's header hashes per second, measured over about `seconds` seconds.
double benchmark_hashrate(int seconds);

// Checks the GPU's SHA3-512 against the CPU reference and prints a verdict.
void test_sha3_512_gpu();

int power_init(int device);       // 0 when the power controls are ready
int power_set_limit(int percent);  // percent of the GPU's TDP
void power_restore();              // back to the limit from before power_set_limit
void power_shutdown();             // releases whatever power_init acquired
int power_get_temp();              // degrees Celsius; 0 or below: not available
