#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

// A device's hash count sampled about once a second, for its rates over the
// last 10 and 60 seconds and its rate history in 10-second spans. Only the
// mining loop's thread uses it.

using RateClock = std::chrono::steady_clock;

struct RateSample {
  RateClock::time_point at;
  uint64_t hashes = 0;
};

struct RateMeter {
  std::deque<RateSample> samples;  // oldest first, at least a second apart, the first kept
};

// How far back the samples reach: the history's 30 spans of 10 s, and one more.
constexpr RateClock::duration kRateMemory = std::chrono::seconds(310);

// Notes the count at `now` (counts only grow); a sample less than a second
// after the last one is skipped, and samples older than kRateMemory go,
// except the first, which dates the start.
void add_rate_sample(RateMeter& meter, RateClock::time_point now, uint64_t hashes);

// Hashes a second from the last sample taken at or before now - window (the
// first one, if none is that old) to (now, hashes); 0 without samples or
// time between them.
double rate_over(const RateMeter& meter, RateClock::duration window, RateClock::time_point now,
                 uint64_t hashes);

// Hashes a second in each of the last `spans` spans of `span` ending at the
// newest sample, oldest first; only spans that begin at or after the first
// sample (so shorter until that much time has passed).
std::vector<double> rate_history(const RateMeter& meter, RateClock::duration span, int spans);
