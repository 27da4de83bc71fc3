// A submit thread of the link: one per node, each on its own connection, so
// that a block goes to every node at once and a node that hangs holds up
// none of the others. What to send and what an answer means is the
// submission book's; the thread carries blocks to its node and answers back.

#include <algorithm>

#include "node/link_state.h"
#include "node/rpc_text.h"

namespace {

using namespace std::chrono_literals;

constexpr NodeClock::duration kLongestWait = 50ms;

SubmitOutcome send_block(GbtClient& client, const SolvedBlock& block) {
  return classify_submit_reply(client.rpc_exchange(
      "submitblock", json_one_string_params(block_hex(block.work, block.nonce)), ReplyWait::kWithinTransferLimit));
}

}  // namespace

void submit_until_finished(NodeLinkState& s, int node) {
  GbtClient& client = *s.submit_clients.at(static_cast<size_t>(node));
  for (;;) {
    std::optional<SolvedBlock> block;
    {
      std::unique_lock<std::mutex> hold(s.lock);
      for (;;) {
        if (link_abandoned(s)) publish_locked(s, book_abandon(s.book));
        if (s.finishing && book_empty(s.book)) return;
        const NodeClock::time_point now = NodeClock::now();
        block = book_next_send(s.book, node, now);
        if (block) {
          s.sending[static_cast<size_t>(node)] = block->id;
          s.send_moot[node] = false;
          break;
        }
        s.changed.wait_until(hold, std::clamp(book_next_round(s.book), now, now + kLongestWait));
      }
    }
    const SubmitOutcome outcome = send_block(client, *block);
    {
      std::lock_guard<std::mutex> hold(s.lock);
      s.sending[static_cast<size_t>(node)] = 0;
      // A send given up at a second signal is no reason for another try.
      if (link_abandoned(s)) publish_locked(s, book_abandon(s.book));
      publish_locked(s, book_answer(s.book, block->id, node, outcome, NodeClock::now()));
      s.changed.notify_all();
    }
    const size_t sent_bytes = block->work.txn_hex.size();
    block.reset();
    return_freed_memory(sent_bytes);
  }
}
