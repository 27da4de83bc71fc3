#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "mine/cpu_search.h"
#include "mine/header_key.h"
#include "mine/nonce_space.h"
#include "mine/search_state.h"
#include "mine/worker_starter.h"

// The CPU search the coordinator thread runs: cpu_search in the program, a
// fake in the driver's tests.
using CpuSearchFunction = std::function<CpuSearchEnd(const CpuSearchJob& job, SearchState& state)>;

// One CPU search running on a coordinator thread, with the state it shares
// with the driver, and where the search stands. The coordinator keeps its own
// copy of the header and target, so a search may outlive the unit of work it
// began with and carry on under a later unit of the same header. The workers
// hold references to these members, so the struct stays where it was
// created; a search still running when it goes out of scope is stopped first.
struct CpuCoordinator {
  SearchState state;
  // Set by the coordinator thread when the search has returned while still
  // allowed to run: solved, out of nonces, or unable to search at all.
  std::atomic<bool> ended_by_itself{false};
  CpuSearchEnd end = CpuSearchEnd::stopped;  // read only after the join
  std::thread thread;

  // The header searched, nonce bytes zero, and the next position of each
  // worker. Written only while no coordinator thread runs; kept after a stop
  // so the next search of the same key resumes there.
  uint8_t header[80] = {};
  uint32_t target[8] = {};
  HeaderKey key;
  std::vector<uint64_t> positions;
  bool used_up = false;  // every position has run out of this key's nonces

  CpuSearchFunction search_function = cpu_search;
  WorkerStarter start_thread;  // creates the coordinator thread; empty: std::thread

  CpuCoordinator() = default;
  CpuCoordinator(const CpuCoordinator&) = delete;
  CpuCoordinator& operator=(const CpuCoordinator&) = delete;
  ~CpuCoordinator();
};

// Starts a search of header and target with num_threads workers on the
// coordinator thread, after resetting the shared state. When the last search
// had the same header bytes 0..75, target and thread count, every worker
// resumes where it stopped; otherwise worker i begins at start_nonce + i.
// `space` (may be null) is where the workers claim their nonces. No search
// may be running. Returns false, after one line on standard error, when the
// coordinator thread cannot be created; the search is then not running.
bool start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, uint32_t start_nonce, NonceSpace* space);

// True between a successful start_cpu_search and stop_cpu_search, including
// after the search has ended by itself.
bool cpu_search_not_joined(const CpuCoordinator& search);

// True while a search of this header and target has not been joined, so that
// a unit of work with that key can take the search over as it is.
bool cpu_search_covers(const CpuCoordinator& search, const uint8_t header[80],
                       const uint32_t target[8]);

// True when the last search of this header and target used up its nonces, so
// that starting it again would hash nothing.
bool cpu_search_used_up(const CpuCoordinator& search, const uint8_t header[80],
                        const uint32_t target[8]);

// Clears `running` and joins the coordinator, whose search returns only
// after every worker has added its last hashes and stored its position.
// Returns the final hash count the first time, 0 on later calls, so a caller
// can always add the result.
uint64_t stop_cpu_search(CpuCoordinator& search);
