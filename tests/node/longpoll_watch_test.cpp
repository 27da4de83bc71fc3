// The longpoll watch against a scripted loopback server: what it sends, how
// it reads the answers, how it paces itself after failures, and how it
// stops. Every request opens a connection of its own here, which the watch
// does not mind.

#include "node/longpoll_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "loopback_server.h"
#include "template_builder.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kTipA[] = "000000000000000000036b0e6c3a5f7e4a5b9c8d7e6f5a4b3c2d1e0f1a2b3c4d";
const char kTipB[] = "00000000000000000001ffeeddccbbaa99887766554433221100ffeeddccbbaa";
const int kForever = 60000;  // a hold the watch is stopped in

std::string template_reply(const char* tip, const char* longpollid) {
  TemplateBuilder builder;
  builder.set("previousblockhash", tip);
  if (longpollid != nullptr) builder.set("longpollid", longpollid);
  return builder.reply();
}

ScriptedReply tip(const char* hash, const char* longpollid, int hold_ms = 0) {
  return held_reply(hold_ms, 200, template_reply(hash, longpollid));
}

const ScriptedReply kHangUp{{}, 0};  // reads the request, closes without a reply

// The fingerprint as the header holds it, worked out here from the text:
// bytes 4..11 of the header are the hash's last 8 bytes, reversed.
uint64_t expected_fingerprint(const char* hash) {
  const Bytes header_order = reversed(from_hex(hash));
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | header_order[i];
  return value;
}

// Polls `condition` every 10 ms for up to `limit_ms`.
bool eventually(const std::function<bool()>& condition, int limit_ms = 10000) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string body_of(const std::string& raw_request) { return split_request(raw_request).body; }

// The watch's requests carry an id of their own, unlike the main connection's 1.
const std::string kPlainBody =
    "{\"jsonrpc\":\"1.0\",\"id\":2,\"method\":\"getblocktemplate\",\"params\":[{\"rules\":[\"segwit\"]}]}";

std::string longpoll_body(const std::string& id) {
  return "{\"jsonrpc\":\"1.0\",\"id\":2,\"method\":\"getblocktemplate\",\"params\":[{\"rules\":[\"segwit\"],"
         "\"longpollid\":\"" + id + "\"}]}";
}

// A watch on `server` (and `other`, when it follows the node `node` names),
// counting its calls of on_new_tip and recording what it says of holding.
struct Watched {
  std::atomic<int> news{0};
  std::atomic<bool> give_up{false};
  std::atomic<int> node{0};
  std::mutex lock;
  std::vector<bool> holding;      // every on_holding, in order
  std::vector<int> paced_nodes;   // every before_request, in order
  // Last, so that it is destroyed (its thread joined) first.
  LongpollWatch watch;

  explicit Watched(const LoopbackServer& server, const LoopbackServer* other = nullptr) {
    LongpollSettings settings{server.url(), "u", "p", [this] { ++news; }, [this] { return give_up.load(); }};
    if (other != nullptr) settings.more_nodes.push_back({other->url(), "u2", "p2"});
    settings.watched_node = [this] { return node.load(); };
    settings.on_holding = [this](bool held) {
      std::lock_guard<std::mutex> hold(lock);
      holding.push_back(held);
    };
    settings.before_request = [this](int to) {
      std::lock_guard<std::mutex> hold(lock);
      paced_nodes.push_back(to);
      return true;
    };
    EXPECT_TRUE(start_longpoll_watch(watch, std::move(settings)));
  }

  std::vector<bool> holding_said() {
    std::lock_guard<std::mutex> hold(lock);
    return holding;
  }
};

// What a watch on `server` left behind once it gave up on longpoll (and a
// moment longer, to catch any request it should not send).
struct Ending {
  std::string err;
  uint64_t tip_fingerprint;
};

