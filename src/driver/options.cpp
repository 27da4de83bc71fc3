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

// The value of an option beyond the specified ones, given as "--name VALUE"
// or "--name=VALUE"; null when `arg` is not that option, or when it is the
// last argument without "=". *index moves past a value taken from the next
// argument.
const char* value_of(int argc, const char* const argv[], int* index, const char* name) {
  const char* arg = argv[*index];
  const size_t length = std::strlen(name);
  if (std::strncmp(arg, name, length) != 0) return nullptr;
  if (arg[length] == '=') return arg + length + 1;
  if (arg[length] != '\0' || *index + 1 >= argc) return nullptr;
  return argv[++*index];
}

// -d's value: "all", a comma-separated list, or one index read as atoi
// reads it. A list keeps its order and names each index once.
void read_device_choice(const char* text, Options* o) {
  o->gpu_devices.clear();
  o->all_gpu_devices = equals(text, "all");
  if (o->all_gpu_devices) {
    o->gpu_device = 0;
    return;
  }
  o->gpu_device = read_number(text);
  if (std::strchr(text, ',') == nullptr) return;
  for (const char* item = text; item != nullptr; item = std::strchr(item, ',')) {
    if (*item == ',') ++item;
    const int32_t index = read_number(item);
    bool seen = false;
    for (const int32_t listed : o->gpu_devices) seen = seen || listed == index;
    if (!seen) o->gpu_devices.push_back(index);
  }
}

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
      read_device_choice(argv[++i], &o);
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
    } else if (equals(arg, "--list-devices")) {
      o.list_devices = true;
    } else if (const char* limit = value_of(argc, argv, &i, "--temp-limit")) {
      o.temp_limit = read_number(limit);
    } else if (const char* backup = value_of(argc, argv, &i, "--backup-node")) {
      o.backup_nodes.emplace_back(backup);
      const TextSpan password = url_password_span(backup);
      if (password.length > 0)
        scan.secrets.push_back({i, static_cast<size_t>(backup - argv[i]) + password.begin, password.length});
    } else if (const char* bind = value_of(argc, argv, &i, "--api-bind")) {
      o.api_bind = bind;
    } else if (const char* token = value_of(argc, argv, &i, "--api-token")) {
      o.api_token = token;
      scan.secrets.push_back({i, static_cast<size_t>(token - argv[i]), std::strlen(token)});
    } else {
      scan.unknown_option = arg;
      return scan;
    }
  }
  return scan;
}

std::vector<int32_t> chosen_gpu_devices(const Options& options, size_t listed) {
  if (options.all_gpu_devices) {
    std::vector<int32_t> every(listed);
    for (size_t k = 0; k < listed; ++k) every[k] = static_cast<int32_t>(k);
    return every;
  }
  if (!options.gpu_devices.empty()) return options.gpu_devices;
  return {options.gpu_device};
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
