// The mining loop driven pass by pass through fake neighbours: a scripted
// node link (work about once a second, verdicts as the test says), GPUs
// whose batches (queued and collected on each card's GPU thread) finish one
// by one as the test lets them, a clock that moves only when the loop waits,
// and a CPU search that records where each sitting starts and hands out a
// solution on request.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "driver/loop_rules.h"
#include "driver/mining_loop.h"
#include "driver/run_flag.h"
#include "hash/byte_order.h"
#include "node/longpoll_watch.h"

namespace {

using Clock = MiningPorts::Clock;
using namespace std::chrono_literals;

constexpr uint32_t kNodeTime = 1700000000;

// Work whose header bytes 0..75 count up from header_seed: bytes 4..11 (the
// tip) differ with the seed too.
BlockWork make_work(uint8_t header_seed, int32_t height = 7, uint32_t time = kNodeTime) {
  BlockWork work;
  for (int i = 0; i < 76; ++i) work.header[i] = static_cast<uint8_t>(header_seed + i);
  put_header_time(work.header, time);
  for (uint32_t& word : work.target) word = 0x01234567u;
  work.height = height;
  work.txn_hex = "01";
  work.valid = true;
  return work;
}

uint64_t tip_of(uint8_t header_seed) { return tip_fingerprint_of(make_work(header_seed).header); }

// Waits on another thread's progress; false after ten seconds so that a
// broken loop fails the test instead of hanging it.
bool wait_for(const std::function<bool()>& condition) {
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}
// One sitting of the CPU search as the fake saw it.
struct Sitting {
  uint8_t first_header_byte;
  uint64_t first_position;  // the space's counter when it began
};

// The fake CPU search. A sitting runs until it is stopped and then claims
// `hashes_per_sitting` positions from the space, as if it had hashed them, so
// that a status line shows only the hashes of finished sittings. A planted
// solution lies at the end of one such claim; it is announced as the real
// winner does. `cannot_search` makes every sitting end at once, as a search
// with no kernel or no worker thread does; a space without room ends it at
// once as used up.
struct ScriptedSearch {
  uint64_t hashes_per_sitting = 1000;
  bool cannot_search = false;
  std::atomic<int> sittings_started{0};
  std::atomic<int> sittings_ended_by_themselves{0};
  std::atomic<bool> searching{false};  // a sitting runs and can take a plant
  // Sittings that have begun searching or have ended by themselves.
  std::atomic<int> sittings_settled{0};
  std::vector<Sitting> sittings;  // read by the test only after the loop has ended
  std::atomic<bool> plant{false};
  std::atomic<bool> planted{false};
  uint32_t planted_nonce = 0;
  uint32_t planted_time = 0;

  CpuSearchEnd run(const CpuSearchJob& job, SearchState& state) {
    sittings.push_back({job.header[0], job.space->next.load()});
    sittings_started.fetch_add(1);
    if (cannot_search || !work_space_has_room(*job.space)) {
      sittings_ended_by_themselves.fetch_add(1);
      sittings_settled.fetch_add(1);
      return cannot_search ? CpuSearchEnd::could_not_search : CpuSearchEnd::space_used_up;
    }
    searching.store(true);
    sittings_settled.fetch_add(1);
    while (state.running.load() && !state.found.load()) {
      if (plant.exchange(false)) {
        searching.store(false);
        const WorkChunk chunk = claim_work(*job.space, hashes_per_sitting);
        const uint64_t at = chunk.position + chunk.size - 1;
        planted_nonce = nonce_at(*job.space, at);
        planted_time = time_at(at);
        state.found.store(true);
        state.result.nonce = planted_nonce;
        state.result.header_time = planted_time;
        state.result.found = true;
        state.hash_count.fetch_add(chunk.size);
        if (state.wakeup) state.wakeup->release();
        planted.store(true);
        sittings_ended_by_themselves.fetch_add(1);
        return CpuSearchEnd::solved;
      }
      std::this_thread::sleep_for(50us);
    }
    searching.store(false);
    state.hash_count.fetch_add(claim_work(*job.space, hashes_per_sitting).size);
    return CpuSearchEnd::stopped;
  }

  // Plants a solution and waits until the search has taken it.
  void plant_now() {
    planted.store(false);
    plant.store(true);
    EXPECT_TRUE(wait_for([this] { return planted.load(); }));
  }
};

// A block handed to the fake node link.
struct Submission {
  uint8_t first_header_byte;
  uint32_t header_time;
  uint32_t nonce;
  Clock::time_point at;
  uint64_t id;
  std::string device;
  uint8_t hash_first_byte;
};

// One batch as the fake GPU received it.
struct Batch {
  uint8_t first_header_byte;
  uint32_t header_time;
  uint32_t start_nonce;
  uint32_t size;
  uint32_t launch_size;
  int slot;
};

// A GPU answer under which the batch queued `winner`-th (from 0) finds
// `nonce`; a negative winner makes every batch find it.
std::function<int(int, MiningResult*)> solution_in_batch(int winner, uint32_t nonce) {
  return [winner, nonce](int k, MiningResult* result) {
    if (winner < 0 || k == winner) {
      result->found = true;
      result->nonce = nonce;
      result->hash[0] = 0xAB;
    }
    return 0;
  };
}


// One fake GPU. Queuing returns at once; a collect waits until the main
// thread's fakes let it through: each pass's wait lets `collects_per_pass`
// through on every card, and waits until those are done and the card's
// thread is back at the gate (or has ended). Once the loop cancels the
// card's batches (every stop), collects go through without leave, as a
// card cuts its batches short.
struct GatedGpu {
  std::mutex mutex;
  std::condition_variable changed;
  int permits = 0;
  int done = 0;
  int alive = 0;         // GPU threads that have not ended
  bool waiting = false;  // the GPU thread is back at the gate
  bool closing = false;
  int cancels = 0;
  std::vector<Batch> batches;
  std::string calls;  // "q0 q1 c0 q0 c1 ...": queue and collect, by slot
  int in_slot[kGpuBatchSlots] = {-1, -1};
  std::vector<Clock::time_point> start_times;
  bool refuse_thread = false;
  // Answers queuing batch k (from 0), and collecting it; on the GPU thread.
  std::function<int(int)> queue_answer = [](int) { return 0; };
  std::function<int(int, MiningResult*)> answer = [](int, MiningResult*) { return 0; };
  // Readings of its sensors, by the loop's thread.
  std::atomic<int> temperature{-1};

