#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// Learns of a new chain tip as soon as the node does, with BIP 22 longpoll:
// a getblocktemplate request carrying the last "longpollid", which the node
// holds until its tip changes (or until it has a fresher template to offer).
// The request is held on a connection and a thread of its own, so the main
// connection stays free for templates and submissions.
//
// The watch is self-contained: it fetches its own first template for an id,
// follows the id of each answer, and backs off after a failure to at most
// one request per 5 s. A node that does not offer longpoll (no "longpollid"
// in its templates) or refuses it (an error object, HTTP 403 or 404) is told
// once on stderr where it refuses, and the watch then ends; the mining loop
// refreshes on its clock alone.

struct LongpollSettings {
  std::string url;   // as given with -o
  std::string user;  // -u
  std::string pass;  // -p
  // Called on the watch's thread each time tip_changes has moved; must be
  // cheap and thread-safe (the mining loop releases its wakeup).
  std::function<void()> on_new_tip;
  // True once pending requests are to be abandoned (a stop); read from the
  // watch's thread about once a second while a request is held.
  std::function<bool()> give_up;
};

struct LongpollWatch {
  // Written by the watch's thread only; read by the mining loop.
  // Times an answer named a previousblockhash other than the one before.
  std::atomic<uint64_t> tip_changes{0};
  // The tip last seen: header bytes 4..11 of a template with that
  // previousblockhash, read little-endian; 0 until the first answer.
  std::atomic<uint64_t> tip_fingerprint{0};
  // The node does not offer or refuses longpoll; the watch has ended.
  std::atomic<bool> unsupported{false};

  std::atomic<bool> running{false};  // cleared by stop_longpoll_watch
  std::thread thread;

  LongpollWatch() = default;
  LongpollWatch(const LongpollWatch&) = delete;
  LongpollWatch& operator=(const LongpollWatch&) = delete;
  ~LongpollWatch();
};

// Starts the watch's thread. Returns false, after one line on stderr, when
// the system refuses the thread; the loop then refreshes on its clock alone.
bool start_longpoll_watch(LongpollWatch& watch, LongpollSettings settings);

// Abandons a held request within about a second and joins the thread.
// Harmless when the watch never started or has ended.
void stop_longpoll_watch(LongpollWatch& watch);

// The fingerprint of a header's tip, as tip_fingerprint holds it.
uint64_t tip_fingerprint_of(const uint8_t header[80]);
