#include "node/json_reply.h"

#include <cstdio>

size_t json_values_within(const std::string& text, size_t bound) {
  size_t values = 1;  // the document itself, which may be a lone scalar
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      values += 2;  // the container and its first entry
    } else if (c == ',') {
      values += 1;
    } else {
      continue;
    }
    if (values > bound) return values;
  }
  return values;
}

JsonDoc parse_reply(const std::string& reply, json_error_t* error) {
  if (json_values_within(reply, kMaxReplyJsonValues) > kMaxReplyJsonValues) {
    // jansson's own error record, so callers report this like any parse error.
    std::snprintf(error->text, sizeof error->text, "reply holds more than %zu JSON values",
                  kMaxReplyJsonValues);
    error->source[0] = '\0';
    error->line = error->column = -1;
    error->position = 0;
    return JsonDoc(nullptr);
  }
  return JsonDoc(json_loads(reply.c_str(), 0, error));
}

std::string json_outline(const std::string& reply) {
  std::string outline;
  int depth = 0;        // containers open at this point
  int dropped_from = 0;  // while > 0, the depth at which the array being dropped opened
  bool in_string = false;
  bool escaped = false;
  for (const char c : reply) {
    if (dropped_from == 0) outline += c;
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
      if (c == '[' && depth >= 3 && dropped_from == 0) dropped_from = depth;
    } else if (c == '}' || c == ']') {
      if (depth == dropped_from) {
        dropped_from = 0;
        outline += c;
      }
      --depth;
    }
  }
  return outline;
}
