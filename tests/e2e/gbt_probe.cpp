// gbt_probe submit URL USER PASS TXN_HEX
// gbt_probe get_work URL USER PASS ADDRESS COUNT
// gbt_probe give_up URL USER PASS AFTER_MS COUNT
// gbt_probe longpoll URL USER PASS TIPS SECONDS
//
// Drives the miner's own GbtClient against a node, for the tests that need a
// real peer and for measuring work fetches.
//
// submit: submit_block with an all-zero header and TXN_HEX as the
// transaction section; prints "accepted", "rejected" or "unanswered" (the client's own
// messages go to stderr as in the miner) and exits 0.
//
// get_work: COUNT calls of get_work in a row; prints one line per call,
// "valid|invalid CPU_MS WALL_MS" (CPU time of this thread, which runs the
// transfer, the parse and the assembly), then "median CPU_MS WALL_MS".
// The miner's "New block" lines go to stdout before each. Exits 0.
//
// give_up: COUNT calls of get_work, each with a give-up predicate that turns
// true AFTER_MS after the call began (point it at a node that holds its
// replies); prints one line per call, "given_up|answered DELAY_MS", the time
// from the predicate turning true to get_work's return, then "max DELAY_MS".
//
// longpoll: runs the longpoll watch until it has seen TIPS new tips, it
// ends as unsupported, or SECONDS pass. Prints "watching FINGERPRINT" once
// the first template is in, then "tip N FINGERPRINT MONOTONIC_S" as each new
// tip arrives (CLOCK_MONOTONIC, the clock Python's time.monotonic reads),
// "unsupported" if the watch ended so, and "stopped STOP_MS": how long
// stop_longpoll_watch took, a request being held. Fingerprints in hex.
//
// A malformed command line exits 2.

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "node/gbt_client.h"
#include "node/longpoll_watch.h"

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
             "       gbt_probe get_work URL USER PASS ADDRESS COUNT\n"
             "       gbt_probe give_up URL USER PASS AFTER_MS COUNT\n"
             "       gbt_probe longpoll URL USER PASS TIPS SECONDS\n", stderr);
  return 2;
}

int measure_give_up(GbtClient& client, int after_ms, int count) {
  double worst = 0;
  for (int i = 0; i < count; ++i) {
    const double start = clock_ms(CLOCK_MONOTONIC);
    // The predicate answers true from start + AFTER_MS on, whenever it is
    // asked, so that moment is exact; the delay is how long the client
    // takes to notice and return.
    std::atomic<bool> said_true{false};
    client.give_up_when([&] {
      if (clock_ms(CLOCK_MONOTONIC) - start < after_ms) return false;
      said_true = true;
      return true;
    });
    const BlockWork work = client.get_work();
    const double delay = clock_ms(CLOCK_MONOTONIC) - (start + after_ms);
    worst = std::max(worst, delay);
    std::printf("%s %.3f\n", said_true.load() && !work.valid ? "given_up" : "answered", delay);
  }
  std::printf("max %.3f\n", worst);
  return 0;
}

int watch_longpoll(const char* url, const char* user, const char* pass, int tips, int seconds) {
  LongpollWatch watch;
  std::atomic<uint64_t> seen{0};
  LongpollSettings settings{url, user, pass, {}, {}};
  settings.on_new_tip = [&watch, &seen] {
    std::printf("tip %llu %016llx %.6f\n", static_cast<unsigned long long>(++seen),
                static_cast<unsigned long long>(watch.tip_fingerprint.load()), clock_ms(CLOCK_MONOTONIC) / 1e3);
    std::fflush(stdout);
  };
  if (!start_longpoll_watch(watch, std::move(settings))) return 1;
  const double deadline = clock_ms(CLOCK_MONOTONIC) + 1e3 * seconds;
  bool told_watching = false;
  while (clock_ms(CLOCK_MONOTONIC) < deadline && seen.load() < static_cast<uint64_t>(tips) &&
         !watch.unsupported.load()) {
    if (!told_watching && watch.tip_fingerprint.load() != 0) {
      std::printf("watching %016llx\n", static_cast<unsigned long long>(watch.tip_fingerprint.load()));
      std::fflush(stdout);
      told_watching = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (watch.unsupported.load()) std::printf("unsupported\n");
  // Give the watch the moment it needs to send its next request (a quarter
  // of a second after a new tip), so that the stop below abandons a held one.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const double stop_start = clock_ms(CLOCK_MONOTONIC);
  stop_longpoll_watch(watch);
  std::printf("stopped %.3f\n", clock_ms(CLOCK_MONOTONIC) - stop_start);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "submit") == 0) {
    GbtClient client(argv[2], argv[3], argv[4], "");
    BlockWork work;
    work.txn_hex = argv[5];
    work.valid = true;
    const SubmitVerdict verdict = client.submit_block(work, 0).verdict;
    std::printf("%s\n", verdict == SubmitVerdict::accepted  ? "accepted"
                        : verdict == SubmitVerdict::refused ? "rejected"
                                                            : "unanswered");
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
  if (argc == 7 && std::strcmp(argv[1], "give_up") == 0) {
    const int after_ms = std::atoi(argv[5]);
    const int count = std::atoi(argv[6]);
    if (after_ms < 0 || count < 1) return usage();
    GbtClient client(argv[2], argv[3], argv[4], "tamrixdev1qprobe");
    return measure_give_up(client, after_ms, count);
  }
  if (argc == 7 && std::strcmp(argv[1], "longpoll") == 0) {
    const int tips = std::atoi(argv[5]);
    const int seconds = std::atoi(argv[6]);
    if (tips < 0 || seconds < 1) return usage();
    return watch_longpoll(argv[2], argv[3], argv[4], tips, seconds);
  }
  return usage();
}
