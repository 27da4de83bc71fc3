// The search with worker threads started by the test: one worker alone, to
// pin down its nonce sequence, and some workers refused, as when the system
// cannot create more threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <latch>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "search_reference.h"

namespace {

constexpr uint32_t kStart = 0x80000000;

// Starts real threads for the first `allowed` workers, then fails the way
// std::thread does. Counts bodies that have returned so the test can tell
// that every started worker ended before cpu_search returned.
class RationedStarter {
 public:
  explicit RationedStarter(int allowed) : allowed_(allowed) {}

  WorkerStarter starter() {
    return [this](std::function<void()> body) {
      if (started_ == allowed_)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      ++started_;
      return std::thread([this, body = std::move(body)] {
        body();
        finished_.fetch_add(1);
      });
    };
  }

  int started() const { return started_; }
  int finished() const { return finished_.load(); }

 private:
  int allowed_;
  int started_ = 0;  // only touched by the thread that calls cpu_search
  std::atomic<int> finished_{0};
};

// A search with chunks of one nonce, so that worker i's first chunk is the
// nonce kStart + i.
std::string search_with(RationedStarter& starter, const Hash256& target, int threads,
                        SearchState& s, CpuSearchEnd* end = nullptr) {
  const Header header = make_header(3);
  testing::internal::CaptureStderr();
  const CpuSearchEnd how =
      run_search(header, target, threads, kStart, s, search_kernel_auto(), starter.starter(), 1);
  if (end) *end = how;
  return testing::internal::GetCapturedStderr();
}

// Runs worker `chosen` to completion on the calling thread and gives every
// other worker a thread that does nothing, so that one worker claims every
// chunk alone and the outcome is fixed.
WorkerStarter run_only_worker(int chosen) {
  auto calls = std::make_shared<int>(0);
  return [chosen, calls](std::function<void()> body) {
    if ((*calls)++ == chosen) body();
    return std::thread([] {});
  };
}

// Met by about one hash in 16, so every worker has a hit early.
Hash256 one_in_sixteen_target() {
  Hash256 t;
  t.fill(0xFF);
  t[31] = 0x0F;
  return t;
}

// A worker alone claims one chunk after another and finds the first hit in
// nonce order with an exact count, once for every hashing kernel this CPU
// runs and for chunks shorter than, equal to and longer than its width: the
// batched kernels must report the earliest hit of a batch, count only up to
// it, and hash no nonce past the end of a chunk into the count.
TEST(CpuSearchWorkerStart, AWorkerAloneFindsTheFirstHitAcrossItsChunks) {
  const Header header = make_header(4);
  const Hash256 target = one_in_sixteen_target();
  for (const SearchKernel* kernel : search_kernels_all()) {
    if (!search_kernel_supported(*kernel)) continue;
    for (const uint64_t chunk : {uint64_t{1}, uint64_t{3}, static_cast<uint64_t>(kernel->width),
                                 uint64_t{1000}}) {
      for (uint32_t start : {kStart, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        for (int chosen = 0; chosen < 3; ++chosen) {
          SCOPED_TRACE(testing::Message() << kernel->name << ": worker " << chosen
                                          << " of 3, chunks of " << chunk << " from 0x"
                                          << std::hex << start);
          const FirstHit expected = first_hit(header, target, start, 1);
          SearchState s;
          run_search(header, target, 3, start, s, kernel, run_only_worker(chosen), chunk);
          ASSERT_TRUE(s.result.found);
          EXPECT_EQ(s.result.nonce, expected.nonce);
          EXPECT_EQ(s.hash_count.load(), expected.hashes);
          EXPECT_EQ(0,
                    std::memcmp(s.result.hash, reference_hash(header, expected.nonce).data(), 32));
        }
      }
    }
  }
}

// Holds every worker at a latch until all of them exist, so that they reach
// their first hash together instead of one by one as they are created.
WorkerStarter start_together(std::shared_ptr<std::latch> all_started) {
  return [all_started](std::function<void()> body) {
    return std::thread([all_started, body = std::move(body)] {
      all_started->arrive_and_wait();
      body();
    });
  };
}

// Every worker's first nonce meets the target and they race for it; the
// record must still come from exactly one of them, whole. (Under the thread
// sanitizer, a second writer also shows up as a data race on the record.)
TEST(CpuSearchWorkerStart, SimultaneousHitsLeaveOneWholeResult) {
  const Header header = make_header(5);
  const Hash256 target = all_ones();
  constexpr int kThreads = 4;
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    SearchState s;
    run_search(header, target, kThreads, kStart, s, search_kernel_auto(),
               start_together(std::make_shared<std::latch>(kThreads)), 1);
    ASSERT_TRUE(s.result.found);
    ASSERT_LT(s.result.nonce - kStart, static_cast<uint32_t>(kThreads));
    ASSERT_EQ(0, std::memcmp(s.result.hash, reference_hash(header, s.result.nonce).data(), 32));
    ASSERT_LE(s.hash_count.load(), static_cast<uint64_t>(kThreads));
  }
}

TEST(CpuSearchWorkerStart, SearchesWithTheWorkersThatStarted) {
  RationedStarter starter(2);
  SearchState s;
  const std::string err = search_with(starter, all_ones(), 4, s);

  EXPECT_EQ(err, "tamrix-miner: could only start 2 of 4 CPU worker threads\n");
  EXPECT_EQ(starter.finished(), 2);
  ASSERT_TRUE(s.result.found);
  // Only workers 0 and 1 ran, each meeting the target on its first nonce.
  EXPECT_TRUE(s.result.nonce == kStart || s.result.nonce == kStart + 1)
      << std::hex << s.result.nonce;
  EXPECT_GE(s.hash_count.load(), 1u);
  EXPECT_LE(s.hash_count.load(), 2u);
}

// A search no worker could join ends at once and says why, so that its
// caller does not take it for one still covering its header.
TEST(CpuSearchWorkerStart, NoWorkerStarted) {
  RationedStarter starter(0);
  SearchState s;
  CpuSearchEnd end = CpuSearchEnd::stopped;
  const std::string err = search_with(starter, all_ones(), 3, s, &end);

  EXPECT_EQ(err, "tamrix-miner: could only start 0 of 3 CPU worker threads\n");
  EXPECT_EQ(end, CpuSearchEnd::could_not_search);
  EXPECT_FALSE(s.found.load());
  EXPECT_FALSE(s.result.found);
  EXPECT_EQ(s.hash_count.load(), 0u);
}

// The one started worker runs until it is stopped, and is joined: its body
// has returned by the time cpu_search does.
TEST(CpuSearchWorkerStart, StartedWorkerIsStoppedAndJoined) {
  RationedStarter starter(1);
  SearchState s;
  std::thread stopper([&s] {
    // The deadline only keeps a broken search from hanging the test.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (s.hash_count.load() == 0 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.running = false;
  });
  const std::string err = search_with(starter, Hash256{}, 3, s);
  stopper.join();

  EXPECT_EQ(err, "tamrix-miner: could only start 1 of 3 CPU worker threads\n");
  EXPECT_EQ(starter.finished(), 1);
  EXPECT_FALSE(s.found.load());
  EXPECT_GE(s.hash_count.load(), 4096u);
}

TEST(CpuSearchWorkerStart, NoMessageWhenEveryWorkerStarts) {
  RationedStarter starter(3);
  SearchState s;
  const std::string err = search_with(starter, all_ones(), 3, s);

  EXPECT_EQ(err, "");
  EXPECT_EQ(starter.started(), 3);
  EXPECT_EQ(starter.finished(), 3);
  EXPECT_TRUE(s.result.found);
}

// One less than `value` as a 256-bit little-endian number; value is not 0.
Hash256 minus_one(Hash256 value) {
  for (uint8_t& byte : value)
    if (byte-- != 0) break;
  return value;
}

// A solution planted at the first and at the last position of a kernel's
// batch is reported with its own nonce and hash and an exact count; a target
// one below its hash passes it by (the equality boundary, seen through the
// kernels' top-word pre-check).
TEST(CpuSearchWorkerStart, PlantedSolutionsAtBothEndsOfABatch) {
  for (const SearchKernel* kernel : search_kernels_all()) {
    if (!search_kernel_supported(*kernel)) continue;
    for (int position : {0, kernel->width - 1}) {
      SCOPED_TRACE(testing::Message() << kernel->name << ", position " << position);
      // A header whose nonce at `position` hashes strictly below every
      // earlier nonce of the batch, so that it is the batch's first hit.
      Header header;
      Hash256 planted_hash;
      const uint32_t planted = kStart + static_cast<uint32_t>(position);
      for (int seed = 100;; ++seed) {
        header = make_header(seed);
        planted_hash = reference_hash(header, planted);
        bool earliest = true;
        for (uint32_t n = kStart; n != planted; ++n)
          earliest &= !value_le(reference_hash(header, n), planted_hash);
        if (earliest) break;
      }

      SearchState exact;
      run_search(header, planted_hash, 1, kStart, exact, kernel, run_only_worker(0));
      ASSERT_TRUE(exact.result.found);
      EXPECT_EQ(exact.result.nonce, planted);
      EXPECT_EQ(0, std::memcmp(exact.result.hash, planted_hash.data(), 32));
      EXPECT_EQ(exact.hash_count.load(), static_cast<uint64_t>(position + 1));

      const Hash256 below = minus_one(planted_hash);
      const FirstHit expected = first_hit(header, below, kStart, 1);
      SearchState missed;
      run_search(header, below, 1, kStart, missed, kernel, run_only_worker(0));
      ASSERT_TRUE(missed.result.found);
      EXPECT_NE(missed.result.nonce, planted);
      EXPECT_EQ(missed.result.nonce, expected.nonce);
      EXPECT_EQ(missed.hash_count.load(), expected.hashes);
    }
  }
}

}  // namespace
