#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class GbtClient;

// Learns of a new chain tip as soon as the node does, with BIP 22 longpoll:
// a getblocktemplate request carrying the last "longpollid", which the node
// holds until its tip changes (or until it has a fresher template to offer;
// nodes of this family answer after about a minute with the same tip). The
// request is held on a connection and a thread of its own, so the main
// connection stays free for templates and submissions.
//
// The watch is self-contained: it fetches its own first template for an id,
// follows the id of each answer, and backs off after a failure to at most
// one request per 5 s. An answer with the same tip is followed by the next
// request no sooner than 1 s after the last one was sent, so even a node
// that answers at once never draws more than one request a second. A node
// that does not offer longpoll (no "longpollid" in its templates) or refuses
// it (HTTP 403 or 404, or an error object twice, with a plain template in
// between, since one error may be the node's passing trouble) is told once on
// stderr, and the watch then ends; the mining loop refreshes on its clock
// alone. Failures are not reported, apart from the first failure of a held
// request: the main connection reports the node's trouble.

struct LongpollSettings {
  std::string url;   // as given with -o
  std::string user;  // -u
  std::string pass;  // -p
  // Called on the watch's thread each time tip_changes has moved; must be
  // cheap and thread-safe (the mining loop releases its wakeup).
  std::function<void()> on_new_tip;
  // True once pending requests are to be abandoned (a stop); read from the
  // watch's thread at least every 50 ms while a request is held or the
  // watch waits. While it answers true the watch sends nothing.
  std::function<bool()> give_up;
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

  std::atomic<bool> running{false};  // cleared by stop_longpoll_watch
  std::thread thread;
  // The watch's own connection. Made by start_longpoll_watch and released
  // by stop_longpoll_watch, on the thread that calls them, since libcurl's
  // global set-up and tear-down are not thread-safe.
  std::unique_ptr<GbtClient> client;

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
