#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "mine/cpu_search.h"

// One CPU search running cpu_mine on a coordinator thread, with the flags,
// counter and result record it shares with the driver. The workers hold
// references to these members, so the struct stays where it was created; a
// search still running when it goes out of scope is stopped first.
struct CpuCoordinator {
  std::atomic<bool> running{true};
  std::atomic<bool> found{false};
  std::atomic<uint64_t> hash_count{0};
  CpuMiningResult result{};
  std::thread thread;

  CpuCoordinator() = default;
  CpuCoordinator(const CpuCoordinator&) = delete;
  CpuCoordinator& operator=(const CpuCoordinator&) = delete;
  ~CpuCoordinator();
};

// Starts cpu_mine(header, target, num_threads, start_nonce, ...) on the
// coordinator thread. header and target must outlive the search.
void start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, uint32_t start_nonce);

// True between start_cpu_search and stop_cpu_search.
bool cpu_search_active(const CpuCoordinator& search);

// Clears `running` and joins the coordinator, whose cpu_mine returns only
// after every worker has added its last hashes. Returns the final hash count
// the first time, 0 on later calls, so a caller can always add the result.
uint64_t stop_cpu_search(CpuCoordinator& search);
