#pragma once

#include <atomic>
#include <cstdint>
#include <span>

// Outcome of one CPU search. The caller owns it and zeroes it before the
// search; only the worker that wins `found` writes it, and the caller reads
// it only after cpu_mine has returned.
struct CpuMiningResult {
  uint32_t nonce;    // the winning nonce, as it stood in header bytes 76..79
  uint8_t hash[32];  // first 32 bytes of the winning header's SHA3-512 digest
  bool found;        // true once the record holds a solution
};

// True when hash <= target as unsigned 256-bit numbers (8 words each, least
// significant word first).
bool hash_le_target(const uint32_t hash_words[8], const uint32_t target_words[8]);

// Searches nonces on num_threads workers until `running` is cleared or a
// worker wins `found`. Worker i tries start_nonce + i, + i + n, ... modulo
// 2^32. Only header bytes 0..75 are read. Returns after every worker has
// ended; hash_count is then exact.
void cpu_mine(const uint8_t header[80], const uint32_t target[8], int num_threads,
              uint32_t start_nonce, std::atomic<bool>& running, std::atomic<bool>& found,
              CpuMiningResult* result, std::atomic<uint64_t>& hash_count);

// The same search from explicit positions, so that a header can be searched
// in several sittings: worker i begins at next_nonces[i] and steps by
// next_nonces.size(). When it returns, next_nonces[i] is the first nonce of
// worker i's sequence that it has not counted in hash_count (the one after
// the solution, for the winner), ready to be passed in again. A worker that
// could not be started keeps its position.
void cpu_mine_resume(const uint8_t header[80], const uint32_t target[8],
                     std::span<uint32_t> next_nonces, std::atomic<bool>& running,
                     std::atomic<bool>& found, CpuMiningResult* result,
                     std::atomic<uint64_t>& hash_count);