  int queue(int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t size, uint32_t launch) {
    std::lock_guard lock(mutex);
    const int k = static_cast<int>(batches.size());
    batches.push_back({header[0], header_time(header), start_nonce, size, launch, slot});
    calls += "q" + std::to_string(slot) + " ";
    const int status = queue_answer(k);
    if (status == 0) in_slot[slot] = k;
    return status;
  }

  int collect(int slot, MiningResult* result) {
    std::unique_lock lock(mutex);
    waiting = true;
    changed.notify_all();
    changed.wait(lock, [this] { return permits > 0 || closing; });
    waiting = false;
    if (permits > 0) --permits;
    calls += "c" + std::to_string(slot) + " ";
    const int status = answer(in_slot[slot], result);
    in_slot[slot] = -1;
    ++done;
    changed.notify_all();
    return status;
  }

  // Lets n collects through and waits for them; returns how many happened.
  int let_through(int n) {
    std::unique_lock lock(mutex);
    if (alive == 0 || n == 0) return 0;
    const int before = done;
    permits += n;
    changed.notify_all();
    const bool settled = changed.wait_for(
        lock, 10s, [&] { return (done >= before + n && waiting) || alive == 0; });
    EXPECT_TRUE(settled) << "the GPU thread neither collected nor ended";
    permits = 0;
    return done - before;
  }

  std::thread start(std::function<void()> body, Clock::time_point now) {
    std::lock_guard lock(mutex);
    start_times.push_back(now);
    if (refuse_thread) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    closing = false;
    ++alive;
    return std::thread([this, body = std::move(body)] {
      body();
      std::lock_guard lock(mutex);
      --alive;
      changed.notify_all();
    });
  }

  void cancel() {
    std::lock_guard lock(mutex);
    ++cancels;
    closing = true;
    changed.notify_all();
  }

  bool running() {
    std::lock_guard lock(mutex);
    return alive > 0;
  }
};

// The fake world around one run of the loop.
struct Harness {
  explicit Harness(int gpu_count = 1) : cards(static_cast<size_t>(gpu_count)), gpu(cards.front()) {}

  Options options;
  DeviceModes modes{false, true};
  ScriptedSearch search;
  std::deque<GatedGpu> cards;
  GatedGpu& gpu;            // the first card
  Clock::time_point now{};  // moved only by the main thread's waits

  // The node link. Work is fetched at 0 s and then a second after the last
  // fetch, and at once after a block of ours was accepted; fetch k (from 0)
  // brings serve(k) (invalid work: a FetchFailed). The fetch numbered
  // stop_after_fetches requests the stop.
  std::function<BlockWork(int)> serve = [](int) { return make_work(1); };
  int stop_after_fetches = 5;
  int fetches = 0;
  std::vector<Clock::time_point> fetch_times;
  // Submission k's verdict, posted at once; none: unanswered until the
  // stop, when finish answers it with verdict_at_finish.
  std::function<std::optional<BlockVerdict>(int)> verdict = [](int) { return BlockVerdict::accepted; };
  BlockVerdict verdict_at_finish = BlockVerdict::accepted;
  std::vector<Submission> submissions;
  std::vector<uint64_t> unanswered;
  std::vector<NodeEvent> posted;  // not yet taken by the loop
  int finishes = 0;
  bool devices_ran_at_finish = false;
  bool use_board = false;
  RigBoard board;

  // Each wait lets this many collects through on every card; a batch takes batch_time.
  int collects_per_pass = 1;
  Clock::duration batch_time = 1ms;
  // Called at the start of wait k (from 0), on the main thread.
  std::function<void(int)> on_wait = [](int) {};
  int waits = 0;
  // How long into a wait a CPU solution or the node's news arrives.
  Clock::duration news_after = 10ms;
  bool refuse_thread = false;
  int shutdowns = 0;

  std::string out, err;
  // A loop that never ends is stopped here and fails its test's
  // expectations instead of hanging.
  int waits_left = 100000;

  void post(NodeEvent event) { posted.push_back(std::move(event)); }

  void answer(uint64_t id, BlockVerdict verdict_given) {
    post(BlockAnswered{id, verdict_given, verdict_given == BlockVerdict::refused ? "high-hash" : ""});
    unanswered.erase(std::remove(unanswered.begin(), unanswered.end(), id), unanswered.end());
    if (verdict_given == BlockVerdict::accepted) {
      fetch_after_block = true;
      next_fetch = now;
    }
  }

  MiningPorts ports() {
    MiningPorts p;
    p.node.submit = [this](SolvedBlock block) {
      const int k = static_cast<int>(submissions.size());
      submissions.push_back({block.work.header[0], header_time(block.work.header), block.nonce, now, block.id,
                             block.device, block.hash[0]});
      unanswered.push_back(block.id);
      if (const std::optional<BlockVerdict> given = verdict(k)) answer(block.id, *given);
    };
    p.node.take_events = [this](std::vector<NodeEvent>& events) {
      if (finishes == 0) fetch_if_due();
      for (NodeEvent& event : posted) events.push_back(std::move(event));
      posted.clear();
    };
    p.node.finish = [this] {
      ++finishes;
      devices_ran_at_finish = search.searching.load();
      for (GatedGpu& card : cards) devices_ran_at_finish = devices_ran_at_finish || card.running();
      for (const uint64_t id : std::vector<uint64_t>(unanswered)) answer(id, verdict_at_finish);
    };
    p.node.status = [] {
      NodeLinkStatus status;
      status.url_shown = "http://node:1";
      status.state = NodeState::answering;
      status.longpoll = LongpollState::holding;
      return status;
    };
    for (size_t k = 0; k < cards.size(); ++k) {
      GatedGpu& card = cards[k];
      GpuDevicePorts device;
      device.info.index = static_cast<int>(k);
      device.info.pci_bus_id = "0000:0" + std::to_string(k) + ":00.0";
      device.info.name = "Card " + std::to_string(k);
      device.batches.queue = [&card](int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t size,
                                     uint32_t launch, const uint32_t*) {
        return card.queue(slot, header, start_nonce, size, launch);
      };
      device.batches.collect = [&card](int slot, MiningResult* result, uint64_t*) {
        return card.collect(slot, result);
      };
      device.batches.cancel = [&card] { card.cancel(); };
      device.start_thread = [this, &card](std::function<void()> body) { return card.start(std::move(body), now); };
      device.temperature = [&card] { return card.temperature.load(); };
      p.gpus.push_back(std::move(device));
    }
    if (!modes.gpu_enabled) p.gpus.clear();
    p.power_shutdown = [this] { ++shutdowns; };
    p.now = [this] { return now; };
    p.wait = [this](LoopWakeup& wakeup, std::chrono::milliseconds timeout) {
      if (--waits_left == 0) g_running.store(false);
      // Every sitting the loop has started has begun searching, or ended by
      // itself, before the test looks: the fake clock does not wait for it.
      EXPECT_TRUE(wait_for([this] { return search.sittings_settled.load() >= cpu_starts; }));
      on_wait(waits++);
      int collected = 0;
      for (GatedGpu& card : cards) collected += card.let_through(collects_per_pass);
      // A sitting that ended by itself has released the wakeup, or is about
      // to: wait for it in real time, so that the pass sees it.
      bool woken = wakeup.try_acquire() || !posted.empty();
      if (!woken && search.sittings_ended_by_themselves.load() > cpu_news_taken)
        woken = wakeup.try_acquire_for(10s);
      cpu_news_taken = search.sittings_ended_by_themselves.load();
      if (!woken)
        now += timeout;
      else
        now += collected > 0 ? batch_time * collected : news_after;
      return woken;
    };
    p.cpu_search = [this](const CpuSearchJob& job, SearchState& state) { return search.run(job, state); };
    p.start_thread = [this](std::function<void()> body) {
      if (refuse_thread) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      ++cpu_starts;
      return std::thread(std::move(body));
    };
    if (use_board) p.board = &board;
    return p;
  }

