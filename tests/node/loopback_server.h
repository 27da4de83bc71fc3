#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// A scripted HTTP server on 127.0.0.1 with a kernel-chosen port, for driving
// the client's transport in tests. Each accepted connection gets one request
// read in full and the next scripted reply, then is closed. Replies are raw
// bytes, so tests control status lines, framing and pieces exactly.
struct ScriptedReply {
  std::vector<std::string> pieces;  // written in order, with a pause between
  int pause_ms = 0;                 // cut short when the client hangs up
};

class LoopbackServer {
 public:
  explicit LoopbackServer(std::vector<ScriptedReply> replies);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::string url() const;
  // Stops serving and returns every request received, raw, in order.
  std::vector<std::string> finish();
  // Requests read so far; safe to ask while serving.
  int requests_seen() const { return seen_.load(); }
  // When each request had been read, in seconds since the server started;
  // read after finish().
  const std::vector<double>& arrival_seconds() const { return arrivals_; }

 private:
  void serve();

  std::vector<ScriptedReply> replies_;
  std::vector<std::string> requests_;
  std::vector<double> arrivals_;
  std::atomic<int> seen_{0};
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A complete HTTP/1.1 reply with a Content-Length body.
ScriptedReply http_reply(int status, const std::string& body);

// The same reply held back for `hold_ms` first, as a node holds a longpoll.
ScriptedReply held_reply(int hold_ms, int status, const std::string& body);

// The headers of an HTTP request, up to the blank line, and its body.
struct HttpRequest {
  std::string head;
  std::string body;
};
HttpRequest split_request(const std::string& raw);

// A port on 127.0.0.1 that was free a moment ago and has nothing listening.
int closed_port();
