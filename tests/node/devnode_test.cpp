// Work assembled from the development node's templates, solved with the
// reference SHA3-512 and submitted back: the node checks every block on its
// own, with Python's hashlib, so this pins the whole block format.

#include <gtest/gtest.h>

#include <jansson.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hash/sha3.h"
#include "node/gbt_client.h"
#include "node/json_doc.h"
#include "node/longpoll_watch.h"
#include "node/node_link.h"

extern char** environ;

namespace {

// The development node as a child process, stopped with SIGTERM.
class DevNode {
 public:
  explicit DevNode(const std::vector<std::string>& extra_args) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> args = {TAMRIX_PYTHON3, TAMRIX_DEVNODE, "--port", "0", "--quiet"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_fd_ = out[0];
    const std::string banner = read_line(30000);
    const std::string prefix = "devnode listening on ";
    if (banner.rfind(prefix, 0) == 0) url_ = banner.substr(prefix.size());
  }

  ~DevNode() { stop(); }

  const std::string& url() const { return url_; }

  // Sends SIGTERM; returns the node's farewell line.
  std::string stop() {
    std::string farewell;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      farewell = read_line(10000);
      waitpid(pid_, &exit_status_, 0);
      pid_ = -1;
    }
    if (stdout_fd_ >= 0) close(stdout_fd_);
    stdout_fd_ = -1;
    return farewell;
  }
  int exit_status() const { return exit_status_; }

