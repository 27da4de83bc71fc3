#pragma once

#include <string>

#include <jansson.h>

#include "node/terminal_text.h"

// The lines that tell the operator, in the node's own words where it gave
// any, why a call failed. Each goes to stderr as one line; text that came
// from the node or from the command line passes the terminal gate
// (terminal_text.h) on its way.

// The gate's former name, kept while code outside src/node still calls it.
inline std::string printable_text(const std::string& text) { return terminal_text(text); }

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