  void run() {
    g_running.store(true);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    mine_with_ports(options, modes, ports());
    std::fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    g_running.store(true);
  }

  // Seconds since the start of every start of the first card's thread.
  std::vector<double> gpu_start_seconds() const {
    std::vector<double> seconds;
    for (const Clock::time_point t : gpu.start_times)
      seconds.push_back(std::chrono::duration<double>(t - Clock::time_point{}).count());
    return seconds;
  }

 private:
  void fetch_if_due() {
    if (now < next_fetch || !g_running.load()) return;
    const int call = fetches++;
    fetch_times.push_back(now);
    BlockWork work = serve(call);
    if (work.valid)
      post(WorkArrived{work, "New block " + std::to_string(work.height) + "\n", 0, fetch_after_block});
    else
      post(FetchFailed{0});
    fetch_after_block = false;
    next_fetch = now + 1s;
    if (call == stop_after_fetches) g_running.store(false);
  }

  Clock::time_point next_fetch{};
  bool fetch_after_block = false;
  int cpu_news_taken = 0;
  int cpu_starts = 0;  // coordinator threads the loop has started
};

void cpu_only(Harness& h, int threads = 1) {
  h.options.cpu_threads = threads;
  h.modes = DeviceModes{false, true};
}

void gpu_only(Harness& h) { h.modes = DeviceModes{true, false}; }

void both(Harness& h) {
  h.options.cpu_threads = 1;
  h.modes = DeviceModes{true, true};
}

int count_of(const std::string& text, const std::string& line) {
  int n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

// Every (header bytes 0..75, nonce) the GPUs were given, each once at most:
// per header, the batches' nonce spans (split where they wrap) never overlap.
void expect_no_batch_repeats(const std::deque<GatedGpu>& cards) {
  std::map<std::pair<uint8_t, uint32_t>, std::vector<std::pair<uint64_t, uint64_t>>> spans;
  for (const GatedGpu& card : cards)
    for (const Batch& b : card.batches) {
      auto& list = spans[{b.first_header_byte, b.header_time}];
      const uint64_t begin = b.start_nonce;
      const uint64_t end = begin + b.size;
      list.emplace_back(begin, std::min<uint64_t>(end, kNoncesPerSecond));
      if (end > kNoncesPerSecond) list.emplace_back(0, end - kNoncesPerSecond);
    }
  for (auto& [header, list] : spans) {
    std::sort(list.begin(), list.end());
    for (size_t k = 1; k < list.size(); ++k)
      EXPECT_LE(list[k - 1].second, list[k].first)
          << "nonce " << list[k].first << " at time " << header.second << " given twice";
  }
}

const char* const kOutOfDate =
    "The work in hand is out of date and the node sends no new work; the devices wait for it\n";

// Work of the key being searched goes on without a new sitting on every
// device, one WorkArrived after another; the status line comes every 2 s.
TEST(MiningLoop, WorkOfTheSameKeyGoesOnOnEveryDevice) {
  for (const char* mode : {"cpu", "gpu", "both"}) {
    SCOPED_TRACE(mode);
    Harness h;
    if (std::string(mode) == "cpu") cpu_only(h);
    if (std::string(mode) == "gpu") gpu_only(h);
    if (std::string(mode) == "both") both(h);
    h.collects_per_pass = 50;  // a fast card: many batches a pass
    h.stop_after_fetches = 10;
    h.run();
    EXPECT_EQ(h.fetch_times.size(), 11u);
    EXPECT_EQ(count_of(h.out, "New block 7\n"), 11);
    EXPECT_EQ(count_of(h.out, " | Blocks: 0\n"), 5);  // at 2, 4, 6, 8 and 10 s
    if (h.modes.cpu_enabled) {
      EXPECT_EQ(h.search.sittings.size(), 1u);
    }
    if (h.modes.gpu_enabled) {
      EXPECT_GT(h.gpu.batches.size(), 400u);
      EXPECT_EQ(h.gpu.start_times.size(), 1u);
      expect_no_batch_repeats(h.cards);
    }
    EXPECT_EQ(h.shutdowns, 1);
    EXPECT_EQ(h.finishes, 1);
    EXPECT_NE(h.out.find("Shutting down. Blocks found: 0\n"), std::string::npos);
  }
}

// The GPU thread queues the next batch before it collects the last, slot by
// slot, and takes consecutive positions: two batches are always in flight,
// each a group of whole launches of --batch-size nonces, growing while the
// card takes less than 10 ms for one.
TEST(MiningLoop, GpuKeepsTwoBatchesOfWholeLaunchesInFlight) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 1000;
  h.stop_after_fetches = 1;
  h.run();
  ASSERT_GE(h.gpu.batches.size(), 6u);
  EXPECT_EQ(h.gpu.calls.substr(0, 30), "q0 q1 c0 q0 c1 q1 c0 q0 c1 q1 ");
  EXPECT_EQ(h.gpu.batches[0].size, 1048000u);  // 2^20, in whole launches
  uint32_t next_nonce = kFirstNonce;
  for (size_t k = 0; k < h.gpu.batches.size(); ++k) {
    const Batch& b = h.gpu.batches[k];
    EXPECT_EQ(b.start_nonce, next_nonce) << k;
    EXPECT_EQ(b.launch_size, 1000u) << k;
    EXPECT_EQ(b.size % 1000, 0u) << k;
    EXPECT_GE(b.size, k == 0 ? 0 : h.gpu.batches[k - 1].size) << k;
    EXPECT_EQ(b.header_time, kNodeTime);
    next_nonce += b.size;
  }
  EXPECT_GT(h.gpu.batches.back().size, h.gpu.batches[0].size);
  // Every batch queued was collected before the thread was joined.
  EXPECT_EQ(count_of(h.gpu.calls, "q"), count_of(h.gpu.calls, "c"));
}

// --batch-size 0 is one launch a batch, sized by time.
TEST(MiningLoop, BatchSizeZeroIsOneLaunchSizedByTime) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 0;
  h.stop_after_fetches = 1;
  h.run();
  ASSERT_FALSE(h.gpu.batches.empty());
  for (const Batch& b : h.gpu.batches) {
    EXPECT_GE(b.size, 1u << 16);
    EXPECT_EQ(b.launch_size, 0u);
  }
  EXPECT_EQ(h.gpu.batches[0].size, 1u << 20);
  expect_no_batch_repeats(h.cards);
}

