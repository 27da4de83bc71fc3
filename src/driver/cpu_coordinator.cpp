#include "driver/cpu_coordinator.h"

CpuCoordinator::~CpuCoordinator() { stop_cpu_search(*this); }

void start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, uint32_t start_nonce) {
  search.thread = std::thread([&search, header, target, num_threads, start_nonce] {
    cpu_mine(header, target, num_threads, start_nonce, search.running, search.found,
             &search.result, search.hash_count);
  });
}

bool cpu_search_active(const CpuCoordinator& search) { return search.thread.joinable(); }

uint64_t stop_cpu_search(CpuCoordinator& search) {
  if (!search.thread.joinable()) return 0;
  search.running.store(false);
  search.thread.join();
  return search.hash_count.load();
}
