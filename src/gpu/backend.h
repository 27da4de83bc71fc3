#pragma once

#include <cstdint>

// The driver reaches the GPU and its power controls only through these
// functions. Which variant stands behind them is chosen when the miner is
// built (TAMRIX_GPU); every call comes from the main thread.

// Outcome of one GPU batch. The caller owns it and zeroes it before a launch.
struct MiningResult {
  uint32_t nonce;    // the nonce that met the target
  uint8_t hash[32];  // first 32 bytes of that header's SHA3-512 digest
  bool found;        // true when the batch found a solution
};

// Searches batch_size nonces upward from start_nonce (wrapping at 2^32) over
// the 80-byte header (bytes 76..79 are replaced by each nonce, little-endian)
// against the 256-bit target (8 words, least significant first).
// Returns 0 once the batch has been searched, non-zero on failure.
int launch_mining_kernel(const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                         const uint32_t target[8], MiningResult* result);

// The GPU's header hashes per second, measured over about `seconds` seconds.
double benchmark_hashrate(int seconds);

// Checks the GPU's SHA3-512 against the CPU reference and prints a verdict.
void test_sha3_512_gpu();

int power_init(int device);       // 0 when the power controls are ready
int power_set_limit(int percent);  // percent of the GPU's TDP
void power_restore();              // back to the limit from before power_set_limit
void power_shutdown();             // releases whatever power_init acquired
int power_get_temp();              // degrees Celsius; 0 or below: not available
