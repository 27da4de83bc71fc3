#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/rig_status.h"
#include "gpu/backend.h"

// The lines that name devices where several mine: the start lines, the
// line that follows a solution, an acceptance or a failure, and each
// device's line under the status line. Names from the runtime and the
// command line are shown through the terminal gate.

// Text from outside (a device's name, a URL) as it may reach the terminal.
std::string shown_text(const std::string& text);

// "GPU 1 (0000:65:00.0, NAME)"; what the runtime does not tell is left out.
std::string gpu_title(int index, const std::string& pci_bus_id, const std::string& name);
std::string gpu_title(const GpuDeviceInfo& info);

// "GPU mining: ..." for each GPU: the one specified line for a single
// device, and one line per device naming its bus id and name for several.
void print_gpu_start_lines(const std::vector<GpuDeviceInfo>& gpus, uint32_t batch_size);

// A device's line under the status line: its rate over the last status
// period and since the start, its temperature and power where reported,
// and its state.
std::string device_status_line(const DeviceStatus& device);
