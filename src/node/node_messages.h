#pragma once

#include <string>

#include <jansson.h>

// The lines that tell the operator, in the node's own words where it gave
// any, why a call failed. Each goes to stderr as one line; text that came
// from the node or from the command line is cut to a readable length and its
// control characters are replaced, so neither a hostile node nor a stray
// argument can flood the terminal or forge lines.

// `text` as it is safe to print inside one line: at most kMaxShownTextChars
// characters (then "..."), every control character replaced by a space.
std::string printable_text(const std::string& text);
constexpr size_t kMaxShownTextChars = 200;

// The error member of a reply as the operator should read it: "<code>:
// <message>" for a JSON-RPC error object with a string message (the code is
// left out when it is not an integer), otherwise its compact JSON text.
// Already printable.
std::string node_error_text(const json_t* error);

// True when `reply` (a parsed reply object) has an "error" member that is
// present and not null.
bool reply_has_error(const json_t* reply);

// "Node answered <method> with error <node_error_text>" when the reply carries
// an error; nothing otherwise.
void report_node_error(const char* method, const json_t* reply);

// The line for an HTTP status that is not 2xx when the body tells nothing
// (empty or not JSON): it names the status and, for 401, 403 and 404, what
// the operator can check. A short plain-text body is quoted, since that is
// the node's own explanation.
void report_http_status(long status, const std::string& url, const std::string& body);
