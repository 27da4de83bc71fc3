// The mining loop's rules as values: whether the work in hand may be
// searched and which news counts, a card's back-off and temperature guard,
// the rate meter, the header time's bound and the size of batches.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <vector>

#include "driver/device_health.h"
#include "driver/gpu_launcher.h"
#include "driver/loop_rules.h"
#include "driver/rate_meter.h"

namespace {

using namespace std::chrono_literals;

const LoopClock::time_point t0{};

WorkStanding fetched_at(LoopClock::time_point when) {
  WorkStanding standing;
  standing.have_work = true;
  standing.confirmed_at = when;
  return standing;
}

// Work is searched while it is not stale and either the node sent it within
// kWorkValidFor or the watch holds a request (the tip has not moved).
TEST(LoopRules, WorkIsUsableWhileRecentOrVouchedForAndOnTheTip) {
  EXPECT_FALSE(work_usable(WorkStanding{}, t0));  // nothing fetched yet
  EXPECT_EQ(work_expires_at(WorkStanding{}), LoopClock::time_point::max());
  WorkStanding standing = fetched_at(t0);
  EXPECT_TRUE(work_usable(standing, t0 + kWorkValidFor));
  EXPECT_FALSE(work_usable(standing, t0 + kWorkValidFor + 1ns));
  EXPECT_EQ(work_expires_at(standing), t0 + kWorkValidFor + 1ns);
  standing.watch_holding = true;
  EXPECT_TRUE(work_usable(standing, t0 + 10 * kWorkValidFor));
  EXPECT_EQ(work_expires_at(standing), LoopClock::time_point::max());
  standing.stale = true;
  EXPECT_FALSE(work_usable(standing, t0));
}

// News of a tip counts only at the work's height or above, and not for the
// work's own tip; fetched work older than the newest tip, or on the block
// our accepted block was built on (unless fetched after it), is behind.
TEST(LoopRules, WhichTipsAndFetchesAreNews) {
  struct Case {
    int32_t news_height;
    uint64_t news_tip;
    bool passes;
  };
  for (const Case& c : {Case{8, 0xB, true}, Case{9, 0xB, true}, Case{7, 0xB, false}, Case{8, 0xA, false}})
    EXPECT_EQ(tip_news_passes_work(8, 0xA, c.news_height, c.news_tip), c.passes) << c.news_height;

  WorkStanding standing = fetched_at(t0);
  EXPECT_FALSE(fetched_work_is_behind(standing, 1, 0xA, false));
  standing.newest_tip_height = 9;
  EXPECT_TRUE(fetched_work_is_behind(standing, 8, 0xA, false));
  EXPECT_FALSE(fetched_work_is_behind(standing, 9, 0xA, false));
  standing.tip_we_built_on = 0xA;
  EXPECT_TRUE(fetched_work_is_behind(standing, 9, 0xA, false));
  EXPECT_FALSE(fetched_work_is_behind(standing, 9, 0xA, true));
  EXPECT_FALSE(fetched_work_is_behind(standing, 9, 0xC, false));
}

// A card is out for 1, 2, 4 ... 60 s after each failure in a row; its
// failures are forgotten only after a healthy minute since it was tried
// again, so a card that faults every few seconds backs off ever longer.
TEST(DeviceHealth, BacksOffAndForgetsOnlyAfterAHealthyMinute) {
  const LoopClock::duration delays[] = {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s};
  for (int failures = 1; failures <= 8; ++failures)
    EXPECT_EQ(gpu_retry_delay(failures), delays[failures - 1]) << failures;
  EXPECT_EQ(gpu_retry_delay(1000), 60s);

  // A card that fails 5 s after every start: one line, then longer pauses.
  DeviceHealth health;
  LoopClock::time_point now = t0;
  std::vector<HealthChange> changes;
  std::vector<LoopClock::duration> pauses;
  for (int k = 0; k < 8; ++k) {
    ASSERT_TRUE(device_may_start(health, now)) << k;
    note_device_started(health, now);
    note_device_started(health, now + 2s);  // new work restarts it: the stretch still counts from now
    EXPECT_EQ(note_device_healthy(health, now + 5s - 1ns), HealthChange::none);
    now += 5s;
    changes.push_back(note_device_failed(health, now));
    EXPECT_TRUE(device_backing_off(health, now));
    EXPECT_FALSE(device_may_start(health, health.next_try - 1ns));
    pauses.push_back(health.next_try - now);
    now = health.next_try;
  }
  EXPECT_EQ(changes.front(), HealthChange::failed);
  EXPECT_EQ(std::count(changes.begin(), changes.end(), HealthChange::failed), 1);
  EXPECT_EQ(pauses, std::vector<LoopClock::duration>(std::begin(delays), std::end(delays)));
  EXPECT_EQ(health.failures_since_start, 8u);

  // Then a healthy minute: forgotten, with one line, and the next failure
  // is a first one again.
  note_device_started(health, now);
  EXPECT_EQ(note_device_healthy(health, now + kHealthyStretch - 1ns), HealthChange::none);
  EXPECT_EQ(note_device_healthy(health, now + kHealthyStretch), HealthChange::recovered);
  EXPECT_EQ(note_device_healthy(health, now + 2 * kHealthyStretch), HealthChange::none);
  EXPECT_EQ(note_device_failed(health, now + 3 * kHealthyStretch), HealthChange::failed);
  EXPECT_EQ(health.next_try, now + 3 * kHealthyStretch + 1s);
}

// --temp-limit: a card pauses at the limit and mines again 5 degrees
// cooler; readings of none, and no limit, change nothing.
TEST(DeviceHealth, TemperatureGuardPausesUntilFiveDegreesCooler) {
  struct Step {
    int reading;
    TemperatureChange change;
    bool hot;
  };
  const Step steps[] = {{79, TemperatureChange::none, false},       {80, TemperatureChange::reached_limit, true},
                        {85, TemperatureChange::none, true},        {76, TemperatureChange::none, true},
                        {-1, TemperatureChange::none, true},        {75, TemperatureChange::cooled_down, false},
                        {79, TemperatureChange::none, false},       {90, TemperatureChange::reached_limit, true}};
  TemperatureGuard guard;
  for (const Step& step : steps) {
    EXPECT_EQ(check_temperature(guard, step.reading, 80), step.change) << step.reading;
    EXPECT_EQ(guard.hot, step.hot) << step.reading;
  }
  TemperatureGuard unlimited;
  EXPECT_EQ(check_temperature(unlimited, 120, 0), TemperatureChange::none);
  EXPECT_FALSE(unlimited.hot);
}

// Rates from samples about a second apart: over a window, and in 10 s
// spans of history that begin no earlier than the first sample.
TEST(RateMeter, RatesOverWindowsAndSpans) {
  RateMeter meter;
  // 100 hashes a second for 30 s, then 300 a second for 30 s; a sample
  // less than a second after the last is skipped.
  uint64_t hashes = 0;
  for (int second = 0; second <= 60; ++second) {
    add_rate_sample(meter, t0 + second * 1s, hashes);
    add_rate_sample(meter, t0 + second * 1s + 500ms, hashes + 1);
    hashes += second < 30 ? 100 : 300;
  }
  EXPECT_EQ(meter.samples.size(), 61u);
  const uint64_t at_60 = 30 * 100 + 30 * 300;
  EXPECT_DOUBLE_EQ(rate_over(meter, 10s, t0 + 60s, at_60), 300.0);
  EXPECT_DOUBLE_EQ(rate_over(meter, 60s, t0 + 60s, at_60), 200.0);
  EXPECT_DOUBLE_EQ(rate_over(meter, 600s, t0 + 60s, at_60), 200.0);  // from the first sample
  EXPECT_EQ(rate_history(meter, 10s, 30), (std::vector<double>{100, 100, 100, 300, 300, 300}));
  EXPECT_DOUBLE_EQ(rate_over(RateMeter{}, 10s, t0, 5), 0.0);
  // Samples older than kRateMemory go, except the first.
  for (int second = 61; second <= 400; ++second) add_rate_sample(meter, t0 + second * 1s, hashes);
  EXPECT_LE(meter.samples.size(), 313u);
  EXPECT_EQ(meter.samples.front().at, t0);
  EXPECT_EQ(rate_history(meter, 10s, 30).size(), 30u);
}

// The header time may run kMaxSecondsAheadOfNode seconds past the node's,
// every nonce of that last second included, and never wraps at the top.
TEST(LoopRules, HeaderTimeStaysWithinTenMinutesOfTheNode) {
  EXPECT_EQ(kMaxSecondsAheadOfNode, 600u);
  EXPECT_EQ(work_end_for(1700000000), uint64_t{1700000601} << 32);
  EXPECT_EQ(work_end_for(0xFFFFFFFFu), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(work_end_for(0xFFFFFFFFu - 600), std::numeric_limits<uint64_t>::max());
}

// Batches sized by time aim at 10 to 40 ms each, within 2^16 to 2^31
// nonces, in whole launches of --batch-size nonces (at least one).
TEST(LoopRules, BatchesSizedByTime) {
  EXPECT_EQ(next_batch_size_by_time(1u << 20, 0.002), 2u << 20);
  EXPECT_EQ(next_batch_size_by_time(1u << 20, 0.020), 1u << 20);
  EXPECT_EQ(next_batch_size_by_time(1u << 20, 0.100), 1u << 19);
  EXPECT_EQ(next_batch_size_by_time(uint64_t{1} << 31, 0.001), uint64_t{1} << 31);
  EXPECT_EQ(next_batch_size_by_time(1u << 16, 1.0), 1u << 16);
  EXPECT_EQ(batch_of_launches(5u << 20, 1u << 20), 5u << 20);
  EXPECT_EQ(batch_of_launches((5u << 20) + 7, 1u << 20), 5u << 20);
  EXPECT_EQ(batch_of_launches(1u << 16, 1u << 20), 1u << 20);
  EXPECT_EQ(batch_of_launches(uint64_t{1} << 31, 4000000000u), 4000000000u);
  EXPECT_EQ(batch_of_launches(12345, 0), 12345u);
}

}  // namespace
