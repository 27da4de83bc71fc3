// The mining loop driven pass by pass through fake neighbours: a scripted
// node, a GPU whose batches (queued and collected on the loop's GPU thread)
// finish one by one as the test lets them, a clock that moves only when the
// loop waits or fetches, a longpoll watch the test moves by hand, and a CPU
// search that records where each sitting starts and hands out a solution on
// request.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
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

struct Submission {
  uint8_t first_header_byte;
  uint32_t header_time;
  uint32_t nonce;
  Clock::time_point at;
};

// One batch as the fake GPU received it.
struct Batch {
  uint8_t first_header_byte;
  uint32_t header_time;
  uint32_t start_nonce;
  uint32_t size;
  int slot;
};

// A GPU answer under which the batch queued `winner`-th (from 0) finds
// `nonce`; a negative winner makes every batch find it.
std::function<int(int, MiningResult*)> solution_in_batch(int winner, uint32_t nonce) {
  return [winner, nonce](int k, MiningResult* result) {
    if (winner < 0 || k == winner) {
      result->found = true;
      result->nonce = nonce;
    }
    return 0;
  };
}

// The fake GPU. Queuing returns at once; a collect waits until the main
// thread's fakes let it through: each pass's wait lets `collects_per_pass`
// through and each fetch `during_fetch(call)`, and both wait until those are
// done and the GPU thread is back at the gate (or has ended). Once the loop
// stops the thread, collects go through without leave, as a card finishes
// what it was given.
struct GatedGpu {
  std::mutex mutex;
  std::condition_variable changed;
  int permits = 0;
  int done = 0;
  int alive = 0;         // GPU threads that have not ended
  bool waiting = false;  // a GPU thread is back at the gate
  bool closing = false;
  std::vector<Batch> batches;
  std::string calls;  // "q0 q1 c0 q0 c1 ...": queue and collect, by slot
  int in_slot[kGpuBatchSlots] = {-1, -1};
  // Answers queuing batch k (from 0), and collecting it; on the GPU thread.
  std::function<int(int)> queue_answer = [](int) { return 0; };
  std::function<int(int, MiningResult*)> answer = [](int, MiningResult*) { return 0; };

  int queue(int slot, const uint8_t header[80], uint32_t start_nonce, uint32_t size) {
    std::lock_guard lock(mutex);
    const int k = static_cast<int>(batches.size());
    batches.push_back({header[0], header_time(header), start_nonce, size, slot});
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

  std::thread start(std::function<void()> body) {
    std::lock_guard lock(mutex);
    closing = false;
    ++alive;
    return std::thread([this, body = std::move(body)] {
      body();
      std::lock_guard lock(mutex);
      --alive;
      changed.notify_all();
    });
  }

  void stop_requested() {
    std::lock_guard lock(mutex);
    closing = true;
    changed.notify_all();
  }
};

// The fake world around one run of the loop.
struct Harness {
  Options options;
  DeviceModes modes{false, true};
  ScriptedSearch search;
  GatedGpu gpu;
  Clock::time_point now{};  // moved only by the main thread's waits and fetches

  // get_work: call k (from 0) is answered by serve(k). The fetch numbered
  // stop_after_fetches requests the stop.
  std::function<BlockWork(int)> serve = [](int) { return make_work(1); };
  std::function<int(int)> collects_during_fetch = [](int) { return 0; };
  Clock::duration fetch_time = 0ms;
  int stop_after_fetches = 5;
  int fetches = 0;
  std::vector<Clock::time_point> fetch_times;
  std::vector<Clock::time_point> gpu_start_times;
  std::vector<Submission> submissions;
  std::function<bool(int)> accept = [](int) { return true; };  // submission k

  // Each wait lets this many collects through; a batch takes batch_time.
  int collects_per_pass = 1;
  Clock::duration batch_time = 1ms;
  // Called at the start of wait k (from 0), on the main thread.
  std::function<void(int)> on_wait = [](int) {};
  int waits = 0;
  // How long into a wait a CPU solution arrives.
  Clock::duration cpu_news_after = 10ms;
  bool refuse_thread = false;
  bool refuse_gpu_thread = false;
  int shutdowns = 0;
  // The longpoll watch; unset: no watch.
  bool watch = false;
  TipNews tip;

  std::string out, err;
  // A loop that never ends is stopped here and fails its test's
  // expectations instead of hanging.
  int waits_left = 100000;

