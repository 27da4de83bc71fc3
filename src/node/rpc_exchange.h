#pragma once

#include <string>

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
