#include "node/node_link.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "node/link_state.h"
#include "node/terminal_text.h"
#include "node/url_display.h"

namespace {

using namespace std::chrono_literals;

// The longest a thread of the link waits before it looks at the stop flags.
constexpr NodeClock::duration kLongestWait = 50ms;

void on_new_tip(NodeLinkState& s) {
  // On the watch's thread, which wrote both just before.
  const TipMoved moved{s.watch.tip_height.load(), s.watch.tip_fingerprint.load()};
  std::lock_guard<std::mutex> hold(s.lock);
  publish_locked(s, book_tip(s.book, ChainTip{moved.tip_fingerprint, moved.height}));
  // A tip the fetches have seen already (our own block, fetched at once)
  // is no news worth a request.
  if (moved.tip_fingerprint != s.fetched_tip) {
    s.tip_news = true;
    s.news_tip = moved.tip_fingerprint;
  } else {
    s.news_reply.clear();
  }
  post_locked(s, moved);
  s.changed.notify_all();
}

void on_watch_holding(NodeLinkState& s, bool holding) {
  std::lock_guard<std::mutex> hold(s.lock);
  post_locked(s, WatchChanged{holding});
}

// Every request of every client is counted where it goes out; all but
// submissions and the fetch right after a block of ours wait for the budget.
void count_and_pace(NodeLinkState& s, GbtClient& client, const char* connection, int node) {
  client.before_each_request([&s, connection, node](const char* method) {
    bool unpaced = std::strcmp(connection, kSubmitConnection) == 0;
    // Only the fetch thread's own hook reads or writes fetch_unpaced.
    if (std::strcmp(connection, kFetchConnection) == 0 && s.fetch_unpaced &&
        std::strcmp(method, "getblocktemplate") == 0) {
      s.fetch_unpaced = false;
      unpaced = true;
    }
    if (!unpaced && !await_request_budget(s, [&s] { return link_stopping(s); })) return false;
    count_request(s, method, connection, node);
    return true;
  });
}

std::unique_ptr<GbtClient> client_for(NodeLinkState& s, const NodeAddress& node) {
  return std::make_unique<GbtClient>(node.url, node.user, node.pass, s.settings.coinbase_addr);
}

}  // namespace

bool link_stopping(const NodeLinkState& s) {
  return s.winding_down.load() || (s.settings.stop_requested && s.settings.stop_requested());
}

bool link_abandoned(const NodeLinkState& s) {
  return s.settings.submissions_abandoned && s.settings.submissions_abandoned();
}

void post_locked(NodeLinkState& s, NodeEvent event) {
  s.events.push_back(std::move(event));
  if (s.settings.wakeup != nullptr) s.settings.wakeup->release();
}

void publish_locked(NodeLinkState& s, BookNews news) {
  for (const std::string& line : news.lines) std::fputs(line.c_str(), stderr);
  for (BlockAnswered& answer : news.answers) {
    for (size_t node = 0; node < s.sending.size(); ++node) {
      if (s.sending[node] == answer.id) s.send_moot[node] = true;
    }
    post_locked(s, std::move(answer));
  }
  if (news.block_went_in) s.block_went_in = true;
  s.changed.notify_all();
}

bool await_request_budget(NodeLinkState& s, const std::function<bool()>& give_up) {
  std::unique_lock<std::mutex> hold(s.lock);
  const uint64_t ticket = take_pacer_ticket(s.pacer);
  for (;;) {
    if (give_up()) {
      drop_pacer_ticket(s.pacer, ticket);
      s.changed.notify_all();
      return false;
    }
    const NodeClock::time_point now = NodeClock::now();
    const NodeClock::time_point at = paced_send_time(s.pacer, ticket, now);
    if (at <= now) {
      count_paced_send(s.pacer, ticket, now);
      s.changed.notify_all();
      return true;
    }
    s.changed.wait_until(hold, std::min(at, now + kLongestWait));
  }
}

void return_freed_memory(size_t bytes_handled) {
  // Below this, what a thread keeps is too little to matter, and the trim's
  // walk over the arenas would only cost time.
  constexpr size_t kWorthReturning = size_t{1} << 20;
#if defined(__GLIBC__)
  if (bytes_handled >= kWorthReturning) malloc_trim(0);
#else
  (void)bytes_handled;
#endif
}

void count_request(NodeLinkState& s, const char* method, const char* connection, int node) {
  std::lock_guard<std::mutex> hold(s.lock);
  ++s.requests[{method, connection, node}];
}

