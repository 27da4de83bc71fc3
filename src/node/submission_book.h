#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "node/node_clock.h"
#include "node/node_link.h"
#include "node/refusal_streak.h"
#include "node/submission.h"

// What becomes of every block handed to the link, from hand-over to its one
// verdict: the rules, as plain functions over a value, on whatever clock
// the caller reads. The link's submit threads (one per node) take sends
// from the book and bring back what each node answered; the fetch thread
// and the longpoll watch tell it what the chain's tip is.
//
// - A block goes to every node at once, in rounds. The first acceptance
//   counts at once; a refusal counts once no other send of its round is out.
// - A round that brings no verdict (no reply, a timeout, a cut or empty
//   reply, a node starting up) is sent again after 1, 2, 4 ... 60 s, while
//   the block's previous block is still the tip, for at most kResendFor.
//   "duplicate" means it went in: the node has this very block, from an
//   earlier send of ours (libcurl too sends a request again by itself when
//   a reused connection dies before any reply). So does a tip that is the
//   block itself. A tip that moved on to another block at its height or
//   beyond means it is lost.
// - After a refusal the next block goes out only after a fetch begun after
//   the refusal has brought work, and only while its previous block is still
//   the tip; one block waits so, a second is dropped: the node refuses
//   blocks, and another of the same height would be worth nothing more.
// - At a stop, every block without a verdict gets one more round; a second
//   signal gives up whatever is still out.

constexpr NodeClock::duration kFirstResendPause = std::chrono::seconds(1);
constexpr NodeClock::duration kLongestResendPause = std::chrono::seconds(60);
constexpr NodeClock::duration kResendFor = std::chrono::minutes(10);

// The pause after the `rounds`-th round went unanswered.
NodeClock::duration resend_pause(int rounds);

// A tip as a template names it: its previousblockhash (as tip_fingerprint_of
// reads header bytes 4..11) and its height, the height of the block to be
// built on it.
struct ChainTip {
  uint64_t fingerprint = 0;
  int32_t height = 0;
};

enum class TipReading {
  unknown,        // the template is older than the block: it says nothing
  on_its_parent,  // the block's previous block is the tip: it may still go in
  went_in,        // the block is the tip
  moved_on,       // another block holds its height or more
};

TipReading read_tip(const SolvedBlock& block, ChainTip tip);

enum class SendState : uint8_t { idle, due, in_flight };

struct BookEntry {
  SolvedBlock block;
  std::vector<SendState> sends;  // one per node
  int rounds = 0;
  NodeClock::time_point first_sent{};
  NodeClock::time_point next_round{};   // when the next round begins
  int unanswered = 0;                   // sends that brought no verdict
  std::string why_unanswered;           // what the last of them brought instead
  std::optional<SubmitOutcome> refusal;  // waits for the rest of its round
  bool final_round = false;             // the round at a stop, after which no verdict means lost
};

struct SubmissionBook {
  int nodes = 1;
  std::vector<BookEntry> entries;      // handed over and sent (or about to be), no verdict yet
  std::optional<SolvedBlock> waiting;  // held back after a refusal
  bool gate_held = false;
  uint64_t fetches_begun = 0;
  uint64_t gate_opens_at_fetch = 0;    // the first fetch, by number, that lets `waiting` go
  std::optional<ChainTip> tip;         // the latest heard of
  RefusalStreak streak;
  bool finishing = false;              // a stop came
  bool abandoned = false;              // a second signal came
};

// What one step decided, for the link to print and post in this order.
struct BookNews {
  std::vector<std::string> lines;  // for stderr, each with its newline
  std::vector<BlockAnswered> answers;
  bool block_went_in = false;      // a node said it took one of ours: fetch at once
};

BookNews book_block(SubmissionBook& book, SolvedBlock block, NodeClock::time_point now);

// The block `node` should send now, if any; its send is then in flight.
std::optional<SolvedBlock> book_next_send(SubmissionBook& book, int node, NodeClock::time_point now);

BookNews book_answer(SubmissionBook& book, uint64_t id, int node, const SubmitOutcome& outcome,
                     NodeClock::time_point now);

// The tip of a template, from a fetch or the longpoll watch.
BookNews book_tip(SubmissionBook& book, ChainTip tip);

// A fetch begins: its number. When it brings work, book_fetch_done.
uint64_t book_fetch_began(SubmissionBook& book);
BookNews book_fetch_done(SubmissionBook& book, uint64_t fetch, ChainTip tip, NodeClock::time_point now);

// A stop: one more round for every block without a verdict.
BookNews book_finish(SubmissionBook& book, NodeClock::time_point now);

// A second signal: what is not out is lost now, what is out when it returns.
BookNews book_abandon(SubmissionBook& book);

bool book_empty(const SubmissionBook& book);

// When the next round is due, to wake for it; time_point::max() when none is.
NodeClock::time_point book_next_round(const SubmissionBook& book);
