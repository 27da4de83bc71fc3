#pragma once

#include <string_view>

// Which request gets what: the API's whole policy as pure functions, so that
// it is tested without a socket. The server only asks these.

enum class ApiRoute {
  none,     // answered with an error status
  page,     // GET /: the status page, which holds no data of its own
  summary,  // GET /summary: the record as JSON
  metrics,  // GET /metrics: the record in the Prometheus text format
};

struct ApiRequest {
  std::string_view method;
  std::string_view path;                // without the query
  const char* authorization = nullptr;  // the Authorization header; null when absent
  bool has_body = false;                // a Content-Length above 0 or any Transfer-Encoding
};

struct ApiAnswer {
  int status = 404;
  ApiRoute route = ApiRoute::none;
};

// GET only (405 otherwise), no request body (413), a known path (404), and
// with a token, the data paths want it as a bearer token (401). The page
// itself needs none: it is the same for everyone, and fetches the data with
// the token the operator gives it.
ApiAnswer decide_request(const ApiRequest& request, std::string_view token);

// True when `authorization` is "Bearer <token>" (the scheme's case does not
// matter). Takes as long for a wrong token as for the right one of the same
// length: the time depends on the expected token's length only.
bool bearer_token_matches(const char* authorization, std::string_view token);
