#pragma once

#include <cstdint>

// The driver reaches the GPU and its power controls only through these
// functions. Which variant stands behind them is chosen when the miner is
// built (TAMRIX_GPU).
//
// Threads: while mining, launch_mining_kernel is called from the mining
// loop's GPU thread, one launch after another and never two at once, so that
// the card keeps hashing while the main thread fetches work and submits
// blocks; the calls stay synchronous. Every other function is called from the
// main thread: the power calls may therefore run while a launch is under way
// on the GPU thread. benchmark_hashrate and test_sha3_512_gpu run only when
// no launch can.

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
// is one queue and one collect on a single slot.
constexpr int kGpuBatchSlots = 2;

// Queues a search of `batch_size` nonces upward from `start_nonce`, exactly
// as launch_mining_kernel searches them, in `slot` (0 .. kGpuBatchSlots - 1),
// and returns without waiting for it. The header and target are copied
// before it returns. The slot must be free: never queued, or collected since.
// Returns 0 once queued; non-zero on failure, after one line on stderr, and
// the slot stays free.
int queue_mining_batch(int slot, const uint8_t header[80], uint32_t start_nonce,
                       uint32_t batch_size, const uint32_t target[8]);

// Waits for the batch queued in `slot`, frees the slot and fills `result`
// (may be null) as launch_mining_kernel does. Returns 0 when the batch was
// searched; non-zero when it failed, after one line on stderr, or when the
// slot held no batch. Batches finish in the order they were queued.
int collect_mining_batch(int slot, MiningResult* result);

// False only in the build without GPU support, where every GPU entry point
// fails; the miner then asks for --cpu-only instead of trying the GPU.
bool gpu_support_built_in();

// The GPU's header hashes per second, measured over about `seconds` seconds.
double benchmark_hashrate(int seconds);

// Checks the GPU's SHA3-512 against the CPU reference and prints a verdict.
void test_sha3_512_gpu();

int power_init(int device);       // 0 when the power controls are ready
int power_set_limit(int percent);  // percent of the GPU's TDP
void power_restore();              // back to the limit from before power_set_limit
void power_shutdown();             // releases whatever power_init acquired
int power_get_temp();              // degrees Celsius; 0 or below: not available
