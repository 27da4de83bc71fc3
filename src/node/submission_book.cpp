#include "node/submission_book.h"

#include <algorithm>
#include <cstdio>

#include "hash/byte_order.h"

namespace {

uint64_t parent_of(const SolvedBlock& block) { return load_le64(block.work.header + 4); }
uint64_t own_fingerprint(const SolvedBlock& block) { return load_le64(block.hash); }

bool round_open(const BookEntry& entry) {
  return std::any_of(entry.sends.begin(), entry.sends.end(), [](SendState s) { return s != SendState::idle; });
}

std::string block_line(const SolvedBlock& block, const std::string& rest) {
  return "Block " + std::to_string(block.work.height) + " " + rest + "\n";
}

void decide(BookNews& news, const SolvedBlock& block, BlockVerdict verdict, std::string reason) {
  news.answers.push_back(BlockAnswered{block.id, verdict, std::move(reason)});
}

void lose(BookNews& news, const SolvedBlock& block, const std::string& reason) {
  news.lines.push_back(block_line(block, "is lost: " + reason));
  decide(news, block, BlockVerdict::lost, reason);
}

void went_in(SubmissionBook& book, BookNews& news, const SolvedBlock& block, const std::string& how) {
  news.lines.push_back(block_line(block, how + ": it went in"));
  book.streak = RefusalStreak{};  // an acceptance ends a streak of refusals
  decide(news, block, BlockVerdict::accepted, "");
}

void refuse(SubmissionBook& book, BookNews& news, const SolvedBlock& block, const std::string& reason) {
  news.lines.push_back("Block rejected: " + reason + "\n");
  const std::string warning = counted_verdict(book.streak, false, reason);
  if (!warning.empty()) news.lines.push_back(warning);
  book.gate_held = true;
  book.gate_opens_at_fetch = book.fetches_begun + 1;
  decide(news, block, BlockVerdict::refused, reason);
}

std::string seconds_text(NodeClock::duration span) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(span).count()) + " s";
}

// A round has come back without an acceptance: its refusal counts, or the
// block is sent again, or it is lost. True when the entry is decided.
bool close_round(SubmissionBook& book, BookEntry& entry, BookNews& news, NodeClock::time_point now) {
  const SolvedBlock& block = entry.block;
  if (entry.refusal) {
    refuse(book, news, block, entry.refusal->reason);
    return true;
  }
  const TipReading reading = book.tip ? read_tip(block, *book.tip) : TipReading::unknown;
  if (reading == TipReading::went_in) {
    went_in(book, news, block, "is the node's tip");
    return true;
  }
  if (reading == TipReading::moved_on) {
    lose(news, block, "the chain moved on before a node answered");
    return true;
  }
  const std::string why = "got no answer (" + entry.why_unanswered + ")";
  if (book.abandoned) {
    lose(news, block, "given up at the second stop signal, unanswered");
    return true;
  }
  if (entry.final_round) {
    lose(news, block, "still unanswered at exit");
    return true;
  }
  if (book.finishing) {
    entry.final_round = true;
    entry.next_round = now;
    news.lines.push_back(block_line(block, why + "; sending it once more before exit"));
    return false;
  }
  if (now - entry.first_sent >= kResendFor) {
    lose(news, block, "no answer for " + std::to_string(kResendFor / std::chrono::minutes(1)) + " minutes");
    return true;
  }
  const NodeClock::duration pause = resend_pause(entry.rounds);
  entry.next_round = now + pause;
  news.lines.push_back(block_line(block, why + "; sending it again in " + seconds_text(pause)));
  return false;
}

BookEntry new_entry(const SubmissionBook& book, SolvedBlock block, NodeClock::time_point now) {
  BookEntry entry;
  entry.block = std::move(block);
  entry.sends.assign(static_cast<size_t>(book.nodes), SendState::idle);
  entry.next_round = now;
  entry.final_round = book.finishing;
  return entry;
}

}  // namespace

NodeClock::duration resend_pause(int rounds) {
  NodeClock::duration pause = kFirstResendPause;
  for (int i = 1; i < rounds && pause < kLongestResendPause; ++i) pause *= 2;
  return std::min(pause, kLongestResendPause);
}

TipReading read_tip(const SolvedBlock& block, ChainTip tip) {
  if (tip.fingerprint == own_fingerprint(block)) return TipReading::went_in;
  if (tip.height < block.work.height) return TipReading::unknown;
  if (tip.height == block.work.height && tip.fingerprint == parent_of(block)) return TipReading::on_its_parent;
  return TipReading::moved_on;
}

BookNews book_block(SubmissionBook& book, SolvedBlock block, NodeClock::time_point now) {
  BookNews news;
  if (!book.gate_held) {
    book.entries.push_back(new_entry(book, std::move(block), now));
  } else if (book.waiting) {
    lose(news, block, "the node refused the last block, and another already waits for fresh work");
  } else {
    book.waiting = std::move(block);  // said nothing of, as the node's refusal has been
  }
  return news;
}

