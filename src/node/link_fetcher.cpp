// The link's fetch thread: work from the node mined on, about once a second,
// at once after a block of ours went in, soon after news of a new tip; the
// move to a backup node when that node fails, and back to the main node
// once it has answered well for long enough.

#include <algorithm>
#include <cstdio>

#include "node/link_state.h"
#include "node/longpoll_answer.h"
#include "node/longpoll_watch.h"
#include "node/terminal_text.h"
#include "node/url_display.h"

namespace {

using namespace std::chrono_literals;

// Fresh work about once a second, counted from the start of the last fetch:
// the node's curtime moves once a second.
constexpr NodeClock::duration kRefreshInterval = 1s;
// After a failed fetch: "Failed to get work, retrying in 5s...".
constexpr NodeClock::duration kFetchRetryInterval = 5s;
// The least time between the starts of two fetches on news of a new tip.
constexpr NodeClock::duration kShortestNewsInterval = 250ms;
// The longest a wait lasts before the stop flags are looked at again.
constexpr NodeClock::duration kLongestWait = 50ms;

// What the fetch thread keeps to itself between fetches.
struct FetchPlan {
  NodeClock::time_point on_clock = NodeClock::now();
  NodeClock::time_point last_news = NodeClock::time_point::min() + 1h;
  bool last_failed = false;
  std::vector<NodeHealth> health;  // one per node
  NodeClock::time_point next_probe = NodeClock::time_point::max();
};

// The watch's template that named a new tip, from the node mined on, is
// made into work without a request. Called with the lock held.
bool watch_template_waits(const NodeLinkState& s) {
  return s.tip_news && !s.news_reply.empty() && s.news_reply_node == s.mined_on;
}

// When the next fetch is due: on the clock, at once after a block of ours
// went in, and on news of a new tip no sooner than kShortestNewsInterval
// after the last fetch on news began. News does not cut the wait after a
// failure short. Called with the lock held.
NodeClock::time_point fetch_due_at(const NodeLinkState& s, const FetchPlan& plan) {
  if (watch_template_waits(s)) return NodeClock::time_point::min();
  if (plan.last_failed) return plan.on_clock;
  if (s.block_went_in) return NodeClock::time_point::min();
  if (s.tip_news) return std::min(plan.on_clock, plan.last_news + kShortestNewsInterval);
  return plan.on_clock;
}

std::string shown_url(const NodeLinkState& s, int node) {
  return terminal_text(url_for_display(s.settings.nodes.at(static_cast<size_t>(node)).url));
}

long long whole_seconds(NodeClock::duration span) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(span).count());
}

void set_state(NodeLinkState& s, NodeState state) {
  if (s.status.state == state) return;
  s.status.state = state;
  s.status.state_since = NodeClock::now();
}

// Makes `node` the one mined on, with its line. Called with the lock held.
void switch_to(NodeLinkState& s, FetchPlan& plan, int node, const std::string& line) {
  std::fputs(line.c_str(), stderr);
  s.mined_on = node;
  s.status.node = node;
  s.status.url_shown = shown_url(s, node);
  plan.next_probe = node == 0 ? NodeClock::time_point::max() : NodeClock::now() + s.settings.timing.probe_every;
  post_locked(s, NodeSwitched{node});
  s.changed.notify_all();
}

// Fresh work from `node` is in: the book learns its tip, the loop gets it.
void took_work(NodeLinkState& s, FetchPlan& plan, int node, uint64_t number, AnnouncedWork announced,
               bool after_block, NodeClock::time_point began) {
  const NodeClock::time_point now = NodeClock::now();
  const size_t work_bytes = announced.work.txn_hex.size();
  note_node_answer(plan.health.at(static_cast<size_t>(node)), true, now);
  plan.last_failed = false;
  plan.on_clock = began + kRefreshInterval;
  const ChainTip tip{tip_fingerprint_of(announced.work.header), announced.work.height};
  {
    std::lock_guard<std::mutex> hold(s.lock);
    publish_locked(s, book_fetch_done(s.book, number, tip, now));
    s.fetched_tip = tip.fingerprint;
    if (s.tip_news && s.news_tip == tip.fingerprint) {
      // The watch's news is this very tip: no more work to make of it.
      s.tip_news = false;
      s.news_reply.clear();
    }
    // Another block of ours went in while this fetch was out: its work is
    // on the tip that block left behind, and no longer the one that follows
    // our latest block.
    const bool after_latest_block = after_block && !s.block_went_in;
    set_state(s, NodeState::answering);
    post_locked(s,
                WorkArrived{std::move(announced.work), std::move(announced.announcement), node, after_latest_block});
  }
  return_freed_memory(work_bytes);
}

uint64_t fetch_began(NodeLinkState& s) {
  std::lock_guard<std::mutex> hold(s.lock);
  return book_fetch_began(s.book);
}

