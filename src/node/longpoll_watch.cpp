#include "node/longpoll_watch.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "hash/byte_order.h"
#include "node/gbt_client.h"
#include "node/longpoll_answer.h"
#include "node/rpc_text.h"
#include "node/watch_pace.h"

namespace {

using Clock = NodeClock;

constexpr auto kWaitStep = std::chrono::milliseconds(50);

std::string template_params(const std::string& longpollid) {
  if (longpollid.empty()) return "[{\"rules\":[\"segwit\"]}]";
  return "[{\"rules\":[\"segwit\"],\"longpollid\":" + json_string_literal(longpollid) + "}]";
}

int node_wanted(const LongpollSettings& settings) { return settings.watched_node ? settings.watched_node() : 0; }

const std::string& url_of(const LongpollSettings& settings, int node) {
  return node == 0 ? settings.url : settings.more_nodes.at(static_cast<size_t>(node - 1)).url;
}

// Waits until `when` has come and the stop predicate is quiet, or until the
// watch is to follow another node. False once the watch is stopped.
bool wait_until(const LongpollWatch& watch, const LongpollSettings& settings, Clock::time_point when) {
  for (;;) {
    if (!watch.running) return false;
    if (node_wanted(settings) != watch.watching.load()) return true;
    if (Clock::now() >= when && !(settings.give_up && settings.give_up())) return true;
    std::this_thread::sleep_for(kWaitStep);
  }
}

void set_holding(LongpollWatch& watch, const LongpollSettings& settings, bool holding) {
  if (watch.holding.exchange(holding) == holding) return;
  if (settings.on_holding) settings.on_holding(holding);
}

void end_as_unsupported(LongpollWatch& watch, const LongpollSettings& settings, const char* what,
                        const std::string& reason) {
  std::fprintf(stderr, "Node %s longpoll (%s): new blocks are noticed at the regular refresh only\n", what,
               reason.c_str());
  set_holding(watch, settings, false);
  watch.unsupported = true;
}

// What the watch remembers between requests to one node.
struct WatchTrack {
  std::string longpollid;         // "" until a template offers one: then a plain request
  bool tip_known = false;
  bool refused_before = false;    // an error object to the last held request
  bool no_id_before = false;      // the last template carried no usable longpollid
  bool failure_told = false;
  int failures = 0;               // failed answers in a row
  Clock::time_point next_request = Clock::now();
};

// Records a template's tip; true when it is a new one, whose reply then
// goes to on_new_tip_reply.
bool note_tip(LongpollWatch& watch, WatchTrack& track, const LongpollAnswer& answer, RpcExchange& exchange,
              const LongpollSettings& settings) {
  const bool new_tip = track.tip_known && answer.tip_fingerprint != watch.tip_fingerprint.load();
  if (!track.tip_known || new_tip) {
    watch.tip_height = answer.height;
    watch.tip_fingerprint = answer.tip_fingerprint;
  }
  track.tip_known = true;
  if (new_tip) {
    watch.tip_changes.fetch_add(1);
    if (settings.on_new_tip_reply) settings.on_new_tip_reply(std::move(exchange.body));
    if (settings.on_new_tip) settings.on_new_tip();
  }
  return new_tip;
}

void watch_tips(LongpollWatch& watch, const LongpollSettings& settings) {
  WatchTrack track;
  while (wait_until(watch, settings, track.next_request)) {
    const int node = node_wanted(settings);
    if (node != watch.watching.load()) {
      // Follow the node mined on: its tip is what matters, its id is its own.
      watch.watching = node;
      set_holding(watch, settings, false);
      const bool tip_known = track.tip_known;
      track = WatchTrack{};
      track.tip_known = tip_known;
      continue;
    }
    const Clock::time_point sent = Clock::now();
    const bool held = !track.longpollid.empty();
    if (held) set_holding(watch, settings, true);
    RpcExchange exchange = watch.clients.at(static_cast<size_t>(node))->rpc_exchange(
        "getblocktemplate", template_params(track.longpollid),
        held ? ReplyWait::kHeldByNode : ReplyWait::kWithinTransferLimit);
    if (exchange.given_up) continue;  // a stop or a switch; the wait decides what comes next
    const LongpollAnswer answer = read_longpoll_answer(exchange, url_of(settings, node));

    WatchAnswer pace = WatchAnswer::failed;
    if (answer.kind == LongpollAnswerKind::kTemplate) {
      const bool new_tip = note_tip(watch, track, answer, exchange, settings);
      if (held) track.refused_before = false;
      if (!answer.longpollid.empty()) {
        track.no_id_before = false;
        track.longpollid = answer.longpollid;
        pace = held && !new_tip ? WatchAnswer::same_tip : WatchAnswer::new_tip;
      } else if (track.no_id_before) {
        return end_as_unsupported(watch, settings, "offers no usable", answer.reason);
      } else {
        track.no_id_before = true;
        track.longpollid.clear();
      }
    } else if (answer.kind == LongpollAnswerKind::kRefused && held) {
      // Refusing the plain request as well is the node's general trouble,
      // which the main connection reports; refusing only the held one is
      // about longpoll.
      if (answer.refused_by_status || track.refused_before) {
        return end_as_unsupported(watch, settings, "refuses", answer.reason);
      }
      track.refused_before = true;
      track.longpollid.clear();
    } else if (answer.kind == LongpollAnswerKind::kFailed && held && !track.failure_told) {
      std::fprintf(stderr, "Longpoll request failed (%s); asking again in %lld s, and further longpoll failures "
                   "are not shown\n", answer.reason.c_str(),
                   static_cast<long long>(kFirstFailurePause / std::chrono::seconds(1)));
      track.failure_told = true;
    }
    track.failures = pace == WatchAnswer::failed ? track.failures + 1 : 0;
    watch.retrying = pace == WatchAnswer::failed;
    if (pace == WatchAnswer::failed) set_holding(watch, settings, false);
    track.next_request = sent + watch_pause(pace, track.failures);
  }
  set_holding(watch, settings, false);
}

}  // namespace

