#include "mine/cpu_search.h"

#include <cstdio>
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

// One worker: positions *position, + stride, + 2 * stride, ... hashed `width`
// at a time by the kernel from a midstate of header bytes 0..71, so each nonce
// costs one permutation. A batch that holds a hit counts only the hashes up to
// and including its earliest hit, so the count is what a one-at-a-time search
// over the same sequence would report. On the way out *position becomes the
// first position not counted: a later search of the same header that starts
// there neither repeats nor skips a nonce of this worker's sequence.
WorkerEnd cpu_mine_thread(const CpuSearchJob& job, uint64_t* position, uint32_t stride,
                          SearchState& state) {
  const SearchKernel& kernel = *job.kernel;
  HeaderMidstate midstate;
  header_midstate_init(&midstate, job.header);
  uint64_t target_lanes[4];
  words_to_lanes(job.target, target_lanes);
  const int width = kernel.width;
  uint64_t lanes[kMaxSearchKernelWidth][4];
  const uint64_t first_position = *position;
  uint64_t next = first_position;
  uint64_t hashes_done = 0;
  uint64_t hashes_published = 0;
  // Offsets from kCpuStartNonce below room_end are the CPU's to hash.
  uint64_t room_end = job.space ? 0 : std::numeric_limits<uint64_t>::max();
  WorkerEnd end = WorkerEnd::stopped;

  // Relaxed loads suffice: a stale value costs at most one extra batch, and
  // the compare-exchange below is what decides the winner.
  while (state.running.load(std::memory_order_relaxed) &&
         !state.found.load(std::memory_order_relaxed)) {
    int usable = width;
    if (job.space) {
      const uint64_t first = next - kCpuStartNonce;
      const uint64_t last = first + static_cast<uint64_t>(width - 1) * stride;
      if (last >= room_end) room_end = cpu_claim_past(*job.space, last);
      if (first >= room_end) {
        end = WorkerEnd::out_of_room;
        break;
      }
      if (last >= room_end) usable = static_cast<int>((room_end - first + stride - 1) / stride);
    }

    kernel.hash(midstate, static_cast<uint32_t>(next), stride, lanes);
    int counted = usable;
    for (int k = 0; k < usable; ++k) {
      if (!lanes_le_target(lanes[k], target_lanes)) continue;
      counted = k + 1;
      bool expected = false;
      if (state.found.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) {
        CpuMiningResult& result = state.result;
        result.nonce = static_cast<uint32_t>(next + static_cast<uint64_t>(k) * stride);
        for (int i = 0; i < 4; ++i) store_le64(result.hash + 8 * i, lanes[k][i]);
        result.found = true;
        if (state.wakeup) state.wakeup->release();
      }
      break;
    }

    next += static_cast<uint64_t>(counted) * stride;
    hashes_done += static_cast<uint64_t>(counted);
    // Publishing the difference keeps the shared count exact whatever the
    // kernel's width, while touching its cache line once per batch.
    if (hashes_done - hashes_published >= kHashCountBatch) {
      state.hash_count.fetch_add(hashes_done - hashes_published, std::memory_order_relaxed);
      hashes_published = hashes_done;
    }
  }
  state.hash_count.fetch_add(hashes_done - hashes_published, std::memory_order_relaxed);
  *position = next;
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
  const int num_threads = static_cast<int>(job.positions.size());
  const uint32_t stride = static_cast<uint32_t>(num_threads);

  std::vector<std::thread> workers;
  std::vector<WorkerEnd> ends(job.positions.size(), WorkerEnd::stopped);
  int started = 0;
  try {
    // Reserved up front so that adding a started worker can never reallocate
    // (and throw) while it holds a running thread.
    workers.reserve(static_cast<size_t>(num_threads));
    for (; started < num_threads; ++started) {
      uint64_t* position = &job.positions[static_cast<size_t>(started)];
      WorkerEnd* end = &ends[static_cast<size_t>(started)];
      workers.push_back(start_thread_with(job.start_worker, [=, &job, &state] {
        *end = cpu_mine_thread(job, position, stride, state);
      }));
    }
  } catch (const std::exception&) {
    // The started workers keep their interleaved sequences; the nonces of the
    // missing ones are simply not tried, and their positions stay where they
    // were.
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

std::vector<uint64_t> first_positions(int num_threads, uint32_t start_nonce) {
  std::vector<uint64_t> positions;
  for (int i = 0; i < num_threads; ++i) positions.push_back(start_nonce + static_cast<uint64_t>(i));
  return positions;
}

void cpu_mine(const uint8_t header[80], const uint32_t target[8], int num_threads,
              uint32_t start_nonce, SearchState& state) {
  std::vector<uint64_t> positions = first_positions(num_threads, start_nonce);
  CpuSearchJob job;
  job.header = header;
  job.target = target;
  job.positions = positions;
  cpu_search(job, state);
}
