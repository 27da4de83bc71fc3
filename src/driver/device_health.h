#pragma once

#include <chrono>
#include <cstdint>

// The rules that take one GPU out of the search and bring it back: its
// back-off after failures, and the --temp-limit guard. Plain functions of
// the device's record and the time, so that each can be checked on a fake
// clock; the mining loop keeps one record of each kind per device.

using HealthClock = std::chrono::steady_clock;

// A card whose launches fail is tried again after 1, 2, 4 ... seconds, at
// most this long apart.
constexpr HealthClock::duration kLongestGpuRetry = std::chrono::seconds(60);
// How long a card must run without a failure before its failures are
// forgotten: a card that faults every few seconds keeps backing off longer
// instead of coming back at once each time.
constexpr HealthClock::duration kHealthyStretch = std::chrono::seconds(60);
// A card paused at the temperature limit mines again this much cooler.
constexpr int kCoolingMarginC = 5;

// How long a card that has failed `failures_in_a_row` times (1 or more)
// waits before the next try.
HealthClock::duration gpu_retry_delay(int failures_in_a_row);

struct DeviceHealth {
  int failures = 0;                   // failures since it last ran a healthy stretch
  uint64_t failures_since_start = 0;  // every failure of the run
  HealthClock::time_point next_try{};
  // Started again since its last failure, and when that first start was;
  // later starts (new work) do not move it.
  bool tried_since_failure = false;
  HealthClock::time_point tried_at{};
};

// What a failure or a healthy stretch changed, for the one line it is worth.
enum class HealthChange {
  none,
  failed,     // the first failure after a healthy stretch ("GPU kernel failed")
  recovered,  // a healthy stretch after failures ("GPU kernel works again")
};

// The card failed at `now`: it is out until the back-off has passed.
HealthChange note_device_failed(DeviceHealth& health, HealthClock::time_point now);

// The card has been started at `now` (its thread runs).
void note_device_started(DeviceHealth& health, HealthClock::time_point now);

// Called on every pass: once kHealthyStretch has passed since the card was
// tried again without another failure, its failures are forgotten.
HealthChange note_device_healthy(DeviceHealth& health, HealthClock::time_point now);

// Whether the card may be started at `now`: it has not failed, it has been
// tried since, or its back-off is over.
bool device_may_start(const DeviceHealth& health, HealthClock::time_point now);

// Whether the card is out after a failure, its back-off not yet over.
bool device_backing_off(const DeviceHealth& health, HealthClock::time_point now);

// --temp-limit: a card that reaches the limit pauses until it is
// kCoolingMarginC degrees cooler.
struct TemperatureGuard {
  bool hot = false;
};

enum class TemperatureChange { none, reached_limit, cooled_down };

// Takes a reading (degrees Celsius; 0 or below: the card reports none,
// which changes nothing) against `limit_c` (0 or below: no limit).
TemperatureChange check_temperature(TemperatureGuard& guard, int temperature_c, int limit_c);
