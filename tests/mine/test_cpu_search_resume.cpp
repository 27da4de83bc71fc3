// A header searched in several sittings: each worker's position comes back
// from the search and goes in again, so that the sittings together hash every
// nonce of each worker's sequence once, in order, as one long search would.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "search_reference.h"

namespace {

// Each test runs once per kernel this CPU supports.
class CpuSearchResume : public testing::TestWithParam<const SearchKernel*> {};

// Runs one sitting from `positions` with real threads, stopped once at least
// `hashes` have been counted (or after a minute, so a broken search fails
// instead of hanging).
void run_sitting(const Header& header, const Hash256& target, std::vector<uint64_t>& positions,
                 uint64_t hashes, SearchState& s, const SearchKernel* kernel) {
  std::thread stopper([&s, hashes] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (s.hash_count.load() < hashes && !s.found.load() &&
           std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.running = false;
  });
  search_from(header, target, positions, s, kernel);
  stopper.join();
}

// Each worker moved a whole number of its own steps, and the steps of all
// workers add up to the count the sitting reported: no nonce was skipped,
// and none counted twice.
TEST_P(CpuSearchResume, SittingsAdvanceEachWorkerByExactlyItsCount) {
  const Header header = make_header(11);
  const Hash256 never{};  // an all-zero target is practically never met
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    const uint32_t stride = static_cast<uint32_t>(threads);
    // Near the top, so that the sittings wrap past 0xFFFFFFFF.
    std::vector<uint64_t> positions;
    for (uint32_t i = 0; i < stride; ++i) positions.push_back(0xFFFFA000u + i);
    const std::vector<uint64_t> first = positions;
    uint64_t total = 0;

    for (int sitting = 0; sitting < 3; ++sitting) {
      const std::vector<uint64_t> before = positions;
      SearchState s;
      run_sitting(header, never, positions, 3 * 4096, s, GetParam());
      ASSERT_FALSE(s.found.load());
      uint64_t steps = 0;
      for (uint32_t i = 0; i < stride; ++i) {
        const uint64_t moved = positions[i] - before[i];
        ASSERT_EQ(moved % stride, 0u) << "worker " << i << " left its own sequence";
        steps += moved / stride;
      }
      EXPECT_EQ(steps, s.hash_count.load());
      EXPECT_GE(steps, 3 * 4096u);
      total += steps;
    }
    uint64_t overall = 0;
    for (uint32_t i = 0; i < stride; ++i) overall += (positions[i] - first[i]) / stride;
    EXPECT_EQ(overall, total);
  }
}

// One worker resumed after each solution finds the next hit of its sequence:
// the winner's position is the nonce after its solution, and the count of
// each sitting runs exactly from where it began to that hit.
TEST_P(CpuSearchResume, ResumingAfterASolutionFindsTheNextHit) {
  const Header header = make_header(5);
  Hash256 target = all_ones();
  target[31] = 0x00;
  target[30] = 0x3F;  // met by about one hash in 1024
  std::vector<uint64_t> positions{0xFFFFFF00u};

  for (int sitting = 0; sitting < 4; ++sitting) {
    SCOPED_TRACE(testing::Message() << "sitting " << sitting);
    const FirstHit expected = first_hit(header, target, static_cast<uint32_t>(positions[0]), 1);
    const uint64_t first = positions[0];
    SearchState s;
    EXPECT_EQ(search_from(header, target, positions, s, GetParam()), CpuSearchEnd::solved);
    ASSERT_TRUE(s.result.found);
    EXPECT_EQ(s.result.nonce, expected.nonce);
    EXPECT_EQ(s.hash_count.load(), expected.hashes);
    // Counted on past 2^32: the position tells how far the worker has gone.
    EXPECT_EQ(positions[0], first + expected.hashes);
    EXPECT_EQ(static_cast<uint32_t>(positions[0]), expected.nonce + 1);
  }
}

// A worker that could not be started has searched nothing, so it keeps its
// position; the one that ran moves on.
TEST_P(CpuSearchResume, AWorkerThatDidNotStartKeepsItsPosition) {
  const Header header = make_header(8);
  const Hash256 never{};
  int started = 0;
  const WorkerStarter first_only = [&started](std::function<void()> body) {
    if (started++ == 1)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  std::vector<uint64_t> positions{0x80000000u, 0x80000001u};
  SearchState s;
  std::thread stopper([&s] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (s.hash_count.load() < 4096 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.running = false;
  });
  testing::internal::CaptureStderr();
  search_from(header, never, positions, s, GetParam(), first_only);
  const std::string err = testing::internal::GetCapturedStderr();
  stopper.join();

  EXPECT_EQ(err, "tamrix-miner: could only start 1 of 2 CPU worker threads\n");
  EXPECT_EQ(positions[1], 0x80000001u);
  EXPECT_EQ(positions[0], 0x80000000u + 2 * s.hash_count.load());
}

// A kernel that is missing (none agrees with the reference) searches nothing
// and prints nothing here (the line is printed once, where the kernel is
// chosen); the caller learns it from the return value.
TEST(CpuSearchNoKernel, SearchesNothingSilentlyAndSaysSo) {
  const Header header = make_header(2);
  std::vector<uint64_t> positions{7u};
  SearchState s;
  testing::internal::CaptureStderr();
  EXPECT_EQ(search_from(header, all_ones(), positions, s, nullptr),
            CpuSearchEnd::could_not_search);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(s.hash_count.load(), 0u);
  EXPECT_FALSE(s.found.load());
  EXPECT_EQ(positions[0], 7u);
}

INSTANTIATE_TEST_SUITE_P(Kernels, CpuSearchResume, testing::ValuesIn(supported_kernels()),
                         kernel_test_name);

}  // namespace
