// The mining loop driven pass by pass through fake neighbours: a scripted
// node, a GPU backend that counts launches, a clock that moves only when the
// loop sleeps or launches, and a CPU search that records where each sitting
// starts and hands out a solution on request.

#include <gtest/gtest.h>

#include <array>
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
  std::vector<uint32_t> positions;  // each worker's first nonce
};

// The fake CPU search. Each sitting moves every worker on by
// `hashes_per_worker` and adds them to the count when it ends, so that a
// status line shows only the hashes of finished sittings. It runs until
// stopped, or until a solution is planted.
struct ScriptedSearch {
  uint64_t hashes_per_worker = 1000;
  std::atomic<int> sittings_started{0};
  std::vector<Sitting> sittings;  // read by the test only after the loop has ended
  std::atomic<bool> plant{false};
  std::atomic<bool> planted{false};
  uint32_t planted_nonce = 0x8000abcdu;

  void run(const uint8_t header[80], std::span<uint32_t> positions, std::atomic<bool>& running,
           std::atomic<bool>& found, CpuMiningResult* result, std::atomic<uint64_t>& hash_count) {
    sittings.push_back({header[0], std::vector<uint32_t>(positions.begin(), positions.end())});
    sittings_started.fetch_add(1);
    while (running.load() && !found.load()) {
      if (plant.exchange(false)) {
        found.store(true);
        result->nonce = planted_nonce;
        result->found = true;
        planted.store(true);
        break;
      }
      std::this_thread::sleep_for(50us);
    }
    for (uint32_t& p : positions) p += static_cast<uint32_t>(hashes_per_worker * positions.size());
    hash_count.fetch_add(hashes_per_worker * positions.size());
  }
};

struct Submission {
  uint8_t first_header_byte;
  uint32_t nonce;
  int sittings_started_before;
};

struct Launch {
  uint8_t first_header_byte;
  uint32_t start_nonce;
};

// The fake world around one run of the loop.
struct Harness {
  Options options;
  DeviceModes modes{false, true};
  ScriptedSearch search;
  Clock::time_point now{};  // moved only by sleep() and by launches

  // get_work: call k (from 0) is answered by serve(k). The loop searches
  // `stop_after_fetches` units; the fetch after them requests the stop.
  std::function<BlockWork(int)> serve = [](int) { return make_work(1); };
  int stop_after_fetches = 5;
  int fetches = 0;
  std::vector<int> passes_per_unit;  // sleeps and launches between two fetches
  std::vector<Submission> submissions;
  bool accept_blocks = true;

  // launch_mining_kernel: answered by launch(k) for launch k from 0.
  std::function<int(int, MiningResult*)> launch = [](int, MiningResult*) { return 0; };
  Clock::duration launch_time = 1ms;
  std::vector<Launch> launches;
  bool refuse_thread = false;
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
      if (call == stop_after_fetches)
        g_running.store(false);
      else
        passes_per_unit.push_back(0);
      return serve(call);
    };
    p.submit_block = [this](const BlockWork& work, uint32_t nonce) {
      submissions.push_back({work.header[0], nonce, search.sittings_started.load()});
      return accept_blocks;
    };
    p.launch_mining_kernel = [this](const uint8_t header[80], uint32_t start_nonce, uint32_t,
                                    const uint32_t[8], MiningResult* result) {
      const int k = static_cast<int>(launches.size());
      launches.push_back({header[0], start_nonce});
      count_pass();
      now += launch_time;
      return launch(k, result);
    };
    p.power_get_temp = [] { return 0; };
    p.power_shutdown = [this] { ++shutdowns; };
    p.now = [this] { return now; };
    p.sleep = [this](std::chrono::milliseconds d) {
      if (d == 50ms) count_pass();
      now += d;
    };
    p.cpu_search = [this](const uint8_t header[80], const uint32_t[8],
                          std::span<uint32_t> positions, std::atomic<bool>& running,
                          std::atomic<bool>& found, CpuMiningResult* result,
                          std::atomic<uint64_t>& hash_count) {
      search.run(header, positions, running, found, result, hash_count);
    };
    if (refuse_thread)
      p.start_thread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      };
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
  EXPECT_EQ(h.search.sittings[0].positions, (std::vector<uint32_t>{kCpuStart, kCpuStart + 1}));
  EXPECT_EQ(h.search.sittings[1].first_header_byte, 2);
  EXPECT_EQ(h.search.sittings[1].positions, (std::vector<uint32_t>{kCpuStart, kCpuStart + 1}));
  EXPECT_EQ(h.search.sittings[2].first_header_byte, 1);
  EXPECT_EQ(h.search.sittings[2].positions, (std::vector<uint32_t>{kCpuStart, kCpuStart + 1}));
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
  EXPECT_EQ(h.search.sittings[1].positions, std::vector<uint32_t>{kCpuStart});
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
            (std::vector<uint32_t>{kCpuStart + 2000, kCpuStart + 2001}));
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
        h.search.plant.store(true);
        EXPECT_TRUE(wait_for([&h] { return h.search.planted.load(); }));
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
    EXPECT_NE(h.out.find("*** CPU SOLUTION! Nonce: 2147527629 ***\nBlock 7 ACCEPTED (CPU)! (total: 1)\n"),
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
  ASSERT_EQ(h.launches.size(), 51u);
  for (size_t k = 0; k < 34; ++k) EXPECT_EQ(h.launches[k].start_nonce, k * 0x100000u) << k;
  EXPECT_EQ(h.launches[34].first_header_byte, 2);
  EXPECT_EQ(h.launches[34].start_nonce, 0u);
}

