// The API's server on a real loopback socket: what it answers before and
// after the first publish, how often it copies the record however many
// requests come, keep-alive, its limits on connections and headers, its
// thread's priority, a port already taken, and a stop. (The statuses and
// headers of every kind of request are checked on the real binary, in
// tests/e2e/test_api.py.) A publisher thread
// runs beside the requests, so ThreadSanitizer sees the board shared.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/api_server.h"
#include "sample_rig.h"

namespace {

using namespace std::chrono_literals;

// A TCP connection to 127.0.0.1:port; -1 when refused.
int connect_to(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads one response (headers and a Content-Length body), or what came
// before the peer closed; "" after 5 s of nothing.
std::string read_response(int fd) {
  std::string text;
  char buffer[4096];
  while (true) {
    const size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) {
      const size_t length_at = text.find("Content-Length: ");
      const size_t length = length_at == std::string::npos ? 0 : std::stoul(text.substr(length_at + 16));
      if (text.size() >= end + 4 + length) return text.substr(0, end + 4 + length);
    }
    pollfd one{fd, POLLIN, 0};
    if (poll(&one, 1, 5000) != 1) return text;
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return text;
    text.append(buffer, static_cast<size_t>(got));
  }
}

int status_of(const std::string& response) {
  return response.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(response.substr(9, 3)) : 0;
}

std::string get(int fd, const std::string& path, const std::string& extra = "") {
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return "";
  return read_response(fd);
}

int get_status(uint16_t port, const std::string& path, const std::string& extra = "") {
  const int fd = connect_to(port);
  if (fd < 0) return -1;
  const int status = status_of(get(fd, path, extra));
  close(fd);
  return status;
}

// True once the peer has closed the connection (within 5 s: the server's
// thread runs at nice 19 and may wait for a busy machine).
bool closed_by_peer(int fd) {
  pollfd one{fd, POLLIN, 0};
  if (poll(&one, 1, 5000) != 1) return false;
  char byte;
  return recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// A server on a free port reading `board`, counting its reads.
struct Served {
  RigBoard board;
  std::atomic<int> reads{0};
  ApiServer server;
  uint16_t port = 0;

  bool start() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      ApiServerSettings settings;
      settings.bind.port = static_cast<uint16_t>(20000 + (getpid() * 7 + attempt * 131) % 40000);
      settings.read_status = [this](bool* published) {
        ++reads;
        return read_rig_status(board, published);
      };
      port = settings.bind.port;
      std::string error;
      if (start_api_server(server, std::move(settings), &error)) return true;
    }
    return false;
  }
};

