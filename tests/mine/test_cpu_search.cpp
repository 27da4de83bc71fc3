// The multi-threaded nonce search, checked against a reference model of each
// worker's nonce sequence.
//
// With several workers the winner is not fixed: a worker may be descheduled
// while another runs far ahead. What is fixed is that each worker stops at its
// own first hit at the latest, so the winner is one worker's first hit and the
// count lies between that worker's hashes and the sum over all workers.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "search_reference.h"

namespace {

constexpr uint32_t kMiningStart = 0x80000000;

// Each test runs once per kernel this CPU supports.
class CpuSearch : public testing::TestWithParam<const SearchKernel*> {};

// A target met by about one hash in 2^bits.
Hash256 easy_target(int bits) {
  Hash256 t = all_ones();
  for (int i = 31; bits >= 8; --i, bits -= 8) t[i] = 0;
  return t;
}

void expect_result_consistent(const Header& header, const Hash256& target, int num_threads,
                              uint32_t start_nonce, const SearchState& s) {
  ASSERT_TRUE(s.found.load());
  ASSERT_TRUE(s.result.found);

  uint64_t most_hashes = 0;
  uint64_t winner_hashes = 0;
  bool winner_is_a_first_hit = false;
  for (int i = 0; i < num_threads; ++i) {
    const FirstHit hit = first_hit(header, target, start_nonce + static_cast<uint32_t>(i),
                                   static_cast<uint32_t>(num_threads));
    most_hashes += hit.hashes;
    if (hit.nonce == s.result.nonce) {
      winner_is_a_first_hit = true;
      winner_hashes = hit.hashes;
    }
  }
  ASSERT_TRUE(winner_is_a_first_hit) << std::hex << "nonce 0x" << s.result.nonce;

  const Hash256 expected = reference_hash(header, s.result.nonce);
  EXPECT_EQ(0, std::memcmp(s.result.hash, expected.data(), 32));
  EXPECT_GE(s.hash_count.load(), winner_hashes);
  EXPECT_LE(s.hash_count.load(), most_hashes);
}

// Index of the smallest hash among `count` consecutive nonces from `start`.
uint32_t index_of_minimum(const Header& header, uint32_t start, uint32_t count, Hash256& minimum) {
  uint32_t best = 0;
  minimum = reference_hash(header, start);
  for (uint32_t i = 1; i < count; ++i) {
    const Hash256 h = reference_hash(header, start + i);
    if (!value_le(minimum, h)) {
      minimum = h;
      best = i;
    }
  }
  return best;
}

TEST_P(CpuSearch, EveryWorkerMeetsAnAllOnesTarget) {
  const Header header = make_header(1);
  struct Case {
    int threads;
    uint32_t start;
  };
  for (const Case c : {Case{1, kMiningStart}, Case{3, kMiningStart}, Case{4, kMiningStart},
                       Case{4, 0xFFFFFFFE}}) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads from 0x" << std::hex << c.start);
    SearchState s;
    run_search(header, all_ones(), c.threads, c.start, s, GetParam());
    // Each worker's first nonce is a hit, so the winner is one of them.
    expect_result_consistent(header, all_ones(), c.threads, c.start, s);
    EXPECT_LE(s.result.nonce - c.start, static_cast<uint32_t>(c.threads - 1));
    EXPECT_GE(s.hash_count.load(), 1u);
  }
}

// One worker is deterministic: it stops exactly at the first nonce that meets
// the target. Header seed 14 puts the minimum of the first 10000 nonces past
// two full counter batches, so both the batched adds and the remainder at exit
// take part in the count.
TEST_P(CpuSearch, SingleWorkerCountIsExactAtTheSolution) {
  const Header header = make_header(14);
  Hash256 target;
  const uint32_t index = index_of_minimum(header, kMiningStart, 10000, target);
  ASSERT_GT(index, 2 * 4096u) << "header no longer exercises the batched count";

  SearchState s;
  run_search(header, target, 1, kMiningStart, s, GetParam());
  ASSERT_TRUE(s.result.found);
  EXPECT_EQ(s.result.nonce, kMiningStart + index);
  EXPECT_EQ(s.hash_count.load(), index + 1u);
  EXPECT_EQ(0, std::memcmp(s.result.hash, reference_hash(header, s.result.nonce).data(), 32));
}

