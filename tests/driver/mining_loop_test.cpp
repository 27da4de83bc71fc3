// The mining loop driven pass by pass through fake neighbours: a scripted
// node, a GPU backend whose launches (on the loop's GPU thread) are let
// through one by one, a clock that moves only when the loop waits, and a CPU
// search that records where each sitting starts and hands out a solution on
// request.

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/mining_loop.h"
#include "driver/run_flag.h"

namespace {

using Clock = MiningPorts::Clock;
using namespace std::chrono_literals;

constexpr uint32_t kCpuStart = 0x80000000u;
constexpr uint32_t kDefaultBatch = 0x100000u;

BlockWork make_work(uint8_t header_seed, int32_t height = 7) {
  BlockWork work;
  for (int i = 0; i < 76; ++i) work.header[i] = static_cast<uint8_t>(header_seed + i);
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
  std::vector<uint64_t> positions;  // each worker's first position
};

// The fake CPU search. Each sitting moves every worker on by
// `hashes_per_worker` and adds them to the count when it ends, so that a
// status line shows only the hashes of finished sittings. It runs until
// stopped, or until a solution is planted, which it announces as the real
// winner does. `cannot_search` makes every sitting end at once, as a search
// with no kernel or no worker thread does.
struct ScriptedSearch {
  uint64_t hashes_per_worker = 1000;
  bool cannot_search = false;
  uint64_t claim_chunks = 0;  // chunks of the nonce space each sitting claims first
  std::atomic<int> sittings_started{0};
  std::vector<Sitting> sittings;  // read by the test only after the loop has ended
  std::atomic<bool> plant{false};
  std::atomic<bool> planted{false};
  uint32_t planted_nonce = 0x8000abcdu;

  CpuSearchEnd run(const CpuSearchJob& job, SearchState& state) {
    sittings.push_back({job.header[0], {job.positions.begin(), job.positions.end()}});
    if (claim_chunks > 0) cpu_claim_past(*job.space, claim_chunks * kCpuClaimChunk - 1);
    sittings_started.fetch_add(1);
    if (cannot_search) return CpuSearchEnd::could_not_search;
    while (state.running.load() && !state.found.load()) {
      if (plant.exchange(false)) {
        state.found.store(true);
        state.result.nonce = planted_nonce;
        state.result.found = true;
        if (state.wakeup) state.wakeup->release();
        planted.store(true);
        break;
      }
      std::this_thread::sleep_for(50us);
    }
    for (uint64_t& p : job.positions) p += hashes_per_worker * job.positions.size();
    state.hash_count.fetch_add(hashes_per_worker * job.positions.size());
    return state.found.load() ? CpuSearchEnd::solved : CpuSearchEnd::stopped;
  }

  // Plants a solution and waits until the search has taken it.
  void plant_now() {
    plant.store(true);
    EXPECT_TRUE(wait_for([this] { return planted.load(); }));
  }
};

struct Submission {
  uint8_t first_header_byte;
  uint32_t nonce;
  int sittings_started_before;
  MiningPorts::Clock::time_point at;
};

struct Launch {
  uint8_t first_header_byte;
  uint32_t start_nonce;
  uint32_t size;
};

// A GPU answer under which launch `winner` (from 0) finds `nonce`; a
// negative winner makes every launch find it.
std::function<int(int, MiningResult*)> solution_at_launch(int winner, uint32_t nonce) {
  return [winner, nonce](int k, MiningResult* result) {
    if (winner < 0 || k == winner) {
      result->found = true;
      result->nonce = nonce;
    }
    return 0;
  };
}

// The fake GPU. Its launches run on the loop's GPU thread, but only as many
// as the main thread's fakes let through: each pass's wait lets `per_pass`
// through and each fetch `during_fetch(call)`, and both wait until those
// launches are done or the GPU thread has ended. A stop lets a waiting launch
// go without launching, so that the loop can join the thread.
struct GatedGpu {
  std::mutex mutex;
  std::condition_variable changed;
  int permits = 0;
  int done = 0;
  int alive = 0;         // GPU threads that have not ended
  bool waiting = false;  // a GPU thread is back at the gate, its last launch dealt with
  bool closing = false;
  std::vector<Launch> launches;
  // Answers launch k (from 0); runs on the GPU thread.
  std::function<int(int, MiningResult*)> answer = [](int, MiningResult*) { return 0; };

