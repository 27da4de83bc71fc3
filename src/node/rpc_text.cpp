#include "node/rpc_text.h"

#include <cstdio>

std::string rpc_request_body(const std::string& method, const std::string& params, int id) {
  return "{\"jsonrpc\":\"1.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
         "\",\"params\":" + params + "}";
}

std::string json_string_literal(const std::string& text) {
  std::string literal = "\"";
  literal.reserve(text.size() + 2);
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      literal += '\\';
      literal += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      literal += escape;
    } else {
      literal += c;
    }
  }
  literal += '"';
  return literal;
}

std::string json_one_string_params(const std::string& text) {
  std::string params = "[";
  params += json_string_literal(text);
  params += "]";
  return params;
}
