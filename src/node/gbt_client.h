#pragma once

#include <functional>
#include <cstdint>
#include <string>

#include <curl/curl.h>

#include "node/block_work.h"
#include "node/refusal_streak.h"
#include "node/rpc_exchange.h"
#include "node/submission.h"
#include "node/work_assembly.h"
#include "node/work_reuse.h"

// A connection to the node: JSON-RPC 1.0 over HTTP POST with basic
// authentication, on one libcurl easy handle (driven through one multi
// handle, so that a call can be abandoned at once) for the client's life.
// The miner's main thread has one; the longpoll watch has another on its own
// thread. A client is used by one thread at a time, and is created and
// destroyed on the main thread, since libcurl's global set-up is not
// thread-safe.
class GbtClient {
 public:
  GbtClient(const std::string& rpc_url, const std::string& rpc_user, const std::string& rpc_pass,
            const std::string& coinbase_addr);
  ~GbtClient();
  GbtClient(const GbtClient&) = delete;
  GbtClient& operator=(const GbtClient&) = delete;

  // The HTTP response body, whatever the status; "" on a transport failure
  // and for an empty body, each reported on stderr ("RPC call failed: ...",
  // "Node sent an empty reply to <method>"). A status that is not 2xx with a
  // body that is not JSON is reported on stderr, since the callers see only
  // the body. A call given up on (give_up_when) returns "" silently.
  std::string rpc_call(const std::string& method, const std::string& params);

  // One call, reported by nobody; `wait` says how long the node may take.
  // `params` is inserted verbatim, as in rpc_call.
  RpcExchange rpc_exchange(const std::string& method, const std::string& params, ReplyWait wait);

  // A fresh template and reward script assembled into work; `valid` false on
  // any failure, which has been reported on stderr. The reward script is
  // asked for (validateaddress) once, and again only after a call that did
  // not give valid work; in between, the script that made the last valid
  // work is used. When the template repeats the last valid work's byte for
  // byte, that work is returned again instead of being reassembled. Valid
  // work's "New block" line is printed.
  BlockWork get_work();

  // get_work with the "New block" line returned instead of printed.
  AnnouncedWork get_announced_work();

  // As get_announced_work, with a template the node has sent already (the
  // longpoll watch's answer naming a new tip) instead of a request for one.
  AnnouncedWork announced_work_from(std::string template_reply);

  // Submits the work's block with `nonce` and tells what came of it (see
  // submission.h). A refusal prints "Block rejected: <reason>"; the third
  // refusal in a row for the same reason adds one line saying that the node
  // refuses every block, once per such streak (see refusal_streak.h). A
  // call without a reply is reported as rpc_call reports it.
  SubmitOutcome submit_block(const BlockWork& work, uint32_t nonce);

  // Once `should_give_up` answers true, every transfer in progress or to
  // come is given up within about 50 ms, silently, as if the node had not
  // answered; the client stays usable. It is asked on the calling thread,
  // between waits of at most 50 ms and before each call, so it must be
  // cheap; empty watches nothing.
  void give_up_when(std::function<bool()> should_give_up) { give_up = std::move(should_give_up); }

  // Called before every request this client sends, on the calling thread,
  // with the method's name; the request goes out once it returns true, and
  // is given up (as by give_up_when) when it returns false. The node link
  // counts and paces requests here. Empty lets every request out at once.
  void before_each_request(std::function<bool(const char* method)> hook) { before_request = std::move(hook); }

  // The JSON-RPC id of this client's requests, 1 unless told otherwise. The
  // longpoll watch's client has its own, so that the node's logs (and the
  // development node's test hooks) can tell its requests from the main
  // connection's, which are identical otherwise.
  void use_request_id(int id) { request_id = id; }

 private:
  std::string url;
  std::string userpass;
  std::string coinbase_addr;
  CURL* curl_handle;
  CURLM* multi_handle;     // drives curl_handle, so a wait can be cut short
  ReusableWork last_work;  // the replies the last valid work came from
  RefusalStreak refusals;  // the node's recent verdicts on submitted blocks
  std::function<bool()> give_up;
  std::function<bool(const char* method)> before_request;
  bool address_known = false;  // last_work's address reply may stand for a new one
  int request_id = 1;

  // What rpc_call prints about an exchange; returns its body.
  std::string reported(RpcExchange exchange, const std::string& method);
  AnnouncedWork work_from(const std::function<std::string()>& fetch_template);
};
