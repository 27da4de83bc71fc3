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

bool refused_as(const std::string& reason, std::string* refusal_reason) {
  std::fprintf(stderr, "Block rejected: %s\n", reason.c_str());
  if (refusal_reason != nullptr) *refusal_reason = reason;
  return false;
}

}  // namespace

bool submit_verdict(const std::string& reply, std::string* refusal_reason) {
  if (refusal_reason != nullptr) refusal_reason->clear();
  if (reply.empty()) return false;
  json_error_t error;
  const JsonDoc doc = parse_reply(reply, &error);
  if (!doc) return false;
  // A JSON-RPC 1.0 node reports a block it cannot even decode with a null
  // result and an error object: only the error tells it from acceptance.
  if (reply_has_error(doc.get())) {
    const json_t* error_member = json_object_get(doc.get(), "error");
    const json_t* message = json_object_get(error_member, "message");
    const std::string reason =
        json_is_string(message)
            ? terminal_text(std::string(json_string_value(message), json_string_length(message)))
            : node_error_text(error_member);
    return refused_as(reason, refusal_reason);
  }
  const json_t* result = json_object_get(doc.get(), "result");
  if (result != nullptr && json_is_null(result)) return true;
  if (json_is_string(result)) {
    return refused_as(terminal_text(std::string(json_string_value(result), json_string_length(result))),
                      refusal_reason);
  }
  return false;
}
