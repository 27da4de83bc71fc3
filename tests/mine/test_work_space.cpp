// One header key's (time, nonce) positions shared by every device: the
// claims as values, then the real CPU search claiming its chunks while a
// second thread takes GPU-sized batches from the same counter. Together they
// must cover every position exactly once, and never past the end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "mine/key_history.h"
#include "mine/work_space.h"
#include "search_reference.h"

namespace {

using Claims = std::vector<std::pair<uint64_t, uint64_t>>;  // position, size

Claims claim_all(WorkSpace& space, uint64_t size) {
  Claims claims;
  for (;;) {
    const WorkChunk chunk = claim_work(space, size);
    if (chunk.size == 0) return claims;
    claims.emplace_back(chunk.position, chunk.size);
  }
}

// Claims run up to the end of a second and go on in the next, each within
// one second; the last is cut at the space's end.
TEST(WorkSpace, ClaimsStopAtTheEndOfASecondAndAtTheEnd) {
  WorkSpace space;
  const uint64_t second = first_position_of(1700000000);
  begin_work_space(space, second + kNoncesPerSecond - 250, second + kNoncesPerSecond + 150);
  EXPECT_EQ(claim_all(space, 100),
            (Claims{{second + kNoncesPerSecond - 250, 100},
                    {second + kNoncesPerSecond - 150, 100},
                    {second + kNoncesPerSecond - 50, 50},
                    {second + kNoncesPerSecond, 100},
                    {second + kNoncesPerSecond + 100, 50}}));
  EXPECT_FALSE(work_space_has_room(space));

  // Even a claim of a whole second's worth stays within one second.
  begin_work_space(space, second + 10, UINT64_MAX);
  const WorkChunk whole = claim_work(space, kNoncesPerSecond);
  EXPECT_EQ(whole.size, kNoncesPerSecond - 10);
  EXPECT_EQ(time_at(whole.position), 1700000000u);
  EXPECT_EQ(time_at(claim_work(space, 1).position), 1700000001u);
}

// The nonce of a position is the first nonce plus its offset, wrapping past
// 0xFFFFFFFF within the second.
TEST(WorkSpace, NoncesStartAtTheFirstNonceAndWrap) {
  WorkSpace space;
  begin_work_space(space, 0, UINT64_MAX);
  EXPECT_EQ(nonce_at(space, first_position_of(7)), kFirstNonce);
  EXPECT_EQ(nonce_at(space, first_position_of(7) + 0x7FFFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(nonce_at(space, first_position_of(7) + 0x80000000), 0u);
  EXPECT_EQ(nonce_at(space, first_position_of(7) + kNoncesPerSecond - 1), kFirstNonce - 1);
}

// The counter moves only forward: a newer node time skips ahead, an older
// one (a later template whose curtime has not caught up) changes nothing.
TEST(WorkSpace, MovingPastOnlyEverMovesForward) {
  WorkSpace space;
  begin_work_space(space, first_position_of(100) + 5, UINT64_MAX);
  move_work_past(space, first_position_of(100));
  EXPECT_EQ(space.next.load(), first_position_of(100) + 5);
  move_work_past(space, first_position_of(102));
  EXPECT_EQ(space.next.load(), first_position_of(102));
  EXPECT_EQ(claim_work(space, 3).position, first_position_of(102));
  move_work_past(space, first_position_of(101));
  EXPECT_EQ(space.next.load(), first_position_of(102) + 3);
}

// The last header key's positions are kept for the next work of that key;
// the oldest of more than kKept keys is forgotten, and a key noted again
// never goes back.
TEST(KeyHistory, RemembersWhereRecentKeysStood) {
  auto key = [](int seed) {
    const Header header = make_header(seed);
    const uint32_t target[8] = {1, 2, 3, 4, 5, 6, 7, static_cast<uint32_t>(seed)};
    return make_header_key(header.data(), target);
  };
  KeyHistory history;
  EXPECT_EQ(recall_key(history, key(1)), 0u);
  for (int seed = 0; seed <= static_cast<int>(KeyHistory::kKept); ++seed)
    remember_key(history, key(seed), 1000u + static_cast<uint64_t>(seed));
  EXPECT_EQ(recall_key(history, key(0)), 0u);  // overwritten by the seventeenth
  EXPECT_EQ(recall_key(history, key(1)), 1001u);
  EXPECT_EQ(recall_key(history, key(16)), 1016u);
  remember_key(history, key(1), 5);
  EXPECT_EQ(recall_key(history, key(1)), 1001u);
  remember_key(history, key(1), 5000);
  EXPECT_EQ(recall_key(history, key(1)), 5000u);
  // The header time plays no part in the key.
  Header later = with_time(make_header(1), time_of(make_header(1)) + 9);
  const uint32_t target[8] = {1, 2, 3, 4, 5, 6, 7, 1};
  EXPECT_EQ(recall_key(history, make_header_key(later.data(), target)), 5000u);
}

// The real search and a GPU-like taker at once, across the end of a second:
// the search ends because the space is used up, and what it counted plus
// what the taker took is exactly the space, the taker's batches never
// overlapping each other.
class WorkSpaceRace : public testing::TestWithParam<const SearchKernel*> {};

TEST_P(WorkSpaceRace, CpuAndGpuTogetherCoverTheSpaceExactlyOnce) {
  const Header header = make_header(21);
  const Hash256 never{};
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    WorkSpace space;
    const uint64_t from = first_position_of(time_of(header)) + kNoncesPerSecond - 100000;
    const uint64_t to = from + 250000;
    begin_work_space(space, from, to);

    Claims gpu;
    std::thread taker([&space, &gpu] {
      for (;;) {
        const WorkChunk chunk = claim_work(space, 3000);
        if (chunk.size == 0) return;
        gpu.emplace_back(chunk.position, chunk.size);
        std::this_thread::yield();
      }
    });
    SearchState s;
    const CpuSearchEnd end = search_space(header, never, threads, space, s, GetParam(), {}, 1000);
    taker.join();

    EXPECT_EQ(end, CpuSearchEnd::space_used_up);
    uint64_t taken = 0;
    std::sort(gpu.begin(), gpu.end());
    for (size_t k = 0; k < gpu.size(); ++k) {
      taken += gpu[k].second;
      if (k > 0) {
        EXPECT_LE(gpu[k - 1].first + gpu[k - 1].second, gpu[k].first);
      }
      EXPECT_GE(gpu[k].first, from);
      EXPECT_LE(gpu[k].first + gpu[k].second, to);
    }
    EXPECT_EQ(s.hash_count.load() + taken, to - from);
    // Searching again hashes nothing more.
    SearchState again;
    EXPECT_EQ(search_space(header, never, threads, space, again, GetParam(), {}, 1000),
              CpuSearchEnd::space_used_up);
    EXPECT_EQ(again.hash_count.load(), 0u);
  }
}

// Near the end of a second, with a target every hash meets: the nonce found
// is the wrapped one, 1000 below the first nonce, in the space's first time.
TEST_P(WorkSpaceRace, TheLastNoncesOfASecondWrapBelowTheFirstNonce) {
  const Header header = make_header(22);
  WorkSpace space;
  begin_work_space(space, first_position_of(time_of(header)) + kNoncesPerSecond - 1000, UINT64_MAX);
  SearchState hit;
  EXPECT_EQ(search_space(header, all_ones(), 1, space, hit, GetParam()), CpuSearchEnd::solved);
  EXPECT_EQ(hit.result.nonce, kFirstNonce - 1000);
  EXPECT_EQ(hit.result.header_time, time_of(header));
}

INSTANTIATE_TEST_SUITE_P(Kernels, WorkSpaceRace, testing::ValuesIn(supported_kernels()),
                         kernel_test_name);

}  // namespace
