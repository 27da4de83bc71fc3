// The node link's rules on a fake clock: the request budget, the watch's
// pauses, when to leave a node and come back, and what becomes of every
// block handed over (sends, resends, verdicts, the refusal gate, a stop).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hash/byte_order.h"
#include "node/node_health.h"
#include "node/request_pacer.h"
#include "node/submission_book.h"
#include "node/watch_pace.h"

namespace {

using namespace std::chrono_literals;
using Time = NodeClock::time_point;

const Time t0 = Time{} + 1000h;

// ---- the request budget

// The most paced sends in any window of kPacerWindow.
int busiest_window(const std::vector<Time>& sends) {
  int most = 0;
  for (size_t i = 0; i < sends.size(); ++i) {
    const auto in_window = std::count_if(sends.begin() + i, sends.end(),
                                         [&](Time t) { return t < sends[i] + kPacerWindow; });
    most = std::max(most, static_cast<int>(in_window));
  }
  return most;
}

TEST(RequestPacer, ThreeInAnySecondInTheOrderAsked) {
  RequestPacer pacer;
  const uint64_t first = take_pacer_ticket(pacer);
  const uint64_t second = take_pacer_ticket(pacer);
  EXPECT_EQ(paced_send_time(pacer, second, t0), Time::max());  // behind the first
  EXPECT_EQ(paced_send_time(pacer, first, t0), t0);
  count_paced_send(pacer, first, t0);
  EXPECT_EQ(paced_send_time(pacer, second, t0 + 100ms), t0 + 100ms);
  count_paced_send(pacer, second, t0 + 100ms);
  const uint64_t third = take_pacer_ticket(pacer);
  count_paced_send(pacer, third, t0 + 200ms);
  const uint64_t fourth = take_pacer_ticket(pacer);
  EXPECT_EQ(paced_send_time(pacer, fourth, t0 + 300ms), t0 + 1s);  // the first leaves the window
  // A ticket given up lets the next one through.
  const uint64_t fifth = take_pacer_ticket(pacer);
  drop_pacer_ticket(pacer, fourth);
  EXPECT_EQ(paced_send_time(pacer, fifth, t0 + 1s), t0 + 1s);
  count_paced_send(pacer, fifth, t0 + 1s);
  EXPECT_EQ(paced_send_time(pacer, take_pacer_ticket(pacer), t0 + 1s), t0 + 1100ms);
}

// Two connections that each want a request every 250 ms (the watch in a
// storm of tips, and the fetches on that news) for a minute: they share
// three a second, and each gets its turn.
TEST(RequestPacer, ConnectionsThatWantMoreShareTheBudget) {
  RequestPacer pacer;
  struct Wanting { Time next; uint64_t ticket; bool waiting; int sent; };
  Wanting wanting[2] = {{t0, 0, false, 0}, {t0 + 10ms, 0, false, 0}};
  std::vector<Time> sends;
  for (Time now = t0; now < t0 + 60s; now += 1ms) {
    for (Wanting& w : wanting) {
      if (!w.waiting && now >= w.next) {
        w.ticket = take_pacer_ticket(pacer);
        w.waiting = true;
      }
    }
    for (Wanting& w : wanting) {
      if (w.waiting && paced_send_time(pacer, w.ticket, now) <= now) {
        count_paced_send(pacer, w.ticket, now);
        sends.push_back(now);
        w.waiting = false;
        w.next = now + kShortestWatchPause;
        ++w.sent;
      }
    }
  }
  EXPECT_EQ(busiest_window(sends), kPacedRequests);
  EXPECT_GE(sends.size(), 170u);  // the budget is used, not wasted
  EXPECT_LE(sends.size(), 181u);
  EXPECT_LE(std::abs(wanting[0].sent - wanting[1].sent), 1);
}

TEST(WatchPace, PausesByAnswer) {
  const struct { WatchAnswer answer; int failures; NodeClock::duration pause; } cases[] = {
      {WatchAnswer::new_tip, 0, 250ms}, {WatchAnswer::same_tip, 0, 1s},  {WatchAnswer::failed, 1, 5s},
      {WatchAnswer::failed, 2, 10s},    {WatchAnswer::failed, 4, 40s},   {WatchAnswer::failed, 5, 60s},
      {WatchAnswer::failed, 50, 60s},
  };
  for (const auto& c : cases) EXPECT_EQ(watch_pause(c.answer, c.failures), c.pause) << c.failures;
}

// ---- leaving a node and coming back

TEST(NodeHealth, LeavesAfterFailingLongEnoughAndReturnsAfterAnsweringWellLongEnough) {
  const NodeLinkTiming timing;  // the miner's: 15 s and 60 s
  struct Step { int at_s; bool good; bool failed_enough; bool good_enough; };
  const Step steps[] = {
      {0, true, false, false},    {30, true, false, false},  {60, true, false, true},  // good for 60 s
      {61, false, false, false},  {66, false, false, false}, {75, false, false, false},
      {76, false, true, false},   // failing for 15 s
      {80, true, false, false},   {100, false, false, false},  // one failure ends the good streak
      {101, true, false, false},  {160, true, false, false}, {161, true, false, true},
  };
  NodeHealth health;
  EXPECT_FALSE(failed_long_enough(health, t0, timing) || good_long_enough(health, t0, timing));
  for (const Step& step : steps) {
    const Time now = t0 + std::chrono::seconds(step.at_s);
    note_node_answer(health, step.good, now);
    EXPECT_EQ(failed_long_enough(health, now, timing), step.failed_enough) << step.at_s;
    EXPECT_EQ(good_long_enough(health, now, timing), step.good_enough) << step.at_s;
  }
  const int order[] = {node_after(1, 1, 3), node_after(1, 2, 3), node_after(0, 1, 1)};
  EXPECT_EQ(std::vector<int>(order, order + 3), (std::vector<int>{2, 0, 0}));
}

// ---- blocks handed over

// A block at `height` on a parent, with its own hash; fingerprints as a
// template's previousblockhash reads.
SolvedBlock block_at(uint64_t id, int32_t height, uint64_t parent, uint64_t own) {
  SolvedBlock block;
  block.id = id;
  block.work.height = height;
  block.work.valid = true;
  store_le64(block.work.header + 4, parent);
  store_le64(block.hash, own);
  return block;
}

const SubmitOutcome kAccepted{SubmitVerdict::accepted, ""};
const SubmitOutcome kNoAnswer{SubmitVerdict::unanswered, "Couldn't connect to server"};
const SubmitOutcome kDuplicate{SubmitVerdict::refused, "duplicate"};
const SubmitOutcome kHighHash{SubmitVerdict::refused, "high-hash"};

std::string all_lines(const BookNews& news) {
  std::string text;
  for (const std::string& line : news.lines) text += line;
  return text;
}

// One send of `id` to `node` and its answer.
BookNews round_trip(SubmissionBook& book, int node, Time now, const SubmitOutcome& outcome) {
  const std::optional<SolvedBlock> sent = book_next_send(book, node, now);
  EXPECT_TRUE(sent.has_value());
  return sent ? book_answer(book, sent->id, node, outcome, now) : BookNews{};
}

void expect_answer(const BookNews& news, uint64_t id, BlockVerdict verdict, const std::string& reason = "") {
  ASSERT_EQ(news.answers.size(), 1u) << all_lines(news);
  EXPECT_EQ(news.answers[0].id, id);
  EXPECT_EQ(news.answers[0].verdict, verdict) << news.answers[0].reason;
  if (!reason.empty()) {
    EXPECT_EQ(news.answers[0].reason, reason);
  }
}

TEST(SubmissionBook, AnUnansweredBlockIsSentAgainWithBackOffUntilDuplicateSaysItWentIn) {
  SubmissionBook book;
  book_block(book, block_at(7, 41, 0xa, 0xb), t0);
  std::vector<std::string> lines;
  Time now = t0;
  const NodeClock::duration pauses[] = {1s, 2s, 4s, 8s};
  for (const NodeClock::duration pause : pauses) {
    const BookNews news = round_trip(book, 0, now, kNoAnswer);
    EXPECT_TRUE(news.answers.empty());
    lines.push_back(all_lines(news));
    EXPECT_EQ(book_next_round(book), now + pause);
    EXPECT_FALSE(book_next_send(book, 0, now + pause - 1ms));  // not before its time
    now += pause;
  }
  EXPECT_EQ(lines[0], "Block 41 got no answer (Couldn't connect to server); sending it again in 1 s\n");
  EXPECT_EQ(lines[3], "Block 41 got no answer (Couldn't connect to server); sending it again in 8 s\n");
  const BookNews news = round_trip(book, 0, now, kDuplicate);
  expect_answer(news, 7, BlockVerdict::accepted);
  EXPECT_TRUE(news.block_went_in);
  EXPECT_EQ(all_lines(news), "Block 41 was there already (duplicate): it went in\n");
  EXPECT_TRUE(book_empty(book));
  EXPECT_TRUE(book_answer(book, 7, 0, kDuplicate, now).answers.empty());  // once
}

TEST(SubmissionBook, TheTipTellsWhetherAnUnansweredBlockWentInOrIsLost) {
  const struct { const char* what; ChainTip tip; BlockVerdict verdict; std::string line; } cases[] = {
      {"the tip is the block", {0xb, 42}, BlockVerdict::accepted, "Block 41 is the node's tip: it went in\n"},
      {"another block at its height", {0xc, 42}, BlockVerdict::lost,
       "Block 41 is lost: the chain moved on before a node answered\n"},
      {"a rival parent at its height", {0xd, 41}, BlockVerdict::lost,
       "Block 41 is lost: the chain moved on before a node answered\n"},
      {"still its parent", {0xa, 41}, BlockVerdict::pending, ""},
      {"an older template", {0x9, 40}, BlockVerdict::pending, ""},
  };
  for (const auto& c : cases) {
    SubmissionBook book;
    book_block(book, block_at(7, 41, 0xa, 0xb), t0);
    round_trip(book, 0, t0, kNoAnswer);
    const BookNews news = book_tip(book, c.tip);
    EXPECT_EQ(all_lines(news), c.line) << c.what;
    if (c.verdict == BlockVerdict::pending) {
      EXPECT_TRUE(news.answers.empty()) << c.what;
      EXPECT_FALSE(book_empty(book)) << c.what;
    } else {
      expect_answer(news, 7, c.verdict);
      EXPECT_FALSE(news.block_went_in) << c.what;  // the fetch that told it brought the next work
    }
  }
  // A send that is out decides when it comes back, by the tip heard meanwhile.
  SubmissionBook book;
  book_block(book, block_at(8, 41, 0xa, 0xb), t0);
  const std::optional<SolvedBlock> out = book_next_send(book, 0, t0);
  EXPECT_TRUE(book_tip(book, {0xc, 42}).answers.empty());
  expect_answer(book_answer(book, out->id, 0, kNoAnswer, t0 + 30s), 8, BlockVerdict::lost);
}

TEST(SubmissionBook, NoAnswerForTenMinutesIsLost) {
  SubmissionBook book;
  book_block(book, block_at(3, 10, 0xa, 0xb), t0);
  Time now = t0;
  int rounds = 0;
  BookNews news;
  while (news.answers.empty() && rounds < 100) {
    news = round_trip(book, 0, now, kNoAnswer);
    ++rounds;
    now = book_next_round(book);
  }
  expect_answer(news, 3, BlockVerdict::lost, "no answer for 10 minutes");
  EXPECT_EQ(rounds, 16);  // 1+2+...+32 s, then a minute at a time
  EXPECT_EQ(resend_pause(7), 60s);
}

TEST(SubmissionBook, OneRefusalHoldsTheNextBlockUntilAFetchBegunAfterIt) {
  SubmissionBook book;
  const uint64_t fetch_before = book_fetch_began(book);
  book_block(book, block_at(1, 20, 0xa, 0xb), t0);
  const BookNews refused = round_trip(book, 0, t0, kHighHash);
  expect_answer(refused, 1, BlockVerdict::refused, "high-hash");
  EXPECT_EQ(all_lines(refused), "Block rejected: high-hash\n");

  EXPECT_TRUE(book_block(book, block_at(2, 20, 0xa, 0xc), t0).lines.empty());  // waits, quietly
  expect_answer(book_block(book, block_at(3, 20, 0xa, 0xd), t0), 3, BlockVerdict::lost);
  EXPECT_FALSE(book_next_send(book, 0, t0));
  book_fetch_done(book, fetch_before, {0xa, 20}, t0 + 100ms);  // begun before the refusal
  EXPECT_FALSE(book_next_send(book, 0, t0 + 100ms));
  const uint64_t fetch_after = book_fetch_began(book);
  book_fetch_done(book, fetch_after, {0xa, 20}, t0 + 1s);
  const std::optional<SolvedBlock> sent = book_next_send(book, 0, t0 + 1s);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->id, 2u);
  expect_answer(book_answer(book, 2, 0, kAccepted, t0 + 1s), 2, BlockVerdict::accepted);

