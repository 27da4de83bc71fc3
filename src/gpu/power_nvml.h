#pragma once

// The power controls of an NVIDIA GPU through NVML, with the meanings of the
// backend's power calls (backend.h). The CUDA variant forwards its power
// calls here; the OpenCL variant does so for NVIDIA cards. Every failure
// prints one line beginning "tamrix-miner: ".

int nvml_power_init(int nvml_index);  // 0 when the device's controls are ready
int nvml_power_set_limit(int percent);
void nvml_power_restore();
void nvml_power_shutdown();
int nvml_power_get_temp();  // -1 before a successful nvml_power_init

// "domain:bus:device.function" of the device the last nvml_power_init found,
// "" when it found none.
const char* nvml_power_bus_id();
