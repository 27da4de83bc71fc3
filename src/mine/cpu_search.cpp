#include "mine/cpu_search.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "hash/byte_order.h"
#include "hash/header_midstate.h"

namespace {

// Workers publish their count in batches so that the shared counter's cache
// line is touched once per batch, not once per hash.
constexpr uint64_t kHashCountBatch = 4096;

// The target comparison, written once: 256-bit values as four 64-bit lanes,
// least significant first. The top lane alone decides almost every hash.
bool lanes_le_target(const uint64_t lanes[4], const uint64_t target_lanes[4]) {
  for (int i = 3; i >= 0; --i)
    if (lanes[i] != target_lanes[i]) return lanes[i] < target_lanes[i];
  return true;
}

void words_to_lanes(const uint32_t words[8], uint64_t lanes[4]) {
  for (int i = 0; i < 4; ++i)
    lanes[i] = static_cast<uint64_t>(words[2 * i + 1]) << 32 | words[2 * i];
}

enum class WorkerEnd { stopped, out_of_room };

// What a worker hashes from: its own copy of the header, and the midstate of
// bytes 0..71 for the header time of its current chunk. A new time costs one
// permutation, once per chunk at most.
struct WorkerHeader {
  uint8_t bytes[80];
  HeaderMidstate midstate;
  uint32_t time = 0;
  bool ready = false;

  void use_time(uint32_t new_time) {
    if (ready && new_time == time) return;
    put_header_time(bytes, new_time);
    header_midstate_init(&midstate, bytes);
    time = new_time;
    ready = true;
  }
};

// One worker: claims a chunk of the space at a time and hashes it in nonce
// order, `width` nonces per kernel call. A batch that holds a hit counts only
// the hashes up to and including its earliest hit, so the count is what a
// one-at-a-time search over the same chunks would report.
WorkerEnd cpu_mine_thread(const CpuSearchJob& job, SearchState& state) {
  const SearchKernel& kernel = *job.kernel;
  WorkerHeader header;
  std::memcpy(header.bytes, job.header, sizeof header.bytes);
  uint64_t target_lanes[4];
  words_to_lanes(job.target, target_lanes);
  const int width = kernel.width;
  uint64_t lanes[kMaxSearchKernelWidth][4];
  uint64_t position = 0;
  uint64_t left = 0;  // positions of the current chunk not yet hashed
  uint64_t hashes_done = 0;
  uint64_t hashes_published = 0;
  WorkerEnd end = WorkerEnd::stopped;

  // Relaxed loads suffice: a stale value costs at most one extra batch, and
  // the compare-exchange below is what decides the winner.
  while (state.running.load(std::memory_order_relaxed) &&
         !state.found.load(std::memory_order_relaxed)) {
    if (left == 0) {
      const WorkChunk chunk = claim_work(*job.space, job.chunk_size);
      if (chunk.size == 0) {
        end = WorkerEnd::out_of_room;
        break;
      }
      position = chunk.position;
      left = chunk.size;
      header.use_time(time_at(position));
    }
    const uint32_t first_nonce = nonce_at(*job.space, position);
    const int usable = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(width), left));

    kernel.hash(header.midstate, first_nonce, 1, lanes);
    int counted = usable;
    for (int k = 0; k < usable; ++k) {
      if (!lanes_le_target(lanes[k], target_lanes)) continue;
      counted = k + 1;
      bool expected = false;
      if (state.found.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) {
        CpuMiningResult& result = state.result;
        result.nonce = first_nonce + static_cast<uint32_t>(k);
        for (int i = 0; i < 4; ++i) store_le64(result.hash + 8 * i, lanes[k][i]);
        result.header_time = header.time;
        result.found = true;
        if (state.wakeup) state.wakeup->release();
      }
      break;
    }

    position += static_cast<uint64_t>(counted);
    left -= static_cast<uint64_t>(counted);
    hashes_done += static_cast<uint64_t>(counted);
    // Publishing the difference keeps the shared count exact whatever the
    // kernel's width, while touching its cache line once per batch.
    if (hashes_done - hashes_published >= kHashCountBatch) {
      state.hash_count.fetch_add(hashes_done - hashes_published, std::memory_order_relaxed);
      hashes_published = hashes_done;
    }
  }
  state.hash_count.fetch_add(hashes_done - hashes_published, std::memory_order_relaxed);
  return end;
}

}  // namespace

bool hash_le_target(const uint32_t hash_words[8], const uint32_t target_words[8]) {
  uint64_t hash_lanes[4];
  uint64_t target_lanes[4];
  words_to_lanes(hash_words, hash_lanes);
  words_to_lanes(target_words, target_lanes);
  return lanes_le_target(hash_lanes, target_lanes);
}

CpuSearchEnd cpu_search(const CpuSearchJob& job, SearchState& state) {
  // No kernel means a broken build; search_kernel_auto has said so once.
  if (job.kernel == nullptr || job.kernel->width < 1 || job.kernel->width > kMaxSearchKernelWidth)
    return CpuSearchEnd::could_not_search;
  const int num_threads = std::max(job.num_threads, 0);

  std::vector<std::thread> workers;
  std::vector<WorkerEnd> ends(static_cast<size_t>(num_threads), WorkerEnd::stopped);
  int started = 0;
  try {
    // Reserved up front so that adding a started worker can never reallocate
    // (and throw) while it holds a running thread.
    workers.reserve(static_cast<size_t>(num_threads));
    for (; started < num_threads; ++started) {
      WorkerEnd* end = &ends[static_cast<size_t>(started)];
      workers.push_back(start_thread_with(job.start_worker, [end, &job, &state] {
        *end = cpu_mine_thread(job, state);
      }));
    }
  } catch (const std::exception&) {
    // The workers that started share the space between them; nothing is
    // left out, only searched more slowly.
    std::fprintf(stderr, "tamrix-miner: could only start %d of %d CPU worker threads\n", started,
                 num_threads);
  }
  for (std::thread& worker : workers) worker.join();

  if (started == 0) return CpuSearchEnd::could_not_search;
  if (state.found.load()) return CpuSearchEnd::solved;
  for (int i = 0; i < started; ++i)
    if (ends[static_cast<size_t>(i)] != WorkerEnd::out_of_room) return CpuSearchEnd::stopped;
  return CpuSearchEnd::space_used_up;
}
