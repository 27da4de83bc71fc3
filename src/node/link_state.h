#pragma once

// The node link's insides, shared by its files (node_link.cpp, the public
// calls; link_fetcher.cpp, the fetch thread; link_submitter.cpp, the submit
// threads). Nothing outside src/node includes this.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "node/gbt_client.h"
#include "node/longpoll_watch.h"
#include "node/node_link.h"
#include "node/request_pacer.h"
#include "node/submission_book.h"

// The connections a request can go out on, as NodeLinkStatus names them.
inline constexpr const char* kFetchConnection = "fetch";
inline constexpr const char* kSubmitConnection = "submit";
inline constexpr const char* kWatchConnection = "longpoll";
inline constexpr const char* kProbeConnection = "probe";

// Everything the link's threads share. The members under `lock` are written
// by any of them; the clients and threads belong to the thread that uses
// them, and are made and released on the thread that starts and finishes
// the link (libcurl's global set-up is not thread-safe).
struct NodeLinkState {
  NodeLinkSettings settings;

  std::mutex lock;
  std::condition_variable changed;  // wakes every thread of the link that waits
  std::vector<NodeEvent> events;
  NodeLinkStatus status;
  std::map<std::tuple<std::string, std::string, int>, uint64_t> requests;  // method, connection, node
  RequestPacer pacer;
  SubmissionBook book;
  int mined_on = 0;              // the node whose work the loop gets; the watch follows it
  bool block_went_in = false;    // a node took a block of ours: fetch at once, unpaced
  bool tip_news = false;         // the watch named a tip not fetched yet: fetch soon
  std::string news_reply;        // the watch's template that named it, made into work instead
  int news_reply_node = 0;       // the node that sent it
  uint64_t news_tip = 0;         // the tip it named
  uint64_t fetched_tip = 0;      // the tip of the last work fetched
  bool finishing = false;
  std::atomic<bool> winding_down{false};  // finishing, for the clients' give-up checks
  std::vector<uint64_t> sending;          // per node, the block its submit thread has out (0: none)
  // Per node, set when the block out there has its verdict from elsewhere:
  // the send is given up, so that a node that hangs holds up nothing.
  std::unique_ptr<std::atomic<bool>[]> send_moot;

  std::vector<std::unique_ptr<GbtClient>> fetch_clients;   // one per node
  std::unique_ptr<GbtClient> probe_client;                 // the main node, asked while on a backup
  std::vector<std::unique_ptr<GbtClient>> submit_clients;  // one per node
  bool fetch_unpaced = false;    // the fetch thread's next getblocktemplate is the exempt one
  LongpollWatch watch;
  std::thread fetcher;
  std::vector<std::thread> submitters;
};

// A stop asked for, or the link finishing: fetches, probes and the watch end.
bool link_stopping(const NodeLinkState& s);
// A second signal: submissions end too.
bool link_abandoned(const NodeLinkState& s);

// Both with the lock held: an event for the loop (its wakeup released), and
// what a step of the submission book decided (lines printed, events posted).
void post_locked(NodeLinkState& s, NodeEvent event);
void publish_locked(NodeLinkState& s, BookNews news);

// Waits, with the lock released meanwhile, for the request budget; counts
// the request sent. False, without a request, once `give_up` answers true.
bool await_request_budget(NodeLinkState& s, const std::function<bool()>& give_up);

// Counts one request on `connection` to `node`; takes the lock.
void count_request(NodeLinkState& s, const char* method, const char* connection, int node);

// Gives the memory a large reply or block left free in this thread's malloc
// arena back to the system. Each of the link's threads has an arena of its
// own, and glibc keeps what a thread freed there for that thread, so that
// without this a template for the largest block (20 MB as text, 70 MB parsed)
// would stay resident once per thread that ever handled one.
void return_freed_memory(size_t bytes_handled);

// The fetch thread's and a submit thread's bodies.
void fetch_until_stopped(NodeLinkState& s);
void submit_until_finished(NodeLinkState& s, int node);
