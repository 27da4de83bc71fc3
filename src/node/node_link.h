#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "mine/search_state.h"
#include "node/block_work.h"
#include "node/node_address.h"
#include "node/node_clock.h"
#include "node/node_health.h"

// Every call the miner makes to its node, made off the mining loop's thread.
// Fetches, submissions and the longpoll watch each run on their own
// connection and thread, so a submission never waits behind a fetch and a
// hung call stops nothing else. The link decides when to ask the node for
// work (about once a second, at once after a block of ours went in or the
// tip moved, every 5 s while fetches fail), paces every request of every
// connection, sends found blocks (again, while unanswered), and moves to a
// backup node when the main one fails. The loop only hands it solved blocks
// and consumes what it posts: the events below.
//
// Lines the operator reads about the node ("RPC call failed", "Failed to get
// work, retrying in 5s...", "Block rejected: ...", the node switches) are
// printed by the link where it learns them; the loop prints the lines about
// work and blocks as it takes the events ("New block ...", "Block N
// ACCEPTED ...").

struct NodeLinkSettings {
  std::vector<NodeAddress> nodes;  // [0] the main node (-o), then each --backup-node in order
  std::string coinbase_addr;
  // Released after every event posted, so that the loop's wait ends at once.
  // Must outlive the link.
  LoopWakeup* wakeup = nullptr;
  // True once calls other than submissions are to be abandoned (a stop),
  // and once submissions are too (a second signal). Asked on the link's
  // threads between waits of at most 50 ms; cheap and thread-safe.
  std::function<bool()> stop_requested;
  std::function<bool()> submissions_abandoned;
  // When to leave a failing node and return to the main one (node_health.h);
  // the defaults are the miner's, tests set shorter spans.
  NodeLinkTiming timing{};
};

// What became of a block the loop handed over. `pending` is the loop's own
// (handed over, no verdict yet); the link posts the other three, once per
// block.
enum class BlockVerdict {
  pending,
  accepted,  // the node took it: its answer, "duplicate" to a resend, or a tip that is this block
  refused,   // the node said no, with its reason
  lost,      // unanswered while it could still go in: the chain moved on, the time to keep
             // sending it passed, or the try made at a stop went unanswered too
};

// A block a device solved, as the loop hands it over.
struct SolvedBlock {
  uint64_t id = 0;        // the loop's number for it, echoed in its BlockAnswered
  BlockWork work;         // the work, with the header time the block was found with
  uint32_t nonce = 0;
  uint8_t hash[32] = {};  // the first 32 bytes of its header's SHA3-512 digest
  std::string device;     // "CPU" or "GPU", as the solution line named it
};

// ---- Events, posted by the link's threads in the order they happened.

// Fresh work from the node the link mines on: from a fetch, or from the
// template the longpoll watch was answered with when it named a new tip
// (right after that TipMoved, without another request).
struct WorkArrived {
  BlockWork work;
  std::string announcement;  // its "New block ..." line, newline included
  int node = 0;              // index into NodeLinkSettings::nodes
  bool after_block_of_ours = false;  // the fetch that followed a block of ours going in
};

// A fetch failed; its lines have been printed ("... retrying in 5s...").
struct FetchFailed {
  int node = 0;
};

// The longpoll watch heard of a new chain tip. Its template is at `height`
// (an older answer, from a node behind, carries the lower height it has);
// work on it follows at once, made of that very template (or fetched, when
// it cannot be), unless the link has fetched work on that tip already.
struct TipMoved {
  int32_t height = 0;
  uint64_t tip_fingerprint = 0;  // as tip_fingerprint_of reads header bytes 4..11
};

// The final word on a block handed over with submit_solved_block.
struct BlockAnswered {
  uint64_t id = 0;
  BlockVerdict verdict = BlockVerdict::lost;
  std::string reason;  // refused: the node's words; lost: why, in words
};

// The longpoll watch holds a request on the node the link mines on (the
// tip has not moved while it does), or no longer does: posted when the
// first held request goes out, and when one fails, is refused, moves to
// another node or ends. Between a held request's answer and the next one
// (a quarter of a second to a second) it stays holding.
struct WatchChanged {
  bool holding = false;
};

// The link moved to another node (its line has been printed).
struct NodeSwitched {
  int node = 0;
};

using NodeEvent = std::variant<WorkArrived, FetchFailed, TipMoved, BlockAnswered, WatchChanged, NodeSwitched>;

// ---- What the link knows about itself, for the status lines and the API.

enum class NodeState {
  connecting,  // no answer yet
  answering,   // the last fetch succeeded
  failing,     // the last fetch failed
};

enum class LongpollState {
  starting,     // no template seen yet on the watch's connection
  holding,      // a request is held by the node
  retrying,     // the last request failed; asking again soon
  unsupported,  // the node offers or allows no longpoll; the watch has ended
};

// Requests sent so far, by method and connection ("fetch", "submit",
// "longpoll", "probe": the main node asked while a backup is mined on) and
// node. All but submissions and the fetch right after a block of ours went
// in share one budget of about three a second (request_pacer.h).
struct RequestCount {
  std::string method;
  std::string connection;
  int node = 0;
  uint64_t count = 0;
};

struct NodeLinkStatus {
  int node = 0;                    // the node mined on
  std::string url_shown;           // its URL as printed: password masked, printable
  NodeState state = NodeState::connecting;
  NodeClock::time_point state_since{};
  LongpollState longpoll = LongpollState::starting;
  std::vector<RequestCount> requests;
};

// ---- The link itself. Its threads and queues live behind `state`.

struct NodeLinkState;

struct NodeLink {
  std::unique_ptr<NodeLinkState> state;
  NodeLink();
  NodeLink(const NodeLink&) = delete;
  NodeLink& operator=(const NodeLink&) = delete;
  ~NodeLink();  // finish_node_link, if it has not run
};

// Starts the link's threads; the first fetch goes out at once. Returns false,
// after one line on stderr, when a thread cannot be started. Creates every
// connection on the calling thread (libcurl's global set-up is not
// thread-safe), so it is called from the main thread.
bool start_node_link(NodeLink& link, NodeLinkSettings settings);

// Hands a solved block over; returns at once. It goes to every node at once,
// whatever else is under way, and again while unanswered; after a refusal
// it waits for fresh work first (submission_book.h has the rules).
void submit_solved_block(NodeLink& link, SolvedBlock block);

// Moves every event posted since the last call to the end of `events`.
void take_node_events(NodeLink& link, std::vector<NodeEvent>& events);

// After the loop has stopped: abandons fetches and the watch, sends every
// unanswered block once more (a second signal cuts that short) and joins
// the threads. The events it posts meanwhile (the last BlockAnswered) are
// left for take_node_events. Harmless when called twice.
void finish_node_link(NodeLink& link);

NodeLinkStatus node_link_status(const NodeLink& link);