  int launch(const uint8_t header[80], uint32_t start_nonce, uint32_t size, MiningResult* result) {
    std::unique_lock lock(mutex);
    waiting = true;
    changed.notify_all();
    changed.wait(lock, [this] { return permits > 0 || closing; });
    waiting = false;
    if (permits == 0) return -1;  // the loop is stopping this thread
    --permits;
    const int k = static_cast<int>(launches.size());
    launches.push_back({header[0], start_nonce, size});
    const int status = answer(k, result);
    ++done;
    changed.notify_all();
    return status;
  }

  // Lets n launches through and waits for them; returns how many happened.
  int let_through(int n) {
    std::unique_lock lock(mutex);
    if (alive == 0 || n == 0) return 0;
    const int before = done;
    permits += n;
    changed.notify_all();
    const bool settled = changed.wait_for(
        lock, 10s, [&] { return (done == before + n && waiting) || alive == 0; });
    EXPECT_TRUE(settled) << "the GPU thread neither launched nor ended";
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
  Clock::time_point now{};  // moved only by the main thread's waits and sleeps

  // get_work: call k (from 0) is answered by serve(k). The loop searches
  // `stop_after_fetches` units; the fetch after them requests the stop.
  std::function<BlockWork(int)> serve = [](int) { return make_work(1); };
  std::function<int(int)> launches_during_fetch = [](int) { return 0; };
  int stop_after_fetches = 5;
  int fetches = 0;
  std::vector<int> passes_per_unit;  // waits between two fetches
  std::vector<Clock::time_point> fetch_times;
  std::vector<Submission> submissions;
  bool accept_blocks = true;

  // Each wait lets this many launches through; a launch takes launch_time.
  int launches_per_pass = 1;
  Clock::duration launch_time = 1ms;
  // Called at the start of wait k (from 0), on the main thread.
  std::function<void(int)> on_wait = [](int) {};
  int waits = 0;
  // How long into a wait a CPU solution arrives.
  Clock::duration cpu_news_after = 10ms;
  // The first wait of each unit must bring news from the CPU search (which
  // then ends by itself); it waits for that news in real time.
  bool cpu_news_at_first_pass = false;
  bool refuse_thread = false;
  bool refuse_gpu_thread = false;
  int shutdowns = 0;

  std::string out, err;
  // A loop that never ends its unit is stopped here and fails its test's
  // expectations instead of hanging.
  int passes_left = 100000;

  void count_pass() {
    ++passes_per_unit.back();
    if (--passes_left == 0) g_running.store(false);
  }

  MiningPorts ports() {
    MiningPorts p;
    p.get_work = [this] {
      const int call = fetches++;
      fetch_times.push_back(now);
      now += launch_time * gpu.let_through(launches_during_fetch(call));
      if (call == stop_after_fetches)
        g_running.store(false);
      else
        passes_per_unit.push_back(0);
      return serve(call);
    };
    p.submit_block = [this](const BlockWork& work, uint32_t nonce) {
      submissions.push_back({work.header[0], nonce, search.sittings_started.load(), now});
      return accept_blocks;
    };
    p.launch_mining_kernel = [this](const uint8_t header[80], uint32_t start_nonce,
                                    uint32_t batch_size, const uint32_t[8], MiningResult* result) {
      return gpu.launch(header, start_nonce, batch_size, result);
    };
    p.power_get_temp = [] { return 0; };
    p.power_shutdown = [this] { ++shutdowns; };
    p.now = [this] { return now; };
    p.sleep = [this](std::chrono::milliseconds d) { now += d; };
    p.wait = [this](LoopWakeup& wakeup, std::chrono::milliseconds timeout) {
      count_pass();
      on_wait(waits++);
      const bool news_due = cpu_news_at_first_pass && passes_per_unit.back() == 1;
      const int launched = gpu.let_through(launches_per_pass);
      const bool woken = news_due ? wakeup.try_acquire_for(10s) : wakeup.try_acquire();
      EXPECT_TRUE(woken || !news_due);
      if (!woken)
        now += timeout;
      else
        now += launched > 0 ? launch_time * launched : cpu_news_after;
      return woken;
    };
    p.cpu_search = [this](const CpuSearchJob& job, SearchState& state) {
      return search.run(job, state);
    };
    if (refuse_thread)
      p.start_thread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      };
    p.start_gpu_thread = [this](std::function<void()> body) {
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
};

void cpu_only(Harness& h, int threads = 1) {
  h.options.cpu_threads = threads;
  h.modes = DeviceModes{false, true};
}

void gpu_only(Harness& h) { h.modes = DeviceModes{true, false}; }

int count_of(const std::string& text, const std::string& line) {
  int n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

// Without a GPU a unit ends once more than a second has passed since the last
// status line: the first unit runs 21 passes of 50 ms, the units begun between
// one and two seconds after a status line one pass each, and the unit current
// at a status line runs on to just over a second after it.
TEST(MiningLoop, CpuOnlyTimeRule) {
  Harness h;
  cpu_only(h);
  h.stop_after_fetches = 42;
  h.run();
  std::vector<int> expected{21};
  for (int period = 0; period < 2; ++period) {
    for (int i = 0; i < 18; ++i) expected.push_back(1);
    expected.push_back(22);
  }
  while (expected.size() < 42) expected.push_back(1);
  EXPECT_EQ(h.passes_per_unit, expected);
  EXPECT_EQ(count_of(h.out, "(CPU) | Blocks: 0\n"), 2);
  EXPECT_EQ(h.shutdowns, 1);
  EXPECT_NE(h.out.find("Shutting down. Blocks found: 0\n"), std::string::npos);
}

// One header served again and again is one sitting of the CPU search, not a
// new one per unit; a new header stops it and starts a fresh one at the start
// nonces. Only the last header is remembered, so the first one coming back
// after it starts over too.
TEST(MiningLoop, CpuSearchCarriesOnForTheSameHeaderAndRestartsForANewOne) {
  Harness h;
  cpu_only(h, 2);
  h.search.hashes_per_worker = 1000;
  h.serve = [](int call) { return make_work(call < 30 ? 1 : call < 60 ? 2 : 1); };
  h.stop_after_fetches = 80;
  h.run();
  ASSERT_EQ(h.search.sittings.size(), 3u);
  EXPECT_EQ(h.search.sittings[0].first_header_byte, 1);
  EXPECT_EQ(h.search.sittings[0].positions, (std::vector<uint64_t>{kCpuStart, kCpuStart + 1}));
  EXPECT_EQ(h.search.sittings[1].first_header_byte, 2);
  EXPECT_EQ(h.search.sittings[1].positions, (std::vector<uint64_t>{kCpuStart, kCpuStart + 1}));
  EXPECT_EQ(h.search.sittings[2].first_header_byte, 1);
  EXPECT_EQ(h.search.sittings[2].positions, (std::vector<uint64_t>{kCpuStart, kCpuStart + 1}));
}

// A change of target alone is a different search.
TEST(MiningLoop, TargetChangeRestartsTheSearch) {
  Harness h;
  cpu_only(h);
  h.serve = [](int call) {
    BlockWork work = make_work(1);
    if (call >= 3) work.target[7] = 0;
    return work;
  };
  h.stop_after_fetches = 6;
  h.run();
  ASSERT_EQ(h.search.sittings.size(), 2u);
  EXPECT_EQ(h.search.sittings[1].positions, std::vector<uint64_t>{kCpuStart});
}

// After a failed fetch the search is stopped for the five-second wait and
// resumed afterwards on the same header, each worker moved on by what it did
// (with two workers, 2 * 1000 nonces each); its hashes are counted once.
TEST(MiningLoop, FailedFetchStopsTheSearchAndTheSameHeaderResumesIt) {
  Harness h;
  cpu_only(h, 2);
  h.serve = [](int call) { return call == 1 ? BlockWork{} : make_work(1); };
  h.stop_after_fetches = 3;
  h.run();
  EXPECT_NE(h.err.find("Failed to get work, retrying in 5s...\n"), std::string::npos);
  ASSERT_EQ(h.search.sittings.size(), 2u);
  EXPECT_EQ(h.search.sittings[1].positions,
            (std::vector<uint64_t>{kCpuStart + 2000, kCpuStart + 2001}));
  // Unit 1 runs 21 passes (1.05 s), then comes the 5 s wait; the first pass of
  // the resumed sitting, at 6.10 s, prints the status with the first
  // sitting's 2000 hashes: 2000 / 6.10 = 327.87 H/s.
  EXPECT_NE(h.out.find("0.33 kH/s (CPU) | Blocks: 0\n"), std::string::npos) << h.out;
}

// A solution found while the next work is fetched goes in with the work it
// was found for, before any search of the new work starts, whatever that
// fetch brought back; the work fetched meanwhile is dropped for a fresh fetch.
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
    EXPECT_EQ(h.submissions[0].sittings_started_before, 1);
    EXPECT_NE(
        h.out.find("*** CPU SOLUTION! Nonce: 2147527629 ***\nBlock 7 ACCEPTED (CPU)! (total: 1)\n"),
        std::string::npos)
        << h.out;
    EXPECT_EQ(h.err.find("Failed to get work"), std::string::npos);
    // The third fetch's header 3 is searched; the second fetch's work never is.
    ASSERT_EQ(h.search.sittings.size(), 2u);
    EXPECT_EQ(h.search.sittings[1].first_header_byte, 3);
    EXPECT_NE(h.out.find("Shutting down. Blocks found: 1\n"), std::string::npos);
  }
}

// With the default batch a unit ends after its 17th launch, not its 16th; the
// next unit of the same header launches on from where the last one stopped,
// a new header from 0.
TEST(MiningLoop, GpuRefreshAfterTheSeventeenthLaunchAndResume) {
  Harness h;
  gpu_only(h);
  h.serve = [](int call) { return make_work(call < 2 ? 1 : 2); };
  h.stop_after_fetches = 3;
  h.run();
  ASSERT_EQ(h.passes_per_unit.size(), 3u);
  EXPECT_EQ(h.passes_per_unit[0], 17);
  EXPECT_EQ(h.passes_per_unit[1], 17);
  EXPECT_EQ(h.passes_per_unit[2], 17);
  ASSERT_EQ(h.gpu.launches.size(), 51u);
  for (size_t k = 0; k < 34; ++k) EXPECT_EQ(h.gpu.launches[k].start_nonce, k * 0x100000u) << k;
  EXPECT_EQ(h.gpu.launches[34].first_header_byte, 2);
  EXPECT_EQ(h.gpu.launches[34].start_nonce, 0u);
}

// A batch size of 0 never moves the nonce, so only a solution (or a failure,
// or a stop) ends the unit.
TEST(MiningLoop, BatchSizeZeroNeverRefreshes) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 0;
  h.gpu.answer = solution_at_launch(39, 12345);
  h.stop_after_fetches = 1;
  h.run();
  EXPECT_EQ(h.passes_per_unit, std::vector<int>{40});
  ASSERT_EQ(h.submissions.size(), 1u);
  EXPECT_EQ(h.submissions[0].nonce, 12345u);
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 12345 ***\nBlock 7 ACCEPTED (GPU)! (total: 1)\n"),
            std::string::npos);
}