LongpollWatch::LongpollWatch() = default;
LongpollWatch::~LongpollWatch() { stop_longpoll_watch(*this); }

bool start_longpoll_watch(LongpollWatch& watch, LongpollSettings settings) {
  stop_longpoll_watch(watch);
  std::vector<NodeAddress> nodes = {{settings.url, settings.user, settings.pass}};
  nodes.insert(nodes.end(), settings.more_nodes.begin(), settings.more_nodes.end());
  for (size_t node = 0; node < nodes.size(); ++node) {
    auto client = std::make_unique<GbtClient>(nodes[node].url, nodes[node].user, nodes[node].pass, "");
    client->use_request_id(kLongpollRequestId);
    client->give_up_when([&watch, give_up = settings.give_up, wanted = settings.watched_node] {
      return !watch.running.load() || (give_up && give_up()) || (wanted && wanted() != watch.watching.load());
    });
    if (settings.before_request) {
      client->before_each_request(
          [before = settings.before_request, node = static_cast<int>(node)](const char*) { return before(node); });
    }
    watch.clients.push_back(std::move(client));
  }
  watch.watching = node_wanted(settings);
  watch.running = true;
  try {
    watch.thread = std::thread([&watch, settings = std::move(settings)] { watch_tips(watch, settings); });
  } catch (const std::system_error& refusal) {
    watch.running = false;
    watch.clients.clear();
    std::fprintf(stderr, "Could not start the longpoll thread (%s): new blocks are noticed at the regular "
                 "refresh only\n", refusal.what());
    return false;
  }
  return true;
}

void stop_longpoll_watch(LongpollWatch& watch) {
  watch.running = false;
  if (watch.thread.joinable()) watch.thread.join();
  watch.clients.clear();
}

uint64_t tip_fingerprint_of(const uint8_t header[80]) { return load_le64(header + 4); }