  // A waiting block whose parent the chain has left is lost, not sent.
  book_block(book, block_at(4, 21, 0xb, 0xe), t0 + 2s);
  round_trip(book, 0, t0 + 2s, kHighHash);
  book_block(book, block_at(5, 21, 0xb, 0xf), t0 + 2s);
  const BookNews moved = book_fetch_done(book, book_fetch_began(book), {0x1, 22}, t0 + 3s);
  expect_answer(moved, 5, BlockVerdict::lost, "the chain moved on while it waited for fresh work");
  EXPECT_TRUE(book_empty(book));
}

TEST(SubmissionBook, ThreeRefusalsForOneReasonAreToldOnce) {
  SubmissionBook book;
  std::string text;
  for (uint64_t id = 1; id <= 4; ++id) {
    book_fetch_done(book, book_fetch_began(book), {0xa, 5}, t0);
    book_block(book, block_at(id, 5, 0xa, 0x100 + id), t0);
    text += all_lines(round_trip(book, 0, t0, kHighHash));
  }
  EXPECT_EQ(text, "Block rejected: high-hash\nBlock rejected: high-hash\nBlock rejected: high-hash\n"
                  "Node refuses every block: the last 3 were all rejected as \"high-hash\"; " +
                      refusal_advice("high-hash") + "\nBlock rejected: high-hash\n");
}

