#include "driver/rate_meter.h"

#include <algorithm>

namespace {

// The last sample at or before `when`; the first sample when none is.
const RateSample& sample_at(const RateMeter& meter, RateClock::time_point when) {
  auto after = std::upper_bound(meter.samples.begin(), meter.samples.end(), when,
                                [](RateClock::time_point t, const RateSample& s) { return t < s.at; });
  return after == meter.samples.begin() ? meter.samples.front() : *std::prev(after);
}

double rate_between(const RateSample& from, RateClock::time_point to, uint64_t hashes) {
  const double seconds = std::chrono::duration<double>(to - from.at).count();
  if (seconds <= 0 || hashes < from.hashes) return 0;
  return static_cast<double>(hashes - from.hashes) / seconds;
}

}  // namespace

void add_rate_sample(RateMeter& meter, RateClock::time_point now, uint64_t hashes) {
  if (!meter.samples.empty() && now - meter.samples.back().at < std::chrono::seconds(1)) return;
  meter.samples.push_back(RateSample{now, hashes});
  // The first sample stays: it dates the start of the history.
  while (meter.samples.size() > 2 && now - meter.samples[1].at > kRateMemory)
    meter.samples.erase(meter.samples.begin() + 1);
}

double rate_over(const RateMeter& meter, RateClock::duration window, RateClock::time_point now,
                 uint64_t hashes) {
  if (meter.samples.empty()) return 0;
  return rate_between(sample_at(meter, now - window), now, hashes);
}

std::vector<double> rate_history(const RateMeter& meter, RateClock::duration span, int spans) {
  std::vector<double> rates;
  if (meter.samples.empty()) return rates;
  const RateSample& newest = meter.samples.back();
  for (int k = spans; k >= 1; --k) {
    const RateClock::time_point begins = newest.at - span * k;
    if (begins < meter.samples.front().at) continue;
    const RateSample& from = sample_at(meter, begins);
    const RateSample& to = sample_at(meter, begins + span);
    rates.push_back(rate_between(from, to.at, to.hashes));
  }
  return rates;
}