Ending run_until_unsupported(const LoopbackServer& server, int limit_ms = 10000) {
  testing::internal::CaptureStderr();
  Watched w(server);
  const bool ended = eventually([&] { return w.watch.unsupported.load(); }, limit_ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop_longpoll_watch(w.watch);
  Ending ending{testing::internal::GetCapturedStderr(), w.watch.tip_fingerprint.load()};
  EXPECT_TRUE(ended) << "the watch did not end";
  return ending;
}

}  // namespace

TEST(LongpollWatch, FollowsTheIdAndCountsOnlyANewTip) {
  LoopbackServer server({tip(kTipA, "a1"), tip(kTipA, "a2", 300), tip(kTipB, "b1"), tip(kTipB, "b2", kForever)});
  testing::internal::CaptureStderr();
  Watched w(server);
  ASSERT_TRUE(eventually([&] { return w.watch.tip_fingerprint.load() != 0; }));
  EXPECT_EQ(w.watch.tip_fingerprint.load(), expected_fingerprint(kTipA));
  EXPECT_EQ(w.watch.tip_changes.load(), 0u);  // the first template is no change

  ASSERT_TRUE(eventually([&] { return w.watch.tip_changes.load() == 1; }));
  EXPECT_EQ(w.watch.tip_fingerprint.load(), expected_fingerprint(kTipB));
  EXPECT_EQ(w.news.load(), 1);
  ASSERT_TRUE(eventually([&] { return server.requests_seen() == 4; }));
  stop_longpoll_watch(w.watch);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(w.watch.unsupported.load());

  const std::vector<std::string> requests = server.finish();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(body_of(requests[0]), kPlainBody);
  EXPECT_EQ(body_of(requests[1]), longpoll_body("a1"));
  EXPECT_EQ(body_of(requests[2]), longpoll_body("a2"));
  EXPECT_EQ(body_of(requests[3]), longpoll_body("b1"));
  // The same tip again is followed by a second's pause, and even a new tip
  // answered at once by a quarter of one (a node that answers at once must
  // not draw a storm).
  const std::vector<double>& at = server.arrival_seconds();
  EXPECT_GE(at[1] - at[0], 0.24);
  EXPECT_GE(at[2] - at[1], 0.95);
  EXPECT_GE(at[3] - at[2], 0.24);
  EXPECT_LT(at[3] - at[2], 0.9);
  // Holding from the first held request on, throughout; the stop ends it.
  EXPECT_EQ(w.holding_said(), (std::vector<bool>{true, false}));
}

// A node whose every answer names another tip at once (a chain that moves
// every few milliseconds, two nodes on different tips behind one address):
// at most one request per 250 ms, each news told.
TEST(LongpollWatch, AStormOfNewTipsIsPaced) {
  std::vector<ScriptedReply> storm;
  for (int i = 0; i < 40; ++i) {
    const std::string id = "s" + std::to_string(i);
    storm.push_back(tip(i % 2 ? kTipB : kTipA, id.c_str()));
  }
  LoopbackServer server(storm);
  testing::internal::CaptureStderr();
  Watched w(server);
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  stop_longpoll_watch(w.watch);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  server.finish();
  const std::vector<double>& at = server.arrival_seconds();
  ASSERT_GE(at.size(), 3u);
  for (size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], 0.24) << i;
  EXPECT_LE(at.size(), 9u);  // 2 s at 250 ms, and the first
  EXPECT_EQ(w.news.load(), static_cast<int>(at.size()) - 1);
  std::printf("%zu requests in 2 s against a node that names a new tip in every answer\n", at.size());
}

