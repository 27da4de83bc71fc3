#include "node/longpoll_watch.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "hash/byte_order.h"
#include "node/gbt_client.h"
#include "node/longpoll_answer.h"
#include "node/rpc_text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAfterFailure = std::chrono::seconds(5);
constexpr auto kAfterSameTip = std::chrono::seconds(1);
constexpr auto kWaitStep = std::chrono::milliseconds(50);

std::string template_params(const std::string& longpollid) {
  if (longpollid.empty()) return "[{\"rules\":[\"segwit\"]}]";
  return "[{\"rules\":[\"segwit\"],\"longpollid\":" + json_string_literal(longpollid) + "}]";
}

// Waits until `when` has come and the stop predicate is quiet. False once
// the watch is stopped.
bool wait_until(const LongpollWatch& watch, const std::function<bool()>& give_up, Clock::time_point when) {
  for (;;) {
    if (!watch.running) return false;
    if (Clock::now() >= when && !(give_up && give_up())) return true;
    std::this_thread::sleep_for(kWaitStep);
  }
}

void end_as_unsupported(LongpollWatch& watch, const char* what, const std::string& reason) {
  std::fprintf(stderr, "Node %s longpoll (%s): new blocks are noticed at the regular refresh only\n", what,
               reason.c_str());
  watch.unsupported = true;
}

void watch_tips(LongpollWatch& watch, const LongpollSettings& settings) {
  GbtClient& client = *watch.client;
  std::string longpollid;       // "" until a template offers one: then a plain request
  bool tip_known = false;
  bool refused_before = false;  // an error object to the last held request
  bool failure_told = false;
  Clock::time_point next_request = Clock::now();
  while (wait_until(watch, settings.give_up, next_request)) {
    const Clock::time_point sent = Clock::now();
    const bool held = !longpollid.empty();
    const RpcExchange exchange =
        client.rpc_exchange("getblocktemplate", template_params(longpollid),
                            held ? ReplyWait::kHeldByNode : ReplyWait::kWithinTransferLimit);
    if (exchange.given_up) continue;  // a stop; the wait decides what comes next
    const LongpollAnswer answer = read_longpoll_answer(exchange, settings.url);
    next_request = sent + kAfterFailure;

    if (answer.kind == LongpollAnswerKind::kTemplate) {
      const bool new_tip = tip_known && answer.tip_fingerprint != watch.tip_fingerprint.load();
      if (!tip_known || new_tip) {
        watch.tip_height = answer.height;
        watch.tip_fingerprint = answer.tip_fingerprint;
      }
      if (new_tip) {
        watch.tip_changes.fetch_add(1);
        if (settings.on_new_tip) settings.on_new_tip();
      }
      tip_known = true;
      if (held) refused_before = false;
      if (answer.longpollid.empty()) return end_as_unsupported(watch, "offers no usable", answer.reason);
      longpollid = answer.longpollid;
      next_request = held && !new_tip ? sent + kAfterSameTip : sent;
    } else if (answer.kind == LongpollAnswerKind::kRefused && held) {
      // Refusing the plain request as well is the node's general trouble,
      // which the main connection reports; refusing only the held one is
      // about longpoll.
      if (answer.refused_by_status || refused_before) return end_as_unsupported(watch, "refuses", answer.reason);
      refused_before = true;
      longpollid.clear();
    } else if (answer.kind == LongpollAnswerKind::kFailed && held && !failure_told) {
      std::fprintf(stderr, "Longpoll request failed (%s); asking again in 5 s, and further longpoll failures "
                   "are not shown\n", answer.reason.c_str());
      failure_told = true;
    }
  }
}

}  // namespace

LongpollWatch::LongpollWatch() = default;
LongpollWatch::~LongpollWatch() { stop_longpoll_watch(*this); }

bool start_longpoll_watch(LongpollWatch& watch, LongpollSettings settings) {
  stop_longpoll_watch(watch);
  watch.client = std::make_unique<GbtClient>(settings.url, settings.user, settings.pass, "");
  watch.client->use_request_id(kLongpollRequestId);
  watch.client->give_up_when([&watch, give_up = settings.give_up] {
    return !watch.running.load() || (give_up && give_up());
  });
  watch.running = true;
  try {
    watch.thread = std::thread([&watch, settings = std::move(settings)] { watch_tips(watch, settings); });
  } catch (const std::system_error& refusal) {
    watch.running = false;
    watch.client.reset();
    std::fprintf(stderr, "Could not start the longpoll thread (%s): new blocks are noticed at the regular "
                 "refresh only\n", refusal.what());
    return false;
  }
  return true;
}

void stop_longpoll_watch(LongpollWatch& watch) {
  watch.running = false;
  if (watch.thread.joinable()) watch.thread.join();
  watch.client.reset();
}

uint64_t tip_fingerprint_of(const uint8_t header[80]) { return load_le64(header + 4); }
