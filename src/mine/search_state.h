#pragma once

#include <atomic>
#include <cstdint>
#include <semaphore>

// Outcome of one CPU search. Only the worker that wins `found` writes it, and
// the caller reads it only after the search has returned.
struct CpuMiningResult {
  uint32_t nonce;        // the winning nonce, as it stood in header bytes 76..79
  uint8_t hash[32];      // first 32 bytes of the winning header's SHA3-512 digest
  bool found;            // true once the record holds a solution
  uint32_t header_time;  // header bytes 68..71 it was found with: the block goes in with them
};

// Released by whatever has news for the mining loop (a solution, a search
// that ended by itself, a new chain tip), so that the loop's wait ends at once.
using LoopWakeup = std::counting_semaphore<>;

// What the caller of a search and its workers share. The caller sets it up
// (running true, the rest zero), clears `running` to stop the workers and
// reads `result` only after the search has returned.
struct SearchState {
  std::atomic<bool> running{true};
  std::atomic<bool> found{false};       // won once per search, by one worker
  std::atomic<uint64_t> hash_count{0};  // hashes counted so far; exact on return
  CpuMiningResult result{};
  LoopWakeup* wakeup = nullptr;  // released once by the winner; may be null

  // Ready for the next search: running, nothing found or counted.
  void reset() {
    running.store(true);
    found.store(false);
    hash_count.store(0);
    result = CpuMiningResult{};
  }
};
