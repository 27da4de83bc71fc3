#include "driver/rate_display.h"

#include <cstdio>

void print_hashrate(double rate, const char* label) {
  if (rate >= 1e9)
    std::printf("%s: %.2f GH/s\n", label, rate / 1e9);
  else if (rate >= 1e6)
    std::printf("%s: %.2f MH/s\n", label, rate / 1e6);
  else if (rate >= 1e3)
    std::printf("%s: %.2f kH/s\n", label, rate / 1e3);
  else
    std::printf("%s: %.2f H/s\n", label, rate);
}

void format_rate_text(double rate, char* text, size_t text_size) {
  if (rate >= 1e9)
    std::snprintf(text, text_size, "%.2f GH/s", rate / 1e9);
  else if (rate >= 1e6)
    std::snprintf(text, text_size, "%.2f MH/s", rate / 1e6);
  else
    std::snprintf(text, text_size, "%.2f kH/s", rate / 1e3);
}

const char* device_label(bool gpu_enabled, bool cpu_enabled) {
  if (gpu_enabled && cpu_enabled) return "GPU+CPU";
  if (gpu_enabled) return "GPU";
  return "CPU";
}

void print_status_line(double rate, const char* label, int blocks_found, int temperature) {
  char rate_text[128];
  format_rate_text(rate, rate_text, sizeof rate_text);
  if (temperature > 0)
    std::printf("%s (%s) | Blocks: %d | GPU: %dC\n", rate_text, label, blocks_found, temperature);
  else
    std::printf("%s (%s) | Blocks: %d\n", rate_text, label, blocks_found);
}
