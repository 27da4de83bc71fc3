#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "node/node_address.h"

class GbtClient;

// Learns of a new chain tip as soon as the node does, with BIP 22 longpoll:
// a getblocktemplate request carrying the last "longpollid", which the node
// holds until its tip changes (or until it has a fresher template to offer;
// nodes of this family answer after about a minute with the same tip). The
// request is held on a connection and a thread of its own, so the main
// connection stays free for templates and submissions.
//
// The watch is self-contained: it fetches its own first template for an id,
// follows the id of each answer, and paces itself (watch_pace.h): never two
// requests within 250 ms, a second after an answer with the same tip, and
// after failures 5 s doubling up to a minute. A node that does not offer
// longpoll or refuses it is given a second chance first, since one bad
// answer may be the node's passing trouble: a template without a usable
// "longpollid", or an error object to the held request, twice in a row
// with 5 s between (HTTP 403 or 404 at once) is told once on stderr, and
// the watch then ends; the fetches on the clock go on. Failures are not
// reported, apart from the first failure of a held request: the main
// connection reports the node's trouble.
//
// With several nodes (the node link's backups) the watch follows the one
// `watched_node` names, abandoning a held request on the others.

struct LongpollSettings {
  std::string url;   // as given with -o
  std::string user;  // -u
  std::string pass;  // -p
  // Called on the watch's thread each time tip_changes has moved; must be
  // cheap and thread-safe (the mining loop releases its wakeup). The tip's
  // members are written before, on the same thread, so they agree here.
  std::function<void()> on_new_tip;
  // True once pending requests are to be abandoned (a stop); read from the
  // watch's thread at least every 50 ms while a request is held or the
  // watch waits. While it answers true the watch sends nothing.
  std::function<bool()> give_up;

  // What the node link adds; left empty, the watch watches `url` alone.
  std::vector<NodeAddress> more_nodes{};  // nodes 1, 2, ... after `url`
  std::function<int()> watched_node{};  // the node to watch (0 is `url`), asked between requests
  // Called when a held request goes out after none was, and when the watch
  // no longer holds one (a failure, a refusal, a switch of node, its end).
  std::function<void(bool holding)> on_holding{};
  // Called before each request with the node it goes to; the request goes
  // once it returns true, and is given up when it returns false.
  std::function<bool(int node)> before_request{};
  // Called, before on_new_tip, with the reply that named the new tip: a
  // whole template, which the node link makes work of instead of asking
  // for another.
  std::function<void(std::string reply)> on_new_tip_reply{};
};

struct LongpollWatch {
  // Written by the watch's thread only; read by the mining loop.
  // Times an answer named a previousblockhash other than the one before;
  // moved after tip_fingerprint has been written.
  std::atomic<uint64_t> tip_changes{0};
  // The tip last seen: header bytes 4..11 of a template with that
  // previousblockhash, read little-endian; 0 until the first answer.
  std::atomic<uint64_t> tip_fingerprint{0};
  // The height of the template that named that tip.
  std::atomic<int32_t> tip_height{0};
  // The node does not offer or refuses longpoll; the watch has ended.
  std::atomic<bool> unsupported{false};
  // A held request is out, or is about to go again after an answer.
  std::atomic<bool> holding{false};
  // The last request failed; the watch waits before the next.
  std::atomic<bool> retrying{false};
  // The node the watch's requests go to now (0 is the settings' url).
  std::atomic<int> watching{0};

  std::atomic<bool> running{false};  // cleared by stop_longpoll_watch
  std::thread thread;
  // The watch's own connections, one per node. Made by start_longpoll_watch
  // and released by stop_longpoll_watch, on the thread that calls them,
  // since libcurl's global set-up and tear-down are not thread-safe.
  std::vector<std::unique_ptr<GbtClient>> clients;

  LongpollWatch();
  LongpollWatch(const LongpollWatch&) = delete;
  LongpollWatch& operator=(const LongpollWatch&) = delete;
  ~LongpollWatch();
};

// Starts the watch's thread. Returns false, after one line on stderr, when
// the system refuses the thread; the loop then refreshes on its clock alone.
bool start_longpoll_watch(LongpollWatch& watch, LongpollSettings settings);

// Abandons a held request within about 50 ms and joins the thread.
// Harmless when the watch never started or has ended.
void stop_longpoll_watch(LongpollWatch& watch);

// The JSON-RPC id of the watch's requests; the main connection's carry 1.
constexpr int kLongpollRequestId = 2;

// The fingerprint of a header's tip, as tip_fingerprint holds it.
uint64_t tip_fingerprint_of(const uint8_t header[80]);
