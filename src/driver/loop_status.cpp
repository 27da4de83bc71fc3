// The mining loop's figures: the status line and the device lines, and the
// record it publishes for the API, all from one RigStatus.

#include <algorithm>
#include <cstdio>

#include "driver/device_lines.h"
#include "driver/mining_run.h"
#include "driver/rate_display.h"

namespace {

DeviceState gpu_state(const GpuUnit& unit, Clock::time_point now) {
  if (unit.guard.hot) return DeviceState::hot;
  if (device_backing_off(unit.health, now)) return DeviceState::backing_off;
  return gpu_launches_not_joined(unit.launcher) ? DeviceState::mining : DeviceState::waiting;
}

// The card's sensors, read at most once a second (the temperature guard
// reads them too).
void read_sensors(GpuUnit& unit, Clock::time_point now) {
  if (unit.sensors_read_at && now - *unit.sensors_read_at < std::chrono::seconds(1)) return;
  unit.sensors_read_at = now;
  unit.temperature_c = unit.ports->temperature ? unit.ports->temperature() : -1;
  unit.power_watts = unit.ports->watts ? unit.ports->watts() : -1;
}

void fill_rates(DeviceStatus& device, const RateMeter& meter, uint64_t hashes, uint64_t hashes_at_status,
                const MiningRun& run, Clock::time_point now) {
  device.hashes = hashes;
  const double period = seconds_between(run.totals.last_status, now);
  device.rate_period = period > 0 ? static_cast<double>(hashes - hashes_at_status) / period : 0;
  device.rate_10s = rate_over(meter, std::chrono::seconds(10), now, hashes);
  device.rate_60s = rate_over(meter, std::chrono::seconds(60), now, hashes);
  const double elapsed = seconds_between(run.totals.mining_start, now);
  device.rate_since_start = elapsed > 0 ? static_cast<double>(hashes) / elapsed : 0;
  device.rate_history = rate_history(meter, std::chrono::seconds(kRateHistorySpanSeconds),
                                     static_cast<int>(kRateHistorySpans));
}

uint64_t machine_hashes(const MiningRun& run) {
  uint64_t hashes = cpu_hashes(run);
  for (const GpuUnit& unit : run.gpus) hashes += unit.launcher.launched.load();
  return hashes;
}

NodeStatus node_status_now(const MiningRun& run, Clock::time_point now) {
  NodeStatus node;
  if (run.ports.node.status) {
    const NodeLinkStatus link = run.ports.node.status();
    node.url = link.url_shown;
    node.index = link.node;
    node.state = link.state;
    node.state_seconds = std::chrono::duration<double>(NodeClock::now() - link.state_since).count();
    node.longpoll = link.longpoll;
    node.requests = link.requests;
  }
  if (run.standing.have_work) {
    node.height = run.searched.height;
    node.template_age_seconds = seconds_between(run.standing.confirmed_at, now);
  }
  node.last_switch_seconds = run.last_switch_seconds;
  return node;
}

}  // namespace

RigStatus rig_status_now(MiningRun& run, Clock::time_point now) {
  RigStatus status;
  status.version = TAMRIX_VERSION;
  status.started_at = run.totals.started_at;
  status.uptime_seconds = seconds_between(run.totals.mining_start, now);
  for (GpuUnit& unit : run.gpus) {
    read_sensors(unit, now);
    DeviceStatus device;
    device.kind = "GPU";
    device.index = unit.ports->info.index;
    device.pci_bus_id = shown_text(unit.ports->info.pci_bus_id);
    device.name = shown_text(unit.ports->info.name);
    fill_rates(device, unit.meter, unit.launcher.launched.load(), unit.hashes_at_status, run, now);
    device.temperature_c = unit.temperature_c;
    device.power_watts = unit.power_watts;
    device.state = gpu_state(unit, now);
    device.failures = unit.health.failures_since_start;
    status.devices.push_back(std::move(device));
  }
  if (run.modes.cpu_enabled) {
    DeviceStatus device;
    device.kind = "CPU";
    device.name = std::to_string(run.options.cpu_threads) + (run.options.cpu_threads == 1 ? " thread" : " threads");
    fill_rates(device, run.cpu_meter, cpu_hashes(run), run.totals.cpu_hashes_at_status, run, now);
    device.state = cpu_search_not_joined(run.cpu) ? DeviceState::mining : DeviceState::waiting;
    status.devices.push_back(std::move(device));
  }
  const uint64_t hashes = machine_hashes(run);
  status.rate_since_start = status.uptime_seconds > 0 ? static_cast<double>(hashes) / status.uptime_seconds : 0;
  status.rate_10s = rate_over(run.machine_meter, std::chrono::seconds(10), now, hashes);
  status.rate_60s = rate_over(run.machine_meter, std::chrono::seconds(60), now, hashes);
  status.node = node_status_now(run, now);
  status.blocks_accepted = static_cast<uint64_t>(run.totals.blocks_found);
  status.blocks_refused = run.totals.blocks_refused;
  status.refusals_by_reason = run.totals.refusals_by_reason;
  status.blocks_lost = run.totals.blocks_lost;
  status.recent_blocks.assign(run.recent_blocks.begin(), run.recent_blocks.end());
  return status;
}

void sample_rates(MiningRun& run, Clock::time_point now) {
  for (GpuUnit& unit : run.gpus) add_rate_sample(unit.meter, now, unit.launcher.launched.load());
  add_rate_sample(run.cpu_meter, now, cpu_hashes(run));
  add_rate_sample(run.machine_meter, now, machine_hashes(run));
}

void print_status(MiningRun& run, Clock::time_point now) {
  const RigStatus status = rig_status_now(run, now);
  // The hottest card stands for the machine; without a card, the reading of
  // no device is none.
  int temperature = -1;
  for (const DeviceStatus& device : status.devices) temperature = std::max(temperature, device.temperature_c);
  print_status_line(status.rate_since_start, device_label(run.modes.gpu_enabled, run.modes.cpu_enabled),
                    run.totals.blocks_found, temperature);
  if (several_devices(run))
    for (const DeviceStatus& device : status.devices) std::printf("%s\n", device_status_line(device).c_str());
  for (GpuUnit& unit : run.gpus) unit.hashes_at_status = unit.launcher.launched.load();
  run.totals.cpu_hashes_at_status = cpu_hashes(run);
  run.totals.last_status = now;
  if (run.ports.board) {
    publish_rig_status(*run.ports.board, status);
    run.totals.last_publish = now;
  }
}

void publish_status(MiningRun& run, Clock::time_point now, bool at_once) {
  if (!run.ports.board) return;
  if (!at_once && run.totals.last_publish && now - *run.totals.last_publish < kPublishInterval) return;
  publish_rig_status(*run.ports.board, rig_status_now(run, now));
  run.totals.last_publish = now;
}