// Every node gets the block at once; the first acceptance counts, a
// refusal waits for the rest of its round, "duplicate" from one while
// another has it out means it went in.
TEST(SubmissionBook, SeveralNodes) {
  struct Answer { int node; SubmitOutcome outcome; };
  const struct { const char* what; std::vector<Answer> answers; BlockVerdict verdict; } cases[] = {
      {"refusal, then acceptance", {{1, kHighHash}, {0, kAccepted}}, BlockVerdict::accepted},
      {"duplicate while out elsewhere", {{1, kDuplicate}, {0, kNoAnswer}}, BlockVerdict::accepted},
      {"refusal and no answer", {{0, kNoAnswer}, {1, kHighHash}}, BlockVerdict::refused},
      {"acceptance, then anything", {{0, kAccepted}, {1, kHighHash}}, BlockVerdict::accepted},
      {"no answer from either", {{0, kNoAnswer}, {1, kNoAnswer}}, BlockVerdict::pending},
  };
  for (const auto& c : cases) {
    SubmissionBook book;
    book.nodes = 2;
    book_block(book, block_at(9, 30, 0xa, 0xb), t0);
    ASSERT_TRUE(book_next_send(book, 0, t0));
    ASSERT_TRUE(book_next_send(book, 1, t0));
    std::vector<BlockAnswered> answers;
    for (const Answer& a : c.answers) {
      const BookNews news = book_answer(book, 9, a.node, a.outcome, t0 + 1ms);
      answers.insert(answers.end(), news.answers.begin(), news.answers.end());
    }
    if (c.verdict == BlockVerdict::pending) {
      EXPECT_TRUE(answers.empty()) << c.what;
      EXPECT_TRUE(book_next_send(book, 1, t0 + 2s) && book_next_send(book, 0, t0 + 2s)) << c.what;
    } else {
      ASSERT_EQ(answers.size(), 1u) << c.what;
      EXPECT_EQ(answers[0].verdict, c.verdict) << c.what;
    }
  }
  // "duplicate" to what was the link's first send: libcurl sent it again by
  // itself on a fresh connection after a reused one died. It went in.
  SubmissionBook book;
  book_block(book, block_at(9, 30, 0xa, 0xb), t0);
  expect_answer(round_trip(book, 0, t0, kDuplicate), 9, BlockVerdict::accepted);
  // Only the exact words: "duplicate-invalid" is a refusal.
  book_block(book, block_at(10, 31, 0xb, 0xc), t0);
  expect_answer(round_trip(book, 0, t0, {SubmitVerdict::refused, "duplicate-invalid"}), 10, BlockVerdict::refused);
}