// A failed launch ends the unit without a status line and the next fetch
// follows at once; the CPU search is not stopped for it.
TEST(MiningLoop, FailedLaunchRefetchesAtOnceAndKeepsTheCpuSearch) {
  Harness h;
  gpu_only(h);
  h.options.cpu_threads = 1;
  h.modes = DeviceModes{true, true};
  h.gpu.answer = [](int, MiningResult*) { return -1; };
  h.launch_time = 3s;  // would pass the status threshold if a line were due
  h.stop_after_fetches = 5;
  h.run();
  EXPECT_EQ(count_of(h.err, "GPU kernel failed\n"), 5);
  EXPECT_EQ(count_of(h.out, "Blocks: 0\n"), 0);
  EXPECT_EQ(h.search.sittings.size(), 1u);
  EXPECT_EQ(h.passes_per_unit, std::vector<int>(5, 1));
}

// The pass that finds a GPU solution still reaches the status step.
TEST(MiningLoop, GpuSolutionPassStillPrintsStatus) {
  Harness h;
  gpu_only(h);
  h.launch_time = 2500ms;
  h.gpu.answer = solution_at_launch(-1, 77);
  h.accept_blocks = false;
  h.stop_after_fetches = 1;
  h.run();
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 77 ***\n"), std::string::npos);
  EXPECT_EQ(h.out.find("ACCEPTED"), std::string::npos);  // the node said no
  // 0x100000 nonces in 2.5 s.
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 77 ***\n419.43 kH/s (GPU) | Blocks: 0\n"),
            std::string::npos)
      << h.out;
  EXPECT_EQ(h.gpu.launches.size(), 1u);
}

