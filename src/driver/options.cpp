#include "driver/options.h"

#include <cstdlib>
#include <cstring>

#include "node/url_display.h"

int32_t read_number(const char* text) {
  // strtol saturates where atoi's behaviour is undefined, and glibc's atoi is
  // strtol narrowed to int: keeping the low 32 bits (modular since C++20)
  // gives the same value without the undefined case.
  return static_cast<int32_t>(std::strtol(text, nullptr, 10));
}

namespace {

bool equals(const char* arg, const char* name) { return std::strcmp(arg, name) == 0; }

bool begins_with(const char* arg, const char* name) {
  return std::strncmp(arg, name, std::strlen(name)) == 0;
}

// Reads the value of a numeric option whose name `arg` begins with: after
// "=" in the same argument, else the whole next argument (anything else that
// follows the name is ignored). With neither, the option is dropped silently
// and `*setting` keeps its value. Returns the index of the last argument used.
int read_numeric_option(int argc, const char* const argv[], int index, const char* name,
                        int32_t* setting) {
  const char* after_name = argv[index] + std::strlen(name);
  if (*after_name == '=') {
    *setting = read_number(after_name + 1);
    return index;
  }
  if (index + 1 < argc) {
    *setting = read_number(argv[index + 1]);
    return index + 1;
  }
  return index;
}

}  // namespace

ScanResult scan_arguments(int argc, const char* const argv[]) {
  ScanResult scan;
  Options& o = scan.options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_next = i + 1 < argc;
    if (equals(arg, "--benchmark")) {
      o.benchmark = true;
    } else if (equals(arg, "-h") || equals(arg, "--help")) {
      o.show_help = true;
    } else if (equals(arg, "-v") || equals(arg, "--version")) {
      o.show_version = true;
    } else if (equals(arg, "--cpu-only") || equals(arg, "--no-gpu")) {
      o.cpu_only = true;
    } else if (equals(arg, "--gpu-only")) {
      o.gpu_only = true;
    } else if (equals(arg, "-d") && has_next) {
      o.gpu_device = read_number(argv[++i]);
    } else if (begins_with(arg, "--power-limit")) {
      i = read_numeric_option(argc, argv, i, "--power-limit", &o.power_limit);
    } else if (begins_with(arg, "--cpu-threads")) {
      i = read_numeric_option(argc, argv, i, "--cpu-threads", &o.cpu_threads);
    } else if (begins_with(arg, "--batch-size")) {
      // A negative count keeps its bit pattern and becomes a huge batch.
      int32_t batch = static_cast<int32_t>(o.batch_size);
      i = read_numeric_option(argc, argv, i, "--batch-size", &batch);
      o.batch_size = static_cast<uint32_t>(batch);
    } else if (begins_with(arg, "--bench-duration")) {
      i = read_numeric_option(argc, argv, i, "--bench-duration", &o.bench_duration);
    } else if (equals(arg, "-o") && has_next) {
      o.rpc_url = argv[++i];
      const TextSpan password = url_password_span(argv[i]);
      if (password.length > 0) scan.secrets.push_back({i, password.begin, password.length});
    } else if (equals(arg, "-u") && has_next) {
      o.rpc_user = argv[++i];
    } else if (equals(arg, "-p") && has_next) {
      o.rpc_pass = argv[++i];
      scan.secrets.push_back({i, 0, std::strlen(argv[i])});
    } else if (begins_with(arg, "--coinbase-addr=")) {
      o.coinbase_addr = arg + std::strlen("--coinbase-addr=");
    } else if (begins_with(arg, "--coinbase-addr") && has_next) {
      o.coinbase_addr = argv[++i];
    } else {
      scan.unknown_option = arg;
      return scan;
    }
  }
  return scan;
}

DeviceModes derive_device_modes(const Options& options) {
  return DeviceModes{!options.cpu_only, options.cpu_threads >= 1 && !options.gpu_only};
}

const char* device_combination_error(const Options& options) {
  if (options.cpu_only && options.gpu_only)
    return "Error: --cpu-only and --gpu-only are mutually exclusive\n";
  // Only exactly zero is refused: a negative count runs with no device at all.
  if (options.cpu_only && options.cpu_threads == 0)
    return "Error: --cpu-only requires --cpu-threads N\n";
  return nullptr;
}

bool has_node_settings(const Options& options) {
  return options.rpc_url.has_value() && options.rpc_user && options.rpc_pass.has_value() &&
         options.coinbase_addr;
}