NodeLink::NodeLink() = default;
NodeLink::~NodeLink() { finish_node_link(*this); }

bool start_node_link(NodeLink& link, NodeLinkSettings settings) {
  finish_node_link(link);
  link.state = std::make_unique<NodeLinkState>();
  NodeLinkState& s = *link.state;
  s.settings = std::move(settings);
  const std::vector<NodeAddress>& nodes = s.settings.nodes;
  s.status.url_shown = terminal_text(url_for_display(nodes.at(0).url));
  s.status.state_since = NodeClock::now();
  s.book.nodes = static_cast<int>(nodes.size());
  s.sending.assign(nodes.size(), 0);
  s.send_moot = std::make_unique<std::atomic<bool>[]>(nodes.size());

  for (size_t node = 0; node < nodes.size(); ++node) {
    s.fetch_clients.push_back(client_for(s, nodes[node]));
    s.fetch_clients.back()->give_up_when([&s] { return link_stopping(s); });
    count_and_pace(s, *s.fetch_clients.back(), kFetchConnection, static_cast<int>(node));
    s.submit_clients.push_back(client_for(s, nodes[node]));
    s.submit_clients.back()->give_up_when([&s, node] { return link_abandoned(s) || s.send_moot[node].load(); });
    count_and_pace(s, *s.submit_clients.back(), kSubmitConnection, static_cast<int>(node));
  }
  if (nodes.size() > 1) {
    s.probe_client = client_for(s, nodes[0]);
    s.probe_client->give_up_when([&s] { return link_stopping(s); });
    count_and_pace(s, *s.probe_client, kProbeConnection, 0);
  }
  try {
    s.fetcher = std::thread([&s] { fetch_until_stopped(s); });
    for (size_t node = 0; node < nodes.size(); ++node) {
      s.submitters.emplace_back([&s, node] { submit_until_finished(s, static_cast<int>(node)); });
    }
  } catch (const std::system_error& refusal) {
    std::fprintf(stderr, "tamrix-miner: could not start the node threads: %s\n", refusal.what());
    finish_node_link(link);
    return false;
  }
  LongpollSettings watching{nodes[0].url, nodes[0].user, nodes[0].pass, [&s] { on_new_tip(s); },
                            [&s] { return link_stopping(s); }};
  watching.more_nodes.assign(nodes.begin() + 1, nodes.end());
  watching.watched_node = [&s] {
    std::lock_guard<std::mutex> hold(s.lock);
    return s.mined_on;
  };
  watching.on_holding = [&s](bool holding) { on_watch_holding(s, holding); };
  watching.on_new_tip_reply = [&s](std::string reply) {
    std::lock_guard<std::mutex> hold(s.lock);
    s.news_reply = std::move(reply);
    s.news_reply_node = s.watch.watching.load();
  };
  watching.before_request = [&s](int node) {
    if (!await_request_budget(s, [&s] { return link_stopping(s); })) return false;
    count_request(s, "getblocktemplate", kWatchConnection, node);
    return true;
  };
  start_longpoll_watch(s.watch, std::move(watching));
  return true;
}

void submit_solved_block(NodeLink& link, SolvedBlock block) {
  NodeLinkState& s = *link.state;
  std::lock_guard<std::mutex> hold(s.lock);
  publish_locked(s, book_block(s.book, std::move(block), NodeClock::now()));
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
    s.winding_down = true;
    publish_locked(s, book_finish(s.book, NodeClock::now()));
    s.changed.notify_all();
  }
  stop_longpoll_watch(s.watch);
  if (s.fetcher.joinable()) s.fetcher.join();
  for (std::thread& submitter : s.submitters) {
    if (submitter.joinable()) submitter.join();
  }
  s.fetch_clients.clear();
  s.submit_clients.clear();
  s.probe_client.reset();
}

NodeLinkStatus node_link_status(const NodeLink& link) {
  if (!link.state) return NodeLinkStatus{};
  NodeLinkState& s = *link.state;
  std::lock_guard<std::mutex> hold(s.lock);
  NodeLinkStatus status = s.status;
  status.longpoll = s.watch.unsupported.load() ? LongpollState::unsupported
                    : s.watch.holding.load()   ? LongpollState::holding
                    : s.watch.retrying.load()  ? LongpollState::retrying
                                               : LongpollState::starting;
  for (const auto& [key, count] : s.requests) {
    status.requests.push_back(RequestCount{std::get<0>(key), std::get<1>(key), std::get<2>(key), count});
  }
  return status;
}