// A GPU thread the system refuses is reported; with nothing launching, each
// unit is one pass, and the next one tries again.
TEST(MiningLoop, RefusedGpuThreadIsReportedAndTriedAgainEachUnit) {
  Harness h;
  gpu_only(h);
  h.refuse_gpu_thread = true;
  h.stop_after_fetches = 3;
  h.run();
  EXPECT_EQ(count_of(h.err, "tamrix-miner: could not start the GPU launch thread: "), 3);
  EXPECT_EQ(h.passes_per_unit, std::vector<int>(3, 1));
  EXPECT_TRUE(h.gpu.launches.empty());
}

// A coordinator thread the system refuses is reported and the loop goes on,
// trying again for the next unit.
TEST(MiningLoop, RefusedCoordinatorThreadIsReportedAndMiningGoesOn) {
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

// A GPU solution found while the next work is fetched goes in with the work
// it was found for, before anything else; the work fetched meanwhile is
// dropped for a fresh fetch, and the next header's launches begin at 0.
TEST(MiningLoop, GpuSolutionDuringTheFetchIsSubmittedWithItsOwnWork) {
  Harness h;
  gpu_only(h);
  h.serve = [](int call) { return make_work(call == 0 ? 1 : call == 1 ? 2 : 3, 99); };
  h.launches_during_fetch = [](int call) { return call == 1 ? 2 : 0; };
  h.gpu.answer = solution_at_launch(18, 4242);
  h.stop_after_fetches = 3;
  h.run();
  ASSERT_EQ(h.submissions.size(), 1u);
  EXPECT_EQ(h.submissions[0].first_header_byte, 1);
  EXPECT_EQ(h.submissions[0].nonce, 4242u);
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 4242 ***\nBlock 99 ACCEPTED (GPU)! (total: 1)\n"),
            std::string::npos)
      << h.out;
  // Launches 17 and 18 ran during the fetch, on the old header and onward
  // from where unit 0 stopped; header 2 was never searched.
  ASSERT_EQ(h.gpu.launches.size(), 36u);
  EXPECT_EQ(h.gpu.launches[18].first_header_byte, 1);
  EXPECT_EQ(h.gpu.launches[18].start_nonce, 18 * kDefaultBatch);
  EXPECT_EQ(h.gpu.launches[19].first_header_byte, 3);
  EXPECT_EQ(h.gpu.launches[19].start_nonce, 0u);
  EXPECT_EQ(h.passes_per_unit, (std::vector<int>{17, 0, 17}));
}

