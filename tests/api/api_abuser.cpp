// Abuses an HTTP server on 127.0.0.1 the ways a hostile or broken client
// would, one phase after another, for the API's abuse test and bench
// (tests/e2e/test_api_abuse_slow.py, bench/api_load.py):
//
//   hold     1,000 connections opened at once and held for 8 s
//   flood    10,000 pipelined GET requests a second for 10 s on keep-alive
//            connections (/summary, /metrics and / in turn)
//   bodies   four requests that announce 100 MB bodies and send them
//   methods  every other method, 40 requests each (10 s at most)
//
// and through all of it one client that sends its headers a byte every half
// second. Only loopback, bounded in count and time: it ends by itself after
// about 35 s. Against a port nothing listens on, it makes the same attempts
// (the baseline of the abuse test). Prints one line per phase:
// "PHASE: name=value ...". Usage: api_abuser PORT
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kHeldConnections = 1000;
constexpr auto kHoldFor = 8s;
constexpr int kFloodRate = 10000;  // requests a second
constexpr auto kFloodFor = 10s;
constexpr int kFloodConnections = 6;
constexpr long long kBodyBytes = 100LL * 1000 * 1000;
constexpr auto kBodyLongest = 3s;
constexpr int kRequestsPerMethod = 40;
constexpr auto kMethodsLongest = 10s;  // however slowly the server answers

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A non-blocking TCP socket connecting to 127.0.0.1:port; -1 when none could
// be made. The connection completes (or fails) later.
int open_connection(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// Waits up to `timeout` for the connection to complete; false when it failed.
bool connected(int fd, std::chrono::milliseconds timeout) {
  pollfd one{fd, POLLOUT, 0};
  if (poll(&one, 1, static_cast<int>(timeout.count())) != 1) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// Reads whatever is there without waiting; false once the peer has closed.
bool drain(int fd, std::string* into = nullptr) {
  char buffer[65536];
  while (true) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      if (into != nullptr) into->append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
}

size_t count_of(std::string_view text, std::string_view what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// The client that never finishes its headers: a byte every half second on
// one connection, opened again whenever the server closes it.
struct SlowClient {
  uint16_t port;
  int fd = -1;
  Clock::time_point next_byte{};
  long long bytes = 0;
  int connections = 0;

  void tick() {
    const Clock::time_point now = Clock::now();
    if (now < next_byte) return;
    next_byte = now + 500ms;
    if (fd >= 0 && !drain(fd)) {
      close(fd);
      fd = -1;
    }
    if (fd < 0) {
      fd = open_connection(port);
      if (fd < 0) return;
      ++connections;
      const char opening[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
      if (!connected(fd, 100ms) || send(fd, opening, sizeof opening - 1, MSG_NOSIGNAL) < 0) {
        close(fd);
        fd = -1;
        return;
      }
      bytes += sizeof opening - 1;
    }
    if (send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++bytes;
  }
};

// Sleeps in small steps, keeping the slow client going.
void pause_for(SlowClient& slow, std::chrono::milliseconds length) {
  const Clock::time_point end = Clock::now() + length;
  while (Clock::now() < end) {
    slow.tick();
    poll(nullptr, 0, 20);
  }
}

void hold_phase(SlowClient& slow) {
  std::vector<int> fds;
  for (int i = 0; i < kHeldConnections; ++i) {
    const int fd = open_connection(slow.port);
    if (fd >= 0) fds.push_back(fd);
  }
  int established = 0;
  for (const int fd : fds) established += connected(fd, 0ms);
  const Clock::time_point end = Clock::now() + kHoldFor;
  std::vector<bool> closed(fds.size(), false);
  while (Clock::now() < end) {
    for (size_t i = 0; i < fds.size(); ++i)
      if (!closed[i] && !drain(fds[i])) closed[i] = true;
    slow.tick();
    poll(nullptr, 0, 50);
  }
  int closed_by_server = 0;
  for (size_t i = 0; i < fds.size(); ++i) {
    closed_by_server += closed[i];
    close(fds[i]);
  }
  std::printf("hold: opened=%zu established=%d closed_by_server=%d\n", fds.size(), established, closed_by_server);
}

void flood_phase(SlowClient& slow) {
  const std::string paths[] = {"/summary", "/metrics", "/"};
  struct Connection {
    int fd = -1;
    Clock::time_point retry_at{};
  };
  std::vector<Connection> connections(kFloodConnections);
  long long offered = 0, written = 0, answered = 0, connects = 0;
  const Clock::time_point start = Clock::now();
  size_t next = 0;
  std::string replies;
  while (Clock::now() - start < kFloodFor) {
    const Clock::time_point now = Clock::now();
    for (Connection& c : connections) {
      if (c.fd >= 0) {
        replies.clear();
        const bool open = drain(c.fd, &replies);
        answered += static_cast<long long>(count_of(replies, "HTTP/1.1 "));
        if (!open) {
          close(c.fd);
          c.fd = -1;
        }
      }
      if (c.fd < 0 && now >= c.retry_at) {
        c.retry_at = now + 10ms;
        c.fd = open_connection(slow.port);
        ++connects;
      }
    }
    const long long due = static_cast<long long>(seconds_since(start) * kFloodRate);
    while (offered < due) {
      ++offered;
      Connection& c = connections[next++ % connections.size()];
      if (c.fd < 0) continue;
      const std::string request = "GET " + paths[offered % 3] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      const ssize_t sent = send(c.fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent == static_cast<ssize_t>(request.size())) {
        ++written;
      } else if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        close(c.fd);  // a request cut in half spoils the connection
        c.fd = -1;
      }
    }
    slow.tick();
    poll(nullptr, 0, 1);
  }
  for (Connection& c : connections)
    if (c.fd >= 0) close(c.fd);
  std::printf("flood: seconds=%.1f offered=%lld written=%lld answered=%lld connects=%lld\n", seconds_since(start),
              offered, written, answered, connects);
}

// Sends the announced body until the server closes or kBodyLongest passes;
// the bytes the kernel took, and the status line if one came back.
void one_body(SlowClient& slow, const char* method, const char* path, long long* bytes, std::string* statuses) {
  const int fd = open_connection(slow.port);
  if (fd < 0 || !connected(fd, 1000ms)) {
    if (fd >= 0) close(fd);
    *statuses += " refused";
    return;
  }
  const std::string head = std::string(method) + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                           std::to_string(kBodyBytes) + "\r\nContent-Type: application/octet-stream\r\n\r\n";
  send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  static const std::vector<char> zeros(1 << 16, 0);
  std::string reply;
  long long sent_total = 0;
  const Clock::time_point end = Clock::now() + kBodyLongest;
  bool open = true;
  while (open && sent_total < kBodyBytes && Clock::now() < end) {
    const ssize_t sent = send(fd, zeros.data(), zeros.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      sent_total += sent;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      break;  // reset by the server
    } else {
      pollfd one{fd, POLLOUT | POLLIN, 0};
      poll(&one, 1, 20);
    }
    open = drain(fd, &reply);
    slow.tick();
  }
  drain(fd, &reply);
  close(fd);
  *bytes += sent_total;
  *statuses += " " + (reply.rfind("HTTP/1.1 ", 0) == 0 ? reply.substr(9, 3) : std::string("none"));
}

void bodies_phase(SlowClient& slow) {
  long long bytes = 0;
  std::string statuses;
  one_body(slow, "POST", "/summary", &bytes, &statuses);
  one_body(slow, "GET", "/metrics", &bytes, &statuses);
  one_body(slow, "PUT", "/", &bytes, &statuses);
  one_body(slow, "GET", "/", &bytes, &statuses);
  std::printf("bodies: requests=4 announced_bytes=%lld sent_bytes=%lld statuses=%s\n", 4 * kBodyBytes, bytes,
              statuses.empty() ? "" : statuses.c_str() + 1);
}

void methods_phase(SlowClient& slow) {
  const char* methods[] = {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "HEAD", "TRACE", "CONNECT", "PROPFIND", "BREW"};
  int sent = 0, refused = 0, answered_405 = 0, answered_other = 0, unanswered = 0;
  const Clock::time_point phase_end = Clock::now() + kMethodsLongest;
  for (const char* method : methods) {
    for (int i = 0; i < kRequestsPerMethod && Clock::now() < phase_end; ++i) {
      const int fd = open_connection(slow.port);
      if (fd < 0 || !connected(fd, 1000ms)) {
        if (fd >= 0) close(fd);
        ++refused;
        continue;
      }
      const std::string request = std::string(method) + " /summary HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      ++sent;
      std::string reply;
      pollfd one{fd, POLLIN, 0};
      const Clock::time_point end = Clock::now() + 2s;
      while (reply.find("\r\n") == std::string::npos && Clock::now() < end) {
        poll(&one, 1, 20);
        if (!drain(fd, &reply)) break;
      }
      close(fd);
      if (reply.rfind("HTTP/1.1 405", 0) == 0)
        ++answered_405;
      else if (reply.rfind("HTTP/1.1 ", 0) == 0)
        ++answered_other;
      else
        ++unanswered;
    }
    slow.tick();
  }
  std::printf("methods: sent=%d refused=%d answered_405=%d answered_other=%d unanswered=%d\n", sent, refused,
              answered_405, answered_other, unanswered);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::atoi(argv[1]) <= 0 || std::atoi(argv[1]) > 65535) {
    std::fprintf(stderr, "usage: api_abuser PORT\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  SlowClient slow{static_cast<uint16_t>(std::atoi(argv[1]))};
  const Clock::time_point start = Clock::now();
  hold_phase(slow);
  pause_for(slow, 500ms);
  flood_phase(slow);
  pause_for(slow, 500ms);
  bodies_phase(slow);
  methods_phase(slow);
  pause_for(slow, 1000ms);
  std::printf("slow-header: bytes=%lld connections=%d\n", slow.bytes, slow.connections);
  if (slow.fd >= 0) close(slow.fd);
  std::printf("done: seconds=%.1f\n", seconds_since(start));
  return 0;
}
