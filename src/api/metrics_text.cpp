#include "api/metrics_text.h"

#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

#include "api/state_names.h"
#include "api/utf8_text.h"

namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

// One metric family: its samples are written together under one HELP and
// one TYPE line, as the format requires.
struct Family {
  const char* name;
  const char* type;  // "counter" or "gauge"
  const char* help;
  std::vector<std::pair<Labels, std::string>> samples;
};

void add(Family& family, Labels labels, std::string value) {
  family.samples.emplace_back(std::move(labels), std::move(value));
}

std::string count_text(uint64_t value) { return std::to_string(value); }

void write_family(std::string& out, const Family& family) {
  if (family.samples.empty()) return;  // nothing known: no series at all
  out += "# HELP ";
  out += family.name;
  out += ' ';
  out += family.help;
  out += "\n# TYPE ";
  out += family.name;
  out += ' ';
  out += family.type;
  out += '\n';
  for (const auto& [labels, value] : family.samples) {
    out += family.name;
    if (!labels.empty()) {
      out += '{';
      for (size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) out += ',';
        out += labels[i].first;
        out += "=\"";
        out += escape_label_value(labels[i].second);
        out += '"';
      }
      out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
  }
}

// Every per-device series carries these, so that a card keeps its series
// whatever order the runtime lists it in.
Labels device_labels(const DeviceStatus& device) {
  return {{"kind", device.kind}, {"index", std::to_string(device.index)}, {"pci_bus_id", device.pci_bus_id}};
}

Labels with(Labels labels, const char* name, std::string value) {
  labels.emplace_back(name, std::move(value));
  return labels;
}

double unix_seconds(std::chrono::system_clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

std::vector<Family> device_families(const std::vector<DeviceStatus>& devices) {
  Family info{"tamrix_device_info", "gauge", "Each mining device: its name, always 1.", {}};
  Family hashes{"tamrix_device_hashes_total", "counter", "Nonces the device has hashed since mining began.", {}};
  Family temperature{"tamrix_device_temperature_celsius", "gauge",
                     "The device's temperature; absent where it cannot be read.", {}};
  Family power{"tamrix_device_power_watts", "gauge", "The device's power draw; absent where it cannot be read.", {}};
  Family state{"tamrix_device_state", "gauge", "1 for the state the device is in, 0 for the others.", {}};
  Family failures{"tamrix_device_failures_total", "counter",
                  "Failed starts or kernel launches of the device since mining began.", {}};
  for (const DeviceStatus& device : devices) {
    const Labels labels = device_labels(device);
    add(info, with(labels, "name", device.name), "1");
    add(hashes, labels, count_text(device.hashes));
    if (device.temperature_c > 0) add(temperature, labels, std::to_string(device.temperature_c));
    if (device.power_watts > 0) add(power, labels, sample_value_text(device.power_watts));
    for (const DeviceState each : kDeviceStates)
      add(state, with(labels, "state", device_state_key(each)), each == device.state ? "1" : "0");
    add(failures, labels, count_text(device.failures));
  }
  return {info, hashes, temperature, power, state, failures};
}

std::vector<Family> block_families(const RigStatus& status) {
  Family accepted{"tamrix_blocks_accepted_total", "counter", "Blocks the node accepted.", {}};
  add(accepted, {}, count_text(status.blocks_accepted));
  Family refused{"tamrix_blocks_refused_total", "counter", "Blocks the node refused, by its reason.", {}};
  uint64_t with_reason = 0;
  for (const auto& [reason, times] : status.refusals_by_reason) {
    add(refused, {{"reason", reason}}, count_text(times));
    with_reason += times;
  }
  // Refusals the record counts without a reason still count.
  if (status.blocks_refused > with_reason)
    add(refused, {{"reason", "unknown"}}, count_text(status.blocks_refused - with_reason));
  Family lost{"tamrix_blocks_lost_total", "counter",
              "Blocks found that never got an answer while they could still go in.", {}};
  add(lost, {}, count_text(status.blocks_lost));
  return {accepted, refused, lost};
}

std::vector<Family> node_families(const NodeStatus& node) {
  const std::string index = std::to_string(node.index);
  Family info{"tamrix_node_info", "gauge", "The node mined on: its URL (password masked), always 1.", {}};
  add(info, {{"node", index}, {"url", node.url}}, "1");
  Family state{"tamrix_node_state", "gauge", "1 for the state of the node link, 0 for the others.", {}};
  for (const NodeState each : kNodeStates)
    add(state, {{"state", node_state_key(each)}}, each == node.state ? "1" : "0");
  Family state_seconds{"tamrix_node_state_duration_seconds", "gauge",
                       "How long the node link has been in its state.", {}};
  add(state_seconds, {}, sample_value_text(node.state_seconds));
  Family height{"tamrix_node_height", "gauge", "Height of the block being mined; 0 before any work.", {}};
  add(height, {}, std::to_string(node.height));
  Family age{"tamrix_node_template_age_seconds", "gauge", "Time since the node last sent work.", {}};
  if (node.template_age_seconds >= 0) add(age, {}, sample_value_text(node.template_age_seconds));
  Family longpoll{"tamrix_node_longpoll_state", "gauge", "1 for the state of the longpoll watch, 0 for the others.", {}};
  for (const LongpollState each : kLongpollStates)
    add(longpoll, {{"state", longpoll_state_key(each)}}, each == node.longpoll ? "1" : "0");
  Family switch_latency{"tamrix_node_tip_switch_latency_seconds", "gauge",
                        "From the news of a new chain tip to the devices searching work on it, last switch.", {}};
  if (node.last_switch_seconds >= 0) add(switch_latency, {}, sample_value_text(node.last_switch_seconds));
  Family requests{"tamrix_node_requests_total", "counter", "Requests sent to nodes, by method and connection.", {}};
  for (const RequestCount& request : node.requests)
    add(requests,
        {{"method", request.method}, {"connection", request.connection}, {"node", std::to_string(request.node)}},
        count_text(request.count));
  return {info, state, state_seconds, height, age, longpoll, switch_latency, requests};
}

}  // namespace

std::string escape_label_value(std::string_view value) {
  std::string escaped;
  for (const char c : valid_utf8(value)) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '"': escaped += "\\\""; break;
      case '\n': escaped += "\\n"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string sample_value_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string render_metrics_text(const RigStatus& status) {
  std::vector<Family> families;
  Family build{"tamrix_build_info", "gauge", "The miner's version, always 1.", {}};
  add(build, {{"version", status.version}}, "1");
  families.push_back(build);
  if (status.started_at != std::chrono::system_clock::time_point{}) {
    Family start{"tamrix_start_time_seconds", "gauge", "When the miner started, in seconds since the Unix epoch.", {}};
    add(start, {}, sample_value_text(unix_seconds(status.started_at)));
    families.push_back(start);
  }
  std::string out;
  for (const Family& family : families) write_family(out, family);
  for (const Family& family : device_families(status.devices)) write_family(out, family);
  for (const Family& family : block_families(status)) write_family(out, family);
  for (const Family& family : node_families(status.node)) write_family(out, family);
  return out;
}
