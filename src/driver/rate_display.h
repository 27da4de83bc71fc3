#pragma once

#include <cstddef>

// One benchmark result line, "<label>: <value> <unit>\n", scaled to GH/s,
// MH/s, kH/s or left in H/s (each bound inclusive).
void print_hashrate(double rate, const char* label);

// The status line's rate: GH/s, MH/s, or else kH/s. There is no H/s tier, so
// a slow rate still reads in kH/s ("0.50 kH/s" for 500 hashes a second).
void format_rate_text(double rate, char* text, size_t text_size);

// Which devices a status line credits: "GPU+CPU", "GPU" or "CPU" (also when
// neither device searches).
const char* device_label(bool gpu_enabled, bool cpu_enabled);

// The mining status line; the GPU temperature is shown only when above 0.
void print_status_line(double rate, const char* label, int blocks_found, int temperature);