// A new curtime of the same header key moves the search on to that time;
// the devices carry on, and a later template whose curtime is behind the
// search changes nothing. (The card finishes a batch every 100 ms here, so
// that its own rolling of the time stays behind the template's.)
TEST(MiningLoop, NewCurtimeMovesTheSearchOnWithoutARestart) {
  Harness h;
  both(h);
  h.options.batch_size = 1u << 24;
  h.collects_per_pass = 0;
  h.on_wait = [&h](int) { h.gpu.let_through(1); };
  h.serve = [](int call) { return make_work(1, 7, kNodeTime + (call == 2 ? 100 : call > 2 ? 50 : 0)); };
  h.stop_after_fetches = 4;
  h.run();
  EXPECT_EQ(h.search.sittings.size(), 1u);
  std::vector<uint32_t> times;
  for (const Batch& b : h.gpu.batches) times.push_back(b.header_time);
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  EXPECT_EQ(times.front(), kNodeTime);
  EXPECT_LT(times.back(), kNodeTime + 150);
  // The new time's search begins at its first nonce, well ahead of where
  // the card's own rolling had got; what was in flight at the old time was
  // still collected.
  const auto first_new = std::find_if(times.begin(), times.end(), [](uint32_t t) { return t >= kNodeTime + 100; });
  ASSERT_NE(first_new, times.end());
  EXPECT_EQ(*first_new, kNodeTime + 100);
  EXPECT_LT(*(first_new - 1), kNodeTime + 20);
  EXPECT_EQ(h.gpu.batches[first_new - times.begin()].start_nonce, kFirstNonce);
  expect_no_batch_repeats(h.cards);
}

// Once every nonce of a second has been given out the header time moves on
// by one second; past kMaxSecondsAheadOfNode seconds ahead of the node's
// curtime the devices wait, with one line for the key, until the node's time
// moves.
TEST(MiningLoop, HeaderTimeRollsOnAndStopsTenMinutesAhead) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 1u << 31;  // two batches a second
  h.collects_per_pass = 20;
  h.serve = [](int call) { return make_work(1, 7, call < 40 ? kNodeTime : kNodeTime + 1); };
  h.stop_after_fetches = 41;
  h.run();
  const size_t limit = 2 * (kMaxSecondsAheadOfNode + 1);
  ASSERT_EQ(h.gpu.batches.size(), limit + 2);
  for (size_t k = 0; k < limit; ++k) {
    EXPECT_EQ(h.gpu.batches[k].header_time, kNodeTime + k / 2) << k;
    EXPECT_EQ(h.gpu.batches[k].start_nonce, k % 2 == 0 ? kFirstNonce : 0u) << k;
  }
  EXPECT_EQ(h.gpu.batches[limit].header_time, kNodeTime + kMaxSecondsAheadOfNode + 1);
  EXPECT_EQ(count_of(h.out,
                     "Every nonce of every header time up to 600 s past the node's has been "
                     "searched; waiting for new work\n"),
            1);
  expect_no_batch_repeats(h.cards);
}

// A new header key (another header, or another target) starts a fresh
// search at its own time; going back to an earlier key goes on past what was
// searched of it.
TEST(MiningLoop, NewKeyStartsFreshAndAnEarlierKeyGoesOn) {
  Harness h;
  cpu_only(h);
  h.search.hashes_per_sitting = 1000;
  h.serve = [](int call) {
    BlockWork work = make_work(call < 3 ? 1 : call < 6 ? 2 : 1);
    if (call >= 9) work.target[7] = 0;
    return work;
  };
  h.stop_after_fetches = 10;
  h.run();
  ASSERT_EQ(h.search.sittings.size(), 4u);
  const uint64_t first = first_position_of(kNodeTime);
  EXPECT_EQ(h.search.sittings[0].first_header_byte, 1);
  EXPECT_EQ(h.search.sittings[0].first_position, first);
  EXPECT_EQ(h.search.sittings[1].first_header_byte, 2);
  EXPECT_EQ(h.search.sittings[1].first_position, first);
  EXPECT_EQ(h.search.sittings[2].first_header_byte, 1);
  EXPECT_EQ(h.search.sittings[2].first_position, first + 1000);
  EXPECT_EQ(h.search.sittings[3].first_position, first);  // another target
}

// While fetches fail the devices hash the work in hand: no sitting ends and
// the status lines go on. Work the node has not confirmed for kWorkValidFor
// is searched no longer (one line; the next work starts the devices again),
// unless the watch holds a request on the node, which says that the tip has
// not moved.
TEST(MiningLoop, DevicesHashThroughFailedFetchesWhileTheWorkIsValid) {
  for (const bool holding : {false, true}) {
    SCOPED_TRACE(holding ? "the watch holds a request" : "no watch");
    Harness h;
    both(h);
    h.serve = [](int call) { return call >= 1 && call < 150 ? BlockWork{} : make_work(1); };
    h.stop_after_fetches = 151;
    // Batches queued and sittings started, seen at each pass between the
    // expiry (120 s after the work at 0 s) and the next work (at 150 s).
    std::vector<size_t> batches_while_old;
    std::vector<int> sittings_while_old;
    h.on_wait = [&](int k) {
      if (k == 0 && holding) h.post(WatchChanged{true});
      if (h.now < Clock::time_point{} + 121s || h.now >= Clock::time_point{} + 149s) return;
      std::lock_guard lock(h.gpu.mutex);
      batches_while_old.push_back(h.gpu.batches.size());
      sittings_while_old.push_back(h.search.sittings_started.load());
    };
    h.run();
    EXPECT_EQ(count_of(h.out, "(GPU+CPU) | Blocks: 0\n"), 75);
    ASSERT_GT(batches_while_old.size(), 100u);
    EXPECT_EQ(count_of(h.err, kOutOfDate), holding ? 0 : 1);
    EXPECT_EQ(batches_while_old.front() == batches_while_old.back(), !holding);
    EXPECT_EQ(sittings_while_old.back(), 1);
    EXPECT_EQ(h.search.sittings.size(), holding ? 1u : 2u);  // started again by the work at 150 s
    expect_no_batch_repeats(h.cards);
  }
}