// The node mined on has failed for long enough: the others are asked in
// turn, and the first that answers is mined on. False when none did.
bool move_to_another_node(NodeLinkState& s, FetchPlan& plan, int failing) {
  const int count = static_cast<int>(s.settings.nodes.size());
  for (int step = 1; step < count; ++step) {
    const int node = node_after(failing, step, count);
    const uint64_t number = fetch_began(s);
    const NodeClock::time_point began = NodeClock::now();
    AnnouncedWork announced = s.fetch_clients.at(static_cast<size_t>(node))->get_announced_work();
    if (link_stopping(s)) return false;
    if (!announced.work.valid) {
      note_node_answer(plan.health.at(static_cast<size_t>(node)), false, NodeClock::now());
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(s.lock);
      const NodeHealth& left = plan.health.at(static_cast<size_t>(failing));
      switch_to(s, plan, node,
                "Node " + shown_url(s, failing) + " has not answered for " +
                    std::to_string(whole_seconds(NodeClock::now() - left.streak_since)) + " s: mining on " +
                    (node == 0 ? "the main node " : "backup node ") + shown_url(s, node) + "\n");
    }
    took_work(s, plan, node, number, std::move(announced), false, began);
    return true;
  }
  return false;
}

// While a backup is mined on, the main node is asked now and then; once it
// has answered well for long enough, it is mined on again.
void probe_main_node(NodeLinkState& s, FetchPlan& plan) {
  const RpcExchange exchange =
      s.probe_client->rpc_exchange("getblocktemplate", "[{\"rules\":[\"segwit\"]}]", ReplyWait::kWithinTransferLimit);
  if (exchange.given_up) return;
  const NodeClock::time_point now = NodeClock::now();
  const bool good = read_longpoll_answer(exchange, s.settings.nodes[0].url).kind == LongpollAnswerKind::kTemplate;
  NodeHealth& main = plan.health.at(0);
  note_node_answer(main, good, now);
  plan.next_probe = now + s.settings.timing.probe_every;
  if (!good_long_enough(main, now, s.settings.timing)) return;
  std::lock_guard<std::mutex> hold(s.lock);
  switch_to(s, plan, 0,
            "The main node " + shown_url(s, 0) + " has answered well for " +
                std::to_string(whole_seconds(now - main.streak_since)) + " s: mining on it again\n");
  plan.on_clock = now;  // its work at once
  plan.last_failed = false;
}

}  // namespace

void fetch_until_stopped(NodeLinkState& s) {
  FetchPlan plan;
  plan.health.resize(s.settings.nodes.size());
  for (;;) {
    bool after_block = false;
    bool probe = false;
    int node = 0;
    uint64_t number = 0;
    std::string news_reply;
    {
      std::unique_lock<std::mutex> hold(s.lock);
      for (;;) {
        if (s.finishing || link_stopping(s)) return;
        const NodeClock::time_point due = fetch_due_at(s, plan);
        const NodeClock::time_point now = NodeClock::now();
        if (now >= due) break;
        if (now >= plan.next_probe) {
          probe = true;
          break;
        }
        s.changed.wait_until(hold, std::min({due, plan.next_probe, now + kLongestWait}));
      }
      if (!probe) {
        after_block = s.block_went_in;
        if (watch_template_waits(s) && !after_block) {
          news_reply = std::move(s.news_reply);
        } else if (!after_block && s.tip_news && NodeClock::now() < plan.on_clock) {
          plan.last_news = NodeClock::now();
        }
        s.news_reply.clear();
        s.block_went_in = false;
        s.tip_news = false;
        node = s.mined_on;
        number = book_fetch_began(s.book);
      }
    }
    if (probe) {
      probe_main_node(s, plan);
      continue;
    }
    const NodeClock::time_point began = NodeClock::now();
    GbtClient& client = *s.fetch_clients.at(static_cast<size_t>(node));
    if (!news_reply.empty()) {
      AnnouncedWork announced = client.announced_work_from(std::move(news_reply));
      if (announced.work.valid) {
        took_work(s, plan, node, number, std::move(announced), false, began);
      } else {
        std::lock_guard<std::mutex> hold(s.lock);
        s.tip_news = true;  // a template of its own, then
      }
      continue;
    }
    s.fetch_unpaced = after_block;
    AnnouncedWork announced = client.get_announced_work();
    s.fetch_unpaced = false;
    const NodeClock::time_point ended = NodeClock::now();
    if (announced.work.valid) {
      took_work(s, plan, node, number, std::move(announced), after_block, began);
      continue;
    }
    // A call given up for a stop is no failure worth a retry line.
    if (link_stopping(s)) return;
    note_node_answer(plan.health.at(static_cast<size_t>(node)), false, ended);
    if (s.settings.nodes.size() > 1 && failed_long_enough(plan.health[static_cast<size_t>(node)], ended,
                                                         s.settings.timing) &&
        move_to_another_node(s, plan, node)) {
      continue;
    }
    if (link_stopping(s)) return;
    std::fputs("Failed to get work, retrying in 5s...\n", stderr);
    plan.last_failed = true;
    plan.on_clock = NodeClock::now() + kFetchRetryInterval;
    std::lock_guard<std::mutex> hold(s.lock);
    set_state(s, NodeState::failing);
    post_locked(s, FetchFailed{node});
  }
}