// Seed 0 puts the minimum of the 16 nonces from 0xFFFFFFFB after the wrap.
TEST_P(CpuSearch, SingleWorkerWrapsPastTheTopNonce) {
  const Header header = make_header(0);
  const uint32_t start = 0xFFFFFFFB;
  Hash256 target;
  const uint32_t index = index_of_minimum(header, start, 16, target);
  ASSERT_GE(index, 5u) << "header no longer puts the solution after the wrap";

  SearchState s;
  run_search(header, target, 1, start, s, GetParam());
  ASSERT_TRUE(s.result.found);
  EXPECT_EQ(s.result.nonce, index - 5);
  EXPECT_EQ(s.hash_count.load(), index + 1u);
}

TEST_P(CpuSearch, SeveralWorkersFollowTheirInterleavedSequences) {
  for (int seed = 2; seed < 6; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const Header header = make_header(seed);
    const Hash256 target = easy_target(8);
    SearchState s;
    run_search(header, target, 3, kMiningStart, s, GetParam());
    expect_result_consistent(header, target, 3, kMiningStart, s);
  }
}

// Worker 0 runs 0xFFFFFFFF, 1, 3, ...; worker 1 starts at 0 and runs 2, 4, ...
TEST_P(CpuSearch, TwoWorkersStartingAtTheTopNonce) {
  const uint32_t start = 0xFFFFFFFF;
  for (int seed = 6; seed < 10; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const Header header = make_header(seed);
    Hash256 target;
    index_of_minimum(header, start, 64, target);
    SearchState s;
    run_search(header, target, 2, start, s, GetParam());
    expect_result_consistent(header, target, 2, start, s);
  }
}

TEST_P(CpuSearch, NothingIsHashedWhenStoppedAtEntry) {
  const Header header = make_header(1);
  CpuMiningResult untouched;
  std::memset(&untouched, 0xA5, sizeof untouched);

  struct Case {
    const char* name;
    bool running;
    bool found;
    int threads;
  };
  for (const Case c : {Case{"running false", false, false, 2}, Case{"found true", true, true, 2},
                       Case{"no threads", true, false, 0}}) {
    SCOPED_TRACE(c.name);
    SearchState s;
    s.running = c.running;
    s.found = c.found;
    s.hash_count = 123;
    std::memcpy(&s.result, &untouched, sizeof untouched);
    // Every hash meets this target, so a single hash would show in the result.
    run_search(header, all_ones(), c.threads, kMiningStart, s, GetParam());
    EXPECT_EQ(s.hash_count.load(), 123u);
    EXPECT_EQ(s.found.load(), c.found);
    EXPECT_EQ(0, std::memcmp(&s.result, &untouched, sizeof untouched));
  }
}

// Clears `running` once the shared count reaches `stop_at`, and notes whether
// any count seen before that was not a whole number of batches. Gives up after
// a minute so that a search that never counts fails instead of hanging.
struct Stopper {
  SearchState& s;
  uint64_t stop_at;
  bool saw_partial_batch = false;

  void operator()() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (;;) {
      const uint64_t seen = s.hash_count.load();
      if (seen % 4096 != 0) saw_partial_batch = true;
      if (seen >= stop_at || std::chrono::steady_clock::now() > give_up) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s.running = false;
  }
};

// An all-zero target is never met, so only `running` ends the search, and the
// result must stay as it was.
TEST_P(CpuSearch, ClearingRunningStopsAnEndlessSearch) {
  const Header header{};
  const Hash256 zero{};
  for (int threads : {1, 2}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    SearchState s;
    Stopper stopper{s, 2 * 4096};
    std::thread watcher(std::ref(stopper));
    run_search(header, zero, threads, 0, s, GetParam());
    watcher.join();

    EXPECT_FALSE(s.found.load());
    EXPECT_FALSE(s.result.found);
    EXPECT_EQ(s.result.nonce, 0u);
    EXPECT_GE(s.hash_count.load(), 2 * 4096u);
    // Workers publish only whole batches while they run.
    EXPECT_FALSE(stopper.saw_partial_batch);
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, CpuSearch, testing::ValuesIn(supported_kernels()),
                         kernel_test_name);

}  // namespace