// News of a tip parks the devices in the pass that takes it (their batches
// cut short), when it names a tip other than the work's at the work's height
// or above; what they still find is dropped, and so is fetched work below
// the tip's height. Work on the new tip starts them again, and the record
// says how long the switch took. Other news changes nothing: the cards go on
// and their block goes in.
TEST(MiningLoop, NewTipParksTheDevicesUntilWorkOnItArrives) {
  struct Case {
    const char* news;
    TipMoved moved;
    bool parks;
  };
  const Case cases[] = {{"a new tip", TipMoved{7, tip_of(2)}, true},
                        {"a new tip higher up", TipMoved{8, tip_of(2)}, true},
                        {"the work's own tip", TipMoved{7, tip_of(1)}, false},
                        {"an older tip", TipMoved{6, tip_of(2)}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.news);
    Harness h;
    both(h);
    h.use_board = true;
    h.serve = [](int call) { return call < 2 ? make_work(1, 7) : make_work(2, 8); };
    h.stop_after_fetches = 3;
    size_t batches_at_news = 0;
    int cancels_at_news = 0;
    bool news_posted = false;
    h.on_wait = [&](int) {
      if (news_posted || h.now < Clock::time_point{} + 1200ms) return;
      news_posted = true;
      h.post(c.moved);
      // A fetch that began before the news.
      if (c.moved.height > 7) h.post(WorkArrived{make_work(1, 7), "New block 7\n", 0, false});
      std::lock_guard lock(h.gpu.mutex);
      batches_at_news = h.gpu.batches.size();
      cancels_at_news = h.gpu.cancels;
      // What the card finds from now on, on the old work.
      h.gpu.answer = [&h](int k, MiningResult* result) {
        if (h.gpu.batches[static_cast<size_t>(k)].first_header_byte == 1) solution_in_batch(-1, 5)(k, result);
        return 0;
      };
    };
    h.run();
    const RigStatus status = read_rig_status(h.board);
    EXPECT_EQ(count_of(h.err, kOutOfDate), 0);
    if (!c.parks) {
      ASSERT_FALSE(h.submissions.empty());
      EXPECT_EQ(h.submissions[0].first_header_byte, 1);
      EXPECT_EQ(h.submissions[0].nonce, 5u);
      EXPECT_LT(status.node.last_switch_seconds, 0);
      continue;
    }
    EXPECT_TRUE(h.submissions.empty());
    EXPECT_EQ(h.gpu.cancels, cancels_at_news + 2);  // at the news, and at the stop
    // Nothing was queued on the old tip after the news.
    for (size_t k = batches_at_news; k < h.gpu.batches.size(); ++k)
      EXPECT_EQ(h.gpu.batches[k].first_header_byte, 2) << k;
    ASSERT_EQ(h.search.sittings.size(), 2u);
    EXPECT_EQ(h.search.sittings[1].first_header_byte, 2);
    EXPECT_NEAR(status.node.last_switch_seconds, 0.8, 0.11);
    EXPECT_EQ(status.node.height, 8);
  }
}

// A failed batch takes the card out of the search: one line, then tries
// after 1, 2, 4 ... seconds, each relaunching the failed batches first,
// while the CPU mines on. Once it has run a healthy minute, one line says
// that it works again.
TEST(MiningLoop, FailedGpuIsRetriedWithABackOffWhileTheCpuMines) {
  Harness h;
  both(h);
  h.options.batch_size = 1000;
  h.gpu.answer = [](int k, MiningResult*) { return k < 8 ? -1 : 0; };
  h.stop_after_fetches = 80;
  h.run();
  EXPECT_EQ(count_of(h.err, "GPU kernel failed\n"), 1);
  EXPECT_EQ(count_of(h.out, "GPU kernel works again\n"), 1);
  EXPECT_EQ(h.err.find("  on GPU"), std::string::npos);  // one GPU: "GPU" names it
  EXPECT_EQ(h.search.sittings.size(), 1u);
  // Each try queues two batches and both fail: the first try at 0 s and
  // three more 1, 2 and 4 s apart; the fifth, 8 s later, works.
  ASSERT_GE(h.gpu.batches.size(), 12u);
  for (size_t k = 0; k < 10; k += 2) {
    EXPECT_EQ(h.gpu.batches[k].start_nonce, h.gpu.batches[0].start_nonce) << k;  // the failed batches again
    EXPECT_EQ(h.gpu.batches[k + 1].start_nonce, h.gpu.batches[1].start_nonce) << k;
  }
  EXPECT_GT(h.gpu.batches[10].start_nonce, h.gpu.batches[1].start_nonce);
  const std::vector<double> starts = h.gpu_start_seconds();
  ASSERT_EQ(starts.size(), 5u);
  for (size_t k = 1; k < starts.size(); ++k)
    EXPECT_NEAR(starts[k] - starts[k - 1], 1 << (k - 1), 0.15) << k;
  // Works again a minute after the try that worked, not before.
  const int status_lines_before = count_of(h.out.substr(0, h.out.find("GPU kernel works again\n")), " | Blocks: 0\n");
  EXPECT_GE(status_lines_before, static_cast<int>((starts[4] + 60) / 2));
  EXPECT_LE(status_lines_before, static_cast<int>((starts[4] + 60) / 2) + 1);
}

// A refused GPU thread is a failed launch: it backs off the same way.
TEST(MiningLoop, RefusedGpuThreadBacksOff) {
  Harness h;
  gpu_only(h);
  h.gpu.refuse_thread = true;
  h.stop_after_fetches = 10;
  h.run();
  EXPECT_EQ(h.gpu_start_seconds(), (std::vector<double>{0, 1, 3, 7}));
  EXPECT_EQ(count_of(h.err, "tamrix-miner: could not start the GPU launch thread: "), 4);
  EXPECT_EQ(count_of(h.err, "GPU kernel failed\n"), 1);
  EXPECT_TRUE(h.gpu.batches.empty());
}