// Once the GPU has walked its own half it takes batches from the top of the
// CPU's half, down to where the CPU's claims end, and never into them.
TEST(MiningLoop, GpuReachingTheCpuRangeTakesOnlyWhatTheCpuHasNotClaimed) {
  Harness h;
  h.modes = DeviceModes{true, true};
  h.options.cpu_threads = 1;
  h.options.batch_size = 1u << 30;
  h.search.claim_chunks = 3;
  h.on_wait = [&h](int k) {
    if (k == 0) {
      EXPECT_TRUE(wait_for([&h] { return h.search.sittings_started.load() == 1; }));
    }
  };
  h.stop_after_fetches = 6;
  h.run();
  const uint32_t cpu_claimed = static_cast<uint32_t>(3 * kCpuClaimChunk);
  ASSERT_EQ(h.gpu.launches.size(), 4u);
  EXPECT_EQ(h.gpu.launches[0].start_nonce, 0u);
  EXPECT_EQ(h.gpu.launches[1].start_nonce, 1u << 30);
  EXPECT_EQ(h.gpu.launches[2].start_nonce, 0xC0000000u);
  EXPECT_EQ(h.gpu.launches[3].start_nonce, kCpuStart + cpu_claimed);
  EXPECT_EQ(h.gpu.launches[3].size, (1u << 30) - cpu_claimed);
  // The CPU still has its claimed nonces to hash, so the header is not
  // reported as used up.
  EXPECT_EQ(h.out.find("Every nonce of this header"), std::string::npos);
}

