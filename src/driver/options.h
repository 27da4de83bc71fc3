#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/argument_masking.h"

// The run settings as the command line gives them. The text settings point
// into the argument vector itself and are null until given; an empty string
// is a value like any other. The URL and the password are the exceptions:
// they are copied, because the secret in their arguments is overwritten once
// the scan is done (see argument_masking.h), and are empty-optional until
// given.
// Nonces per GPU kernel launch unless --batch-size says otherwise.
constexpr uint32_t kDefaultBatchSize = 1048576;
// --batch-size 0: each launch is a whole batch, sized by time.
constexpr uint32_t kBatchSizeByTime = 0;

struct Options {
  bool benchmark = false;                 // --benchmark: measure hash rates, no node
  bool show_help = false;                 // -h, --help
  bool show_version = false;              // -v, --version
  bool cpu_only = false;                  // --cpu-only, --no-gpu: GPU mining off
  bool gpu_only = false;                  // --gpu-only: CPU mining off
  int32_t gpu_device = 0;                 // -d N: GPU index for mining and power control; with a
                                          // list, its first index
  std::vector<int32_t> gpu_devices;       // -d 0,2,3: every index listed, in order, each once;
                                          // empty for a plain -d N (then gpu_device alone)
  bool all_gpu_devices = false;           // -d all: every device gpu_list_devices lists
  int32_t power_limit = 0;                // --power-limit N: percent of TDP; 0 or less leaves it alone
  int32_t cpu_threads = 0;                // --cpu-threads N: CPU workers; 1 or more enables the CPU
  int32_t bench_duration = 5;             // --bench-duration N: seconds per benchmark half
  uint32_t batch_size = kDefaultBatchSize;  // --batch-size N: nonces per GPU kernel launch
  std::optional<std::string> rpc_url;     // -o URL: the node's RPC endpoint (owned copy)
  const char* rpc_user = nullptr;         // -u USER: RPC user name
  std::optional<std::string> rpc_pass;    // -p PASS: RPC password (owned copy)
  const char* coinbase_addr = nullptr;    // --coinbase-addr ADDR: where block rewards go

  // Beyond the options above (their help has a section of its own).
  bool list_devices = false;              // --list-devices: list the GPUs, then exit
  int32_t temp_limit = 0;                 // --temp-limit C: pause a GPU at C degrees; 0 or less: never
  std::vector<std::string> backup_nodes;  // --backup-node URL, in order (owned copies)
  std::optional<std::string> api_bind;    // --api-bind [ADDR:]PORT: serve the read-only HTTP API
  std::optional<std::string> api_token;   // --api-token TOKEN: the API's bearer token (owned copy)
};

// What the argument scan decided: settings to run with, or the argument that
// matched no option (the program then prints the help and exits with 1).
struct ScanResult {
  Options options;
  const char* unknown_option = nullptr;  // null when every argument was understood
  // The secrets in argv, in scan order: the whole value of every -p and
  // --api-token, and the password inside every -o and --backup-node URL that
  // holds one. A repeated option lists each one, since every copy is as
  // secret as the last.
  std::vector<SecretSpan> secrets;
};

// Reads argv[1..argc-1] left to right; the first unknown argument stops the
// scan. Pure: nothing is printed.
ScanResult scan_arguments(int argc, const char* const argv[]);

// Reads a number the way the C library's atoi does (leading blanks, optional
// sign, digits up to the first other character, 0 when there are none), but
// defined for every input: the value keeps the low 32 bits of what strtol
// returns, as glibc's atoi does.
int32_t read_number(const char* text);

// The GPU indexes -d names, in order: the list, or the one index. `listed`
// is what gpu_list_devices found, for -d all.
std::vector<int32_t> chosen_gpu_devices(const Options& options, size_t listed);

// Which search devices the run uses.
struct DeviceModes {
  bool gpu_enabled;  // every run but --cpu-only; --gpu-only does not change it
  bool cpu_enabled;  // at least one CPU thread asked for and not --gpu-only
};

DeviceModes derive_device_modes(const Options& options);

// The message (newline included) for an option set that names no usable
// device combination, or null when the combination is acceptable. Both
// --cpu-only and --gpu-only is reported before a missing thread count.
const char* device_combination_error(const Options& options);

// Mining mode's answer to a run without --cpu-only in a build without GPU
// support (newline included).
inline constexpr const char* kNoGpuSupportMessage =
    "Error: this build has no GPU support; mine with --cpu-only --cpu-threads N\n";

// True when -o, -u, -p and --coinbase-addr were all given (empty counts).
bool has_node_settings(const Options& options);
