// link_probe [OPTIONS] URL USER PASS ADDRESS
//
// Drives the miner's node link on its own against real nodes, as the mining
// loop does, with blocks it solves itself with the reference SHA3-512 at the
// node's target. The tests and the request-rate bench read what it prints.
//
// Options:
//   --backup-node URL   a backup node, credentials in the URL; repeatable
//   --leave-after S     seconds a failing node is kept (default: the miner's 15)
//   --return-after S    seconds the main node must answer well (default: 60)
//   --probe-every S     seconds between probes of the main node (default: 5)
//
// Commands, one a line on standard input:
//   solve     solve a block on the latest work and hand it over
//   auto      from now on, solve one block on each new height as its work arrives
//   status    print the request counts
//   stop      a stop: finish the link (every unanswered block tried once more)
//   abandon   a second stop signal (may come while `stop` is finishing)
// End of input is a stop.
//
// Every line on standard output starts with CLOCK_MONOTONIC seconds (the clock
// Python's time.monotonic reads):
//   T work NODE HEIGHT AFTER_BLOCK      WorkArrived (AFTER_BLOCK 0 or 1), then
//   T announce TEXT                     its "New block" line
//   T fetch_failed NODE
//   T tip HEIGHT FINGERPRINT            TipMoved (fingerprint in hex)
//   T watch holding|released            WatchChanged
//   T switched NODE                     NodeSwitched
//   T handed ID HEIGHT                  a block handed over
//   T answered ID VERDICT REASON        BlockAnswered (accepted, refused, lost)
//   T requests METHOD CONNECTION NODE COUNT
//   T stopped FINISH_MS                 after finish_node_link, how long it took
// The link's own lines go to standard error. A malformed command line exits 2.

#include <time.h>

#include <cstdarg>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "hash/sha3.h"
#include "node/longpoll_watch.h"
#include "node/node_link.h"

namespace {

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

[[gnu::format(printf, 1, 2)]] void say(const char* format, ...) {
  std::printf("%.4f ", monotonic_seconds());
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

bool meets_target(const uint8_t digest[64], const uint32_t target[8]) {
  for (int w = 7; w >= 0; --w) {
    const uint8_t* p = digest + 4 * w;
    const uint32_t word = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    if (word != target[w]) return word < target[w];
  }
  return true;
}

// A block on `work`: the first nonce whose header meets the target.
std::optional<SolvedBlock> solve(const BlockWork& work, uint64_t id) {
  SolvedBlock block;
  block.id = id;
  block.work = work;
  block.device = "CPU";
  uint8_t header[80];
  std::memcpy(header, work.header, 80);
  uint8_t digest[64];
  for (uint32_t nonce = 0; nonce < (1u << 26); ++nonce) {
    for (int i = 0; i < 4; ++i) header[76 + i] = static_cast<uint8_t>(nonce >> (8 * i));
    sha3_512_cpu(header, 80, digest);
    if (!meets_target(digest, work.target)) continue;
    block.nonce = nonce;
    std::memcpy(block.hash, digest, 32);
    return block;
  }
  return std::nullopt;
}

const char* verdict_name(BlockVerdict verdict) {
  switch (verdict) {
    case BlockVerdict::accepted:
      return "accepted";
    case BlockVerdict::refused:
      return "refused";
    case BlockVerdict::lost:
      return "lost";
    case BlockVerdict::pending:
      break;
  }
  return "pending";
}

// Lines from standard input, read on a thread of their own so that
// "abandon" reaches the link while the main thread waits in a stop.
struct Commands {
  std::mutex lock;
  std::deque<std::string> lines;
  std::atomic<bool> ended{false};
  std::atomic<bool> abandoned{false};

  void read_all() {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line == "abandon") {
        abandoned = true;
        continue;
      }
      std::lock_guard<std::mutex> hold(lock);
      lines.push_back(line);
    }
    ended = true;
  }

  std::optional<std::string> next() {
    std::lock_guard<std::mutex> hold(lock);
    if (lines.empty()) return std::nullopt;
    std::string line = std::move(lines.front());
    lines.pop_front();
    return line;
  }
};

struct Probe {
  NodeLink link;
  std::optional<BlockWork> latest;
  int32_t solved_height = -1;
  bool automatic = false;
  uint64_t next_id = 1;
};

void hand_over(Probe& probe, const BlockWork& work) {
  std::optional<SolvedBlock> block = solve(work, probe.next_id++);
  if (!block) {
    say("unsolved %d", work.height);
    return;
  }
  probe.solved_height = work.height;
  say("handed %llu %d", static_cast<unsigned long long>(block->id), work.height);
  submit_solved_block(probe.link, std::move(*block));
}