  MiningPorts ports() {
    MiningPorts p;
    p.get_work = [this] {
      const int call = fetches++;
      fetch_times.push_back(now);
      now += fetch_time + batch_time * gpu.let_through(collects_during_fetch(call));
      if (call == stop_after_fetches) g_running.store(false);
      return serve(call);
    };
    p.submit_block = [this](const BlockWork& work, uint32_t nonce) {
      const int k = static_cast<int>(submissions.size());
      submissions.push_back({work.header[0], header_time(work.header), nonce, now});
      return accept(k);
    };
    p.gpu_batches.queue = [this](int slot, const uint8_t header[80], uint32_t start_nonce,
                                 uint32_t size, const uint32_t*) {
      return gpu.queue(slot, header, start_nonce, size);
    };
    p.gpu_batches.collect = [this](int slot, MiningResult* result) {
      return gpu.collect(slot, result);
    };
    p.power_get_temp = [] { return 0; };
    p.power_shutdown = [this] { ++shutdowns; };
    p.now = [this] { return now; };
    p.wait = [this](LoopWakeup& wakeup, std::chrono::milliseconds timeout) {
      if (--waits_left == 0) g_running.store(false);
      // Every sitting the loop has started has begun searching, or ended by
      // itself, before the test looks: the fake clock does not wait for it.
      EXPECT_TRUE(wait_for([this] { return search.sittings_settled.load() >= cpu_starts; }));
      on_wait(waits++);
      const int collected = gpu.let_through(collects_per_pass);
      // A sitting that ended by itself has released the wakeup, or is about
      // to: wait for it in real time, so that the pass sees it.
      bool woken = wakeup.try_acquire();
      if (!woken && search.sittings_ended_by_themselves.load() > cpu_news_taken)
        woken = wakeup.try_acquire_for(10s);
      cpu_news_taken = search.sittings_ended_by_themselves.load();
      if (!woken)
        now += timeout;
      else
        now += collected > 0 ? batch_time * collected : cpu_news_after;
      return woken;
    };
    if (watch) p.tip_news = [this] { return tip; };
    p.cpu_search = [this](const CpuSearchJob& job, SearchState& state) {
      return search.run(job, state);
    };
    p.start_thread = [this](std::function<void()> body) {
      if (refuse_thread)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      ++cpu_starts;
      return std::thread(std::move(body));
    };
    p.start_gpu_thread = [this](std::function<void()> body) {
      gpu_start_times.push_back(now);
      if (refuse_gpu_thread)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      return gpu.start(std::move(body));
    };
    p.gpu_stop_requested = [this] { gpu.stop_requested(); };
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

  // Seconds since the start of every fetch, and of every start of the GPU
  // thread.
  std::vector<double> fetch_seconds() const { return seconds_of(fetch_times); }
  std::vector<double> gpu_start_seconds() const { return seconds_of(gpu_start_times); }

 private:
  static std::vector<double> seconds_of(const std::vector<Clock::time_point>& times) {
    std::vector<double> seconds;
    for (const Clock::time_point t : times)
      seconds.push_back(std::chrono::duration<double>(t - Clock::time_point{}).count());
    return seconds;
  }

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

std::vector<double> every_second(int count, double from = 0) {
  std::vector<double> seconds;
  for (int k = 0; k < count; ++k) seconds.push_back(from + k);
  return seconds;
}

// Every (header bytes 0..75, nonce) the GPU was given, each once at most:
// per header, the batches' nonce spans (split where they wrap) never overlap.
void expect_no_batch_repeats(const std::vector<Batch>& batches) {
  std::map<std::pair<uint8_t, uint32_t>, std::vector<std::pair<uint64_t, uint64_t>>> spans;
  for (const Batch& b : batches) {
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

// One refresh rule for every device: the node is asked once a second,
// whatever the devices do, and a header key the devices already search goes
// on without a new sitting. The status line comes every 2 s.
TEST(MiningLoop, WorkIsRefreshedOnceASecondOnEveryDevice) {
  for (const char* mode : {"cpu", "gpu", "both"}) {
    SCOPED_TRACE(mode);
    Harness h;
    if (std::string(mode) == "cpu") cpu_only(h);
    if (std::string(mode) == "gpu") gpu_only(h);
    if (std::string(mode) == "both") both(h);
    h.collects_per_pass = 50;  // a fast card: many batches a pass
    h.stop_after_fetches = 10;
    h.run();
    EXPECT_EQ(h.fetch_seconds(), every_second(11));
    EXPECT_EQ(count_of(h.out, " | Blocks: 0\n"), 4);  // at 2, 4, 6 and 8 s
    if (h.modes.cpu_enabled) {
      EXPECT_EQ(h.search.sittings.size(), 1u);
    }
    if (h.modes.gpu_enabled) {
      EXPECT_GT(h.gpu.batches.size(), 400u);
      expect_no_batch_repeats(h.gpu.batches);
    }
    EXPECT_EQ(h.shutdowns, 1);
    EXPECT_NE(h.out.find("Shutting down. Blocks found: 0\n"), std::string::npos);
  }
}

// The GPU thread queues the next batch before it collects the last, slot by
// slot, and takes consecutive positions: two batches are always in flight.
TEST(MiningLoop, GpuKeepsTwoBatchesInFlight) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 1000;
  h.stop_after_fetches = 1;
  h.run();
  ASSERT_GE(h.gpu.batches.size(), 6u);
  EXPECT_EQ(h.gpu.calls.substr(0, 30), "q0 q1 c0 q0 c1 q1 c0 q0 c1 q1 ");
  for (size_t k = 0; k < h.gpu.batches.size(); ++k) {
    EXPECT_EQ(h.gpu.batches[k].start_nonce, kFirstNonce + 1000 * k) << k;
    EXPECT_EQ(h.gpu.batches[k].size, 1000u);
    EXPECT_EQ(h.gpu.batches[k].header_time, kNodeTime);
  }
  // Every batch queued was collected before the thread was joined.
  EXPECT_EQ(count_of(h.gpu.calls, "q"), count_of(h.gpu.calls, "c"));
}

// --batch-size 0 sizes batches by time instead of launching empty ones.
TEST(MiningLoop, BatchSizeZeroIsSizedByTime) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 0;
  h.stop_after_fetches = 1;
  h.run();
  ASSERT_FALSE(h.gpu.batches.empty());
  for (const Batch& b : h.gpu.batches) EXPECT_GE(b.size, 1u << 16);
  EXPECT_EQ(h.gpu.batches[0].size, 1u << 20);
  expect_no_batch_repeats(h.gpu.batches);
}

// A new curtime of the same header key moves the search on to that time;
// the devices carry on, and a later template whose curtime is behind the
// search changes nothing.
TEST(MiningLoop, NewCurtimeMovesTheSearchOnWithoutARestart) {
  Harness h;
  both(h);
  h.options.batch_size = 1u << 24;
  h.serve = [](int call) { return make_work(1, 7, kNodeTime + (call == 2 ? 5 : call > 2 ? 3 : 0)); };
  h.stop_after_fetches = 4;
  h.run();
  EXPECT_EQ(h.search.sittings.size(), 1u);
  std::vector<uint32_t> times;
  for (const Batch& b : h.gpu.batches) times.push_back(b.header_time);
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  EXPECT_EQ(times.front(), kNodeTime);
  EXPECT_EQ(times.back(), kNodeTime + 5);
  // The new time's search begins at the first nonce; what was in flight at
  // the old time was still collected.
  const auto first_new = std::find(times.begin(), times.end(), kNodeTime + 5);
  ASSERT_NE(first_new, times.end());
  EXPECT_EQ(h.gpu.batches[first_new - times.begin()].start_nonce, kFirstNonce);
  expect_no_batch_repeats(h.gpu.batches);
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
  expect_no_batch_repeats(h.gpu.batches);
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

// A failed fetch leaves the devices on the work in hand: no sitting ends, the
// status lines go on, and the node is asked again 5 s later, once per
// failure line.
TEST(MiningLoop, DevicesHashThroughAFailedFetch) {
  Harness h;
  both(h);
  h.serve = [](int call) { return call >= 1 && call <= 3 ? BlockWork{} : make_work(1); };
  h.stop_after_fetches = 5;
  h.run();
  EXPECT_EQ(h.fetch_seconds(), (std::vector<double>{0, 1, 6, 11, 16, 17}));
  EXPECT_EQ(count_of(h.err, "Failed to get work, retrying in 5s...\n"), 3);
  EXPECT_EQ(h.search.sittings.size(), 1u);
  EXPECT_EQ(count_of(h.out, "(GPU+CPU) | Blocks: 0\n"), 8);
  // The GPU never stopped: one pass, one batch, all along.
  EXPECT_GE(h.gpu.batches.size(), 150u);
  expect_no_batch_repeats(h.gpu.batches);
}

// Work the node has not confirmed for kWorkValidFor is searched no longer:
// the devices stop with one line, and start again with the next work.
TEST(MiningLoop, WorkTooOldStopsTheDevicesUntilTheNodeAnswers) {
  Harness h;
  both(h);
  h.serve = [](int call) { return call >= 1 && call < 30 ? BlockWork{} : make_work(1); };
  h.stop_after_fetches = 31;
  // Batches queued and sittings started, seen at each pass between the
  // expiry (120 s after the work at 0 s) and the next work (at 146 s).
  std::vector<size_t> batches_while_waiting;
  std::vector<int> sittings_while_waiting;
  h.on_wait = [&](int) {
    if (h.now < Clock::time_point{} + 121s || h.now >= Clock::time_point{} + 145s) return;
    std::lock_guard lock(h.gpu.mutex);
    batches_while_waiting.push_back(h.gpu.batches.size());
    sittings_while_waiting.push_back(h.search.sittings_started.load());
  };
  h.run();
  EXPECT_EQ(count_of(h.err,
                     "The work in hand is out of date and the node sends no new work; the devices "
                     "wait for it\n"),
            1);
  ASSERT_GT(batches_while_waiting.size(), 100u);
  EXPECT_EQ(batches_while_waiting.front(), batches_while_waiting.back());
  EXPECT_GT(batches_while_waiting.front(), 0u);
  EXPECT_EQ(sittings_while_waiting.front(), 1);
  EXPECT_EQ(sittings_while_waiting.back(), 1);
  EXPECT_EQ(h.search.sittings.size(), 2u);  // started again by the work at 146 s
}

// News of a new tip from the watch fetches at once; news naming the tip of
// the work in hand does not. When that fetch fails the devices stop, since
// their work is out of date.
TEST(MiningLoop, NewTipFromTheWatchFetchesAtOnce) {
  Harness h;
  both(h);
  h.watch = true;
  h.serve = [](int call) { return call == 2 ? BlockWork{} : make_work(call < 2 ? 1 : 2); };
  h.stop_after_fetches = 4;
  h.on_wait = [&](int k) {
    if (k == 3) {  // 300 ms in: the tip of the work in hand, seen again
      h.tip.changes = 1;
      h.tip.fingerprint = tip_fingerprint_of(make_work(1).header);
    }
    if (k == 15) {  // about 1.5 s in: a new tip
      h.tip.changes = 2;
      h.tip.fingerprint = 0x1234;
    }
  };
  h.run();
  const std::vector<double> seconds = h.fetch_seconds();
  ASSERT_EQ(seconds.size(), 5u);
  EXPECT_EQ(seconds[1], 1.0);
  EXPECT_NEAR(seconds[2], 1.5, 0.11);  // at once, not at 2 s
  EXPECT_NEAR(seconds[3], seconds[2] + 5, 0.01);
  EXPECT_EQ(count_of(h.err,
                     "The work in hand is out of date and the node sends no new work; the devices "
                     "wait for it\n"),
            1);
  EXPECT_EQ(h.search.sittings.size(), 2u);
}

// A failed batch takes the GPU out of the search: one line, then tries after
// 1, 2, 4 ... seconds, each relaunching the failed batch first, while the CPU
// mines on; once a batch goes through, one line says so.
TEST(MiningLoop, FailedGpuIsRetriedWithABackOffWhileTheCpuMines) {
  Harness h;
  both(h);
  h.options.batch_size = 1000;
  h.gpu.answer = [](int k, MiningResult*) { return k < 8 ? -1 : 0; };
  h.stop_after_fetches = 20;
  h.run();
  EXPECT_EQ(count_of(h.err, "GPU kernel failed\n"), 1);
  EXPECT_EQ(count_of(h.out, "GPU kernel works again\n"), 1);
  EXPECT_EQ(h.search.sittings.size(), 1u);
  // Each try queues two batches and both fail: the first try at 0 s and
  // three more 1, 2 and 4 s apart; the fifth, 8 s later, works.
  ASSERT_GE(h.gpu.batches.size(), 12u);
  for (size_t k = 0; k < 10; k += 2) {
    EXPECT_EQ(h.gpu.batches[k].start_nonce, kFirstNonce) << k;  // the failed batches again
    EXPECT_EQ(h.gpu.batches[k + 1].start_nonce, kFirstNonce + 1000) << k;
  }
  EXPECT_EQ(h.gpu.batches[10].start_nonce, kFirstNonce + 2000);
  // A try's failure is seen once its second batch has been collected, a
  // pass (101 ms) after it began; the pause runs from there.
  const std::vector<double> starts = h.gpu_start_seconds();
  ASSERT_EQ(starts.size(), 5u);
  for (size_t k = 1; k < starts.size(); ++k)
    EXPECT_NEAR(starts[k] - starts[k - 1], 0.101 + (1 << (k - 1)), 1e-9) << k;
}

// A refused GPU thread is a failed launch: it backs off the same way.
TEST(MiningLoop, RefusedGpuThreadBacksOff) {
  Harness h;
  gpu_only(h);
  h.refuse_gpu_thread = true;
  h.stop_after_fetches = 10;
  h.run();
  EXPECT_EQ(h.gpu_start_seconds(), (std::vector<double>{0, 1, 3, 7}));
  EXPECT_EQ(count_of(h.err, "tamrix-miner: could not start the GPU launch thread: "), 4);
  EXPECT_EQ(count_of(h.err, "GPU kernel failed\n"), 1);
  EXPECT_TRUE(h.gpu.batches.empty());
}

// A solution goes in with the work it was found for, in the header time it
// was found with; an accepted block fetches fresh work at once.
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
  EXPECT_GT(h.search.planted_time, kNodeTime);
  EXPECT_EQ(h.submissions[0].header_time, h.search.planted_time);
  EXPECT_NE(h.out.find("Block 7 ACCEPTED (CPU)! (total: 1)\n"), std::string::npos) << h.out;
  // The accepted block fetched again at once.
  EXPECT_LT(h.fetch_times[1] - h.fetch_times[0], 1s);
  EXPECT_EQ(h.submissions[1].first_header_byte, 2);
  EXPECT_EQ(h.submissions[1].nonce, 4242u);
  EXPECT_EQ(h.submissions[1].header_time, kNodeTime + 2);
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 4242 ***\nBlock 7 ACCEPTED (GPU)! (total: 2)\n"),
            std::string::npos);
}

// Once a block of ours has gone in, the work it was found on is stale: the
// devices stop until fresh work comes, and what another device still finds
// on the old work (here the GPU's batches in flight) is not submitted.
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

// Blocks that go in one after another, as on a node whose target is met
// every few milliseconds: each fetches fresh work, the first at once, then
// no sooner than 250 ms after the last such fetch began.
TEST(MiningLoop, BlocksInQuickSuccessionFetchAtMostFourTimesASecond) {
  Harness h;
  cpu_only(h);
  h.serve = [](int call) { return make_work(static_cast<uint8_t>(call + 1), call + 1); };
  h.on_wait = [&h](int) {
    if (h.search.searching.load()) h.search.plant_now();
  };
  h.stop_after_fetches = 12;
  h.run();
  EXPECT_GE(h.submissions.size(), 10u);
  EXPECT_LT(h.fetch_times[1] - h.fetch_times[0], 50ms);
  for (size_t k = 2; k < h.fetch_times.size(); ++k)
    EXPECT_GE(h.fetch_times[k] - h.fetch_times[k - 1], kShortestFetchInterval) << k;
  EXPECT_LT(h.fetch_times.back() - h.fetch_times.front(), 12 * 300ms);
}

// After a refused block nothing is submitted until work fetched after the
// refusal has come in: then the one solution kept meanwhile goes in. Every
// block refused means one submitblock per fetch at most.
TEST(MiningLoop, AfterARefusedBlockTheNextWaitsForNewWork) {
  Harness h;
  cpu_only(h);
  h.accept = [](int) { return false; };
  h.on_wait = [&h](int) {
    if (h.search.searching.load()) h.search.plant_now();  // a solution in every pass it can
  };
  h.stop_after_fetches = 6;
  h.run();
  // The first went in at once; every later one right after a fetch, one per
  // fetch, with the solution kept since the refusal before.
  ASSERT_EQ(h.submissions.size(), h.fetch_times.size());
  EXPECT_LT(h.submissions[0].at, h.fetch_times[1]);
  for (size_t k = 1; k < h.submissions.size(); ++k) {
    EXPECT_EQ(h.submissions[k].at, h.fetch_times[k]) << k;
    EXPECT_EQ(h.submissions[k].header_time, kNodeTime) << k;
  }
  EXPECT_EQ(count_of(h.out, "ACCEPTED"), 0);
  EXPECT_NE(h.out.find("Shutting down. Blocks found: 0\n"), std::string::npos);
}

// A solution found while the node is asked goes in first, with the work it
// was found for, whatever the fetch brought; after an accepted block the
// work fetched meanwhile is dropped for a fresh fetch.
TEST(MiningLoop, SolutionFoundDuringTheFetchIsSubmittedWithItsOwnWork) {
  struct Case {
    const char* fetched;
    BlockWork work;
  };
  const Case cases[] = {{"a new header", make_work(2, 99)},
                        {"the same header", make_work(1, 99)},
                        {"a failure", BlockWork{}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fetched);
    Harness h;
    cpu_only(h);
    h.serve = [&h, &c](int call) {
      if (call == 1) {
        h.search.plant_now();
        return c.work;
      }
      return make_work(call == 0 ? 1 : 3);
    };
    h.stop_after_fetches = 3;
    h.run();
    ASSERT_EQ(h.submissions.size(), 1u);
    EXPECT_EQ(h.submissions[0].first_header_byte, 1);
    EXPECT_EQ(h.submissions[0].nonce, h.search.planted_nonce);
    EXPECT_NE(h.out.find("Block 7 ACCEPTED (CPU)! (total: 1)\n"), std::string::npos) << h.out;
    // Header 2 was never searched.
    for (const Sitting& s : h.search.sittings) EXPECT_NE(s.first_header_byte, 2);
    EXPECT_NE(h.out.find("Shutting down. Blocks found: 1\n"), std::string::npos);
  }
}

// A stop requested after a device found a solution but before the loop
// noticed it, or with the solution in a batch still in flight: the block
// still goes in and counts.
TEST(MiningLoop, StopBetweenASolutionAndItsNoticeStillSubmitsIt) {
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
    h.on_wait = [&h, on_gpu](int k) {
      if (k != 2) return;
      if (!on_gpu) h.search.plant_now();
      g_running.store(false);
    };
    h.run();
    ASSERT_EQ(h.submissions.size(), 1u);
    EXPECT_EQ(h.submissions[0].nonce, on_gpu ? 31337u : h.search.planted_nonce);
    EXPECT_NE(h.out.find(on_gpu ? "Block 7 ACCEPTED (GPU)! (total: 1)\n"
                                : "Block 7 ACCEPTED (CPU)! (total: 1)\n"),
              std::string::npos)
        << h.out;
    EXPECT_NE(h.out.find("Shutting down. Blocks found: 1\n"), std::string::npos);
  }
}

// A stop during the 5 s retry wait ends the loop at the next pass, not when
// the wait is over.
TEST(MiningLoop, StopEndsTheRetryWaitAtOnce) {
  Harness h;
  cpu_only(h);
  h.serve = [](int) { return BlockWork{}; };
  h.on_wait = [&h](int k) {
    if (k == 10) g_running.store(false);
  };
  h.run();
  EXPECT_EQ(h.fetches, 1);
  EXPECT_EQ(h.waits, 11);
  EXPECT_LE(h.now - Clock::time_point{}, 1100ms);
}

// A coordinator thread the system refuses is reported and tried again with
// the next work; mining goes on.
TEST(MiningLoop, RefusedCoordinatorThreadIsTriedAgainWithTheNextWork) {
  Harness h;
  cpu_only(h);
  h.refuse_thread = true;
  h.stop_after_fetches = 3;
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
  h.stop_after_fetches = 3;
  h.run();
  EXPECT_EQ(h.search.sittings.size(), 3u);
  EXPECT_EQ(count_of(h.err, "tamrix-miner: the CPU search ended by itself (no usable kernel or "
                            "worker thread); it is started again with each new work\n"),
            1);
}

// A block is submitted even after a stop, so a second signal during a
// submission must not wait for the node: it abandons the submission (the node
// client watches the flag), and the program then winds down as after any
// stop. The first signal only stops the loop, submission or not. The flag is
// never cleared, so this runs in a child process: a plain fork, since the
// cross-built tests run under an emulator that cannot re-execute the binary.
TEST(StopSignal, SecondSignalDuringASubmissionAbandonsIt) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        g_running.store(true);
        submission_begins();
        signal_handler(SIGINT);
        if (g_running.load() || submission_abandoned().load()) std::exit(1);
        signal_handler(SIGINT);
        submission_ends();
        std::fputs(submission_abandoned().load() && !g_running.load() ? "abandoned\n" : "kept\n",
                   stderr);
        std::exit(4);
      },
      testing::ExitedWithCode(4), "abandoned");

  testing::internal::CaptureStdout();
  g_running.store(true);
  signal_handler(SIGINT);
  signal_handler(SIGINT);  // no submission: nothing more than the notice again
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nShutting down...\n\nShutting down...\n");
  EXPECT_FALSE(g_running.load());
  g_running.store(true);
}

}  // namespace
