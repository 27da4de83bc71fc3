#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "hash/search_kernels.h"
#include "mine/cpu_search.h"

// Creates one thread that runs `body`. Like the std::thread constructor it
// throws std::system_error when the system cannot create the thread; tests
// pass a starter that does so on purpose.
using WorkerStarter = std::function<std::thread(std::function<void()> body)>;

// cpu_mine with the thread creation and the hashing kernel supplied by the
// caller. cpu_mine is this function with a starter that constructs a
// std::thread and the kernel that search_kernel_auto picks. When a worker cannot
// be started, one line goes to standard error and the search goes on with the
// workers that did start; nothing is thrown and every started worker has been
// joined when this returns.
void cpu_mine_with_starter(const uint8_t header[80], const uint32_t target[8], int num_threads,
                           uint32_t start_nonce, std::atomic<bool>& running,
                           std::atomic<bool>& found, CpuMiningResult* result,
                           std::atomic<uint64_t>& hash_count, const WorkerStarter& start_worker,
                           const SearchKernel* kernel);

// cpu_mine_resume with the thread creation and the kernel supplied likewise.
// A null kernel (no kernel agrees with the reference) searches nothing.
void cpu_mine_resume_with_starter(const uint8_t header[80], const uint32_t target[8],
                                  std::span<uint32_t> next_nonces, std::atomic<bool>& running,
                                  std::atomic<bool>& found, CpuMiningResult* result,
                                  std::atomic<uint64_t>& hash_count,
                                  const WorkerStarter& start_worker, const SearchKernel* kernel);
