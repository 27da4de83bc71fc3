#include "driver/device_lines.h"

#include <cstdio>

#include "driver/options.h"
#include "driver/rate_display.h"
#include "node/node_messages.h"

std::string shown_text(const std::string& text) {
  // The node link's terminal gate (terminal_text) takes over here once it
  // has landed; until then the gate the node's words already go through.
  return printable_text(text);
}

namespace {

// " (0000:65:00.0, NAME)", " (NAME)" without a bus id, "" without either.
std::string gpu_identity(const std::string& pci_bus_id, const std::string& name) {
  if (pci_bus_id.empty() && name.empty()) return "";
  if (pci_bus_id.empty()) return " (" + shown_text(name) + ")";
  if (name.empty()) return " (" + shown_text(pci_bus_id) + ")";
  return " (" + shown_text(pci_bus_id) + ", " + shown_text(name) + ")";
}

}  // namespace

std::string gpu_title(int index, const std::string& pci_bus_id, const std::string& name) {
  return "GPU " + std::to_string(index) + gpu_identity(pci_bus_id, name);
}

std::string gpu_title(const GpuDeviceInfo& info) { return gpu_title(info.index, info.pci_bus_id, info.name); }

void print_gpu_start_lines(const std::vector<GpuDeviceInfo>& gpus, uint32_t batch_size) {
  for (const GpuDeviceInfo& gpu : gpus) {
    // A single device keeps the line as it always was.
    std::string device = std::to_string(gpu.index);
    if (gpus.size() > 1) device += gpu_identity(gpu.pci_bus_id, gpu.name);
    if (batch_size == kBatchSizeByTime)
      std::printf("GPU mining: device %s, batch size set by time (10 to 40 ms a batch)\n", device.c_str());
    else
      std::printf("GPU mining: device %s, batch size %u\n", device.c_str(), batch_size);
  }
}

std::string device_status_line(const DeviceStatus& device) {
  char period[64];
  char since_start[64];
  format_rate_text(device.rate_period, period, sizeof period);
  format_rate_text(device.rate_since_start, since_start, sizeof since_start);
  const std::string title = device.kind == "CPU" ? "CPU (" + device.name + ")"
                                                 : gpu_title(device.index, device.pci_bus_id, device.name);
  std::string line = "  " + title + ": " + period + ", " + since_start + " since start";
  if (device.temperature_c > 0 || device.power_watts > 0) {
    line += " |";
    if (device.temperature_c > 0) line += " " + std::to_string(device.temperature_c) + "C";
    if (device.power_watts > 0) {
      char watts[32];
      std::snprintf(watts, sizeof watts, " %.0f W", device.power_watts);
      line += watts;
    }
  }
  return line + " | " + device_state_name(device.state);
}