 private:
  std::string read_line(int timeout_ms) {
    std::string line;
    char c;
    pollfd entry{stdout_fd_, POLLIN, 0};
    while (poll(&entry, 1, timeout_ms) > 0 && read(stdout_fd_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  int exit_status_ = -1;
  std::string url_;
};

bool meets_target(const uint8_t digest[64], const uint32_t target[8]) {
  for (int w = 7; w >= 0; --w) {
    const uint8_t* p = digest + 4 * w;
    const uint32_t word = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    if (word != target[w]) return word < target[w];
  }
  return true;
}

// The first nonce whose header hash meets (or, asked so, misses) the target.
uint32_t find_nonce(const BlockWork& work, bool meeting) {
  uint8_t header[80];
  std::copy(work.header, work.header + 80, header);
  uint8_t digest[64];
  for (uint32_t nonce = 0; nonce < (1u << 22); ++nonce) {
    for (int i = 0; i < 4; ++i) header[76 + i] = static_cast<uint8_t>(nonce >> (8 * i));
    sha3_512_cpu(header, 80, digest);
    if (meets_target(digest, work.target) == meeting) return nonce;
  }
  ADD_FAILURE() << "no nonce found";
  return 0;
}

struct Stats {
  json_int_t accepted = -1;
  json_int_t rejected = -1;
  std::string last_reject;
};

Stats stats_of(GbtClient& client) {
  json_error_t error;
  const JsonDoc doc(json_loads(client.rpc_call("getstats", "[]").c_str(), 0, &error));
  const json_t* result = json_object_get(doc.get(), "result");
  Stats stats;
  stats.accepted = json_integer_value(json_object_get(result, "accepted"));
  stats.rejected = json_integer_value(json_object_get(result, "rejected"));
  const char* reason = json_string_value(json_object_get(result, "last_reject"));
  stats.last_reject = reason ? reason : "";
  return stats;
}

bool devnode_available() {
  return access(TAMRIX_PYTHON3, X_OK) == 0 && access(TAMRIX_DEVNODE, R_OK) == 0;
}

BlockWork quiet_get_work(GbtClient& client) {
  testing::internal::CaptureStdout();
  BlockWork work = client.get_work();
  testing::internal::GetCapturedStdout();
  return work;
}

}  // namespace

TEST(DevNode, SolvedWorkIsAcceptedWithAndWithoutTransactionsAndCommitment) {
  if (!devnode_available()) GTEST_SKIP() << "python3 or tools/devnode.py missing";
  // Templates in turn: 0 and 3 transactions without a commitment, then with one.
  DevNode node({"--zero-bits", "8", "--txs", "0,3", "--witness", "alternate", "--height", "16"});
  ASSERT_FALSE(node.url().empty()) << "devnode did not start";
  GbtClient client(node.url(), "tamrix", "tamrix", "tmx1qreward");

  for (int block = 0; block < 4; ++block) {
    const BlockWork work = quiet_get_work(client);
    ASSERT_TRUE(work.valid);
    EXPECT_EQ(work.height, 16 + block);
    testing::internal::CaptureStderr();
    const bool accepted = client.submit_block(work, find_nonce(work, true)).verdict == SubmitVerdict::accepted;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(accepted) << "block " << block << ": " << err;
  }
  const Stats stats = stats_of(client);
  EXPECT_EQ(stats.accepted, 4);
  EXPECT_EQ(stats.rejected, 0);
  EXPECT_EQ(node.stop(), "devnode: accepted 4, rejected 0");
  EXPECT_TRUE(WIFEXITED(node.exit_status()) && WEXITSTATUS(node.exit_status()) == 0);
}

TEST(DevNode, CorruptedBlocksAreRejectedWithTheNodesReason) {
  if (!devnode_available()) GTEST_SKIP() << "python3 or tools/devnode.py missing";
  DevNode node({"--zero-bits", "8", "--txs", "2", "--witness"});
  ASSERT_FALSE(node.url().empty()) << "devnode did not start";
  GbtClient client(node.url(), "tamrix", "tamrix", "tmx1qreward");
  const BlockWork work = quiet_get_work(client);
  ASSERT_TRUE(work.valid);

  BlockWork flipped = work;
  char& last = flipped.txn_hex.back();
  last = last == '0' ? '1' : '0';
  const uint32_t good_nonce = find_nonce(work, true);
  const struct { const BlockWork* work; uint32_t nonce; } attempts[] = {
      {&flipped, good_nonce}, {&work, find_nonce(work, false)}};
  for (const auto& attempt : attempts) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(client.submit_block(*attempt.work, attempt.nonce).verdict, SubmitVerdict::refused);
    const std::string err = testing::internal::GetCapturedStderr();
    const Stats stats = stats_of(client);
    ASSERT_FALSE(stats.last_reject.empty());
    EXPECT_EQ(err, "Block rejected: " + stats.last_reject + "\n");
  }
  const Stats stats = stats_of(client);
  EXPECT_EQ(stats.accepted, 0);
  EXPECT_EQ(stats.rejected, 2);
  EXPECT_EQ(stats.last_reject, "high-hash");

  // The uncorrupted block still goes through.
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.submit_block(work, good_nonce).verdict, SubmitVerdict::accepted);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Merkle trees with odd levels above the first (4 to 7 template
// transactions) and a 2 MB template of 3000, each root checked by the node
// with hashlib. The node's curtime ticks meanwhile, as a real node's does.
TEST(DevNode, LargeAndOddSizedTemplatesAreAccepted) {
  if (!devnode_available()) GTEST_SKIP() << "python3 or tools/devnode.py missing";
  const int counts[] = {4, 5, 6, 7, 3000};
  DevNode node({"--zero-bits", "8", "--txs", "4,5,6,7,3000", "--tx-size", "333", "--tick-curtime", "--witness"});
  ASSERT_FALSE(node.url().empty()) << "devnode did not start";
  GbtClient client(node.url(), "tamrix", "tamrix", "tmx1qreward");

  for (int count : counts) {
    const BlockWork work = quiet_get_work(client);
    ASSERT_TRUE(work.valid);
    // Count prefix, 333 bytes of hex per template transaction, and the coinbase.
    EXPECT_GT(work.txn_hex.size(), 666u * count) << count;
    testing::internal::CaptureStderr();
    const bool accepted = client.submit_block(work, find_nonce(work, true)).verdict == SubmitVerdict::accepted;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(accepted) << count << " transactions: " << err;
  }
  const Stats stats = stats_of(client);
  EXPECT_EQ(stats.accepted, 5);
  EXPECT_EQ(stats.rejected, 0);
}

namespace {

// Polls `condition` every 10 ms for up to `limit_ms`.
bool eventually(const std::function<bool()>& condition, int limit_ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

json_int_t longpolls_held(GbtClient& client) {
  json_error_t error;
  const JsonDoc doc(json_loads(client.rpc_call("getstats", "[]").c_str(), 0, &error));
  return json_integer_value(json_object_get(json_object_get(json_object_get(doc.get(), "result"), "longpoll"),
                                            "held"));
}

}  // namespace

// The watch's request is held by the node until its tip moves, whether by
// another miner's block or by one of ours, and the fingerprint it reports
// is the one the next work's header carries.
TEST(DevNode, LongpollWatchHearsOfEveryNewTip) {
  if (!devnode_available()) GTEST_SKIP() << "python3 or tools/devnode.py missing";
  DevNode node({"--zero-bits", "8", "--longpoll-hold", "30"});
  ASSERT_FALSE(node.url().empty()) << "devnode did not start";
  GbtClient client(node.url(), "tamrix", "tamrix", "tmx1qreward");
  std::atomic<int> news{0};
  LongpollWatch watch;
  ASSERT_TRUE(start_longpoll_watch(watch, {node.url(), "tamrix", "tamrix", [&news] { ++news; }, {}}));

  const BlockWork first = quiet_get_work(client);
  ASSERT_TRUE(first.valid);
  ASSERT_TRUE(eventually([&] { return longpolls_held(client) == 1; }));
  EXPECT_EQ(watch.tip_fingerprint.load(), tip_fingerprint_of(first.header));

  client.rpc_call("devnode_newtip", "[]");
  ASSERT_TRUE(eventually([&] { return watch.tip_changes.load() == 1; }));
  const BlockWork second = quiet_get_work(client);
  EXPECT_EQ(watch.tip_fingerprint.load(), tip_fingerprint_of(second.header));
  EXPECT_NE(tip_fingerprint_of(second.header), tip_fingerprint_of(first.header));

  ASSERT_TRUE(eventually([&] { return longpolls_held(client) == 1; }));
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.submit_block(second, find_nonce(second, true)).verdict, SubmitVerdict::accepted);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(eventually([&] { return watch.tip_changes.load() == 2; }));
  const BlockWork third = quiet_get_work(client);
  EXPECT_EQ(watch.tip_fingerprint.load(), tip_fingerprint_of(third.header));
  EXPECT_EQ(news.load(), 2);

  ASSERT_TRUE(eventually([&] { return longpolls_held(client) == 1; }));
  stop_longpoll_watch(watch);
  EXPECT_FALSE(watch.unsupported.load());
  EXPECT_TRUE(eventually([&] { return longpolls_held(client) == 0; }));  // the node saw it go
}

namespace {

// Waits up to ten seconds for the link's events until `done` says enough.
std::vector<NodeEvent> events_until(NodeLink& link, LoopWakeup& wakeup,
                                    const std::function<bool(const std::vector<NodeEvent>&)>& done) {
  std::vector<NodeEvent> events;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done(events) && std::chrono::steady_clock::now() < give_up) {
    (void)wakeup.try_acquire_for(std::chrono::milliseconds(100));
    take_node_events(link, events);
  }
  return events;
}

template <class Event>
int count_of(const std::vector<NodeEvent>& events) {
  return static_cast<int>(std::count_if(events.begin(), events.end(),
                                        [](const NodeEvent& e) { return std::holds_alternative<Event>(e); }));
}

}  // namespace

// The link fetches by itself, sends a block handed to it, posts the node's
// verdict, and fetches on the new tip at once (that fetch says so).
TEST(DevNode, NodeLinkFetchesSubmitsAndFetchesAtOnceAfterItsBlock) {
  if (!devnode_available()) GTEST_SKIP() << "python3 or tools/devnode.py missing";
  DevNode node({"--zero-bits", "8", "--height", "40"});
  ASSERT_FALSE(node.url().empty()) << "devnode did not start";
  LoopWakeup wakeup{0};
  NodeLink link;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(start_node_link(link, NodeLinkSettings{{{node.url(), "tamrix", "tamrix"}}, "tmx1qreward",
                                                     &wakeup, [] { return false; }, [] { return false; }}));
  std::vector<NodeEvent> events =
      events_until(link, wakeup, [](const std::vector<NodeEvent>& e) { return count_of<WorkArrived>(e) > 0; });
  ASSERT_EQ(count_of<WorkArrived>(events), 1);
  const WorkArrived& first = std::get<WorkArrived>(events[0]);
  EXPECT_EQ(first.work.height, 40);
  EXPECT_EQ(first.announcement.rfind("New block 40, 0 txs, target ", 0), 0u) << first.announcement;
  EXPECT_FALSE(first.after_block_of_ours);

  SolvedBlock block;
  block.id = 7;
  block.work = first.work;
  block.nonce = find_nonce(first.work, true);
  submit_solved_block(link, block);
  events = events_until(link, wakeup, [](const std::vector<NodeEvent>& e) {
    return std::any_of(e.begin(), e.end(), [](const NodeEvent& event) {
      const WorkArrived* work = std::get_if<WorkArrived>(&event);
      return work && work->after_block_of_ours;
    });
  });
  const auto fresh = std::find_if(events.begin(), events.end(), [](const NodeEvent& e) {
    return std::holds_alternative<WorkArrived>(e) && std::get<WorkArrived>(e).after_block_of_ours;
  });
  ASSERT_NE(fresh, events.end());
  EXPECT_EQ(std::get<WorkArrived>(*fresh).work.height, 41);
  const auto answer = std::find_if(events.begin(), events.end(),
                                   [](const NodeEvent& e) { return std::holds_alternative<BlockAnswered>(e); });
  ASSERT_NE(answer, events.end());
  EXPECT_EQ(std::get<BlockAnswered>(*answer).id, 7u);
  EXPECT_EQ(std::get<BlockAnswered>(*answer).verdict, BlockVerdict::accepted);
  finish_node_link(link);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(node.stop(), "devnode: accepted 1, rejected 0");
}
