#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>
#include <vector>

#include "driver/header_key.h"
#include "mine/cpu_search.h"
#include "mine/worker_start.h"

// The CPU search entry point the coordinator thread runs: cpu_mine_resume in
// the program, a fake in the driver's tests.
using CpuSearchFunction =
    std::function<void(const uint8_t header[80], const uint32_t target[8],
                       std::span<uint32_t> next_nonces, std::atomic<bool>& running,
                       std::atomic<bool>& found, CpuMiningResult* result,
                       std::atomic<uint64_t>& hash_count)>;

// One CPU search running on a coordinator thread, with the flags, counter and
// result record it shares with the driver, and where the search stands. The
// coordinator keeps its own copy of the header and target, so a search may
// outlive the unit of work it began with and carry on under a later unit of
// the same header. The workers hold references to these members, so the
// struct stays where it was created; a search still running when it goes out
// of scope is stopped first.
struct CpuCoordinator {
  std::atomic<bool> running{true};
  std::atomic<bool> found{false};
  std::atomic<uint64_t> hash_count{0};  // hashes of the current search only
  CpuMiningResult result{};
  std::thread thread;

  // The header searched, nonce bytes zero, and the next nonce of each worker.
  // Written only while no coordinator thread runs; kept after a stop so the
  // next search of the same key resumes there.
  uint8_t header[80] = {};
  uint32_t target[8] = {};
  HeaderKey key;
  std::vector<uint32_t> next_nonces;

  CpuSearchFunction search_function = cpu_mine_resume;
  WorkerStarter start_thread;  // empty: std::thread

  CpuCoordinator() = default;
  CpuCoordinator(const CpuCoordinator&) = delete;
  CpuCoordinator& operator=(const CpuCoordinator&) = delete;
  ~CpuCoordinator();
};

// Starts a search of header and target with num_threads workers on the
// coordinator thread, after resetting the flags, the counter and the result.
// When the last search had the same header bytes 0..75, target and thread
// count, every worker resumes where it stopped; otherwise worker i begins at
// start_nonce + i. No search may be running. Returns false, after one line on
// standard error, when the coordinator thread cannot be created; the search
// is then inactive.
bool start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, uint32_t start_nonce);

// True between a successful start_cpu_search and stop_cpu_search.
bool cpu_search_active(const CpuCoordinator& search);

// True while a search of this header and target runs, so that a unit of work
// with that key can take the search over as it is.
bool cpu_search_covers(const CpuCoordinator& search, const uint8_t header[80],
                       const uint32_t target[8]);

// Clears `running` and joins the coordinator, whose search returns only
// after every worker has added its last hashes and stored its position.
// Returns the final hash count the first time, 0 on later calls, so a caller
// can always add the result.
uint64_t stop_cpu_search(CpuCoordinator& search);
