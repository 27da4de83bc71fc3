// gbt_probe submit URL USER PASS TXN_HEX
// gbt_probe get_work URL USER PASS ADDRESS COUNT
//
// Drives the miner's own GbtClient against a node, for the tests that need a
// real peer and for measuring work fetches.
//
// submit: submit_block with an all-zero header and TXN_HEX as the
// transaction section; prints "accepted" or "rejected" (the client's own
// messages go to stderr as in the miner) and exits 0.
//
// get_work: COUNT calls of get_work in a row; prints one line per call,
// "valid|invalid CPU_MS WALL_MS" (CPU time of this thread, which runs the
// transfer, the parse and the assembly), then "median CPU_MS WALL_MS".
// The miner's "New block" lines go to stdout before each. Exits 0.
//
// A malformed command line exits 2.

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "node/gbt_client.h"

namespace {

double clock_ms(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

int usage() {
  std::fputs("usage: gbt_probe submit URL USER PASS TXN_HEX\n"
             "       gbt_probe get_work URL USER PASS ADDRESS COUNT\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "submit") == 0) {
    GbtClient client(argv[2], argv[3], argv[4], "");
    BlockWork work;
    work.txn_hex = argv[5];
    work.valid = true;
    std::printf("%s\n", client.submit_block(work, 0) ? "accepted" : "rejected");
    return 0;
  }
  if (argc == 7 && std::strcmp(argv[1], "get_work") == 0) {
    const int count = std::atoi(argv[6]);
    if (count < 1) return usage();
    GbtClient client(argv[2], argv[3], argv[4], argv[5]);
    std::vector<double> cpu, wall;
    for (int i = 0; i < count; ++i) {
      const double cpu_start = clock_ms(CLOCK_THREAD_CPUTIME_ID);
      const double wall_start = clock_ms(CLOCK_MONOTONIC);
      const BlockWork work = client.get_work();
      cpu.push_back(clock_ms(CLOCK_THREAD_CPUTIME_ID) - cpu_start);
      wall.push_back(clock_ms(CLOCK_MONOTONIC) - wall_start);
      std::printf("%s %.3f %.3f\n", work.valid ? "valid" : "invalid", cpu.back(), wall.back());
    }
    std::printf("median %.3f %.3f\n", median(cpu), median(wall));
    return 0;
  }
  return usage();
}
