#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "node/node_link.h"

// What the miner knows about its devices, its node and its blocks: the one
// record the mining loop keeps up to date, from which it prints its status
// lines, and which it publishes for the read-only HTTP API. The API shows
// these values and computes nothing of its own.

// What a device is doing now.
enum class DeviceState {
  mining,       // searching the work in hand
  waiting,      // no work it may search (none yet, out of date, or used up)
  backing_off,  // its launches failed; tried again at `retry_at`
  hot,          // paused at --temp-limit until it is 5 degrees cooler
};

// "mining", "waiting", "backing off", "hot": as the status lines and the API
// name the state.
const char* device_state_name(DeviceState state);

struct DeviceStatus {
  std::string kind;        // "GPU" or "CPU"
  int index = 0;           // GPU: its -d index; CPU: 0
  std::string pci_bus_id;  // GPU: "0000:65:00.0", "" when unknown; CPU: ""
  std::string name;        // GPU: the device's name, printable; CPU: "N threads"
  uint64_t hashes = 0;     // nonces hashed since mining began
  // Hashes per second over the last status period, the last 10 and 60
  // seconds, and since mining began.
  double rate_period = 0;
  double rate_10s = 0;
  double rate_60s = 0;
  double rate_since_start = 0;
  // Hashes per second over each of the last kRateHistorySpans spans of
  // kRateHistorySpanSeconds, oldest first; shorter until that much has passed.
  std::vector<double> rate_history;
  int temperature_c = -1;    // 0 or below: not available
  double power_watts = -1;   // 0 or below: not available
  DeviceState state = DeviceState::waiting;
  uint64_t failures = 0;     // failed starts or launches since mining began
};

struct NodeStatus {
  std::string url;  // the node mined on, as printed: password masked, printable
  int index = 0;    // 0: the main node (-o); 1, 2, ...: the --backup-node given in that place
  NodeState state = NodeState::connecting;
  double state_seconds = 0;  // how long it has been in that state
  int32_t height = 0;        // of the work in hand; 0 before any
  double template_age_seconds = -1;  // since the node last sent work; below 0 before any
  LongpollState longpoll = LongpollState::starting;
  // From the news of a new tip (the watch's answer) to the devices searching
  // work on it, for the last such switch; below 0 before any.
  double last_switch_seconds = -1;
  std::vector<RequestCount> requests;
};

// A block a device found, and what became of it.
struct FoundBlock {
  int32_t height = 0;
  std::string hash_hex;   // the block's hash as the node writes it (64 hex digits)
  std::string device;     // "CPU", "GPU", or "GPU 1" where several GPUs mine
  std::chrono::system_clock::time_point found_at{};
  BlockVerdict verdict = BlockVerdict::pending;
  std::string reason;     // refused or lost: why
};

struct RigStatus {
  std::string version;  // TAMRIX_VERSION
  std::chrono::system_clock::time_point started_at{};
  double uptime_seconds = 0;
  std::vector<DeviceStatus> devices;  // the GPUs in -d order, then the CPU
  // The whole machine, as the status line shows it, and over 10 and 60 s.
  double rate_since_start = 0;
  double rate_10s = 0;
  double rate_60s = 0;
  NodeStatus node;
  uint64_t blocks_accepted = 0;
  uint64_t blocks_refused = 0;
  std::map<std::string, uint64_t> refusals_by_reason;
  uint64_t blocks_lost = 0;
  std::vector<FoundBlock> recent_blocks;  // the last kRecentBlocks found, oldest first
};

constexpr size_t kRecentBlocks = 20;
constexpr size_t kRateHistorySpans = 30;
constexpr int kRateHistorySpanSeconds = 10;

// Where the loop publishes the record for readers on other threads (the
// API's). The loop replaces the whole record at most a few times a second;
// a reader copies it. The lock is never taken by a search thread.
struct RigBoard {
  mutable std::mutex lock;
  RigStatus status;
  bool published = false;  // false until the loop's first publish
};

void publish_rig_status(RigBoard& board, const RigStatus& status);

// A copy of the record last published; `published` false before the first.
RigStatus read_rig_status(const RigBoard& board, bool* published = nullptr);
