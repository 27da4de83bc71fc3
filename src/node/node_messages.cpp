#include "node/node_messages.h"

#include <cstdio>
#include <memory>

#include "node/url_display.h"

std::string node_error_text(const json_t* error) {
  const json_t* message = json_object_get(error, "message");
  if (json_is_string(message)) {
    const std::string words(json_string_value(message), json_string_length(message));
    const json_t* code = json_object_get(error, "code");
    if (!json_is_integer(code)) return terminal_text(words);
    return std::to_string(json_integer_value(code)) + ": " + terminal_text(words);
  }
  const std::unique_ptr<char, decltype(&free)> dumped(
      json_dumps(error, JSON_COMPACT | JSON_ENCODE_ANY), &free);
  return terminal_text(dumped ? dumped.get() : "(unprintable)");
}

bool reply_has_error(const json_t* reply) {
  const json_t* error = json_object_get(reply, "error");
  return error != nullptr && !json_is_null(error);
}

void report_node_error(const char* method, const json_t* reply) {
  if (!reply_has_error(reply)) return;
  std::fprintf(stderr, "Node answered %s with error %s\n", method,
               node_error_text(json_object_get(reply, "error")).c_str());
}

namespace {

// The first line of a plain-text body, when it has one worth quoting; an
// HTML page says nothing an operator can use.
std::string body_first_line(const std::string& body) {
  const size_t end = body.find_first_of("\r\n");
  const std::string line = body.substr(0, end);
  if (line.empty() || line[0] == '<') return "";
  return terminal_text(line);
}

}  // namespace

void report_http_status(long status, const std::string& url, const std::string& body) {
  const std::string shown_url = terminal_text(url_for_display(url));
  const std::string quoted = body_first_line(body);
  const std::string said = quoted.empty() ? "" : " (\"" + quoted + "\")";
  switch (status) {
    case 401:
      std::fprintf(stderr,
                   "Node answered HTTP 401 Unauthorized: it refused the RPC user name and password; "
                   "check -u and -p against the node's RPC settings%s\n", said.c_str());
      return;
    case 403:
      std::fprintf(stderr,
                   "Node answered HTTP 403 Forbidden for %s: it does not accept RPC from this machine; "
                   "allow this address in the node's RPC settings%s\n", shown_url.c_str(), said.c_str());
      return;
    case 404:
      std::fprintf(stderr, "Node answered HTTP 404 Not Found for %s: no JSON-RPC service at that path; "
                   "check the URL given with -o%s\n", shown_url.c_str(), said.c_str());
      return;
    default:
      std::fprintf(stderr, "Node answered HTTP %ld with %s%s\n", status,
                   body.empty() ? "an empty body" : "a body that is not JSON", said.c_str());
  }
}
