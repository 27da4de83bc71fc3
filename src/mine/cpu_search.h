#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "hash/search_kernels.h"
#include "mine/nonce_space.h"
#include "mine/search_state.h"
#include "mine/worker_starter.h"

// True when hash <= target as unsigned 256-bit numbers (8 words each, least
// significant word first).
bool hash_le_target(const uint32_t hash_words[8], const uint32_t target_words[8]);

// One CPU search as its caller sets it up.
struct CpuSearchJob {
  const uint8_t* header = nullptr;   // 80 bytes; only bytes 0..75 are read
  const uint32_t* target = nullptr;  // 8 words, least significant first
  // Worker i begins at positions[i] and steps by positions.size(). A position
  // is a nonce counted on past 2^32 (the nonce is its low 32 bits), so that a
  // worker that has been all the way round is told from one that has not
  // begun. On return each position is the first one that worker has not
  // counted (the one after the solution, for the winner), ready to resume
  // from; a worker that could not be started keeps its position.
  std::span<uint64_t> positions;
  // Shared with the GPU: workers hash only the nonces the CPU has claimed
  // there, and positions are then at least kCpuStartNonce. Null: every worker
  // wraps and goes on until it is stopped.
  NonceSpace* space = nullptr;
  WorkerStarter start_worker;                         // empty: std::thread
  const SearchKernel* kernel = search_kernel_auto();  // null: nothing can be searched
};

// How a search ended.
enum class CpuSearchEnd {
  stopped,           // `running` was cleared
  solved,            // a worker won `found`
  space_used_up,     // every worker ran out of nonces the CPU may hash
  could_not_search,  // no kernel, or no worker thread could be started
};

// Searches with one worker thread per position until `running` is cleared, a
// worker wins `found`, or the workers run out of nonces. Returns after every
// worker has ended; hash_count is then exact. When a worker cannot be
// started, one line goes to standard error and the search goes on with the
// workers that did start; nothing is thrown.
CpuSearchEnd cpu_search(const CpuSearchJob& job, SearchState& state);

// Where the workers of a fresh search begin: worker i at start_nonce + i
// (counted on past 2^32 rather than wrapping). Empty when num_threads is below
// 1, which leaves nothing to search with.
std::vector<uint64_t> first_positions(int num_threads, uint32_t start_nonce);

// A fresh search with num_threads workers, worker i from start_nonce + i
// (wrapping), on std::threads with the automatically chosen kernel: what the
// benchmark runs.
void cpu_mine(const uint8_t header[80], const uint32_t target[8], int num_threads,
              uint32_t start_nonce, SearchState& state);
