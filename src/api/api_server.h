#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "api/bind_address.h"
#include "driver/rig_status.h"

// The read-only HTTP API: libmicrohttpd on one thread of its own, which
// serves GET /, /summary and /metrics from copies of the record the mining
// loop publishes. It never touches the loop's or a device's thread, runs at
// the lowest CPU priority (nice 19), and bounds what any client may take:
constexpr unsigned kApiConnectionLimit = 64;       // connections at once, all clients
constexpr unsigned kApiConnectionsPerAddress = 8;  // connections at once from one address
constexpr unsigned kApiConnectionTimeoutSeconds = 10;  // idle connections are closed
constexpr size_t kApiConnectionMemory = 16 * 1024;  // request line and headers must fit
// The record is copied at most this often, however many requests come; in
// between, every request is answered from the last copy's rendered text.
constexpr std::chrono::milliseconds kApiReadInterval{250};

struct ApiServerSettings {
  ApiBind bind;
  std::string token;  // "" when none is wanted
  // A copy of the record last published; `published` false before the first.
  // Called on the API's thread, at most once per kApiReadInterval.
  std::function<RigStatus(bool* published)> read_status;
};

struct ApiServerState;

struct ApiServer {
  std::unique_ptr<ApiServerState> state;
  ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;
  ~ApiServer();  // stop_api_server, if it has not run
};

// Starts listening; false, with `error` set to one line (no newline), when
// it cannot: the address is not this machine's, the port is taken.
bool start_api_server(ApiServer& server, ApiServerSettings settings, std::string* error);

// Closes every connection and joins the API's thread. Harmless when called
// twice or after a failed start.
void stop_api_server(ApiServer& server);