TEST(SubmissionBook, AtAStopEachUnansweredBlockIsSentOnceMore) {
  SubmissionBook book;
  book_block(book, block_at(1, 50, 0xa, 0xb), t0);
  round_trip(book, 0, t0, kNoAnswer);               // 1 waits a second for its next round
  book_block(book, block_at(2, 50, 0xa, 0xc), t0);
  const std::optional<SolvedBlock> out = book_next_send(book, 0, t0);
  ASSERT_EQ(out->id, 2u);                           // 2 is out when the stop comes
  EXPECT_EQ(all_lines(book_finish(book, t0 + 100ms)),
            "Block 50 has no answer yet; sending it once more before exit\n");
  // 1 goes at once, whatever its pause, and that is its last try.
  expect_answer(round_trip(book, 0, t0 + 100ms, kNoAnswer), 1, BlockVerdict::lost, "still unanswered at exit");
  // 2 came back without an answer after the stop: one more try.
  EXPECT_EQ(all_lines(book_answer(book, 2, 0, kNoAnswer, t0 + 200ms)),
            "Block 50 got no answer (Couldn't connect to server); sending it once more before exit\n");
  expect_answer(round_trip(book, 0, t0 + 200ms, kAccepted), 2, BlockVerdict::accepted);
  EXPECT_TRUE(book_empty(book));
}

TEST(SubmissionBook, ASecondSignalGivesUpWhatIsNotAnswered) {
  SubmissionBook book;
  book.nodes = 2;
  book_block(book, block_at(1, 60, 0xa, 0xb), t0);
  ASSERT_TRUE(book_next_send(book, 0, t0));  // out on node 0; due on node 1
  book_finish(book, t0);
  EXPECT_TRUE(book_abandon(book).answers.empty());  // decided when node 0's send returns
  EXPECT_FALSE(book_next_send(book, 1, t0));        // nothing more goes out
  expect_answer(book_answer(book, 1, 0, {SubmitVerdict::unanswered, "given up"}, t0), 1, BlockVerdict::lost,
                "given up at the second stop signal, unanswered");
  EXPECT_TRUE(book_empty(book));
}

}  // namespace
