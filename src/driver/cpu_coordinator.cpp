#include "driver/cpu_coordinator.h"

#include <cstdio>
#include <cstring>
#include <system_error>

CpuCoordinator::~CpuCoordinator() { stop_cpu_search(*this); }

namespace {

void begin_at(CpuCoordinator& search, const HeaderKey& key, int num_threads,
              uint32_t start_nonce) {
  std::memset(search.header, 0, sizeof search.header);
  std::memcpy(search.header, key.header, sizeof key.header);
  std::memcpy(search.target, key.target, sizeof search.target);
  search.key = key;
  search.next_nonces.clear();
  for (int i = 0; i < num_threads; ++i)
    search.next_nonces.push_back(start_nonce + static_cast<uint32_t>(i));
}

}  // namespace

bool start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, uint32_t start_nonce) {
  const HeaderKey key = make_header_key(header, target);
  const bool resumes = same_header_key(search.key, key) &&
                       search.next_nonces.size() == static_cast<size_t>(num_threads);
  if (!resumes) begin_at(search, key, num_threads, start_nonce);

  search.running.store(true);
  search.found.store(false);
  search.hash_count.store(0);
  search.result = CpuMiningResult{};

  std::function<void()> body = [&search] {
    search.search_function(search.header, search.target, search.next_nonces, search.running,
                           search.found, &search.result, search.hash_count);
  };
  try {
    search.thread = search.start_thread ? search.start_thread(std::move(body))
                                        : std::thread(std::move(body));
  } catch (const std::system_error& failure) {
    std::fprintf(stderr, "tamrix-miner: could not start the CPU search thread: %s\n",
                 failure.what());
    return false;
  }
  return true;
}

bool cpu_search_active(const CpuCoordinator& search) { return search.thread.joinable(); }

bool cpu_search_covers(const CpuCoordinator& search, const uint8_t header[80],
                       const uint32_t target[8]) {
  return cpu_search_active(search) && same_header_key(search.key, make_header_key(header, target));
}

uint64_t stop_cpu_search(CpuCoordinator& search) {
  if (!search.thread.joinable()) return 0;
  search.running.store(false);
  search.thread.join();
  return search.hash_count.load();
}
