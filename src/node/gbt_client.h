#pragma once

#include <functional>
#include <cstdint>
#include <string>

#include <curl/curl.h>

#include "node/block_work.h"
#include "node/refusal_streak.h"
#include "node/work_assembly.h"
#include "node/work_reuse.h"

// How long one call may wait for the node's answer.
enum class ReplyWait {
  kWithinTransferLimit,  // the whole transfer within 30 s
  // A longpoll, which the node holds until it has news, for minutes if need
  // be: no limit on the transfer. A stop (the give-up predicate) ends it, and
  // TCP keepalive ends it within about a minute once the connection is dead.
  kHeldByNode,
};

// One exchange with the node as it went, with nothing said about it: the
// caller decides what the operator is told.
struct RpcExchange {
  std::string body;        // the reply's body as received, whatever the status
  long http_status = 0;    // 0 when no reply came
  std::string failure;     // why no reply came ("" when one did), in libcurl's words
  bool given_up = false;   // abandoned because the give-up predicate answered true
};

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
  // any failure, which has been reported on stderr. Both requests are made
  // on every call; when both replies repeat the last valid work's byte for
  // byte, that work is returned again instead of being reassembled. Valid
  // work's "New block" line is printed.
  BlockWork get_work();

  // get_work with the "New block" line returned instead of printed.
  AnnouncedWork get_announced_work();

  // Submits the work's block with `nonce`; true when the node accepted it.
  // A refusal prints "Block rejected: <reason>"; the third refusal in a row
  // for the same reason adds one line saying that the node refuses every
  // block, once per such streak (see refusal_streak.h).
  bool submit_block(const BlockWork& work, uint32_t nonce);

  // Once `should_give_up` answers true, every transfer in progress or to
  // come is given up within about 50 ms, silently, as if the node had not
  // answered; the client stays usable. It is asked on the calling thread,
  // between waits of at most 50 ms and before each call, so it must be
  // cheap; empty watches nothing.
  void give_up_when(std::function<bool()> should_give_up) { give_up = std::move(should_give_up); }

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
  int request_id = 1;
};
