#include "node/node_link.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "node/gbt_client.h"
#include "node/longpoll_watch.h"
#include "node/node_messages.h"
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
// The longest a thread of the link waits before it looks at the stop flags.
constexpr NodeClock::duration kLongestWait = 50ms;

}  // namespace

// Everything the link's threads share. The members under `lock` are written
// by any of them; the clients and threads belong to the thread that uses
// them, and are made and released on the thread that starts and finishes
// the link.
struct NodeLinkState {
  NodeLinkSettings settings;

  std::mutex lock;
  std::condition_variable changed;  // wakes the fetch and submit threads
  std::vector<NodeEvent> events;
  std::deque<SolvedBlock> blocks;   // handed over, not yet sent
  bool block_went_in = false;       // a block of ours went in: fetch at once
  bool tip_news = false;            // the watch named a new tip: fetch soon
  bool finishing = false;
  NodeLinkStatus status;

  std::unique_ptr<GbtClient> fetch_client;
  std::unique_ptr<GbtClient> submit_client;
  LongpollWatch watch;
  std::thread fetcher;
  std::thread submitter;
  bool started = false;
};

namespace {

bool stop_requested(const NodeLinkState& s) { return s.settings.stop_requested && s.settings.stop_requested(); }

void post(NodeLinkState& s, NodeEvent event) {
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.events.push_back(std::move(event));
  }
  if (s.settings.wakeup != nullptr) s.settings.wakeup->release();
}

void set_state(NodeLinkState& s, NodeState state) {
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.status.state == state) return;
  s.status.state = state;
  s.status.state_since = NodeClock::now();
}

// When the next fetch is due: on the clock, at once after a block of ours
// went in, and on news of a new tip no sooner than kShortestNewsInterval
// after the last fetch on news began. News does not cut the wait after a
// failure short. Called with the lock held.
NodeClock::time_point fetch_due_at(const NodeLinkState& s, NodeClock::time_point on_clock, bool last_failed,
                                   NodeClock::time_point last_news) {
  if (last_failed) return on_clock;
  if (s.block_went_in) return NodeClock::time_point::min();
  if (s.tip_news) return std::min(on_clock, last_news + kShortestNewsInterval);
  return on_clock;
}

void fetch_until_stopped(NodeLinkState& s) {
  GbtClient& client = *s.fetch_client;
  NodeClock::time_point on_clock = NodeClock::now();
  NodeClock::time_point last_news = NodeClock::time_point::min() + 1h;
  bool last_failed = false;
  for (;;) {
    bool after_block = false;
    {
      std::unique_lock<std::mutex> hold(s.lock);
      for (;;) {
        if (s.finishing || stop_requested(s)) return;
        const NodeClock::time_point due = fetch_due_at(s, on_clock, last_failed, last_news);
        const NodeClock::time_point now = NodeClock::now();
        if (now >= due) break;
        s.changed.wait_until(hold, std::min(due, now + kLongestWait));
      }
      after_block = s.block_went_in;
      if (!after_block && s.tip_news && NodeClock::now() < on_clock) last_news = NodeClock::now();
      s.block_went_in = false;
      s.tip_news = false;
    }
    const NodeClock::time_point began = NodeClock::now();
    AnnouncedWork announced = client.get_announced_work();
    const NodeClock::time_point ended = NodeClock::now();
    if (announced.work.valid) {
      last_failed = false;
      on_clock = began + kRefreshInterval;
      set_state(s, NodeState::answering);
      post(s, WorkArrived{std::move(announced.work), std::move(announced.announcement), 0, after_block});
      continue;
    }
    // A call given up for a stop is no failure worth a retry line.
    if (stop_requested(s)) return;
    std::fputs("Failed to get work, retrying in 5s...\n", stderr);
    last_failed = true;
    on_clock = ended + kFetchRetryInterval;
    set_state(s, NodeState::failing);
    post(s, FetchFailed{0});
  }
}

