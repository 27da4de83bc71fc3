// A header searched in several sittings from one WorkSpace: each sitting
// goes on from where the space's counter stands, so that the sittings
// together never hash a (header time, nonce) pair twice, across workers,
// sittings and the end of a second.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "search_reference.h"

namespace {

// Each test runs once per kernel this CPU supports.
class CpuSearchResume : public testing::TestWithParam<const SearchKernel*> {};

// Runs one sitting with real threads, stopped once at least `hashes` have
// been counted (or after a minute, so a broken search fails instead of
// hanging).
void run_sitting(const Header& header, const Hash256& target, int threads, WorkSpace& space,
                 uint64_t hashes, SearchState& s, const SearchKernel* kernel, uint64_t chunk) {
  std::thread stopper([&s, hashes] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (s.hash_count.load() < hashes && !s.found.load() &&
           std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.running = false;
  });
  search_space(header, target, threads, space, s, kernel, {}, chunk);
  stopper.join();
}

// A kernel of width 1 that notes every (midstate, nonce) it is asked for and
// answers a digest of all ones, which meets no target but all ones. The
// midstate stands for the header time: it differs from one second to the
// next.
std::mutex recorded_mutex;
std::vector<std::pair<uint64_t, uint32_t>> recorded;

void recording_hash(const HeaderMidstate& midstate, uint32_t first_nonce, uint32_t /*stride*/,
                    uint64_t (*digest_lanes)[4]) {
  uint64_t which = 0;
  for (const uint64_t lane : midstate.round1_base) which = which * 1000003 + lane;
  {
    std::lock_guard lock(recorded_mutex);
    recorded.emplace_back(which, first_nonce);
  }
  for (int i = 0; i < 4; ++i) digest_lanes[0][i] = ~uint64_t{0};
}

const SearchKernel kRecordingKernel{"recording", 1, recording_hash};

// Three sittings of two and three workers from one space, across the end of
// a second: every pair is hashed once, and each sitting counted exactly what
// its workers hashed.
TEST(CpuSearchSittings, NoPairIsHashedTwice) {
  const Header header = make_header(11);
  recorded.clear();
  WorkSpace space;
  const uint64_t from = first_position_of(time_of(header)) + kNoncesPerSecond - 9000;
  begin_work_space(space, from, UINT64_MAX, 0xFFFFA000u);
  uint64_t counted = 0;
  for (const int threads : {2, 3, 2}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    SearchState s;
    run_sitting(header, Hash256{}, threads, space, 4096, s, &kRecordingKernel, 500);
    ASSERT_FALSE(s.found.load());
    EXPECT_GE(s.hash_count.load(), 4096u);
    counted += s.hash_count.load();
  }
  std::lock_guard lock(recorded_mutex);
  EXPECT_EQ(recorded.size(), counted);
  std::sort(recorded.begin(), recorded.end());
  EXPECT_EQ(std::adjacent_find(recorded.begin(), recorded.end()), recorded.end());
  // The sittings went past the end of the first second into the next.
  EXPECT_GT(space.next.load(), from + 9000);
  EXPECT_NE(recorded.front().first, recorded.back().first);
}

// One worker searching again after each solution finds the first hit from
// where the space stands: the rest of the chunk it won in is left behind.
TEST_P(CpuSearchResume, ResumingAfterASolutionFindsTheNextHitFromTheSpace) {
  const Header header = make_header(5);
  Hash256 target = all_ones();
  target[31] = 0x00;
  target[30] = 0x3F;  // met by about one hash in 1024
  constexpr uint64_t kChunk = 256;
  WorkSpace space;
  const uint64_t from = first_position_of(time_of(header));
  begin_work_space(space, from, UINT64_MAX, 0xFFFFFF00u);

  for (int sitting = 0; sitting < 4; ++sitting) {
    SCOPED_TRACE(testing::Message() << "sitting " << sitting);
    const uint64_t before = space.next.load();
    const FirstHit expected = first_hit(header, target, nonce_at(space, before), 1);
    SearchState s;
    EXPECT_EQ(search_space(header, target, 1, space, s, GetParam(), {}, kChunk),
              CpuSearchEnd::solved);
    ASSERT_TRUE(s.result.found);
    EXPECT_EQ(s.result.nonce, expected.nonce);
    EXPECT_EQ(s.hash_count.load(), expected.hashes);
    // The worker claimed whole chunks up to the one it won in.
    EXPECT_EQ(space.next.load(), before + (expected.hashes + kChunk - 1) / kChunk * kChunk);
  }
}

// A worker that could not be started claims nothing; the one that ran
// leaves at most the rest of one chunk unhashed when it is stopped.
TEST_P(CpuSearchResume, AWorkerThatDidNotStartClaimsNothing) {
  const Header header = make_header(8);
  int started = 0;
  const WorkerStarter first_only = [&started](std::function<void()> body) {
    if (started++ == 1)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  WorkSpace space;
  begin_work_space(space, 0, UINT64_MAX);
  SearchState s;
  std::thread stopper([&s] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (s.hash_count.load() < 4096 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.running = false;
  });
  testing::internal::CaptureStderr();
  search_space(header, Hash256{}, 2, space, s, GetParam(), first_only, 1000);
  const std::string err = testing::internal::GetCapturedStderr();
  stopper.join();

  EXPECT_EQ(err, "tamrix-miner: could only start 1 of 2 CPU worker threads\n");
  EXPECT_GE(space.next.load(), s.hash_count.load());
  EXPECT_LT(space.next.load() - s.hash_count.load(), 1000u);
}

// A kernel that is missing (none agrees with the reference) searches nothing
// and prints nothing here (the line is printed once, where the kernel is
// chosen); the caller learns it from the return value.
TEST(CpuSearchNoKernel, SearchesNothingSilentlyAndSaysSo) {
  const Header header = make_header(2);
  WorkSpace space;
  begin_work_space(space, 7, UINT64_MAX);
  SearchState s;
  testing::internal::CaptureStderr();
  EXPECT_EQ(search_space(header, all_ones(), 1, space, s, nullptr), CpuSearchEnd::could_not_search);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(s.hash_count.load(), 0u);
  EXPECT_FALSE(s.found.load());
  EXPECT_EQ(space.next.load(), 7u);
}

INSTANTIATE_TEST_SUITE_P(Kernels, CpuSearchResume, testing::ValuesIn(supported_kernels()),
                         kernel_test_name);

}  // namespace