// A solution is handed over with the work it was found for, in the header
// time it was found with, and its hash; its verdict prints the acceptance.
// An accepted block makes its work stale: the devices wait for work on the
// new tip.
TEST(MiningLoop, SolutionsGoInWithTheirHeaderTime) {
  Harness h;
  both(h);
  h.options.batch_size = 1u << 31;  // the GPU moves the time on by 2 s a pass
  h.collects_per_pass = 4;
  h.search.hashes_per_sitting = 1000;
  // The new header's GPU search finds a block in its second batch of the
  // time two seconds past its curtime.
  h.gpu.answer = [&h](int k, MiningResult* result) {
    const Batch& b = h.gpu.batches[static_cast<size_t>(k)];
    if (b.first_header_byte == 2 && b.header_time == kNodeTime + 2 && b.start_nonce == 0) {
      result->found = true;
      result->nonce = 4242;
      result->hash[0] = 0xAB;
    }
    return 0;
  };
  h.on_wait = [&h](int k) {
    if (k == 3) h.search.plant_now();
  };
  h.serve = [](int call) { return make_work(static_cast<uint8_t>(call == 0 ? 1 : 2), 7); };
  h.stop_after_fetches = 2;
  h.run();
  ASSERT_EQ(h.submissions.size(), 2u) << h.out;
  // The CPU's block, in the second the GPU's batches had reached.
  EXPECT_EQ(h.submissions[0].first_header_byte, 1);
  EXPECT_EQ(h.submissions[0].nonce, h.search.planted_nonce);
  EXPECT_EQ(h.submissions[0].device, "CPU");
  EXPECT_GT(h.search.planted_time, kNodeTime);
  EXPECT_EQ(h.submissions[0].header_time, h.search.planted_time);
  EXPECT_NE(h.out.find("*** CPU SOLUTION! Nonce: " + std::to_string(h.search.planted_nonce) + " ***\n"),
            std::string::npos);
  EXPECT_NE(h.out.find("Block 7 ACCEPTED (CPU)! (total: 1)\n"), std::string::npos) << h.out;
  // The work after the block came at once.
  EXPECT_LT(h.fetch_times[1] - h.submissions[0].at, 100ms);
  EXPECT_EQ(h.submissions[1].first_header_byte, 2);
  EXPECT_EQ(h.submissions[1].nonce, 4242u);
  EXPECT_EQ(h.submissions[1].header_time, kNodeTime + 2);
  EXPECT_EQ(h.submissions[1].device, "GPU");
  EXPECT_EQ(h.submissions[1].hash_first_byte, 0xAB);
  EXPECT_EQ(h.submissions[1].id, h.submissions[0].id + 1);
  const size_t solution = h.out.find("*** GPU SOLUTION! Nonce: 4242 ***\n");
  ASSERT_NE(solution, std::string::npos);
  EXPECT_GT(h.out.find("Block 7 ACCEPTED (GPU)! (total: 2)\n"), solution);
  EXPECT_NE(h.out.find("Shutting down. Blocks found: 2\n"), std::string::npos);
}

// Once a block of ours has gone in, the work it was found on is stale: the
// devices stop until fresh work comes, and what another device still finds
// on the old work (here the GPU's batches in flight) is not handed over.
TEST(MiningLoop, AfterAnAcceptedBlockTheOldWorkIsNeitherSearchedNorSubmitted) {
  Harness h;
  both(h);
  h.gpu.answer = [&h](int k, MiningResult* result) {
    if (h.gpu.batches[static_cast<size_t>(k)].first_header_byte == 1 && k >= 1) {
      result->found = true;
      result->nonce = 99;
    }
    return 0;
  };
  h.on_wait = [&h](int k) {
    if (k == 0) h.search.plant_now();
  };
  h.serve = [](int call) { return make_work(static_cast<uint8_t>(call == 0 ? 1 : 2), 7 + call); };
  h.stop_after_fetches = 2;
  h.run();
  ASSERT_EQ(h.submissions.size(), 1u) << h.out;
  EXPECT_EQ(h.submissions[0].nonce, h.search.planted_nonce);
  EXPECT_EQ(h.out.find("GPU SOLUTION"), std::string::npos) << h.out;
  // The batches of the old work were all queued before the block went in.
  for (size_t k = 0; k < h.gpu.batches.size(); ++k)
    EXPECT_TRUE(h.gpu.batches[k].first_header_byte != 1 || k <= 2) << k;
  EXPECT_EQ(h.err, "");
}

// While a block is unanswered, another solution on the same previous block
// is kept (one, the first): it is handed over when the node refuses the
// first or it is lost, and dropped when the first goes in. Hashing goes on
// meanwhile.
TEST(MiningLoop, SecondSolutionOnATipWaitsForTheFirstBlocksVerdict) {
  for (const BlockVerdict first : {BlockVerdict::accepted, BlockVerdict::refused, BlockVerdict::lost}) {
    SCOPED_TRACE(static_cast<int>(first));
    Harness h;
    cpu_only(h);
    h.verdict = [](int) { return std::nullopt; };
    h.stop_after_fetches = 3;
    std::vector<uint32_t> planted;
    Clock::time_point answered_at{};
    h.on_wait = [&](int k) {
      if (k == 2 || k == 5 || k == 8) {
        h.search.plant_now();
        planted.push_back(h.search.planted_nonce);
      }
      if (k == 12) {
        h.answer(h.submissions.at(0).id, first);
        answered_at = h.now;
      }
    };
    h.run();
    EXPECT_EQ(h.search.sittings.size(), 4u);  // the search went on after each solution
    ASSERT_EQ(planted.size(), 3u);
    if (first == BlockVerdict::accepted) {
      ASSERT_EQ(h.submissions.size(), 1u);
      EXPECT_EQ(count_of(h.out, "*** CPU SOLUTION!"), 1);
      EXPECT_NE(h.out.find("Block 7 ACCEPTED (CPU)! (total: 1)\n"), std::string::npos);
      continue;
    }
    ASSERT_EQ(h.submissions.size(), 2u);
    EXPECT_EQ(h.submissions[0].nonce, planted[0]);
    EXPECT_EQ(h.submissions[1].nonce, planted[1]);  // the first kept, not the later one
    EXPECT_EQ(h.submissions[1].at, answered_at + h.news_after);  // in the pass that took the verdict
    EXPECT_EQ(count_of(h.out, "*** CPU SOLUTION!"), 2);
    // The spare was answered at the stop, accepted.
    EXPECT_NE(h.out.find("Block 7 ACCEPTED (CPU)! (total: 1)\n"), std::string::npos);
  }
}

