#pragma once

// Counts nonces handed to a device more than once for the same header bytes
// 0..75, from the batches it receives: the proof that no work is repeated.

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>

class RepeatCount {
 public:
  // One batch: `size` nonces upward from `start`, wrapping past 0xFFFFFFFF.
  void add(const uint8_t header[80], uint32_t start, uint64_t size) {
    Covered& covered = by_header_[std::string(reinterpret_cast<const char*>(header), 76)];
    const uint64_t first = start;
    const uint64_t last = std::min(first + size, kRing);
    add_span(covered, first, last);
    if (first + size > kRing) add_span(covered, 0, first + size - kRing);
  }

  uint64_t repeats() const { return repeats_; }

 private:
  static constexpr uint64_t kRing = uint64_t{1} << 32;
  using Covered = std::map<uint64_t, uint64_t>;  // disjoint [begin, end), merged

  void add_span(Covered& covered, uint64_t begin, uint64_t end) {
    auto it = covered.upper_bound(begin);
    if (it != covered.begin() && std::prev(it)->second >= begin) --it;
    while (it != covered.end() && it->first <= end) {
      repeats_ += std::max<int64_t>(0, static_cast<int64_t>(std::min(end, it->second)) -
                                           static_cast<int64_t>(std::max(begin, it->first)));
      begin = std::min(begin, it->first);
      end = std::max(end, it->second);
      it = covered.erase(it);
    }
    covered.emplace(begin, end);
  }

  std::map<std::string, Covered> by_header_;
  uint64_t repeats_ = 0;
};