std::optional<SolvedBlock> book_next_send(SubmissionBook& book, int node, NodeClock::time_point now) {
  if (book.abandoned) return std::nullopt;
  for (BookEntry& entry : book.entries) {
    if (!round_open(entry) && now >= entry.next_round) {
      if (entry.rounds == 0) entry.first_sent = now;
      ++entry.rounds;
      entry.refusal.reset();
      std::fill(entry.sends.begin(), entry.sends.end(), SendState::due);
    }
    SendState& send = entry.sends.at(static_cast<size_t>(node));
    if (send == SendState::due) {
      send = SendState::in_flight;
      return entry.block;
    }
  }
  return std::nullopt;
}

BookNews book_answer(SubmissionBook& book, uint64_t id, int node, const SubmitOutcome& outcome,
                     NodeClock::time_point now) {
  BookNews news;
  const auto found = std::find_if(book.entries.begin(), book.entries.end(),
                                  [id](const BookEntry& e) { return e.block.id == id; });
  if (found == book.entries.end()) return news;  // decided already: a tip, another node
  BookEntry& entry = *found;
  entry.sends.at(static_cast<size_t>(node)) = SendState::idle;
  bool decided = false;
  if (outcome.verdict == SubmitVerdict::accepted) {
    book.streak = RefusalStreak{};
    decide(news, entry.block, BlockVerdict::accepted, "");
    news.block_went_in = true;
    decided = true;
  } else if (refused_as_duplicate(outcome)) {
    // The node has this very block, our coinbase and all: it went in on an
    // earlier send, ours or one libcurl repeated by itself (a request on a
    // reused connection that died before any reply is sent again at once).
    went_in(book, news, entry.block, "was there already (" + outcome.reason + ")");
    news.block_went_in = true;
    decided = true;
  } else if (outcome.verdict == SubmitVerdict::refused) {
    if (!entry.refusal) entry.refusal = outcome;
  } else {
    ++entry.unanswered;
    entry.why_unanswered = outcome.reason;
  }
  if (!decided && !round_open(entry)) decided = close_round(book, entry, news, now);
  if (decided) book.entries.erase(found);
  return news;
}

BookNews book_tip(SubmissionBook& book, ChainTip tip) {
  BookNews news;
  book.tip = tip;
  for (auto entry = book.entries.begin(); entry != book.entries.end();) {
    // A send that is out decides when it returns; one found in between is
    // decided now.
    const TipReading reading = round_open(*entry) ? TipReading::unknown : read_tip(entry->block, tip);
    if (reading == TipReading::went_in) {
      went_in(book, news, entry->block, "is the node's tip");
    } else if (reading == TipReading::moved_on) {
      lose(news, entry->block, "the chain moved on before a node answered");
    } else {
      ++entry;
      continue;
    }
    entry = book.entries.erase(entry);
  }
  if (book.waiting && read_tip(*book.waiting, tip) == TipReading::moved_on) {
    lose(news, *book.waiting, "the chain moved on while it waited for fresh work");
    book.waiting.reset();
  }
  return news;
}

uint64_t book_fetch_began(SubmissionBook& book) { return ++book.fetches_begun; }

BookNews book_fetch_done(SubmissionBook& book, uint64_t fetch, ChainTip tip, NodeClock::time_point now) {
  BookNews news = book_tip(book, tip);
  if (!book.gate_held || fetch < book.gate_opens_at_fetch) return news;
  book.gate_held = false;
  if (book.waiting) {
    book.entries.push_back(new_entry(book, std::move(*book.waiting), now));
    book.waiting.reset();
  }
  return news;
}

BookNews book_finish(SubmissionBook& book, NodeClock::time_point now) {
  BookNews news;
  if (book.finishing) return news;
  book.finishing = true;
  if (book.waiting) {
    // The node refused the block before; one try at the end costs one request.
    book.entries.push_back(new_entry(book, std::move(*book.waiting), now));
    book.waiting.reset();
  }
  for (BookEntry& entry : book.entries) {
    if (round_open(entry)) continue;  // its answer decides whether one more round follows
    if (entry.rounds > 0) {
      news.lines.push_back(block_line(entry.block, "has no answer yet; sending it once more before exit"));
    }
    entry.final_round = true;
    entry.next_round = now;
  }
  return news;
}

BookNews book_abandon(SubmissionBook& book) {
  BookNews news;
  if (book.abandoned) return news;
  book.abandoned = true;
  if (book.waiting) {
    lose(news, *book.waiting, "given up at the second stop signal, never sent");
    book.waiting.reset();
  }
  for (auto entry = book.entries.begin(); entry != book.entries.end();) {
    for (SendState& send : entry->sends) {
      if (send == SendState::due) send = SendState::idle;
    }
    if (round_open(*entry)) {
      ++entry;
      continue;
    }
    lose(news, entry->block, "given up at the second stop signal, unanswered");
    entry = book.entries.erase(entry);
  }
  return news;
}

bool book_empty(const SubmissionBook& book) { return book.entries.empty() && !book.waiting; }

NodeClock::time_point book_next_round(const SubmissionBook& book) {
  NodeClock::time_point next = NodeClock::time_point::max();
  for (const BookEntry& entry : book.entries) {
    if (!round_open(entry)) next = std::min(next, entry.next_round);
  }
  return next;
}
