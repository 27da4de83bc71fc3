#include "driver/mining_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "api/api_server.h"
#include "driver/gpu_launcher.h"
#include "driver/loop_rules.h"
#include "driver/rate_display.h"
#include "driver/rig_status_stand_in.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "hash/byte_order.h"
#include "hash/sha3.h"
#include "mine/cpu_coordinator.h"
#include "mine/header_key.h"
#include "mine/key_history.h"
#include "mine/work_space.h"
#include "node/gbt_client.h"
#include "node/hex.h"
#include "node/longpoll_watch.h"
#include "node/node_messages.h"
#include "node/url_display.h"

namespace {

using Clock = MiningPorts::Clock;

// What the whole run has done so far.
struct RunTotals {
  int blocks_found = 0;             // blocks the node accepted
  uint64_t cpu_hashes_carried = 0;  // final hash counts of finished CPU searches
  Clock::time_point mining_start;   // reference point of the average rate
  Clock::time_point last_status;    // when the last status line was printed
};

// A solution a device reported, not yet submitted.
struct Solution {
  const char* device;  // "CPU" or "GPU"
  uint32_t nonce;
  uint32_t header_time;  // the block goes in with the time it was found with
};

// After the node refuses a block, the next one goes in only with work fetched
// after the refusal: at most one submitblock per refresh, however fast the
// devices find blocks the node will not take. One solution found meanwhile
// is kept and goes in after that fetch if the work still has its key.
struct SubmitGate {
  bool held = false;
  uint64_t released_by_fetch = 0;  // the first fetch (by number) that ends the wait
  std::optional<Solution> waiting;
  HeaderKey waiting_key;
};

// A GPU whose launches fail is out of the search until its next try; the
// CPU mines on meanwhile.
struct GpuRetry {
  int failures = 0;  // failed starts in a row; 0 while the GPU works
  Clock::time_point next_try{};
  uint64_t launched_at_start = 0;  // `launched` when the GPU was last started
};

// The loop's whole state. Every member is the loop thread's own, except
// `wakeup` and the last three, which the device threads share, as their types
// say. Members are destroyed in the reverse order of their declaration, and
// the destructors of `cpu` and `gpu` stop and join their threads: those
// threads use `space` and `wakeup`, so those two are declared before them
// (`wakeup` belongs to the caller and outlives the run).
struct MiningRun {
  MiningRun(const Options& o, const DeviceModes& m, const MiningPorts& p, LoopWakeup& w)
      : options(o), modes(m), ports(p), wakeup(w) {}

  const Options& options;
  const DeviceModes& modes;
  const MiningPorts& ports;
  LoopWakeup& wakeup;  // released by the device threads and the longpoll watch
  RunTotals totals;
  FetchState fetch;
  uint64_t fetches_begun = 0;
  uint64_t tip_changes_seen = 0;
  BlockWork searched;   // the work in hand, which the devices belong to
  HeaderKey key;        // its key: `space` hands out this key's positions
  KeyHistory history;
  SubmitGate submit;
  GpuRetry gpu_retry;
  // Set when a device should be started at the next pass it may be.
  bool cpu_start_due = false;
  bool gpu_start_due = false;
  bool no_room_said = false;
  bool out_of_date_said = false;
  bool search_end_said = false;

  // The record for the API (a stand-in until the loop keeps the whole
  // RigStatus): null when nobody reads it.
  RigBoard* board = nullptr;
  RigStatus rig;
  std::vector<DeviceRates> rig_rates;  // one per rig.devices entry
  uint64_t submissions = 0;

