#include "node/longpoll_answer.h"

#include <cstring>

#include "hash/byte_order.h"
#include "node/hex.h"
#include "node/json_reply.h"
#include "node/longpoll_watch.h"
#include "node/node_messages.h"
#include "node/url_display.h"

namespace {

LongpollAnswer failed(std::string reason) {
  LongpollAnswer answer;
  answer.reason = std::move(reason);
  return answer;
}

LongpollAnswer refused(std::string reason, bool by_status) {
  LongpollAnswer answer;
  answer.kind = LongpollAnswerKind::kRefused;
  answer.refused_by_status = by_status;
  answer.reason = std::move(reason);
  return answer;
}

}  // namespace

bool tip_fingerprint_of_hash_text(const char* previousblockhash, uint64_t* fingerprint) {
  if (previousblockhash == nullptr || std::strlen(previousblockhash) != 64 ||
      std::strspn(previousblockhash, "0123456789abcdefABCDEF") != 64) {
    return false;
  }
  // Laid out as in the header, bytes 4 to 35, to read it the same way.
  uint8_t header[80] = {};
  hex2bin(header + 4, previousblockhash, 32);
  memrev(header + 4, 32);
  *fingerprint = tip_fingerprint_of(header);
  return true;
}

LongpollAnswer read_longpoll_answer(const RpcExchange& exchange, const std::string& url) {
  if (!exchange.failure.empty()) return failed(exchange.failure);
  const long status = exchange.http_status;
  if (status == 403 || status == 404) {
    return refused("HTTP " + std::to_string(status) + " for " + terminal_text(url_for_display(url)), true);
  }
  if (exchange.body.empty()) return failed("empty reply, HTTP " + std::to_string(status));
  json_error_t error;
  // Only the template's scalar members are read here; its transactions,
  // megabytes of them, are left to whoever makes work of it.
  const JsonDoc doc = parse_reply(json_outline(exchange.body), &error);
  if (!doc) return failed("reply is not JSON, HTTP " + std::to_string(status));
  if (reply_has_error(doc.get())) {
    return refused("error " + node_error_text(json_object_get(doc.get(), "error")), false);
  }
  const json_t* result = json_object_get(doc.get(), "result");
  LongpollAnswer answer;
  if (!tip_fingerprint_of_hash_text(json_string_value(json_object_get(result, "previousblockhash")),
                                    &answer.tip_fingerprint)) {
    return failed("template without a previousblockhash of 64 hex characters");
  }
  answer.kind = LongpollAnswerKind::kTemplate;
  answer.height = static_cast<int32_t>(json_integer_value(json_object_get(result, "height")));
  const json_t* id = json_object_get(result, "longpollid");
  if (!json_is_string(id)) {
    answer.reason = "its template carries no \"longpollid\"";
  } else if (json_string_length(id) > kMaxLongpollIdChars) {
    // It goes back to the node with every request; a real node's is a block
    // hash and a counter.
    answer.reason = "its \"longpollid\" is longer than " + std::to_string(kMaxLongpollIdChars) + " characters";
  } else {
    answer.longpollid.assign(json_string_value(id), json_string_length(id));
  }
  return answer;
}
