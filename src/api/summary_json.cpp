#include "api/summary_json.h"

#include <jansson.h>

#include <cmath>
#include <ctime>
#include <memory>

#include "api/state_names.h"
#include "api/utf8_text.h"

namespace {

using JsonText = std::unique_ptr<char, decltype(&free)>;

// Each helper returns a new reference, which json_object_set_new and
// json_array_append_new take over; a null (allocation failed) is refused
// there and nothing leaks.
json_t* text(std::string_view value) {
  const std::string valid = valid_utf8(value);
  return json_stringn(valid.data(), valid.size());
}

json_t* number(double value) { return std::isfinite(value) ? json_real(value) : json_null(); }

json_t* count(uint64_t value) { return json_integer(static_cast<json_int_t>(value)); }

// The record writes "unavailable" as zero or below for temperatures and
// power, and below zero for ages and latencies.
json_t* above_zero(double value) { return value > 0 ? number(value) : json_null(); }
json_t* not_negative(double value) { return value >= 0 ? number(value) : json_null(); }

json_t* time_or_null(std::chrono::system_clock::time_point at) {
  const std::string shown = utc_time_text(at);
  return shown.empty() ? json_null() : text(shown);
}

void set(json_t* object, const char* key, json_t* value) { json_object_set_new(object, key, value); }

json_t* node_json(const NodeStatus& node) {
  json_t* object = json_object();
  set(object, "url", text(node.url));
  set(object, "index", json_integer(node.index));
  set(object, "state", json_string(node_state_key(node.state)));
  set(object, "state_seconds", number(node.state_seconds));
  set(object, "height", json_integer(node.height));
  set(object, "template_age_seconds", not_negative(node.template_age_seconds));
  set(object, "longpoll", json_string(longpoll_state_key(node.longpoll)));
  set(object, "last_switch_seconds", not_negative(node.last_switch_seconds));
  json_t* requests = json_array();
  for (const RequestCount& request : node.requests) {
    json_t* entry = json_object();
    set(entry, "method", text(request.method));
    set(entry, "connection", text(request.connection));
    set(entry, "node", json_integer(request.node));
    set(entry, "count", count(request.count));
    json_array_append_new(requests, entry);
  }
  set(object, "requests", requests);
  return object;
}

json_t* device_json(const DeviceStatus& device) {
  json_t* object = json_object();
  set(object, "kind", text(device.kind));
  set(object, "index", json_integer(device.index));
  set(object, "pci_bus_id", text(device.pci_bus_id));
  set(object, "name", text(device.name));
  set(object, "hashes", count(device.hashes));
  set(object, "rate_10s", number(device.rate_10s));
  set(object, "rate_60s", number(device.rate_60s));
  set(object, "rate_since_start", number(device.rate_since_start));
  json_t* history = json_array();
  for (const double rate : device.rate_history) json_array_append_new(history, number(rate));
  set(object, "rate_history", history);
  set(object, "temperature_c", device.temperature_c > 0 ? json_integer(device.temperature_c) : json_null());
  set(object, "power_watts", above_zero(device.power_watts));
  set(object, "state", json_string(device_state_key(device.state)));
  set(object, "failures", count(device.failures));
  return object;
}

json_t* totals_json(const RigStatus& status) {
  uint64_t hashes = 0;
  for (const DeviceStatus& device : status.devices) hashes += device.hashes;
  json_t* object = json_object();
  set(object, "devices", json_integer(static_cast<json_int_t>(status.devices.size())));
  set(object, "hashes", count(hashes));
  set(object, "rate_10s", number(status.rate_10s));
  set(object, "rate_60s", number(status.rate_60s));
  set(object, "rate_since_start", number(status.rate_since_start));
  return object;
}

json_t* found_block_json(const FoundBlock& block) {
  json_t* object = json_object();
  set(object, "height", json_integer(block.height));
  set(object, "hash", text(block.hash_hex));
  set(object, "device", text(block.device));
  set(object, "found_at", time_or_null(block.found_at));
  set(object, "verdict", json_string(block_verdict_key(block.verdict)));
  set(object, "reason", text(block.reason));
  return object;
}

json_t* blocks_json(const RigStatus& status) {
  json_t* object = json_object();
  set(object, "accepted", count(status.blocks_accepted));
  set(object, "refused", count(status.blocks_refused));
  set(object, "lost", count(status.blocks_lost));
  json_t* by_reason = json_object();
  for (const auto& [reason, refused] : status.refusals_by_reason) {
    const std::string key = valid_utf8(reason);
    json_object_setn_new(by_reason, key.data(), key.size(), count(refused));
  }
  set(object, "refused_by_reason", by_reason);
  // The last reasons and times, newest first: the recent blocks the node
  // refused or that were lost.
  json_t* last_refusals = json_array();
  std::chrono::system_clock::time_point last_accepted{};
  for (auto block = status.recent_blocks.rbegin(); block != status.recent_blocks.rend(); ++block) {
    if (block->verdict == BlockVerdict::accepted && last_accepted == decltype(last_accepted){})
      last_accepted = block->found_at;
    if (block->verdict != BlockVerdict::refused && block->verdict != BlockVerdict::lost) continue;
    json_t* entry = json_object();
    set(entry, "height", json_integer(block->height));
    set(entry, "verdict", json_string(block_verdict_key(block->verdict)));
    set(entry, "reason", text(block->reason));
    set(entry, "found_at", time_or_null(block->found_at));
    json_array_append_new(last_refusals, entry);
  }
  set(object, "last_accepted_at", time_or_null(last_accepted));
  set(object, "last_refusals", last_refusals);
  json_t* found = json_array();
  for (const FoundBlock& block : status.recent_blocks) json_array_append_new(found, found_block_json(block));
  set(object, "found", found);
  return object;
}

}  // namespace

std::string utc_time_text(std::chrono::system_clock::time_point at) {
  if (at == std::chrono::system_clock::time_point{}) return "";
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) return "";
  char shown[32];
  if (std::strftime(shown, sizeof shown, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) return "";
  return shown;
}

std::string render_summary_json(const RigStatus& status) {
  const std::unique_ptr<json_t, decltype(&json_decref)> root(json_object(), &json_decref);
  json_t* object = root.get();
  set(object, "version", text(status.version));
  set(object, "started_at", time_or_null(status.started_at));
  set(object, "uptime_seconds", number(status.uptime_seconds));
  set(object, "rate_history_span_seconds", json_integer(kRateHistorySpanSeconds));
  set(object, "node", node_json(status.node));
  json_t* devices = json_array();
  for (const DeviceStatus& device : status.devices) json_array_append_new(devices, device_json(device));
  set(object, "devices", devices);
  set(object, "totals", totals_json(status));
  set(object, "blocks", blocks_json(status));
  const JsonText dumped(json_dumps(object, JSON_INDENT(1) | JSON_REAL_PRECISION(15)), &free);
  if (!dumped) return "{}\n";
  return std::string(dumped.get()) + "\n";
}
