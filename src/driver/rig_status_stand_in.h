#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "driver/rig_status.h"

// A stand-in of the mining loop's until the loop keeps the whole RigStatus
// itself (the multi-GPU loop with node events replaces this file and its
// calls in mining_loop.cpp): one device's hash count over time, turned into
// the record's rates, so that the API has a record to show meanwhile.

struct DeviceRates {
  using Clock = std::chrono::steady_clock;
  struct Sample {
    Clock::time_point at;
    uint64_t hashes;
  };
  std::deque<Sample> samples;  // one per note, the last 60 s and one before
  Clock::time_point span_began{};
  uint64_t span_hashes = 0;
};

// Brings `device`'s hashes and rates up to date with its count `hashes` at
// `now`; mining began at `start`, with no hash counted.
void note_device_hashes(DeviceRates& rates, DeviceStatus& device, uint64_t hashes,
                        DeviceRates::Clock::time_point start, DeviceRates::Clock::time_point now);
