#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

int bind_loopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

bool wait_readable(int fd, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 50) > 0) return true;
  }
  return false;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of a header line in `head`, "" when absent.
std::string header_value(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + lower(name) + ":";
  const std::string low = lower(head);
  const size_t at = low.find(key);
  if (at == std::string::npos) return "";
  size_t start = at + key.size();
  while (start < head.size() && head[start] == ' ') ++start;
  return head.substr(start, head.find("\r\n", start) - start);
}

void send_all(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// Reads one request: headers, then as many body bytes as Content-Length says.
// Answers "Expect: 100-continue" so the client does not wait for it.
std::string read_request(int fd, const std::atomic<bool>& stop) {
  std::string raw;
  bool continued = false;
  char buffer[4096];
  while (wait_readable(fd, stop)) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    raw.append(buffer, static_cast<size_t>(n));
    const size_t head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) continue;
    const std::string head = raw.substr(0, head_end);
    if (!continued && lower(header_value(head, "Expect")) == "100-continue") {
      send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n");
      continued = true;
    }
    const size_t body_length = std::strtoul(header_value(head, "Content-Length").c_str(), nullptr, 10);
    if (raw.size() >= head_end + 4 + body_length) break;
  }
  return raw;
}

// Sleeps `pause_ms` unless the client hangs up or the server stops first,
// so that a reply held back for long costs a test nothing once the client
// has given up on it. False when the wait was cut short.
bool pause_unless_gone(int fd, int pause_ms, const std::atomic<bool>& stop) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pause_ms);
  while (!stop && std::chrono::steady_clock::now() < until) {
    pollfd entry{fd, POLLRDHUP, 0};
    char byte;
    if (poll(&entry, 1, 10) > 0 && recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return false;
  }
  return !stop;
}

}  // namespace

LoopbackServer::LoopbackServer(std::vector<ScriptedReply> replies) : replies_(std::move(replies)) {
  listen_fd_ = bind_loopback(&port_);
  listen(listen_fd_, 8);
  thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() { finish(); }

std::string LoopbackServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

std::vector<std::string> LoopbackServer::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  return requests_;
}

void LoopbackServer::serve() {
  for (const ScriptedReply& reply : replies_) {
    if (!wait_readable(listen_fd_, stop_)) return;
    const int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    requests_.push_back(read_request(fd, stop_));
    arrivals_.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
    ++seen_;
    for (size_t i = 0; i < reply.pieces.size(); ++i) {
      if (i > 0 && !pause_unless_gone(fd, reply.pause_ms, stop_)) break;
      send_all(fd, reply.pieces[i]);
    }
    shutdown(fd, SHUT_WR);
    close(fd);
  }
}

ScriptedReply http_reply(int status, const std::string& body) {
  const std::string reason = status == 200 ? "OK" : "Error";
  return {{"HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body},
          0};
}

ScriptedReply held_reply(int hold_ms, int status, const std::string& body) {
  ScriptedReply reply = http_reply(status, body);
  reply.pieces.insert(reply.pieces.begin(), "");
  reply.pause_ms = hold_ms;
  return reply;
}

HttpRequest split_request(const std::string& raw) {
  const size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return {raw, ""};
  return {raw.substr(0, head_end + 2), raw.substr(head_end + 4)};
}

int closed_port() {
  int port = 0;
  const int fd = bind_loopback(&port);
  close(fd);
  return port;
}