  WorkSpace space;
  CpuCoordinator cpu;
  GpuLauncher gpu;
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void say_once(bool& said, const char* line, FILE* stream) {
  if (said) return;
  said = true;
  std::fputs(line, stream);
}

// Said once per header key: with a ticking curtime a fast card reaches the
// bound again every second, and one line says all there is to say.
void note_no_room(MiningRun& run) {
  if (run.no_room_said) return;
  run.no_room_said = true;
  std::printf(
      "Every nonce of every header time up to %u s past the node's has been searched; waiting for "
      "new work\n",
      kMaxSecondsAheadOfNode);
}

// ---- The record for the API: a stand-in of the loop's until the loop keeps
// the whole RigStatus (every device, node events, verdicts) itself. It holds
// what this loop already knows and is published each status period.

uint64_t cpu_hashes_so_far(const MiningRun& run) {
  return run.totals.cpu_hashes_carried + (cpu_search_not_joined(run.cpu) ? run.cpu.state.hash_count.load() : 0);
}

void note_block_for_rig(MiningRun& run, const BlockWork& block, const Solution& solution, bool accepted) {
  ++run.submissions;
  if (run.board == nullptr) return;
  uint8_t header[80];
  std::copy(block.header, block.header + 80, header);
  put_header_nonce(header, solution.nonce);
  uint8_t digest[64];
  sha3_512_cpu(header, sizeof header, digest);
  memrev(digest, 32);  // the node writes the hash most significant byte first
  char hash_hex[65];
  bin2hex(hash_hex, digest, 32);
  FoundBlock found;
  found.height = block.height;
  found.hash_hex = hash_hex;
  found.device = solution.device;
  found.found_at = std::chrono::system_clock::now();
  found.verdict = accepted ? BlockVerdict::accepted : BlockVerdict::refused;
  // This loop hears no reason for a refusal (the node link passes it on).
  ++(accepted ? run.rig.blocks_accepted : run.rig.blocks_refused);
  run.rig.recent_blocks.push_back(std::move(found));
  if (run.rig.recent_blocks.size() > kRecentBlocks) run.rig.recent_blocks.erase(run.rig.recent_blocks.begin());
}

void publish_rig(MiningRun& run, Clock::time_point now) {
  if (run.board == nullptr) return;
  RigStatus& rig = run.rig;
  if (run.rig_rates.size() != rig.devices.size()) run.rig_rates.assign(rig.devices.size(), DeviceRates{});
  rig.uptime_seconds = seconds_between(run.totals.mining_start, now);
  for (size_t i = 0; i < rig.devices.size(); ++i) {
    DeviceStatus& device = rig.devices[i];
    const bool is_cpu = device.kind == "CPU";
    note_device_hashes(run.rig_rates[i], device, is_cpu ? cpu_hashes_so_far(run) : run.gpu.launched.load(),
                       run.totals.mining_start, now);
    if (is_cpu) {
      device.state = cpu_search_not_joined(run.cpu) ? DeviceState::mining : DeviceState::waiting;
    } else {
      device.state = gpu_launches_not_joined(run.gpu) ? DeviceState::mining
                     : run.gpu_retry.failures > 0     ? DeviceState::backing_off
                                                      : DeviceState::waiting;
      device.failures = static_cast<uint64_t>(run.gpu_retry.failures);
      device.temperature_c = run.ports.power_get_temp();
    }
  }
  rig.rate_10s = rig.rate_60s = rig.rate_since_start = 0;
  for (const DeviceStatus& device : rig.devices) {
    rig.rate_10s += device.rate_10s;
    rig.rate_60s += device.rate_60s;
    rig.rate_since_start += device.rate_since_start;
  }
  NodeStatus& node = rig.node;
  node.state = !run.fetch.have_work && !run.fetch.last_fetch_failed ? NodeState::connecting
               : run.fetch.last_fetch_failed                       ? NodeState::failing
                                                                   : NodeState::answering;
  node.height = run.fetch.have_work ? run.searched.height : 0;
  node.template_age_seconds = run.fetch.have_work ? seconds_between(run.fetch.confirmed_at, now) : -1;
  node.requests = {{"getblocktemplate", "main", 0, run.fetches_begun},
                   {"submitblock", "main", 0, run.submissions}};
  publish_rig_status(*run.board, rig);
}

void print_status(const MiningRun& run, Clock::time_point now) {
  // The average over the whole run, fetch time and failure waits included.
  // Both counts hold only nonces actually hashed.
  const uint64_t cpu_hashes =
      run.totals.cpu_hashes_carried +
      (cpu_search_not_joined(run.cpu) ? run.cpu.state.hash_count.load() : 0);
  const double rate = static_cast<double>(cpu_hashes + run.gpu.launched.load()) /
                      seconds_between(run.totals.mining_start, now);
  print_status_line(rate, device_label(run.modes.gpu_enabled, run.modes.cpu_enabled),
                    run.totals.blocks_found, run.ports.power_get_temp());
}

// Submits a solution with the work it was found for, in the header time it
// was found with. An accepted block moves the node's tip, so fresh work is
// fetched at once; a refused one holds further submissions (SubmitGate).
void submit(MiningRun& run, const BlockWork& work, const Solution& solution) {
  std::printf("*** %s SOLUTION! Nonce: %u ***\n", solution.device, solution.nonce);
  // A block found before a stop still goes in; a second signal cuts the wait
  // for the node short, so what was printed must be out by then.
  std::fflush(stdout);
  BlockWork block = work;
  put_header_time(block.header, solution.header_time);
  submission_begins();
  const bool accepted = run.ports.submit_block(block, solution.nonce);
  submission_ends();
  note_block_for_rig(run, block, solution, accepted);
  if (accepted) {
    ++run.totals.blocks_found;
    std::printf("Block %d ACCEPTED (%s)! (total: %d)\n", work.height, solution.device,
                run.totals.blocks_found);
    run.fetch.fetch_at_once = true;
  } else {
    run.submit.held = true;
    run.submit.released_by_fetch = run.fetches_begun + 1;
  }
}

// A solution of the work in hand: submitted now, kept while submissions are
// held, or dropped when the chain has moved past its work (then it is
// another block at a height already taken).
void take_solution(MiningRun& run, const Solution& solution) {
  if (work_stale(run.fetch)) return;
  if (!run.submit.held) {
    submit(run, run.searched, solution);
    return;
  }
  if (run.submit.waiting) return;  // another block of the same height is worth nothing more
  run.submit.waiting = solution;
  run.submit.waiting_key = run.key;
}

// Stops and joins the CPU search and carries its count over; returns its
// solution, if it found one.
std::optional<Solution> stop_cpu(MiningRun& run) {
  if (!cpu_search_not_joined(run.cpu)) return std::nullopt;
  run.totals.cpu_hashes_carried += stop_cpu_search(run.cpu);
  switch (run.cpu.end) {
    case CpuSearchEnd::solved:
      return Solution{"CPU", run.cpu.state.result.nonce, run.cpu.state.result.header_time};
    case CpuSearchEnd::space_used_up:
      note_no_room(run);
      break;
    case CpuSearchEnd::could_not_search:
      say_once(run.search_end_said,
               "tamrix-miner: the CPU search ended by itself (no usable kernel or worker thread); "
               "it is started again with each new work\n",
               stderr);
      break;
    case CpuSearchEnd::stopped:
      break;
  }
  return std::nullopt;
}

void gpu_failed(MiningRun& run, Clock::time_point now) {
  ++run.gpu_retry.failures;
  run.gpu_retry.next_try = now + gpu_retry_delay(run.gpu_retry.failures);
  run.gpu_start_due = true;
  if (run.gpu_retry.failures == 1) std::fputs("GPU kernel failed\n", stderr);
}

// Stops and joins the GPU thread, which first collects the batches it has
// queued; returns the solution one of them held, if any.
std::optional<Solution> stop_gpu(MiningRun& run) {
  if (!stop_gpu_launches(run.gpu, run.ports.gpu_stop_requested)) return std::nullopt;
  switch (run.gpu.end) {
    case GpuEnd::solved:
      return Solution{"GPU", run.gpu.solution.nonce, run.gpu.solution.header_time};
    case GpuEnd::failed:
      gpu_failed(run, run.ports.now());
      break;
    case GpuEnd::used_up:
      note_no_room(run);
      break;
    case GpuEnd::stopped:
      break;
  }
  return std::nullopt;
}

// Stops both devices and hands on what they found: the CPU's solution
// first; a second one would be the same block.
void stop_devices(MiningRun& run) {
  const std::optional<Solution> cpu = stop_cpu(run);
  const std::optional<Solution> gpu = stop_gpu(run);
  if (cpu)
    take_solution(run, *cpu);
  else if (gpu)
    take_solution(run, *gpu);
}

// Whether a device that has just solved goes on with the work in hand. Not
// when its block went in (fresh work follows at once), nor when a solution
// already waits for the next fetch: until then any other would only be
// another block of the same height. The next work starts it again.
bool solver_goes_on(const MiningRun& run) { return !run.fetch.fetch_at_once && !run.submit.waiting; }

// Reads what the devices have reported since the last pass: a solution, or
// a device that ended by itself.
void take_device_news(MiningRun& run) {
  if (cpu_search_not_joined(run.cpu) &&
      (run.cpu.state.found.load(std::memory_order_relaxed) || run.cpu.ended_by_itself.load())) {
    if (const std::optional<Solution> solution = stop_cpu(run)) {
      take_solution(run, *solution);
      run.cpu_start_due = solver_goes_on(run);
    }
  }
  if (gpu_launches_not_joined(run.gpu) && run.gpu.ended_by_itself.load()) {
    if (const std::optional<Solution> solution = stop_gpu(run)) {
      take_solution(run, *solution);
      run.gpu_start_due = solver_goes_on(run);
    }
  }
  if (run.gpu_retry.failures > 0 && gpu_launches_not_joined(run.gpu) &&
      run.gpu.launched.load() > run.gpu_retry.launched_at_start) {
    run.gpu_retry.failures = 0;
    std::printf("GPU kernel works again\n");
  }
}

// Learns from the longpoll watch whether the chain has moved past the work
// in hand.
void take_tip_news(MiningRun& run) {
  if (!run.ports.tip_news) return;
  const TipNews news = run.ports.tip_news();
  if (news.changes == run.tip_changes_seen) return;
  run.tip_changes_seen = news.changes;
  if (!run.fetch.have_work || news.fingerprint != tip_fingerprint_of(run.searched.header))
    run.fetch.tip_moved = true;
}

// Makes `work` the work in hand. Work of the key being searched moves the
// search on to its time (the node's curtime), if the search is behind it;
// work of another key stops the devices (what they found goes in first,
// with its own work) and searches the new key from its time on, or from
// where an earlier search of it stopped. Returns false when a block found
// meanwhile went in: the work is then out of date already.
bool adopt_work(MiningRun& run, BlockWork work, Clock::time_point now) {
  const HeaderKey key = make_header_key(work.header, work.target);
  const uint32_t node_time = header_time(work.header);
  const uint64_t end = work_end_for(node_time);
  const uint64_t from = first_position_of(node_time);
  if (same_header_key(run.key, key)) {
    move_work_past(run.space, from);
    run.space.end.store(end);
  } else {
    const int blocks_before = run.totals.blocks_found;
    stop_devices(run);
    if (run.totals.blocks_found != blocks_before) return false;
    remember_key(run.history, run.key, run.space.next.load());
    begin_work_space(run.space, std::max(recall_key(run.history, key), from), end);
    run.key = key;
    run.no_room_said = false;
  }
  run.searched = std::move(work);
  run.fetch.have_work = true;
  run.fetch.confirmed_at = now;
  run.fetch.tip_moved = false;
  run.fetch.fetch_at_once = false;
  run.out_of_date_said = false;
  run.cpu_start_due = true;
  run.gpu_start_due = true;
  return true;
}

// Asks the node for work while the devices go on hashing. A failure leaves
// them on the work in hand for as long as it is usable.
void fetch_work(MiningRun& run, Clock::time_point began) {
  const uint64_t number = ++run.fetches_begun;
  if (fetch_is_on_news(run.fetch, began)) run.fetch.last_news_began = began;
  BlockWork work = run.ports.get_work();
  const Clock::time_point ended = run.ports.now();
  run.fetch.next_fetch = next_fetch_after(work.valid, began, ended);
  run.fetch.last_fetch_failed = !work.valid;
  if (!work.valid) {
    // A call given up for a stop is no failure worth a retry line.
    if (g_running.load()) std::fputs("Failed to get work, retrying in 5s...\n", stderr);
    return;
  }
  // Solutions found while the node was asked go in first, with their work;
  // one that went in has moved the tip past this work too. Until fresh work
  // is adopted, the work in hand stays stale after news.
  const int blocks_before = run.totals.blocks_found;
  take_device_news(run);
  if (run.totals.blocks_found != blocks_before || !adopt_work(run, std::move(work), ended)) return;
  if (run.submit.held && number >= run.submit.released_by_fetch) {
    run.submit.held = false;
    const std::optional<Solution> waiting = run.submit.waiting;
    run.submit.waiting.reset();
    if (waiting && same_header_key(run.submit.waiting_key, run.key)) submit(run, run.searched, *waiting);
  }
}

// Starts each device that is due and may search: the work is usable, its
// key has room, and a failing GPU's pause is over.
void start_devices(MiningRun& run, Clock::time_point now) {
  const bool room = work_space_has_room(run.space);
  if (run.cpu_start_due) {
    run.cpu_start_due = false;
    if (run.modes.cpu_enabled && !cpu_search_not_joined(run.cpu)) {
      if (room)
        start_cpu_search(run.cpu, run.searched.header, run.searched.target,
                         run.options.cpu_threads, &run.space);
      else
        note_no_room(run);
    }
  }
  if (run.gpu_start_due && now >= run.gpu_retry.next_try) {
    run.gpu_start_due = false;
    if (run.modes.gpu_enabled && !gpu_launches_not_joined(run.gpu)) {
      if (!room) {
        note_no_room(run);
        return;
      }
      run.gpu_retry.launched_at_start = run.gpu.launched.load();
      const GpuLaunchSetup setup{&run.ports.gpu_batches, &run.space, &run.wakeup,
                                 run.options.batch_size, &run.ports.start_gpu_thread};
      if (!start_gpu_launches(run.gpu, run.searched.header, run.searched.target, setup))
        gpu_failed(run, now);
    }
  }
}

// The work in hand may no longer be searched: the devices stop and wait.
// After news (a block of ours went in, a new tip) fresh work is on its way;
// only a node that does not send it is worth a line.
void park_devices(MiningRun& run, Clock::time_point now) {
  if (!run.fetch.have_work) return;
  stop_devices(run);
  if (run.fetch.last_fetch_failed || now - run.fetch.confirmed_at > kWorkValidFor)
    say_once(run.out_of_date_said,
             "The work in hand is out of date and the node sends no new work; the devices wait "
             "for it\n",
             stderr);
}

// Waits until the next thing due, or until a device or the watch has news,
// and no longer than kLongestWait, so that a stop is seen promptly.
void wait_for_news(MiningRun& run, Clock::time_point now) {
  Clock::time_point wake = std::min(fetch_due_at(run.fetch), run.totals.last_status + kStatusInterval);
  if (work_usable(run.fetch, now)) {
    // The first moment the work is too old.
    wake = std::min(wake, run.fetch.confirmed_at + kWorkValidFor + Clock::duration{1});
    if (run.gpu_start_due) wake = std::min(wake, run.gpu_retry.next_try);
  }
  wake = std::clamp(wake, now, now + kLongestWait);
  const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
  if (run.ports.wait)
    run.ports.wait(run.wakeup, timeout);
  else
    (void)run.wakeup.try_acquire_for(timeout);
}

void run_loop(MiningRun& run) {
  const MiningPorts& ports = run.ports;
  run.cpu.search_function = ports.cpu_search;
  run.cpu.start_thread = ports.start_thread;
  run.cpu.state.wakeup = &run.wakeup;
  run.totals.mining_start = ports.now();
  run.totals.last_status = run.totals.mining_start;
  run.fetch.next_fetch = run.totals.mining_start;

  publish_rig(run, run.totals.mining_start);
  while (g_running.load()) {
    take_device_news(run);
    take_tip_news(run);
    const Clock::time_point now = ports.now();
    if (fetch_due(run.fetch, now)) {
      fetch_work(run, now);
      continue;
    }
    if (work_usable(run.fetch, now))
      start_devices(run, now);
    else
      park_devices(run, now);
    if (now - run.totals.last_status >= kStatusInterval) {
      print_status(run, now);
      publish_rig(run, now);
      run.totals.last_status = now;
    }
    wait_for_news(run, now);
  }

  // A block found before the stop, or in a batch collected after it, still
  // goes in.
  stop_devices(run);
}

MiningPorts real_mining_ports(GbtClient& client, GpuContext* gpu) {
  MiningPorts ports;
  ports.get_work = [&client] { return client.get_work(); };
  ports.submit_block = [&client](const BlockWork& work, uint32_t nonce) {
    return client.submit_block(work, nonce);
  };
  // One kernel launch per batch.
  ports.gpu_batches.queue = [gpu](int slot, const uint8_t header[80], uint32_t start_nonce,
                                  uint32_t batch_size, const uint32_t target[8]) {
    return queue_mining_batch(gpu, slot, header, start_nonce, batch_size, 0, target);
  };
  ports.gpu_batches.collect = [gpu](int slot, MiningResult* result) {
    return collect_mining_batch(gpu, slot, result);
  };
  ports.power_get_temp = [gpu] { return gpu ? power_get_temp(gpu) : -1; };
  ports.power_shutdown = [gpu] {
    if (gpu) power_shutdown(gpu);
  };
  ports.now = [] { return Clock::now(); };
  return ports;
}

}  // namespace

void mine_with_ports(const Options& options, const DeviceModes& modes, const MiningPorts& ports,
                     LoopWakeup* wakeup, RigBoard* board) {
  LoopWakeup own_wakeup{0};
  {
    MiningRun run(options, modes, ports, wakeup ? *wakeup : own_wakeup);
    if (board != nullptr) {
      run.board = board;
      run.rig = read_rig_status(*board);  // who the devices are: run_mining_loop knows
    }
    run_loop(run);
    std::printf("Shutting down. Blocks found: %d\n", run.totals.blocks_found);
  }
  ports.power_shutdown();
}

namespace {

// The first record, from what is known before mining: the version, the
// node's URL and who each device is (the GPU first, as -d names it).
RigStatus first_rig_status(const Options& options, const DeviceModes& modes, GpuContext* gpu) {
  RigStatus rig;
  rig.version = TAMRIX_VERSION;
  rig.started_at = std::chrono::system_clock::now();
  rig.node.url = printable_text(url_for_display(*options.rpc_url));
  if (modes.gpu_enabled) {
    DeviceStatus device;
    device.kind = "GPU";
    device.index = options.gpu_device;
    if (gpu != nullptr) {
      device.pci_bus_id = gpu_device_info(gpu).pci_bus_id;
      device.name = printable_text(gpu_device_info(gpu).name);
    }
    rig.devices.push_back(device);
  }
  if (modes.cpu_enabled) {
    DeviceStatus device;
    device.kind = "CPU";
    device.name = std::to_string(options.cpu_threads) + (options.cpu_threads == 1 ? " thread" : " threads");
    rig.devices.push_back(device);
  }
  return rig;
}

}  // namespace

bool run_mining_loop(const Options& options, const DeviceModes& modes, GpuContext* gpu) {
  // The API listens before anything else happens, so that a port already
  // taken stops the run before the node is asked anything.
  RigBoard board;
  ApiServer api;
  if (options.api_bind) {
    ApiServerSettings settings;
    std::string why;
    (void)parse_api_bind(*options.api_bind, &settings.bind, &why);  // main has checked it
    settings.token = options.api_token.value_or("");
    settings.read_status = [&board](bool* published) { return read_rig_status(board, published); };
    publish_rig_status(board, first_rig_status(options, modes, gpu));
    if (!start_api_server(api, std::move(settings), &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return false;
    }
  }

  GbtClient client(*options.rpc_url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);
  // A call in progress is given up on a stop, except the submission of a
  // block found before it, which only a second signal gives up.
  client.give_up_when(node_calls_abandoned);

  std::printf("Connecting to %s...\n", url_for_display(*options.rpc_url).c_str());
  if (modes.cpu_enabled) std::printf("CPU mining: %d threads\n", options.cpu_threads);
  if (!modes.gpu_enabled)
    std::printf("GPU mining: disabled (--cpu-only)\n");
  else if (options.batch_size == kBatchSizeByTime)
    std::printf("GPU mining: device %d, batch size set by time (10 to 40 ms a batch)\n",
                options.gpu_device);  // --batch-size 0, the default
  else
    std::printf("GPU mining: device %d, batch size %u\n", options.gpu_device, options.batch_size);

  // The watch wakes the loop on a new tip, so the wakeup outlives both. A
  // stop ends the watch's held request; the watch has no block to submit.
  LoopWakeup wakeup{0};
  LongpollWatch watch;
  start_longpoll_watch(watch, LongpollSettings{*options.rpc_url, options.rpc_user,
                                               *options.rpc_pass, [&wakeup] { wakeup.release(); },
                                               [] { return !g_running.load(); }});
  MiningPorts ports = real_mining_ports(client, gpu);
  // The count first: it moves after the fingerprint has been written.
  ports.tip_news = [&watch] {
    return TipNews{watch.tip_changes.load(), watch.tip_fingerprint.load()};
  };

  // The client is destroyed after mining ends, on the way out of this
  // function, so after power_shutdown.
  mine_with_ports(options, modes, ports, &wakeup, options.api_bind ? &board : nullptr);
  stop_longpoll_watch(watch);
  stop_api_server(api);
  return true;
}