void submit_until_finished(NodeLinkState& s) {
  GbtClient& client = *s.submit_client;
  for (;;) {
    SolvedBlock block;
    {
      std::unique_lock<std::mutex> hold(s.lock);
      s.changed.wait(hold, [&s] { return !s.blocks.empty() || s.finishing; });
      if (s.blocks.empty()) return;
      block = std::move(s.blocks.front());
      s.blocks.pop_front();
    }
    const bool accepted = client.submit_block(block.work, block.nonce).verdict == SubmitVerdict::accepted;
    if (accepted) {
      std::lock_guard<std::mutex> hold(s.lock);
      s.block_went_in = true;
      s.changed.notify_all();
    }
    post(s, BlockAnswered{block.id, accepted ? BlockVerdict::accepted : BlockVerdict::refused, ""});
  }
}

void on_new_tip(NodeLinkState& s) {
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.tip_news = true;
    s.changed.notify_all();
  }
  post(s, TipMoved{s.watch.tip_height.load(), s.watch.tip_fingerprint.load()});
}

}  // namespace

NodeLink::NodeLink() = default;
NodeLink::~NodeLink() { finish_node_link(*this); }

bool start_node_link(NodeLink& link, NodeLinkSettings settings) {
  finish_node_link(link);
  link.state = std::make_unique<NodeLinkState>();
  NodeLinkState& s = *link.state;
  s.settings = std::move(settings);
  const NodeAddress& node = s.settings.nodes.at(0);
  s.status.url_shown = terminal_text(url_for_display(node.url));
  s.status.state_since = NodeClock::now();

  s.fetch_client = std::make_unique<GbtClient>(node.url, node.user, node.pass, s.settings.coinbase_addr);
  s.fetch_client->give_up_when([&s] { return stop_requested(s); });
  s.submit_client = std::make_unique<GbtClient>(node.url, node.user, node.pass, s.settings.coinbase_addr);
  s.submit_client->give_up_when(
      [&s] { return s.settings.submissions_abandoned && s.settings.submissions_abandoned(); });
  try {
    s.fetcher = std::thread([&s] { fetch_until_stopped(s); });
    s.submitter = std::thread([&s] { submit_until_finished(s); });
  } catch (const std::system_error& refusal) {
    std::fprintf(stderr, "tamrix-miner: could not start the node threads: %s\n", refusal.what());
    finish_node_link(link);
    return false;
  }
  s.started = true;
  start_longpoll_watch(s.watch, LongpollSettings{node.url, node.user, node.pass, [&s] { on_new_tip(s); },
                                                 [&s] { return stop_requested(s); }});
  return true;
}

void submit_solved_block(NodeLink& link, SolvedBlock block) {
  NodeLinkState& s = *link.state;
  std::lock_guard<std::mutex> hold(s.lock);
  s.blocks.push_back(std::move(block));
  s.changed.notify_all();
}

void take_node_events(NodeLink& link, std::vector<NodeEvent>& events) {
  if (!link.state) return;
  NodeLinkState& s = *link.state;
  std::lock_guard<std::mutex> hold(s.lock);
  for (NodeEvent& event : s.events) events.push_back(std::move(event));
  s.events.clear();
}

void finish_node_link(NodeLink& link) {
  if (!link.state) return;
  NodeLinkState& s = *link.state;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.finishing) return;
    s.finishing = true;
    s.changed.notify_all();
  }
  stop_longpoll_watch(s.watch);
  if (s.fetcher.joinable()) s.fetcher.join();
  if (s.submitter.joinable()) s.submitter.join();
  s.fetch_client.reset();
  s.submit_client.reset();
}

NodeLinkStatus node_link_status(const NodeLink& link) {
  if (!link.state) return NodeLinkStatus{};
  NodeLinkState& s = *link.state;
  std::lock_guard<std::mutex> hold(s.lock);
  NodeLinkStatus status = s.status;
  status.longpoll = s.watch.unsupported.load() ? LongpollState::unsupported : LongpollState::holding;
  return status;
}
