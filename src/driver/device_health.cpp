#include "driver/device_health.h"

#include <algorithm>

HealthClock::duration gpu_retry_delay(int failures_in_a_row) {
  const int doublings = std::clamp(failures_in_a_row - 1, 0, 6);
  return std::min<HealthClock::duration>(std::chrono::seconds(1) * (1 << doublings), kLongestGpuRetry);
}

HealthChange note_device_failed(DeviceHealth& health, HealthClock::time_point now) {
  ++health.failures;
  ++health.failures_since_start;
  health.tried_since_failure = false;
  health.next_try = now + gpu_retry_delay(health.failures);
  return health.failures == 1 ? HealthChange::failed : HealthChange::none;
}

void note_device_started(DeviceHealth& health, HealthClock::time_point now) {
  if (health.failures == 0 || health.tried_since_failure) return;
  health.tried_since_failure = true;
  health.tried_at = now;
}

HealthChange note_device_healthy(DeviceHealth& health, HealthClock::time_point now) {
  if (health.failures == 0 || !health.tried_since_failure || now - health.tried_at < kHealthyStretch)
    return HealthChange::none;
  health.failures = 0;
  health.tried_since_failure = false;
  return HealthChange::recovered;
}

bool device_may_start(const DeviceHealth& health, HealthClock::time_point now) {
  return health.failures == 0 || health.tried_since_failure || now >= health.next_try;
}

bool device_backing_off(const DeviceHealth& health, HealthClock::time_point now) {
  return !device_may_start(health, now);
}

TemperatureChange check_temperature(TemperatureGuard& guard, int temperature_c, int limit_c) {
  if (limit_c <= 0 || temperature_c <= 0) return TemperatureChange::none;
  if (!guard.hot && temperature_c >= limit_c) {
    guard.hot = true;
    return TemperatureChange::reached_limit;
  }
  if (guard.hot && temperature_c <= limit_c - kCoolingMarginC) {
    guard.hot = false;
    return TemperatureChange::cooled_down;
  }
  return TemperatureChange::none;
}
