#include "mine/cpu_coordinator.h"

#include <cstring>

CpuCoordinator::~CpuCoordinator() { stop_cpu_search(*this); }

namespace {

void begin_at(CpuCoordinator& search, const HeaderKey& key, int num_threads,
              uint32_t start_nonce) {
  std::memset(search.header, 0, sizeof search.header);
  std::memcpy(search.header, key.header, sizeof key.header);
  std::memcpy(search.target, key.target, sizeof search.target);
  search.key = key;
  search.used_up = false;
  search.positions = first_positions(num_threads, start_nonce);
}

}  // namespace

bool start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, uint32_t start_nonce, NonceSpace* space) {
  const HeaderKey key = make_header_key(header, target);
  const bool resumes = same_header_key(search.key, key) &&
                       search.positions.size() == static_cast<size_t>(num_threads);
  if (!resumes) begin_at(search, key, num_threads, start_nonce);

  search.state.reset();
  search.ended_by_itself.store(false);
  search.end = CpuSearchEnd::stopped;

  std::function<void()> body = [&search, space] {
    CpuSearchJob job;
    job.header = search.header;
    job.target = search.target;
    job.positions = search.positions;
    job.space = space;
    search.end = search.search_function(job, search.state);
    if (search.state.running.load()) {
      search.ended_by_itself.store(true);
      if (search.state.wakeup) search.state.wakeup->release();
    }
  };
  return start_thread_or_say(search.thread, search.start_thread, std::move(body), "CPU search");
}

bool cpu_search_not_joined(const CpuCoordinator& search) { return search.thread.joinable(); }

bool cpu_search_covers(const CpuCoordinator& search, const uint8_t header[80],
                       const uint32_t target[8]) {
  return cpu_search_not_joined(search) &&
         same_header_key(search.key, make_header_key(header, target));
}

bool cpu_search_used_up(const CpuCoordinator& search, const uint8_t header[80],
                        const uint32_t target[8]) {
  return search.used_up && same_header_key(search.key, make_header_key(header, target));
}

uint64_t stop_cpu_search(CpuCoordinator& search) {
  if (!search.thread.joinable()) return 0;
  search.state.running.store(false);
  search.thread.join();
  if (search.end == CpuSearchEnd::space_used_up) search.used_up = true;
  return search.state.hash_count.load();
}
