#pragma once

#include <string>

// The JSON-RPC 1.0 request body for one call, built by concatenation:
// {"jsonrpc":"1.0","id":<id>,"method":"<method>","params":<params>}
// `params` must already be JSON text; it is inserted verbatim.
std::string rpc_request_body(const std::string& method, const std::string& params, int id = 1);

// `text` as a JSON string literal, quotes included. Only the quote, the
// backslash and control characters are escaped, so hex text and ordinary
// addresses come out as '"' + text + '"'; other bytes pass through.
std::string json_string_literal(const std::string& text);

// The params of a call that takes one string: ["<text>"], escaped as above.
std::string json_one_string_params(const std::string& text);
