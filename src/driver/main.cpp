// Entry point: the start-up sequence from the argument scan to the run mode.
#include <cstdio>
#include <string>

#include "api/bind_address.h"
#include "driver/argument_masking.h"
#include "driver/benchmark.h"
#include "driver/mining_loop.h"
#include "driver/options.h"
#include "driver/run_flag.h"
#include "driver/usage.h"
#include "gpu/backend.h"

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
  // The searches go to the device -d names, whether or not its power
  // controls come up; a failed power_init only means that no limit is applied.
  GpuContext* gpu = modes.gpu_enabled ? gpu_open_device(options.gpu_device) : nullptr;
  if (gpu != nullptr && power_init(gpu) == 0 && options.power_limit > 0)
    power_set_limit(gpu, options.power_limit);

  int exit_code = 0;
  if (options.benchmark) {
    run_benchmark(options, modes, gpu);
  } else if (!has_node_settings(options)) {
    print_help();
    exit_code = 1;
  } else if (modes.gpu_enabled && !gpu_support_built_in()) {
    // Without GPU support every launch would fail: say so once, before
    // connecting, rather than mine with nothing.
    std::fputs(kNoGpuSupportMessage, stderr);
    exit_code = 1;
  } else {
    if (!run_mining_loop(options, modes, gpu)) exit_code = 1;
  }
  gpu_close_device(gpu);
  return exit_code;
}