void print_event(Probe& probe, const NodeEvent& event) {
  if (const auto* work = std::get_if<WorkArrived>(&event)) {
    say("work %d %d %d", work->node, work->work.height, work->after_block_of_ours ? 1 : 0);
    std::string line = work->announcement;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    say("announce %s", line.c_str());
    probe.latest = work->work;
    if (probe.automatic && work->work.height > probe.solved_height) hand_over(probe, work->work);
  } else if (const auto* failed = std::get_if<FetchFailed>(&event)) {
    say("fetch_failed %d", failed->node);
  } else if (const auto* tip = std::get_if<TipMoved>(&event)) {
    say("tip %d %016llx", tip->height, static_cast<unsigned long long>(tip->tip_fingerprint));
  } else if (const auto* answer = std::get_if<BlockAnswered>(&event)) {
    say("answered %llu %s %s", static_cast<unsigned long long>(answer->id), verdict_name(answer->verdict),
        answer->reason.c_str());
  } else if (const auto* watch = std::get_if<WatchChanged>(&event)) {
    say("watch %s", watch->holding ? "holding" : "released");
  } else if (const auto* switched = std::get_if<NodeSwitched>(&event)) {
    say("switched %d", switched->node);
  }
}

void print_events(Probe& probe) {
  std::vector<NodeEvent> events;
  take_node_events(probe.link, events);
  for (const NodeEvent& event : events) print_event(probe, event);
}

void print_requests(const NodeLink& link) {
  for (const RequestCount& count : node_link_status(link).requests) {
    say("requests %s %s %d %llu", count.method.c_str(), count.connection.c_str(), count.node,
        static_cast<unsigned long long>(count.count));
  }
}

int usage() {
  std::fputs("usage: link_probe [--backup-node URL]... [--leave-after S] [--return-after S] [--probe-every S] "
             "URL USER PASS ADDRESS\n", stderr);
  return 2;
}

std::chrono::milliseconds seconds_option(const char* text) {
  return std::chrono::milliseconds(static_cast<long long>(std::atof(text) * 1000));
}

}  // namespace

int main(int argc, char** argv) {
  NodeLinkSettings settings;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--backup-node") == 0 && has_value) {
      settings.nodes.push_back(backup_node_address(argv[++i]));
    } else if (std::strcmp(argv[i], "--leave-after") == 0 && has_value) {
      settings.timing.leave_after = seconds_option(argv[++i]);
    } else if (std::strcmp(argv[i], "--return-after") == 0 && has_value) {
      settings.timing.return_after = seconds_option(argv[++i]);
    } else if (std::strcmp(argv[i], "--probe-every") == 0 && has_value) {
      settings.timing.probe_every = seconds_option(argv[++i]);
    } else if (argv[i][0] == '-') {
      return usage();
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() != 4) return usage();
  settings.nodes.insert(settings.nodes.begin(), NodeAddress{positional[0], positional[1], positional[2]});
  settings.coinbase_addr = positional[3];

  LoopWakeup wakeup{0};
  std::atomic<bool> stopping{false};
  // Never freed: the reader may still wait in a read of standard input when
  // the probe returns, and must not find its queue gone. Held by a static,
  // so the leak checker sees it still reachable at exit.
  static Commands& commands = *new Commands;
  settings.wakeup = &wakeup;
  settings.stop_requested = [&stopping] { return stopping.load(); };
  settings.submissions_abandoned = [] { return commands.abandoned.load(); };
  Probe probe;
  if (!start_node_link(probe.link, std::move(settings))) return 1;
  std::thread reader([] { commands.read_all(); });
  reader.detach();  // blocks in a read until standard input ends

  for (;;) {
    (void)wakeup.try_acquire_for(std::chrono::milliseconds(20));
    print_events(probe);
    const std::optional<std::string> command = commands.next();
    if (!command && !commands.ended) continue;
    if (!command || *command == "stop") break;
    if (*command == "solve" && probe.latest) hand_over(probe, *probe.latest);
    if (*command == "auto") probe.automatic = true;
    if (*command == "status") print_requests(probe.link);
  }
  stopping = true;
  const double began = monotonic_seconds();
  finish_node_link(probe.link);
  const double took = monotonic_seconds() - began;
  probe.automatic = false;
  print_events(probe);
  print_requests(probe.link);
  say("stopped %.1f", 1e3 * took);
  return 0;
}
