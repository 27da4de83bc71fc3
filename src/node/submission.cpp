#include "node/submission.h"

#include <cstdio>
#include <cstring>

#include "hash/byte_order.h"
#include "node/hex.h"
#include "node/json_doc.h"

std::string block_hex(const BlockWork& work, uint32_t nonce) {
  uint8_t header[80];
  std::memcpy(header, work.header, sizeof header);
  put_header_nonce(header, nonce);
  char header_hex[161];
  bin2hex(header_hex, header, sizeof header);
  header_hex[160] = '\0';
  return header_hex + work.txn_hex;
}

bool submit_verdict(const std::string& reply) {
  if (reply.empty()) return false;
  json_error_t error;
  const JsonDoc doc(json_loads(reply.c_str(), 0, &error));
  if (!doc) return false;
  const json_t* result = json_object_get(doc.get(), "result");
  if (result != nullptr && json_is_null(result)) return true;
  if (const char* reason = json_string_value(result)) std::fprintf(stderr, "Block rejected: %s\n", reason);
  return false;
}