// A solution found while fetched work waits to be taken goes in with the
// work it was found for. Its acceptance makes every work on the same
// previous block stale (new transactions on that tip too): while the next
// fetch fails, the devices wait for work on the new tip, with one line.
// Work on another tip goes on.
TEST(MiningLoop, SolutionFoundBeforeNewWorkGoesInWithItsOwnWork) {
  BlockWork same_tip = make_work(1, 7);
  same_tip.header[40] ^= 0xFF;  // another merkle root
  struct Case {
    const char* fetched;
    BlockWork work;
    uint8_t second_sitting;
    bool waits;
  };
  const Case cases[] = {{"another tip", make_work(2, 99), 2, false},
                        {"new transactions on the same tip", same_tip, 1, true},
                        {"the same header, a second later", make_work(1, 7, kNodeTime + 1), 1, true},
                        {"a failure", BlockWork{}, 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fetched);
    Harness h;
    cpu_only(h);
    h.verdict = [](int) { return std::nullopt; };
    h.serve = [&h, &c](int call) {
      if (call == 1) {
        h.search.plant_now();
        return c.work;
      }
      if (call == 0) return make_work(1, 7);
      return call == 2 ? BlockWork{} : make_work(3, 8);
    };
    // The block goes in 300 ms after it was handed over.
    h.on_wait = [&h](int) {
      if (h.submissions.size() == 1 && !h.unanswered.empty() && h.now >= h.submissions[0].at + 300ms)
        h.answer(h.submissions[0].id, BlockVerdict::accepted);
    };
    h.stop_after_fetches = 3;
    h.run();
    ASSERT_EQ(h.submissions.size(), 1u);
    EXPECT_EQ(h.submissions[0].first_header_byte, 1);
    EXPECT_EQ(h.submissions[0].header_time, kNodeTime);
    EXPECT_EQ(h.submissions[0].nonce, h.search.planted_nonce);
    EXPECT_NE(h.out.find("Block 7 ACCEPTED (CPU)! (total: 1)\n"), std::string::npos) << h.out;
    EXPECT_EQ(count_of(h.err, kOutOfDate), c.waits ? 1 : 0);
    ASSERT_EQ(h.search.sittings.size(), 3u);
    EXPECT_EQ(h.search.sittings[1].first_header_byte, c.second_sitting);
    EXPECT_EQ(h.search.sittings[2].first_header_byte, 3);
    EXPECT_NE(h.out.find("Shutting down. Blocks found: 1\n"), std::string::npos);
  }
}

// A stop requested after a device found a solution but before the loop
// noticed it, or with the solution in a batch still in flight: the devices
// are stopped, the block is handed over, and only then is the link
// finished; its verdict is printed before the last line.
TEST(MiningLoop, StopBetweenASolutionAndItsNoticeStillHandsItOver) {
  for (const bool on_gpu : {false, true}) {
    SCOPED_TRACE(on_gpu ? "GPU" : "CPU");
    Harness h;
    if (on_gpu) {
      gpu_only(h);
      // The batch queued third is still in flight when the stop comes.
      h.gpu.answer = solution_in_batch(3, 31337);
    } else {
      cpu_only(h);
    }
    h.verdict = [](int) { return std::nullopt; };  // answered by finish
    h.on_wait = [&h, on_gpu](int k) {
      if (k != 2) return;
      if (!on_gpu) h.search.plant_now();
      g_running.store(false);
    };
    h.run();
    ASSERT_EQ(h.submissions.size(), 1u);
    EXPECT_EQ(h.submissions[0].nonce, on_gpu ? 31337u : h.search.planted_nonce);
    EXPECT_EQ(h.finishes, 1);
    EXPECT_FALSE(h.devices_ran_at_finish);
    EXPECT_TRUE(h.out.ends_with(std::string(on_gpu ? "Block 7 ACCEPTED (GPU)! (total: 1)\n"
                                                    : "Block 7 ACCEPTED (CPU)! (total: 1)\n") +
                                "Shutting down. Blocks found: 1\n"))
        << h.out;
  }
}

// A node that never answers a block (a hung submitblock) holds nothing up:
// the devices hash on, the status lines go on every 2 s, and a stop ends
// the loop within a pass whatever the node does; the block lost at the stop
// is not counted.
TEST(MiningLoop, UnansweredBlockHoldsNothingUp) {
  Harness h;
  both(h);
  h.verdict = [](int) { return std::nullopt; };
  h.verdict_at_finish = BlockVerdict::lost;
  size_t batches_at_solution = 0;
  h.on_wait = [&](int k) {
    if (k == 5) {
      h.search.plant_now();
      batches_at_solution = h.gpu.batches.size();
    }
    if (k == 100) g_running.store(false);  // 10 s in
  };
  h.stop_after_fetches = 1000;
  h.run();
  ASSERT_EQ(h.submissions.size(), 1u);
  EXPECT_EQ(h.waits, 101);
  EXPECT_LE(h.now - Clock::time_point{}, 10100ms);
  EXPECT_EQ(count_of(h.out, "(GPU+CPU) | Blocks: 0\n"), 4);  // at 2, 4, 6 and 8 s
  EXPECT_GE(h.gpu.batches.size(), batches_at_solution + 90);
  EXPECT_EQ(h.search.sittings.size(), 2u);  // the CPU went on after its solution
  EXPECT_EQ(count_of(h.out, "ACCEPTED"), 0);
  EXPECT_NE(h.out.find("Shutting down. Blocks found: 0\n"), std::string::npos);
}

// A coordinator thread the system refuses is reported and tried again with
// the next work; mining goes on.
TEST(MiningLoop, RefusedCoordinatorThreadIsTriedAgainWithTheNextWork) {
  Harness h;
  cpu_only(h);
  h.refuse_thread = true;
  h.stop_after_fetches = 2;
  h.run();
  EXPECT_EQ(count_of(h.err, "tamrix-miner: could not start the CPU search thread: "), 3);
  EXPECT_TRUE(h.search.sittings.empty());
  EXPECT_NE(h.out.find("Shutting down. Blocks found: 0\n"), std::string::npos);
  EXPECT_EQ(h.shutdowns, 1);
}

// A CPU search that ends by itself because it cannot search does not hold
// the work: it is said once, and every new work starts it again.
TEST(MiningLoop, SearchThatEndedByItselfIsStartedAgainByTheNextWork) {
  Harness h;
  cpu_only(h);
  h.search.cannot_search = true;
  h.stop_after_fetches = 2;
  h.run();
  EXPECT_EQ(h.search.sittings.size(), 3u);
  EXPECT_EQ(count_of(h.err, "tamrix-miner: the CPU search ended by itself (no usable kernel or "
                            "worker thread); it is started again with each new work\n"),
            1);
}