// A batch size of 0 never moves the nonce, so only a solution (or a failure,
// or a stop) ends the unit.
TEST(MiningLoop, BatchSizeZeroNeverRefreshes) {
  Harness h;
  gpu_only(h);
  h.options.batch_size = 0;
  h.launch = [](int k, MiningResult* result) {
    if (k == 39) {
      result->found = true;
      result->nonce = 12345;
    }
    return 0;
  };
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
  h.launch = [](int, MiningResult*) { return -1; };
  h.launch_time = 3s;  // would pass the status threshold if a line were due
  h.stop_after_fetches = 5;
  h.run();
  EXPECT_EQ(count_of(h.err, "GPU kernel failed\n"), 5);
  EXPECT_EQ(count_of(h.out, "Blocks: 0\n"), 0);
  EXPECT_EQ(h.search.sittings.size(), 1u);
  EXPECT_EQ(h.passes_per_unit, std::vector<int>(5, 1));
}

// The CPU check comes first in a pass: a CPU solution waiting when a pass
// begins is submitted before any further launch.
TEST(MiningLoop, CpuSolutionIsCheckedBeforeTheNextLaunch) {
  Harness h;
  gpu_only(h);
  h.options.cpu_threads = 1;
  h.modes = DeviceModes{true, true};
  h.launch = [&h](int k, MiningResult*) {
    if (k == 0) {
      h.search.plant.store(true);
      EXPECT_TRUE(wait_for([&h] { return h.search.planted.load(); }));
    }
    return 0;
  };
  h.stop_after_fetches = 1;
  h.run();
  ASSERT_EQ(h.submissions.size(), 1u);
  EXPECT_EQ(h.submissions[0].nonce, h.search.planted_nonce);
  EXPECT_EQ(h.launches.size(), 1u);
}

// The pass that finds a GPU solution still reaches the status step.
TEST(MiningLoop, GpuSolutionPassStillPrintsStatus) {
  Harness h;
  gpu_only(h);
  h.launch_time = 2500ms;
  h.launch = [](int, MiningResult* result) {
    result->found = true;
    result->nonce = 77;
    return 0;
  };
  h.accept_blocks = false;
  h.stop_after_fetches = 1;
  h.run();
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 77 ***\n"), std::string::npos);
  EXPECT_EQ(h.out.find("ACCEPTED"), std::string::npos);  // the node said no
  // 0x100000 nonces in 2.5 s.
  EXPECT_NE(h.out.find("*** GPU SOLUTION! Nonce: 77 ***\n419.43 kH/s (GPU) | Blocks: 0\n"),
            std::string::npos)
      << h.out;
  EXPECT_EQ(h.launches.size(), 1u);
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

}  // namespace