TEST(ApiServer, AnswersFromTheLastPublishAndCopiesItAtMostFourTimesASecond) {
  Served served;
  ASSERT_TRUE(served.start());
  EXPECT_EQ(get_status(served.port, "/summary"), 503);  // nothing published yet
  EXPECT_EQ(get_status(served.port, "/"), 200);          // the page needs no record

  std::this_thread::sleep_for(kApiReadInterval + 50ms);
  publish_rig_status(served.board, sample_rig());
  // A publisher beside the requests, as the loop is.
  std::atomic<bool> publishing{true};
  std::thread publisher([&] {
    RigStatus rig = sample_rig();
    while (publishing.load()) {
      ++rig.blocks_accepted;
      publish_rig_status(served.board, rig);
      std::this_thread::sleep_for(1ms);
    }
  });
  const int reads_before = served.reads.load();
  const int fd = connect_to(served.port);
  ASSERT_GE(fd, 0);
  const auto start = std::chrono::steady_clock::now();
  int answered = 0;
  for (int i = 0; i < 200; ++i) {  // one keep-alive connection
    const std::string response = get(fd, i % 2 ? "/metrics" : "/summary");
    answered += status_of(response) == 200 && response.find("Connection: close") == std::string::npos;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  publishing = false;
  publisher.join();
  EXPECT_EQ(answered, 200);
  const int reads = served.reads.load() - reads_before;
  EXPECT_GE(reads, 1);
  EXPECT_LE(reads, 1 + static_cast<int>(seconds / std::chrono::duration<double>(kApiReadInterval).count()) + 1)
      << "in " << seconds << " s";
}

TEST(ApiServer, LimitsConnectionsPerAddressAndHeaderSize) {
  Served served;
  ASSERT_TRUE(served.start());
  publish_rig_status(served.board, sample_rig());
  std::vector<int> held;
  for (unsigned i = 0; i < kApiConnectionsPerAddress; ++i) {
    held.push_back(connect_to(served.port));
    ASSERT_GE(held.back(), 0);
  }
  EXPECT_EQ(status_of(get(held.front(), "/summary")), 200);
  const int one_too_many = connect_to(served.port);  // the kernel accepts; the server closes it
  ASSERT_GE(one_too_many, 0);
  EXPECT_TRUE(closed_by_peer(one_too_many));
  close(one_too_many);
  for (const int fd : held) close(fd);

  const std::string huge_header = "X-Big: " + std::string(kApiConnectionMemory, 'a') + "\r\n";
  const int fd = connect_to(served.port);
  ASSERT_GE(fd, 0);
  const int status = status_of(get(fd, "/summary", huge_header));
  EXPECT_TRUE(status == 431 || status == 0) << status;  // refused (or reset while sending), never served
  close(fd);
  // Once the server has seen the closed connections leave, it serves again.
  int status_after = 0;
  for (int wait = 0; status_after != 200 && wait < 50; ++wait) {
    std::this_thread::sleep_for(100ms);
    status_after = get_status(served.port, "/metrics");
  }
  EXPECT_EQ(status_after, 200);
}

std::vector<std::pair<std::string, int>> threads_named(const std::string& prefix) {
  std::vector<std::pair<std::string, int>> found;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    // A thread that leaves while it is read fails the read (ESRCH): skip it.
    const int fd = open((std::string("/proc/self/task/") + entry->d_name + "/stat").c_str(), O_RDONLY);
    if (fd < 0) continue;
    char buffer[1024];
    const ssize_t length = read(fd, buffer, sizeof buffer);
    close(fd);
    if (length <= 0) continue;
    const std::string text(buffer, static_cast<size_t>(length));
    const size_t name_begin = text.find('('), name_end = text.rfind(')');
    if (name_begin == std::string::npos || name_end == std::string::npos) continue;
    const std::string name = text.substr(name_begin + 1, name_end - name_begin - 1);
    if (name.rfind(prefix, 0) != 0) continue;
    std::istringstream fields(text.substr(name_end + 2));
    std::string field;
    for (int i = 0; i < 17; ++i) fields >> field;  // the 19th field of stat: nice
    found.emplace_back(name, std::stoi(field));
  }
  closedir(tasks);
  return found;
}

// A stopped server's thread is joined, but under an emulator a joined thread
// can linger a moment in /proc before the host reaps it.
bool no_server_thread_left() {
  for (int wait = 0; wait < 100; ++wait) {
    if (threads_named("MHD").empty()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(ApiServer, OneThreadAtNice19APortTakenAndAStop) {
  EXPECT_TRUE(no_server_thread_left());  // the earlier tests' servers are stopped
  Served served;
  ASSERT_TRUE(served.start());
  auto threads = threads_named("MHD");
  for (int wait = 0; threads.empty() && wait < 100; ++wait) {  // the thread names itself once it runs
    std::this_thread::sleep_for(10ms);
    threads = threads_named("MHD");
  }
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads[0].second, 19);

  ApiServer second;
  ApiServerSettings settings;
  settings.bind.port = served.port;
  settings.read_status = [](bool* published) {
    *published = false;
    return RigStatus{};
  };
  std::string error;
  EXPECT_FALSE(start_api_server(second, settings, &error));
  EXPECT_EQ(error.rfind("tamrix-miner: the API cannot listen on 127.0.0.1:" + std::to_string(served.port), 0), 0u)
      << error;

  stop_api_server(served.server);
  stop_api_server(served.server);  // harmless twice
  EXPECT_TRUE(no_server_thread_left());
  EXPECT_EQ(connect_to(served.port), -1);
}

}  // namespace
