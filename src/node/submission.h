#pragma once

#include <cstdint>
#include <string>

#include "node/block_work.h"
#include "node/refusal_streak.h"
#include "node/rpc_exchange.h"

// The submitted block as hex: the work's header with `nonce` in bytes 76..79
// (little-endian) as 160 lower-case characters, then txn_hex unchanged. The
// caller's work is not touched.
std::string block_hex(const BlockWork& work, uint32_t nonce);

// What one submitblock came to. Only a node's verdict ends a block's
// story; a block without one may have gone in or not, so it is sent again.
enum class SubmitVerdict {
  accepted,    // "result" present and null, no error
  refused,     // an error object, or a string result: the node's reason
  unanswered,  // no verdict: no reply, a timeout, a cut or empty reply, a
               // status without a JSON verdict, a node still starting up
};

struct SubmitOutcome {
  SubmitVerdict verdict = SubmitVerdict::unanswered;
  // refused: the node's words; unanswered: what came instead, in words.
  // Either has passed the terminal gate.
  std::string reason;
};

// The outcome of one submitblock exchange. An error object is the node's
// refusal, whatever "result" says (a node of this family reports a block
// it cannot even decode with a null result and an error), except error
// -28, a node still loading, which has not looked at the block.
SubmitOutcome classify_submit_reply(const RpcExchange& exchange);

// A refusal that says the node has the block already: to a block sent
// before without an answer, it means the block went in.
bool refused_as_duplicate(const SubmitOutcome& outcome);

// Tells the operator about a verdict: a refusal prints "Block rejected:
// <reason>" and counts in the streak (refusal_streak.h); an acceptance ends
// the streak; no verdict prints nothing here.
void report_verdict(RefusalStreak& streak, const SubmitOutcome& outcome);

// The verdict on a submitblock reply body received with HTTP 200: true only
// when accepted. A refusal prints "Block rejected: <reason>", and the reason
// goes to `refusal_reason` if given (otherwise it is left empty); every
// other reply is a silent false.
bool submit_verdict(const std::string& reply, std::string* refusal_reason = nullptr);
