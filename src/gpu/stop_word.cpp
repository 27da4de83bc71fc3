#include "gpu/stop_word.h"

#include <atomic>

uint32_t count_stop_request(uint32_t* requests) {
  return std::atomic_ref<uint32_t>(*requests).fetch_add(1) + 1;
}

uint32_t stop_requests_so_far(uint32_t* requests) {
  return std::atomic_ref<uint32_t>(*requests).load();
}

void raise_stop_word(uint32_t* word, uint32_t count) {
  std::atomic_ref<uint32_t> shared(*word);
  uint32_t now = shared.load();
  while (now < count && !shared.compare_exchange_weak(now, count)) {
  }
}
