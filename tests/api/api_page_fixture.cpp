// The API's real server serving a fixed record with three devices, every
// block verdict and text that must not become markup, for the browser test
// of the status page (tests/e2e/test_api_browser.py): a rig no machine here
// has. Usage: api_page_fixture PORT [TOKEN]; serves until standard input
// closes.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "api/api_server.h"
#include "sample_rig.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: api_page_fixture PORT [TOKEN]\n");
    return 2;
  }
  RigStatus rig = sample_rig();
  rig.devices[1].name = "<img src=x onerror=\"document.title='owned'\">";
  rig.refusals_by_reason["<b>bold</b>"] = 1;
  rig.recent_blocks[1].reason = "<script>document.title='owned'</script>";
  for (DeviceStatus& device : rig.devices) {
    device.rate_history.clear();
    for (size_t span = 0; span < kRateHistorySpans; ++span)
      device.rate_history.push_back(device.rate_10s * (0.8 + 0.2 * static_cast<double>((span * 7) % 5) / 4));
  }
  ApiServerSettings settings;
  std::string why;
  if (!parse_api_bind(argv[1], &settings.bind, &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 2;
  }
  settings.token = argc > 2 ? argv[2] : "";
  settings.read_status = [&rig](bool* published) {
    *published = true;
    return rig;
  };
  ApiServer server;
  if (!start_api_server(server, std::move(settings), &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  std::printf("serving\n");
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  stop_api_server(server);
  return 0;
}
