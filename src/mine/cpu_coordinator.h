#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "mine/cpu_search.h"
#include "mine/search_state.h"
#include "mine/work_space.h"
#include "mine/worker_starter.h"

// The CPU search the coordinator thread runs: cpu_search in the program, a
// fake in the driver's tests.
using CpuSearchFunction = std::function<CpuSearchEnd(const CpuSearchJob& job, SearchState& state)>;

// One CPU search running on a coordinator thread, with the state it shares
// with the mining loop. The coordinator keeps its own copy of the header and
// target, so a search may outlive the work it began with and carry on under
// later work of the same key. The workers hold references to these members,
// so the struct stays where it was created; a search still running when it
// goes out of scope is stopped first.
//
// Who writes what: `state` as SearchState says (the loop stores `running`,
// the workers the rest). `ended_by_itself` and `end` by the coordinator
// thread, and by start_cpu_search before it starts that thread; the loop
// reads `end` only after the join. Every other member by the loop's thread,
// and only while no coordinator thread runs.
struct CpuCoordinator {
  SearchState state;
  // Set by the coordinator thread when the search has returned while still
  // allowed to run: solved, out of room, or unable to search at all.
  std::atomic<bool> ended_by_itself{false};
  CpuSearchEnd end = CpuSearchEnd::stopped;
  std::thread thread;

  uint8_t header[80] = {};
  uint32_t target[8] = {};

  CpuSearchFunction search_function = cpu_search;
  WorkerStarter start_thread;  // creates the coordinator thread; empty: std::thread

  CpuCoordinator() = default;
  CpuCoordinator(const CpuCoordinator&) = delete;
  CpuCoordinator& operator=(const CpuCoordinator&) = delete;
  ~CpuCoordinator();
};

// Starts a search of header and target with num_threads workers on the
// coordinator thread, after resetting the shared state; the workers claim
// their chunks from `space`, which outlives the search. No search may be
// running. Returns false, after one line on standard error, when the
// coordinator thread cannot be created; the search is then not running.
bool start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, WorkSpace* space);

// True between a successful start_cpu_search and stop_cpu_search, including
// after the search has ended by itself.
bool cpu_search_not_joined(const CpuCoordinator& search);

// Clears `running` and joins the coordinator, whose search returns only
// after every worker has added its last hashes. Returns the final hash count
// the first time, 0 on later calls, so a caller can always add the result.
uint64_t stop_cpu_search(CpuCoordinator& search);
