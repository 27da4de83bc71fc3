#pragma once

#include <cstdint>

#include "hash/search_kernels.h"
#include "mine/search_state.h"
#include "mine/work_space.h"
#include "mine/worker_starter.h"

// True when hash <= target as unsigned 256-bit numbers (8 words each, least
// significant word first).
bool hash_le_target(const uint32_t hash_words[8], const uint32_t target_words[8]);

// Positions a CPU worker claims at a time: a few milliseconds of one core's
// hashing, so the shared counter is touched rarely, and little is left
// unsearched when a search is stopped halfway through its workers' chunks.
constexpr uint64_t kCpuChunk = uint64_t{1} << 16;

// One CPU search as its caller sets it up.
struct CpuSearchJob {
  // 80 bytes: bytes 0..67 and 72..75 are read; the time (68..71) and the
  // nonce (76..79) of each hash come from the chunk it was claimed in.
  const uint8_t* header = nullptr;
  const uint32_t* target = nullptr;  // 8 words, least significant first
  int num_threads = 0;
  // Where every worker claims its chunks, each searched in nonce order. The
  // rest of a chunk claimed when the search is stopped is never searched.
  WorkSpace* space = nullptr;
  uint64_t chunk_size = kCpuChunk;
  WorkerStarter start_worker;                         // empty: std::thread
  const SearchKernel* kernel = search_kernel_auto();  // null: nothing can be searched
};

// How a search ended.
enum class CpuSearchEnd {
  stopped,           // `running` was cleared
  solved,            // a worker won `found`
  space_used_up,     // every worker found the space's end
  could_not_search,  // no kernel, or no worker thread could be started
};

// Searches with num_threads worker threads until `running` is cleared, a
// worker wins `found`, or the space has nothing left to claim. Returns after
// every worker has ended; hash_count is then exact. When a worker cannot be
// started, one line goes to standard error and the search goes on with the
// workers that did start; nothing is thrown.
CpuSearchEnd cpu_search(const CpuSearchJob& job, SearchState& state);
