#include "mine/cpu_search.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "hash/sha3.h"
#include "mine/worker_start.h"

namespace {

// Workers publish their count in batches so that the shared counter's cache
// line is touched once per batch, not once per hash.
constexpr uint64_t kHashCountBatch = 4096;

uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_le32(uint8_t* p, uint32_t v) {
  for (int j = 0; j < 4; ++j) p[j] = static_cast<uint8_t>(v >> (8 * j));
}

void cpu_mine_thread(const uint8_t header[80], const uint32_t target[8], uint32_t start_nonce,
                     uint32_t stride, std::atomic<bool>& running, std::atomic<bool>& found,
                     CpuMiningResult* result, std::atomic<uint64_t>& hash_count) {
  uint8_t block[80] = {};
  std::memcpy(block, header, 76);
  uint32_t nonce = start_nonce;
  uint64_t hashes_done = 0;
  uint8_t digest[64];
  uint32_t hash_words[8];

  // Relaxed loads suffice: a stale value costs at most one extra hash, and the
  // compare-exchange below is what decides the winner.
  while (running.load(std::memory_order_relaxed) && !found.load(std::memory_order_relaxed)) {
    store_le32(block + 76, nonce);
    sha3_512_cpu(block, sizeof block, digest);
    for (int i = 0; i < 8; ++i) hash_words[i] = load_le32(digest + 4 * i);

    if (hash_le_target(hash_words, target)) {
      bool expected = false;
      if (found.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) {
        result->nonce = nonce;
        for (int i = 0; i < 8; ++i) store_le32(result->hash + 4 * i, hash_words[i]);
        result->found = true;
      }
    }

    nonce += stride;  // wraps modulo 2^32 and keeps going
    if (++hashes_done % kHashCountBatch == 0)
      hash_count.fetch_add(kHashCountBatch, std::memory_order_relaxed);
  }
  hash_count.fetch_add(hashes_done % kHashCountBatch, std::memory_order_relaxed);
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
  cpu_mine_with_starter(header, target, num_threads, start_nonce, running, found, result,
                        hash_count, start_std_thread);
}

void cpu_mine_with_starter(const uint8_t header[80], const uint32_t target[8], int num_threads,
                           uint32_t start_nonce, std::atomic<bool>& running,
                           std::atomic<bool>& found, CpuMiningResult* result,
                           std::atomic<uint64_t>& hash_count, const WorkerStarter& start_worker) {
  if (num_threads < 1) return;  // outside the callers' contract; nothing to search with
  const uint32_t stride = static_cast<uint32_t>(num_threads);

  std::vector<std::thread> workers;
  int started = 0;
  try {
    // Reserved up front so that adding a started worker can never reallocate
    // (and throw) while it holds a running thread.
    workers.reserve(static_cast<size_t>(num_threads));
    for (; started < num_threads; ++started) {
      const uint32_t first_nonce = start_nonce + static_cast<uint32_t>(started);
      workers.push_back(start_worker([=, &running, &found, &hash_count] {
        cpu_mine_thread(header, target, first_nonce, stride, running, found, result, hash_count);
      }));
    }
  } catch (const std::exception&) {
    // The started workers keep their interleaved sequences; the nonces of the
    // missing ones are simply not tried.
    std::fprintf(stderr, "tamrix-miner: could only start %d of %d CPU worker threads\n", started,
                 num_threads);
  }

  for (std::thread& worker : workers) worker.join();
}