// One template without a longpollid is the node's passing trouble: the
// watch asks again, plainly, 5 s later, and holds on the next id it gets.
// While it does not hold a request it says so.
TEST(LongpollWatch, ATemplateWithoutAnIdGetsASecondChance) {
  LoopbackServer server({tip(kTipA, "a1"), tip(kTipA, nullptr), tip(kTipA, "a2"), tip(kTipB, "b1", kForever)});
  testing::internal::CaptureStderr();
  Watched w(server);
  ASSERT_TRUE(eventually([&] { return server.requests_seen() == 4; }, 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(w.watch.unsupported.load());
  EXPECT_TRUE(w.watch.holding.load());
  stop_longpoll_watch(w.watch);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::vector<std::string> requests = server.finish();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(body_of(requests[1]), longpoll_body("a1"));
  EXPECT_EQ(body_of(requests[2]), kPlainBody);
  EXPECT_EQ(body_of(requests[3]), longpoll_body("a2"));
  EXPECT_GE(server.arrival_seconds()[2] - server.arrival_seconds()[1], 4.9);
  EXPECT_EQ(w.holding_said(), (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(w.news.load(), 0);  // the last request is still held at the stop
}

// With several nodes the watch follows the one it is told to: the held
// request on the old one is abandoned, the new one is asked plainly first,
// and every request is offered to the hook with its node.
TEST(LongpollWatch, FollowsTheNodeItIsToldTo) {
  LoopbackServer first({tip(kTipA, "a1"), tip(kTipA, "a2", kForever)});
  LoopbackServer second({tip(kTipB, "b1"), tip(kTipB, "b2", kForever)});
  testing::internal::CaptureStderr();
  Watched w(first, &second);
  ASSERT_TRUE(eventually([&] { return first.requests_seen() == 2; }));
  w.node = 1;
  ASSERT_TRUE(eventually([&] { return second.requests_seen() == 2; }));
  EXPECT_EQ(w.watch.tip_fingerprint.load(), expected_fingerprint(kTipB));
  EXPECT_EQ(w.news.load(), 1);  // the other node's tip is news
  stop_longpoll_watch(w.watch);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::vector<std::string> on_second = second.finish();
  EXPECT_EQ(first.finish().size(), 2u);
  ASSERT_EQ(on_second.size(), 2u);
  EXPECT_EQ(body_of(on_second[0]), kPlainBody);
  EXPECT_EQ(body_of(on_second[1]), longpoll_body("b1"));
  EXPECT_NE(split_request(on_second[0]).head.find("Authorization: Basic " + base64("u2:p2")), std::string::npos);
  EXPECT_EQ(w.paced_nodes, (std::vector<int>{0, 0, 1, 1}));
  EXPECT_EQ(w.holding_said(), (std::vector<bool>{true, false, true, false}));
}

TEST(LongpollWatch, TemplatesWithoutAnIdMeanNoLongpoll) {
  LoopbackServer server({tip(kTipA, nullptr), tip(kTipA, nullptr), tip(kTipA, nullptr)});
  const Ending ending = run_until_unsupported(server, 15000);
  EXPECT_EQ(ending.err,
            "Node offers no usable longpoll (its template carries no \"longpollid\"): new blocks are noticed at "
            "the regular refresh only\n");
  EXPECT_EQ(ending.tip_fingerprint, expected_fingerprint(kTipA));
  EXPECT_EQ(server.finish().size(), 2u);  // the second chance, then no more
}

TEST(LongpollWatch, ForbiddenOrNotFoundEndsTheWatchAtOnce) {
  for (const int status : {403, 404}) {
    LoopbackServer server({tip(kTipA, "a1"), http_reply(status, ""), tip(kTipA, "a1")});
    EXPECT_EQ(run_until_unsupported(server).err,
              "Node refuses longpoll (HTTP " + std::to_string(status) + " for " + server.url() +
                  "): new blocks are noticed at the regular refresh only\n");
    EXPECT_EQ(server.finish().size(), 2u);
  }
}

// One error may be the node's passing trouble; the same refusal after a
// fresh plain template is a rule. In between, the watch waits 5 s.
TEST(LongpollWatch, AnErrorObjectTwiceEndsTheWatch) {
  const ScriptedReply error =
      http_reply(500, "{\"result\":null,\"error\":{\"code\":-8,\"message\":\"no longpoll here\"},\"id\":1}");
  LoopbackServer server({tip(kTipA, "a1"), error, tip(kTipA, "a2"), error, tip(kTipA, "a3")});
  EXPECT_EQ(run_until_unsupported(server, 15000).err,
            "Node refuses longpoll (error -8: no longpoll here): new blocks are noticed at the regular refresh "
            "only\n");
  const std::vector<std::string> requests = server.finish();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(body_of(requests[2]), kPlainBody);
  EXPECT_EQ(body_of(requests[3]), longpoll_body("a2"));
  EXPECT_GE(server.arrival_seconds()[2] - server.arrival_seconds()[1], 4.9);
}

// After a failure the watch asks at most once per 5 s, whether the plain
// request or the held one fails; only the first failure of a held request
// is told, since the main connection reports the node's trouble.
TEST(LongpollWatch, FailuresAreRetriedEveryFiveSecondsQuietly) {
  const std::vector<ScriptedReply> always_hanging_up(10, kHangUp);
  std::vector<ScriptedReply> held_hanging_up(10, kHangUp);
  held_hanging_up.front() = tip(kTipA, "a1");
  LoopbackServer plain_fails(always_hanging_up);
  LoopbackServer held_fails(held_hanging_up);
  testing::internal::CaptureStderr();
  const Clock::time_point start = Clock::now();
  {
    Watched plain(plain_fails);
    Watched held(held_fails);
    std::this_thread::sleep_for(std::chrono::milliseconds(7500));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, std::string("Longpoll request failed (") + curl_easy_strerror(CURLE_GOT_NOTHING) +
                     "); asking again in 5 s, and further longpoll failures are not shown\n");
  // Plain: at 0 and 5 s. Held: the plain template, then at 0 and 5 s.
  const size_t plain_requests = plain_fails.finish().size();
  const size_t held_requests = held_fails.finish().size();
  EXPECT_EQ(plain_requests, 2u);
  EXPECT_EQ(held_requests, 3u);
  std::printf("in %.1f s after failures: %zu plain requests (%.2f/s), %zu with the held ones (%.2f/s)\n",
              seconds, plain_requests, plain_requests / seconds, held_requests, held_requests / seconds);
  EXPECT_GE(held_fails.arrival_seconds()[2] - held_fails.arrival_seconds()[1], 4.9);
}

TEST(LongpollWatch, StopAbandonsAHeldRequest) {
  LoopbackServer server({tip(kTipA, "a1"), tip(kTipB, "b1", kForever)});
  Watched w(server);
  ASSERT_TRUE(eventually([&] { return server.requests_seen() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(130));
  const Clock::time_point asked = Clock::now();
  stop_longpoll_watch(w.watch);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
  std::printf("stop_longpoll_watch returned after %lld ms with a request held\n",
              static_cast<long long>(took.count()));
  EXPECT_LT(took.count(), kForever / 2);  // the held reply was not waited for
  EXPECT_EQ(w.watch.tip_changes.load(), 0u);
  stop_longpoll_watch(w.watch);  // a second stop is harmless
  EXPECT_EQ(server.finish().size(), 2u);
}

// While the loop's give-up predicate holds, the held request is abandoned
// and nothing is sent; once it clears, the watch asks again with the id it had.
TEST(LongpollWatch, GiveUpPausesTheWatch) {
  LoopbackServer server({tip(kTipA, "a1"), tip(kTipA, "a2", kForever), tip(kTipB, "b1", 200),
                         tip(kTipB, "b2", kForever)});
  testing::internal::CaptureStderr();
  Watched w(server);
  ASSERT_TRUE(eventually([&] { return server.requests_seen() == 2; }));
  w.give_up = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(server.requests_seen(), 2);
  w.give_up = false;
  ASSERT_TRUE(eventually([&] { return w.watch.tip_changes.load() == 1; }));
  stop_longpoll_watch(w.watch);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::vector<std::string> requests = server.finish();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(body_of(requests[2]), longpoll_body("a1"));
}

TEST(LongpollWatch, FingerprintOfAHeaderIsBytesFourToElevenLittleEndian) {
  uint8_t header[80] = {};
  for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(i * 7 + 1);
  EXPECT_EQ(tip_fingerprint_of(header), 0x4e474039322b241dull);
}
