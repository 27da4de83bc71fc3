#include "driver/rig_status_stand_in.h"

namespace {

using Clock = DeviceRates::Clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Over the window ending now, from the last sample at or before its start
// (or the first sample, while the run is shorter than the window).
double rate_over(const DeviceRates& rates, Clock::duration window, uint64_t hashes, Clock::time_point now) {
  const DeviceRates::Sample* from = &rates.samples.front();
  for (const DeviceRates::Sample& sample : rates.samples)
    if (sample.at <= now - window) from = &sample;
  const double seconds = seconds_between(from->at, now);
  return seconds > 0 ? static_cast<double>(hashes - from->hashes) / seconds : 0;
}

}  // namespace

void note_device_hashes(DeviceRates& rates, DeviceStatus& device, uint64_t hashes, Clock::time_point start,
                        Clock::time_point now) {
  if (rates.samples.empty()) {
    rates.samples.push_back({start, 0});
    rates.span_began = start;
  }
  const DeviceRates::Sample& last = rates.samples.back();
  const double period = seconds_between(last.at, now);
  device.rate_period = period > 0 ? static_cast<double>(hashes - last.hashes) / period : 0;
  device.hashes = hashes;
  device.rate_10s = rate_over(rates, std::chrono::seconds(10), hashes, now);
  device.rate_60s = rate_over(rates, std::chrono::seconds(60), hashes, now);
  const double run = seconds_between(start, now);
  device.rate_since_start = run > 0 ? static_cast<double>(hashes) / run : 0;
  if (now - rates.span_began >= std::chrono::seconds(kRateHistorySpanSeconds)) {
    device.rate_history.push_back(static_cast<double>(hashes - rates.span_hashes) /
                                  seconds_between(rates.span_began, now));
    if (device.rate_history.size() > kRateHistorySpans) device.rate_history.erase(device.rate_history.begin());
    rates.span_began = now;
    rates.span_hashes = hashes;
  }
  rates.samples.push_back({now, hashes});
  while (rates.samples.size() > 2 && rates.samples[1].at <= now - std::chrono::seconds(60))
    rates.samples.pop_front();
}