// When every nonce of a header has been taken, the GPU waits for a new
// header: the loop says so once and fetches once per 50 ms pass, no faster,
// until the header changes; a new header starts from nonce 0.
TEST(MiningLoop, WholeSpaceUsedUpWaitsForANewHeaderWithoutSpinning) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 1u << 31;
  h.serve = [](int call) { return make_work(call < 6 ? 1 : 2); };
  h.stop_after_fetches = 7;
  h.run();
  ASSERT_EQ(h.gpu.launches.size(), 3u);
  EXPECT_EQ(h.gpu.launches[0].start_nonce, 0u);
  EXPECT_EQ(h.gpu.launches[1].start_nonce, kCpuStart);
  EXPECT_EQ(h.gpu.launches[2].first_header_byte, 2);
  EXPECT_EQ(h.gpu.launches[2].start_nonce, 0u);
  EXPECT_EQ(count_of(h.out, "Every nonce of this header has been searched; waiting for new work\n"),
            1);
  EXPECT_EQ(h.passes_per_unit, std::vector<int>(7, 1));
  // Units 3 to 5 found nothing to launch: each is one full 50 ms wait.
  for (int unit = 3; unit < 6; ++unit)
    EXPECT_EQ(h.fetch_times[unit + 1] - h.fetch_times[unit], 50ms) << unit;
}

// A CPU solution ends the pass's wait at once: it is submitted 10 ms into
// the fourth wait, where the sleep would have run to 200 ms.
TEST(MiningLoop, SolutionDuringTheWaitIsActedOnAtOnce) {
  Harness h;
  cpu_only(h);
  h.on_wait = [&h](int k) {
    if (k == 3) h.search.plant_now();
  };
  h.stop_after_fetches = 1;
  h.run();
  ASSERT_EQ(h.submissions.size(), 1u);
  EXPECT_EQ(h.submissions[0].at - Clock::time_point{}, 160ms);
  EXPECT_EQ(h.passes_per_unit, std::vector<int>{4});
}

// A stop requested after a device found a solution but before the loop
// noticed it: the block still goes in and counts.
TEST(MiningLoop, StopBetweenASolutionAndItsNoticeStillSubmitsIt) {
  for (const bool on_gpu : {false, true}) {
    SCOPED_TRACE(on_gpu ? "GPU" : "CPU");
    Harness h;
    if (on_gpu) {
      gpu_only(h);
      h.gpu.answer = solution_at_launch(2, 31337);
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

// A CPU search that ends by itself because it cannot search (no kernel, no
// worker thread) does not hold its header: it is said once, and every unit
// starts it again.
TEST(MiningLoop, SearchThatEndedByItselfIsStartedAgainByTheNextUnit) {
  Harness h;
  cpu_only(h);
  h.search.cannot_search = true;
  h.cpu_news_at_first_pass = true;
  h.stop_after_fetches = 3;
  h.run();
  EXPECT_EQ(h.search.sittings.size(), 3u);
  EXPECT_EQ(count_of(h.err, "tamrix-miner: the CPU search ended by itself (no usable kernel or "
                            "worker thread); each new unit of work tries again\n"),
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
