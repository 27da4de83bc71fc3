#pragma once

// The mining loop's state and the steps it is made of, shared by the files
// that make up the loop: mining_loop.cpp (the passes and the real ports),
// loop_devices.cpp (starting, parking and hearing the devices),
// loop_node.cpp (the node link's events and the blocks handed to it) and
// loop_status.cpp (the status lines and the published record). Only the
// loop's thread touches a MiningRun, except the members the device threads
// share, as their types say.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver/device_health.h"
#include "driver/gpu_launcher.h"
#include "driver/loop_rules.h"
#include "driver/mining_ports.h"
#include "driver/options.h"
#include "driver/rate_meter.h"
#include "driver/rig_status.h"
#include "mine/cpu_coordinator.h"
#include "mine/header_key.h"
#include "mine/key_history.h"
#include "mine/work_space.h"
#include "node/block_work.h"

using Clock = MiningPorts::Clock;

// Which device a solution came from: a GPU by its place in MiningRun::gpus,
// or the CPU.
constexpr int kCpuDevice = -1;

// A solution a device reported, not yet handed over.
struct Solution {
  int device = kCpuDevice;
  uint32_t nonce = 0;
  uint32_t header_time = 0;  // the block goes in with the time it was found with
  uint8_t hash[32] = {};
};

// A block handed to the node link, until its verdict.
struct HandedOver {
  uint64_t id = 0;
  int32_t height = 0;
  uint64_t tip = 0;  // the fingerprint of the block it builds on
  int device = kCpuDevice;
};

// A solution found while a block on the same previous block is unanswered:
// kept (one at most) in case that block is refused or lost.
struct SpareSolution {
  BlockWork work;
  Solution solution;
  uint64_t tip = 0;
};

// One GPU: its launcher, its health and its figures. The launcher's thread
// uses the run's space and wakeup, declared before the units.
struct GpuUnit {
  const GpuDevicePorts* ports = nullptr;
  GpuLauncher launcher;
  DeviceHealth health;
  TemperatureGuard guard;
  bool start_due = false;
  int temperature_c = -1;
  double power_watts = -1;
  std::optional<Clock::time_point> sensors_read_at;  // never, to begin with
  RateMeter meter;
  uint64_t hashes_at_status = 0;
};

// What the run has done so far.
struct RunTotals {
  int blocks_found = 0;             // blocks the node accepted
  uint64_t blocks_refused = 0;
  uint64_t blocks_lost = 0;
  std::map<std::string, uint64_t> refusals_by_reason;
  uint64_t cpu_hashes_carried = 0;  // final hash counts of finished CPU searches
  uint64_t cpu_hashes_at_status = 0;
  Clock::time_point mining_start;   // reference point of the average rate
  Clock::time_point last_status;    // when the last status line was printed
  std::optional<Clock::time_point> last_publish;  // never, to begin with
  std::optional<Clock::time_point> last_temperature_check;
  std::chrono::system_clock::time_point started_at;
};

// The loop's whole state. Members are destroyed in the reverse order of
// their declaration; the destructors of `cpu` and `gpus` stop and join their
// threads, which use `space` and `wakeup`, so those are declared before them
// (`wakeup` belongs to the caller and outlives the run).
struct MiningRun {
  MiningRun(const Options& o, const DeviceModes& m, const MiningPorts& p, LoopWakeup& w)
      : options(o), modes(m), ports(p), wakeup(w) {}

  const Options& options;
  const DeviceModes& modes;
  const MiningPorts& ports;
  LoopWakeup& wakeup;  // released by the device threads and the node link
  RunTotals totals;

  WorkStanding standing;
  BlockWork searched;  // the work in hand, which the devices belong to
  HeaderKey key;       // its key: `space` hands out this key's positions
  KeyHistory history;
  bool last_fetch_failed = false;
  // When the watch last named a tip past the work in hand, until devices
  // search work on the new tip.
  std::optional<Clock::time_point> tip_moved_at;
  double last_switch_seconds = -1;

  uint64_t next_block_id = 1;
  std::vector<HandedOver> unanswered;
  std::optional<SpareSolution> spare;
  std::deque<FoundBlock> recent_blocks;
  std::vector<uint64_t> recent_ids;  // the ids of recent_blocks, in step

  bool cpu_start_due = false;
  bool no_room_said = false;
  bool out_of_date_said = false;
  bool search_end_said = false;
  RateMeter cpu_meter;
  RateMeter machine_meter;

  WorkSpace space;
  CpuCoordinator cpu;
  std::deque<GpuUnit> gpus;  // a deque: a launcher never moves
};

double seconds_between(Clock::time_point from, Clock::time_point to);

// Several devices mine (a GPU and the CPU count as two): then lines name
// the device.
bool several_devices(const MiningRun& run);

// ---- loop_devices.cpp

// Starts each device that is due and may search the work in hand.
void start_devices(MiningRun& run, Clock::time_point now);
// Stops every device and takes what they found.
void stop_devices(MiningRun& run);
// Stops the devices because the work in hand may not be searched.
void park_devices(MiningRun& run, Clock::time_point now);
// Solutions, searches that ended by themselves and failed cards.
void take_device_news(MiningRun& run, Clock::time_point now);
// Forgets the failures of cards that have run a healthy stretch since.
void note_healthy_devices(MiningRun& run, Clock::time_point now);
// Reads the cards' sensors once a second and applies --temp-limit.
void guard_temperatures(MiningRun& run, Clock::time_point now);
// The earliest moment a card that backs off may be tried again; max() when none waits.
Clock::time_point next_device_try(const MiningRun& run, Clock::time_point now);
uint64_t cpu_hashes(const MiningRun& run);
void note_no_room(MiningRun& run);

// ---- loop_node.cpp

// Takes and applies the node link's events.
void take_node_news(MiningRun& run, Clock::time_point now);
// A device's solution of the work in hand: handed over, kept or dropped.
void take_solution(MiningRun& run, const Solution& solution);

// ---- loop_status.cpp

// The record of the whole rig as it stands.
RigStatus rig_status_now(MiningRun& run, Clock::time_point now);
// Samples the hash counts for the rates over 10 s, 60 s and the history.
void sample_rates(MiningRun& run, Clock::time_point now);
// The status line, and a line per device where several mine.
void print_status(MiningRun& run, Clock::time_point now);
// Publishes the record at most every kPublishInterval, or now when `now_or_never`.
void publish_status(MiningRun& run, Clock::time_point now, bool at_once = false);
