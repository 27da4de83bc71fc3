// The multi-threaded nonce search, checked against a reference model of the
// chunks its workers claim.
//
// With several workers the winner is not fixed: a worker may be descheduled
// while another runs far ahead. What is fixed is that each worker searches
// its chunk in order and stops at the chunk's first hit at the latest, so the
// winner is the first hit of its chunk, and the count lies between the
// hashes before it in that chunk and everything claimed.

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

// The search from start_nonce with `threads` workers and chunks of `chunk`
// ended on a first hit of its chunk, with that nonce's hash, and counted no
// more than it claimed.
void expect_result_consistent(const Header& header, const Hash256& target, uint32_t start_nonce,
                              uint64_t chunk, const SearchState& s, uint64_t claimed) {
  ASSERT_TRUE(s.found.load());
  ASSERT_TRUE(s.result.found);
  EXPECT_TRUE(first_hit_of_its_chunk(header, target, start_nonce, chunk, s.result.nonce))
      << std::hex << "nonce 0x" << s.result.nonce;
  EXPECT_EQ(s.result.header_time, time_of(header));
  const Hash256 expected = reference_hash(header, s.result.nonce);
  EXPECT_EQ(0, std::memcmp(s.result.hash, expected.data(), 32));
  EXPECT_GE(s.hash_count.load(), (s.result.nonce - start_nonce) % chunk + 1);
  EXPECT_LE(s.hash_count.load(), claimed);
}

// A fresh search of the header's own time from start_nonce with `threads`
// workers claiming chunks of `chunk`, its result checked as above.
void search_and_check(const Header& header, const Hash256& target, int threads,
                      uint32_t start_nonce, uint64_t chunk, const SearchKernel* kernel,
                      SearchState& s) {
  WorkSpace space;
  const uint64_t first = first_position_of(time_of(header));
  begin_work_space(space, first, UINT64_MAX, start_nonce);
  search_space(header, target, threads, space, s, kernel, {}, chunk);
  expect_result_consistent(header, target, start_nonce, chunk, s, space.next.load() - first);
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
    uint64_t chunk;
  };
  for (const Case c : {Case{1, kMiningStart, kCpuChunk}, Case{3, kMiningStart, kCpuChunk},
                       Case{4, kMiningStart, 1}, Case{4, 0xFFFFFFFE, 3}}) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads from 0x" << std::hex << c.start
                                    << ", chunks of " << std::dec << c.chunk);
    SearchState s;
    search_and_check(header, all_ones(), c.threads, c.start, c.chunk, GetParam(), s);
    // Each chunk's first nonce is a hit, so the winner is the first nonce of
    // one of the chunks claimed first.
    EXPECT_EQ((s.result.nonce - c.start) % c.chunk, 0u);
    EXPECT_LT(s.result.nonce - c.start, c.threads * c.chunk);
    EXPECT_GE(s.hash_count.load(), 1u);
  }
}

// One worker is deterministic: it claims chunk after chunk and stops exactly
// at the first nonce that meets the target. Header seed 14 puts the minimum
// of the first 10000 nonces past two full counter batches, so both the
// batched adds and the remainder at exit take part in the count; with chunks
// of 1000 the worker also crosses several chunk ends on its way.
TEST_P(CpuSearch, SingleWorkerCountIsExactAtTheSolution) {
  const Header header = make_header(14);
  Hash256 target;
  const uint32_t index = index_of_minimum(header, kMiningStart, 10000, target);
  ASSERT_GT(index, 2 * 4096u) << "header no longer exercises the batched count";

  for (const uint64_t chunk : {kCpuChunk, uint64_t{1000}}) {
    SCOPED_TRACE(testing::Message() << "chunks of " << chunk);
    SearchState s;
    run_search(header, target, 1, kMiningStart, s, GetParam(), {}, chunk);
    ASSERT_TRUE(s.result.found);
    EXPECT_EQ(s.result.nonce, kMiningStart + index);
    EXPECT_EQ(s.hash_count.load(), index + 1u);
    EXPECT_EQ(0, std::memcmp(s.result.hash, reference_hash(header, s.result.nonce).data(), 32));
  }
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

TEST_P(CpuSearch, SeveralWorkersEachStopAtTheFirstHitOfTheirChunk) {
  for (int seed = 2; seed < 6; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const Header header = make_header(seed);
    SearchState s;
    search_and_check(header, easy_target(8), 3, kMiningStart, 64, GetParam(), s);
  }
}

// Chunks that wrap past 0xFFFFFFFF: the nonce wraps, the header time stays.
TEST_P(CpuSearch, TwoWorkersStartingAtTheTopNonce) {
  const uint32_t start = 0xFFFFFFFF;
  for (int seed = 6; seed < 10; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const Header header = make_header(seed);
    Hash256 target;
    index_of_minimum(header, start, 64, target);
    SearchState s;
    search_and_check(header, target, 2, start, 16, GetParam(), s);
  }
}

// Past the last nonce of a second the search goes on in the next second: the
// header time moves on by one, the nonces start again from the first one,
// and the solution is reported with the time it was found with.
TEST_P(CpuSearch, HeaderTimeMovesOnPastTheLastNonceOfASecond) {
  const Header header = make_header(30);
  const uint32_t time = time_of(header);
  const Header next_second = with_time(header, time + 1);
  // The lowest hash of the next second's first 200 nonces, which none of the
  // last 50 of this second meets.
  Hash256 target;
  const uint32_t index = index_of_minimum(next_second, kMiningStart, 200, target);
  for (uint32_t k = 1; k <= 50; ++k)
    ASSERT_FALSE(value_le(reference_hash(header, kMiningStart - k), target))
        << "header seed 30 no longer puts the first solution in the next second";
  WorkSpace space;
  begin_work_space(space, first_position_of(time) + kNoncesPerSecond - 50, UINT64_MAX, kMiningStart);
  SearchState s;
  EXPECT_EQ(search_space(header, target, 1, space, s, GetParam(), {}, 7), CpuSearchEnd::solved);
  ASSERT_TRUE(s.result.found);
  EXPECT_EQ(s.result.header_time, time + 1);
  EXPECT_EQ(s.result.nonce, kMiningStart + index);
  EXPECT_EQ(s.hash_count.load(), 50u + index + 1u);
  EXPECT_EQ(0, std::memcmp(s.result.hash, reference_hash(next_second, s.result.nonce).data(), 32));
}

// The space's end stops every worker: the search ends by itself, having
// hashed exactly what lay below the end.
TEST_P(CpuSearch, EndOfTheSpaceEndsTheSearch) {
  const Header header = make_header(31);
  for (int threads : {1, 3}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    WorkSpace space;
    const uint64_t from = first_position_of(time_of(header)) + kNoncesPerSecond - 3000;
    begin_work_space(space, from, from + 10000, kMiningStart);
    SearchState s;
    EXPECT_EQ(search_space(header, Hash256{}, threads, space, s, GetParam(), {}, 1000),
              CpuSearchEnd::space_used_up);
    EXPECT_EQ(s.hash_count.load(), 10000u);
    EXPECT_FALSE(work_space_has_room(space));
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
