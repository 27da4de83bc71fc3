#include "mine/cpu_search.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "hash/byte_order.h"
#include "hash/header_midstate.h"
#include "hash/search_kernels.h"
#include "mine/worker_start.h"

namespace {

// Workers publish their count in batches so that the shared counter's cache
// line is touched once per batch, not once per hash.
constexpr uint64_t kHashCountBatch = 4096;

// Digest lanes 0..3 as the eight comparison words, least significant first.
void lanes_to_words(const uint64_t lanes[4], uint32_t words[8]) {
  for (int i = 0; i < 4; ++i) {
    words[2 * i] = static_cast<uint32_t>(lanes[i]);
    words[2 * i + 1] = static_cast<uint32_t>(lanes[i] >> 32);
  }
}

// One worker: nonces *next_nonce, + stride, + 2 * stride, ... hashed `width`
// at a time by the kernel from a midstate of header bytes 0..71, so each nonce
// costs one permutation. A batch that holds a hit counts only the hashes up to
// and including its earliest hit, so the count is what a one-at-a-time search
// over the same sequence would report. On the way out *next_nonce becomes the
// first nonce not counted: a later search of the same header that starts there
// neither repeats nor skips a nonce of this worker's sequence.
void cpu_mine_thread(const uint8_t header[80], const uint32_t target[8], uint32_t* next_nonce,
                     uint32_t stride, std::atomic<bool>& running, std::atomic<bool>& found,
                     CpuMiningResult* result, std::atomic<uint64_t>& hash_count,
                     const SearchKernel& kernel) {
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header);
  // Most digests are rejected by the top 64 bits alone; only the rest pay for
  // the full comparison.
  const uint64_t target_top = static_cast<uint64_t>(target[7]) << 32 | target[6];
  const int width = kernel.width;
  const uint32_t batch_stride = stride * static_cast<uint32_t>(width);
  uint64_t lanes[kMaxSearchKernelWidth][4];
  const uint32_t first_nonce = *next_nonce;
  uint32_t nonce = first_nonce;
  uint64_t hashes_done = 0;
  uint64_t hashes_published = 0;

  // Relaxed loads suffice: a stale value costs at most one extra batch, and
  // the compare-exchange below is what decides the winner.
  while (running.load(std::memory_order_relaxed) && !found.load(std::memory_order_relaxed)) {
    kernel.hash(midstate, nonce, stride, lanes);
    int counted = width;
    for (int k = 0; k < width; ++k) {
      if (lanes[k][3] > target_top) continue;
      uint32_t hash_words[8];
      lanes_to_words(lanes[k], hash_words);
      if (!hash_le_target(hash_words, target)) continue;

      counted = k + 1;
      bool expected = false;
      if (found.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) {
        result->nonce = nonce + static_cast<uint32_t>(k) * stride;
        for (int i = 0; i < 8; ++i) store_le32(result->hash + 4 * i, hash_words[i]);
        result->found = true;
      }
      break;
    }

    nonce += batch_stride;  // wraps modulo 2^32 and keeps going
    hashes_done += static_cast<uint64_t>(counted);
    // Publishing the difference keeps the shared count exact whatever the
    // kernel's width, while touching its cache line once per batch.
    if (hashes_done - hashes_published >= kHashCountBatch) {
      hash_count.fetch_add(hashes_done - hashes_published, std::memory_order_relaxed);
      hashes_published = hashes_done;
    }
  }
  hash_count.fetch_add(hashes_done - hashes_published, std::memory_order_relaxed);
  *next_nonce = first_nonce + static_cast<uint32_t>(hashes_done) * stride;
}

// Worker i of a fresh search begins at start_nonce + i. Empty when
// num_threads is below 1, which leaves nothing to search with.
std::vector<uint32_t> first_nonces(int num_threads, uint32_t start_nonce) {
  std::vector<uint32_t> nonces;
  for (int i = 0; i < num_threads; ++i) nonces.push_back(start_nonce + static_cast<uint32_t>(i));
  return nonces;
}

std::thread start_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace

bool hash_le_target(const uint32_t hash_words[8], const uint32_t target_words[8]) {
  for (int i = 7; i >= 0; --i) {
    if (hash_words[i] < target_words[i]) return true;
    if (hash_words[i] > target_words[i]) return false;
  }
  return true;
}

void cpu_mine(const uint8_t header[80], const uint32_t target[8], int num_threads,
              uint32_t start_nonce, std::atomic<bool>& running, std::atomic<bool>& found,
              CpuMiningResult* result, std::atomic<uint64_t>& hash_count) {
  std::vector<uint32_t> next_nonces = first_nonces(num_threads, start_nonce);
  cpu_mine_resume(header, target, next_nonces, running, found, result, hash_count);
}

void cpu_mine_resume(const uint8_t header[80], const uint32_t target[8],
                     std::span<uint32_t> next_nonces, std::atomic<bool>& running,
                     std::atomic<bool>& found, CpuMiningResult* result,
                     std::atomic<uint64_t>& hash_count) {
  cpu_mine_resume_with_starter(header, target, next_nonces, running, found, result, hash_count,
                               start_std_thread, search_kernel_auto());
}

void cpu_mine_with_starter(const uint8_t header[80], const uint32_t target[8], int num_threads,
                           uint32_t start_nonce, std::atomic<bool>& running,
                           std::atomic<bool>& found, CpuMiningResult* result,
                           std::atomic<uint64_t>& hash_count, const WorkerStarter& start_worker,
                           const SearchKernel* kernel) {
  std::vector<uint32_t> next_nonces = first_nonces(num_threads, start_nonce);
  cpu_mine_resume_with_starter(header, target, next_nonces, running, found, result, hash_count,
                               start_worker, kernel);
}

void cpu_mine_resume_with_starter(const uint8_t header[80], const uint32_t target[8],
                                  std::span<uint32_t> next_nonces, std::atomic<bool>& running,
                                  std::atomic<bool>& found, CpuMiningResult* result,
                                  std::atomic<uint64_t>& hash_count,
                                  const WorkerStarter& start_worker, const SearchKernel* kernel) {
  // No kernel means a broken build; search_kernel_auto has said so once.
  if (kernel == nullptr || kernel->width < 1 || kernel->width > kMaxSearchKernelWidth) return;
  const int num_threads = static_cast<int>(next_nonces.size());
  const uint32_t stride = static_cast<uint32_t>(num_threads);

  std::vector<std::thread> workers;
  int started = 0;
  try {
    // Reserved up front so that adding a started worker can never reallocate
    // (and throw) while it holds a running thread.
    workers.reserve(static_cast<size_t>(num_threads));
    for (; started < num_threads; ++started) {
      uint32_t* next_nonce = &next_nonces[static_cast<size_t>(started)];
      workers.push_back(start_worker([=, &running, &found, &hash_count] {
        cpu_mine_thread(header, target, next_nonce, stride, running, found, result, hash_count,
                        *kernel);
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
}