// Three cards and the CPU from one space: a card that fails on every batch
// backs off on its own while the others mine on; a card at --temp-limit
// pauses until it is 5 degrees cooler; solutions, acceptances and failures
// name their card in a line of their own after the specified line; every
// status period has a line per device; and the record published on the
// board says the same.
TEST(MiningLoop, SeveralGpusMineFromOneSpaceAndFailAlone) {
  Harness h(3);
  both(h);
  h.use_board = true;
  h.options.temp_limit = 85;
  h.stop_after_fetches = 20;
  // The node's tip moves with each block of ours.
  h.serve = [&h](int) { return make_work(static_cast<uint8_t>(1 + h.submissions.size())); };
  h.cards[1].answer = [](int, MiningResult*) { return -1; };
  h.cards[0].answer = solution_in_batch(40, 777);
  h.cards[0].temperature = 60;
  std::vector<size_t> batches_of_2_while_hot;
  h.on_wait = [&](int k) {
    if (k == 30) h.cards[2].temperature = 90;   // 3 s in
    if (k > 45 && k < 75) {
      std::lock_guard lock(h.cards[2].mutex);
      batches_of_2_while_hot.push_back(h.cards[2].batches.size());
    }
    if (k == 75) h.cards[2].temperature = 80;  // 5 degrees cooler
  };
  h.run();

  // The failing card: one line naming it, tries 1, 2, 4 ... s apart.
  EXPECT_EQ(count_of(h.err, "GPU kernel failed\n  on GPU 1 (0000:01:00.0, Card 1)\n"), 1);
  const std::vector<Clock::time_point>& tries = h.cards[1].start_times;
  ASSERT_GE(tries.size(), 4u);
  for (size_t k = 2; k < tries.size(); ++k) EXPECT_GT(tries[k] - tries[k - 1], tries[k - 1] - tries[k - 2]);
  // The others mined all along: a batch a pass each, but for the hot pause.
  EXPECT_GT(h.cards[0].batches.size(), 150u);
  EXPECT_GT(h.cards[2].batches.size(), 100u);
  ASSERT_GT(batches_of_2_while_hot.size(), 20u);
  EXPECT_EQ(batches_of_2_while_hot.front(), batches_of_2_while_hot.back());
  EXPECT_EQ(count_of(h.out, "GPU 2 (0000:02:00.0, Card 2) is at 90C, the --temp-limit: paused until it is 80C\n"), 1);
  EXPECT_EQ(count_of(h.out, "GPU 2 (0000:02:00.0, Card 2) is down to 80C: mining again\n"), 1);
  EXPECT_EQ(h.search.sittings.size(), 2u);  // restarted by the work after the block
  h.cards[1].batches.clear();  // its batches failed, and were queued again each try
  expect_no_batch_repeats(h.cards);

  // The block, named after its lines.
  ASSERT_EQ(h.submissions.size(), 1u);
  EXPECT_EQ(h.submissions[0].device, "GPU");
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 777 ***\n  by GPU 0 (0000:00:00.0, Card 0)\n"), std::string::npos);
  EXPECT_NE(h.out.find("Block 7 ACCEPTED (GPU)! (total: 1)\n  by GPU 0 (0000:00:00.0, Card 0)\n"),
            std::string::npos);

  // The status line with the hottest card, then one line per device.
  const size_t hot_status = h.out.find("(GPU+CPU) | Blocks: 1 | GPU: 90C\n");
  ASSERT_NE(hot_status, std::string::npos) << h.out;
  const std::string after = h.out.substr(hot_status);
  std::vector<std::string> lines;
  for (size_t at = after.find('\n') + 1, end; lines.size() < 4; at = end + 1) {
    end = after.find('\n', at);
    lines.push_back(after.substr(at, end - at));
  }
  EXPECT_TRUE(lines[0].starts_with("  GPU 0 (0000:00:00.0, Card 0): ")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" since start | 60C | mining")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with(" | backing off")) << lines[1];
  EXPECT_TRUE(lines[2].ends_with(" since start | 90C | hot")) << lines[2];
  EXPECT_TRUE(lines[3].starts_with("  CPU (1 thread): ")) << lines[3];

  const RigStatus status = read_rig_status(h.board);
  ASSERT_EQ(status.devices.size(), 4u);
  EXPECT_EQ(status.devices[1].failures, tries.size());
  EXPECT_GT(status.devices[0].hashes, 0u);
  EXPECT_GT(status.devices[0].rate_since_start, 0.0);
  EXPECT_EQ(status.devices[3].kind, "CPU");
  EXPECT_EQ(status.blocks_accepted, 1u);
  ASSERT_EQ(status.recent_blocks.size(), 1u);
  EXPECT_EQ(status.recent_blocks[0].device, "GPU 0");
  EXPECT_EQ(status.recent_blocks[0].verdict, BlockVerdict::accepted);
  EXPECT_EQ(status.recent_blocks[0].hash_hex.substr(62), "ab");  // the digest's first byte, written last
  EXPECT_EQ(status.node.url, "http://node:1");
  EXPECT_EQ(status.node.longpoll, LongpollState::holding);
}

// A second stop signal is remembered whenever it comes, and while blocks
// are unanswered it says that the miner leaves without the node's answer;
// otherwise it says what the first said. The flags are never cleared, so
// each case runs in a child process: a plain fork, since the cross-built
// tests run under an emulator that cannot re-execute the binary.
TEST(StopSignal, SecondSignalIsRememberedAndSaysWhatItGivesUp) {
  GTEST_FLAG_SET(death_test_style, "fast");
  struct Case {
    bool unanswered;
    const char* said;
  };
  for (const Case& c : {Case{true, "\nShutting down...\n\nLeaving without the node's answer to the last block.\n"},
                        Case{false, "\nShutting down...\n\nShutting down...\n"}}) {
    SCOPED_TRACE(c.unanswered);
    EXPECT_EXIT(
        {
          testing::internal::CaptureStdout();
          g_running.store(true);
          set_blocks_unanswered(c.unanswered);
          signal_handler(SIGINT);
          const bool after_first = submission_abandoned().load();
          signal_handler(SIGINT);
          const std::string said = testing::internal::GetCapturedStdout();
          const bool right = !after_first && submission_abandoned().load() && !g_running.load() && said == c.said;
          std::fputs(right ? "as expected\n" : said.c_str(), stderr);
          std::exit(4);
        },
        testing::ExitedWithCode(4), "as expected");
  }
}

}  // namespace
