#include "mine/cpu_coordinator.h"

#include <cstring>

CpuCoordinator::~CpuCoordinator() { stop_cpu_search(*this); }

bool start_cpu_search(CpuCoordinator& search, const uint8_t header[80], const uint32_t target[8],
                      int num_threads, WorkSpace* space) {
  std::memcpy(search.header, header, sizeof search.header);
  std::memcpy(search.target, target, sizeof search.target);
  search.state.reset();
  search.ended_by_itself.store(false);
  search.end = CpuSearchEnd::stopped;

  std::function<void()> body = [&search, num_threads, space] {
    CpuSearchJob job;
    job.header = search.header;
    job.target = search.target;
    job.num_threads = num_threads;
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

uint64_t stop_cpu_search(CpuCoordinator& search) {
  if (!search.thread.joinable()) return 0;
  search.state.running.store(false);
  search.thread.join();
  return search.state.hash_count.load();
}
