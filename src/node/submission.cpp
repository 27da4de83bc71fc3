#include "node/submission.h"

#include <cstdio>
#include <cstring>

#include "hash/byte_order.h"
#include "node/hex.h"
#include "node/json_reply.h"
#include "node/node_messages.h"

std::string block_hex(const BlockWork& work, uint32_t nonce) {
  uint8_t header[80];
  std::memcpy(header, work.header, sizeof header);
  put_header_nonce(header, nonce);
  char header_hex[161];
  bin2hex(header_hex, header, sizeof header);
  header_hex[160] = '\0';
  return header_hex + work.txn_hex;
}

namespace {

// The node's error for a call made while it loads its block index.
constexpr json_int_t kNodeStartingUp = -28;

SubmitOutcome unanswered(std::string why) { return {SubmitVerdict::unanswered, std::move(why)}; }

std::string status_words(const RpcExchange& exchange) {
  std::string words = "HTTP " + std::to_string(exchange.http_status);
  const std::string first_line = exchange.body.substr(0, exchange.body.find_first_of("\r\n"));
  if (!first_line.empty() && first_line[0] != '<') words += " (\"" + terminal_text(first_line) + "\")";
  return words;
}

}  // namespace

SubmitOutcome classify_submit_reply(const RpcExchange& exchange) {
  if (exchange.given_up) return unanswered("given up");
  if (!exchange.failure.empty()) return unanswered(terminal_text(exchange.failure));
  if (exchange.body.empty()) return unanswered("an empty reply, HTTP " + std::to_string(exchange.http_status));
  json_error_t error;
  const JsonDoc doc = parse_reply(exchange.body, &error);
  if (!doc || !json_is_object(doc.get())) {
    if (exchange.http_status >= 200 && exchange.http_status <= 299) return unanswered("a reply that is not JSON-RPC");
    return unanswered(status_words(exchange));
  }
  if (reply_has_error(doc.get())) {
    const json_t* error_member = json_object_get(doc.get(), "error");
    const json_t* message = json_object_get(error_member, "message");
    if (json_integer_value(json_object_get(error_member, "code")) == kNodeStartingUp) {
      return unanswered("the node is starting: " + node_error_text(error_member));
    }
    return {SubmitVerdict::refused,
            json_is_string(message) ? terminal_text(std::string(json_string_value(message), json_string_length(message)))
                                    : node_error_text(error_member)};
  }
  const json_t* result = json_object_get(doc.get(), "result");
  if (result != nullptr && json_is_null(result)) return {SubmitVerdict::accepted, ""};
  if (json_is_string(result)) {
    return {SubmitVerdict::refused, terminal_text(std::string(json_string_value(result), json_string_length(result)))};
  }
  return unanswered("a reply without a verdict, HTTP " + std::to_string(exchange.http_status));
}

bool refused_as_duplicate(const SubmitOutcome& outcome) {
  return outcome.verdict == SubmitVerdict::refused &&
         (outcome.reason == "duplicate" || outcome.reason == "duplicate-inconclusive");
}

void report_verdict(RefusalStreak& streak, const SubmitOutcome& outcome) {
  if (outcome.verdict == SubmitVerdict::unanswered) return;
  const bool accepted = outcome.verdict == SubmitVerdict::accepted;
  if (!accepted) std::fprintf(stderr, "Block rejected: %s\n", outcome.reason.c_str());
  count_verdict(streak, accepted, outcome.reason);
}

bool submit_verdict(const std::string& reply, std::string* refusal_reason) {
  if (refusal_reason != nullptr) refusal_reason->clear();
  RpcExchange exchange;
  exchange.body = reply;
  exchange.http_status = 200;
  const SubmitOutcome outcome = classify_submit_reply(exchange);
  if (outcome.verdict == SubmitVerdict::refused) {
    std::fprintf(stderr, "Block rejected: %s\n", outcome.reason.c_str());
    if (refusal_reason != nullptr) *refusal_reason = outcome.reason;
  }
  return outcome.verdict == SubmitVerdict::accepted;
}
