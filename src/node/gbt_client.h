#pragma once

#include <functional>
#include <cstdint>
#include <string>

#include <curl/curl.h>

#include "node/block_work.h"
#include "node/work_reuse.h"

// The miner's one connection to the node: JSON-RPC 1.0 over HTTP POST with
// basic authentication, on a single libcurl easy handle for the client's life.
// Used from the main thread only.
class GbtClient {
 public:
  GbtClient(const std::string& rpc_url, const std::string& rpc_user, const std::string& rpc_pass,
            const std::string& coinbase_addr);
  ~GbtClient();
  GbtClient(const GbtClient&) = delete;
  GbtClient& operator=(const GbtClient&) = delete;

  // The HTTP response body, whatever the status; "" on a transport failure
  // (reported on stderr) and for an empty body. A status that is not 2xx
  // with a body that is empty or not JSON is reported on stderr, since the
  // callers see only the body.
  std::string rpc_call(const std::string& method, const std::string& params);

  // A fresh template and reward script assembled into work; `valid` false on
  // any failure, which has been reported on stderr. Both requests are made
  // on every call; when both replies repeat the last valid work's byte for
  // byte, that work is returned again instead of being reassembled.
  BlockWork get_work();

  // Submits the work's block with `nonce`; true when the node accepted it.
  bool submit_block(const BlockWork& work, uint32_t nonce);

  // Once `should_give_up` answers true, every transfer in progress or to
  // come is given up within about a second, silently, as if the node had not
  // answered. It is asked from inside the transfer, on the calling thread,
  // so it must be cheap; empty watches nothing.
  void give_up_when(std::function<bool()> should_give_up) { give_up = std::move(should_give_up); }

 private:
  std::string url;
  std::string userpass;
  std::string coinbase_addr;
  CURL* curl_handle;
  ReusableWork last_work;  // the replies the last valid work came from
  std::function<bool()> give_up;
};
