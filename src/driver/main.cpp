// Entry point: the start-up sequence from the argument scan to the run mode.
#include <cstdio>
#include <string>
#include <vector>

#include "api/api_server.h"
#include "api/bind_address.h"
#include "driver/argument_masking.h"
#include "driver/benchmark.h"
#include "driver/device_lines.h"
#include "driver/mining_loop.h"
#include "driver/options.h"
#include "driver/run_flag.h"
#include "driver/usage.h"
#include "gpu/backend.h"

namespace {

// With --api-bind, the read-only HTTP API serves the board the loop
// publishes on; main has checked the bind address and token already.
RigBoardReader api_reader(const Options& options, ApiServer& api) {
  if (!options.api_bind) return {};
  RigBoardReader reader;
  reader.start = [&api](const Options& o, RigBoard& board) {
    ApiServerSettings settings;
    std::string why;
    (void)parse_api_bind(*o.api_bind, &settings.bind, &why);
    settings.token = o.api_token.value_or("");
    settings.read_status = [&board](bool* published) { return read_rig_status(board, published); };
    if (start_api_server(api, std::move(settings), &why)) return true;
    std::fprintf(stderr, "%s\n", why.c_str());
    return false;
  };
  reader.stop = [&api] { stop_api_server(api); };
  return reader;
}

// The GPU indexes -d names. In a build with GPU support each must name a
// device this machine has: the first that does not is named in one line
// (false), before anything connects or measures. The build without GPU
// support opens a context for any index, as it always has.
bool choose_gpu_devices(const Options& options, std::vector<int32_t>& chosen) {
  if (!gpu_support_built_in()) {
    chosen = chosen_gpu_devices(options, 0);
    return true;
  }
  std::string why;
  const std::vector<GpuDeviceInfo> listed = gpu_list_devices(&why);
  chosen = chosen_gpu_devices(options, listed.size());
  if (chosen.empty()) {
    std::fprintf(stderr, "Error: -d all: no GPU to mine on: %s\n", shown_text(why).c_str());
    return false;
  }
  for (const int32_t index : chosen) {
    if (index >= 0 && static_cast<size_t>(index) < listed.size()) continue;
    if (listed.empty())
      std::fprintf(stderr, "Error: no GPU device %d: %s\n", index, shown_text(why).c_str());
    else
      std::fprintf(stderr, "Error: no GPU device %d; this machine has %zu (0 to %zu, --list-devices names them)\n",
                   index, listed.size(), listed.size() - 1);
    return false;
  }
  return true;
}

void close_devices(const std::vector<GpuContext*>& gpus) {
  for (GpuContext* gpu : gpus) gpu_close_device(gpu);
}

}  // namespace

int main(int argc, char** argv) {
  ignore_closed_output();
  // Line-buffer standard output so progress reaches a pipe or log promptly.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const ScanResult scan = scan_arguments(argc, argv);
  // The options hold their own copies of the URL and the password, so their
  // secrets can go before anything else happens: from here on ps shows only
  // x characters in their place.
  mask_arguments(argc, argv, scan.secrets);
  if (scan.unknown_option) {
    std::fprintf(stderr, "Unknown option: %s\n", scan.unknown_option);
    print_help();
    return 1;
  }
  const Options& options = scan.options;

  print_banner();
  if (options.show_version) return 0;
  if (options.show_help) {
    print_help();
    return 0;
  }
  if (options.list_devices) {
    print_device_list();
    return 0;
  }

  const DeviceModes modes = derive_device_modes(options);
  if (const char* error = device_combination_error(options)) {
    std::fputs(error, stderr);
    return 1;
  }
  // An API that would listen beyond this machine without a token, or on an
  // address that does not parse, stops the run before any device or node.
  if (const std::string error = api_settings_error(options.api_bind, options.api_token); !error.empty()) {
    std::fputs(error.c_str(), stderr);
    return 1;
  }

  install_signal_handlers();
  std::vector<int32_t> chosen;
  if (modes.gpu_enabled && !choose_gpu_devices(options, chosen)) return 1;
  // The searches go to every device -d names, whether or not its power
  // controls come up; a failed power_init only means that no limit is
  // applied to that card.
  std::vector<GpuContext*> gpus;
  for (const int32_t index : chosen) {
    GpuContext* gpu = gpu_open_device(index);
    if (gpu == nullptr) {  // its line has been printed
      close_devices(gpus);
      return 1;
    }
    gpus.push_back(gpu);
    if (power_init(gpu) == 0 && options.power_limit > 0) power_set_limit(gpu, options.power_limit);
  }

  int exit_code = 0;
  if (options.benchmark) {
    run_benchmark(options, modes, gpus);
  } else if (!has_node_settings(options)) {
    print_help();
    exit_code = 1;
  } else if (modes.gpu_enabled && !gpu_support_built_in()) {
    // Without GPU support every launch would fail: say so once, before
    // connecting, rather than mine with nothing.
    std::fputs(kNoGpuSupportMessage, stderr);
    exit_code = 1;
  } else {
    ApiServer api;
    if (!run_mining_loop(options, modes, gpus, api_reader(options, api))) exit_code = 1;
  }
  close_devices(gpus);
  return exit_code;
}
