#include "api/api_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "api/metrics_text.h"
#include "api/request_rules.h"
#include "api/status_page.h"
#include "api/summary_json.h"

namespace {

using Clock = std::chrono::steady_clock;

// A response libmicrohttpd may queue on any number of connections; it counts
// its own references, so dropping ours while one is being sent is safe.
struct SharedResponse {
  MHD_Response* response = nullptr;
  ~SharedResponse() { reset(); }
  void reset(MHD_Response* replacement = nullptr) {
    if (response != nullptr) MHD_destroy_response(response);
    response = replacement;
  }
};

}  // namespace

// Every member but `daemon` is touched only on the API's thread, in the
// access handler (no thread per connection, no pool), so none is locked.
struct ApiServerState {
  ApiServerSettings settings;
  MHD_Daemon* daemon = nullptr;
  SharedResponse page, not_found, not_allowed, too_large, unauthorized, not_ready;
  // The last copy of the record, and its renderings, made when first asked for.
  Clock::time_point read_at{};
  bool read_once = false;
  bool published = false;
  RigStatus status;
  SharedResponse summary, metrics;
};

ApiServer::ApiServer() = default;
ApiServer::~ApiServer() { stop_api_server(*this); }

namespace {

MHD_Response* text_response(std::string_view body, const char* content_type) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return nullptr;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  return response;
}

MHD_Response* error_response(const char* words) { return text_response(words, "text/plain; charset=utf-8"); }

// The page may run its own inline script and talk to this server, nothing
// else: no other script, font, style sheet or frame can come in.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

bool make_fixed_responses(ApiServerState& state) {
  state.page.reset(text_response(status_page_html(), "text/html; charset=utf-8"));
  state.not_found.reset(error_response("404: this API serves /, /summary and /metrics\n"));
  state.not_allowed.reset(error_response("405: this API is read-only; it answers GET\n"));
  state.too_large.reset(error_response("413: this API takes no request body\n"));
  state.unauthorized.reset(error_response("401: this API wants its token as Authorization: Bearer TOKEN\n"));
  state.not_ready.reset(error_response("503: the miner has not published its status yet\n"));
  for (const SharedResponse* each : {&state.page, &state.not_found, &state.not_allowed, &state.too_large,
                                     &state.unauthorized, &state.not_ready})
    if (each->response == nullptr) return false;
  MHD_add_response_header(state.page.response, "Content-Security-Policy", kPagePolicy);
  MHD_add_response_header(state.not_allowed.response, MHD_HTTP_HEADER_ALLOW, "GET");
  MHD_add_response_header(state.unauthorized.response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
  MHD_add_response_header(state.not_ready.response, MHD_HTTP_HEADER_RETRY_AFTER, "1");
  return true;
}

// A fresh copy of the record once the last is kReadInterval old; the
// renderings of the old one are dropped.
void read_record_if_old(ApiServerState& state) {
  const Clock::time_point now = Clock::now();
  if (state.read_once && now - state.read_at < kApiReadInterval) return;
  state.read_once = true;
  state.read_at = now;
  state.status = state.settings.read_status(&state.published);
  state.summary.reset();
  state.metrics.reset();
}

MHD_Response* data_response(ApiServerState& state, ApiRoute route) {
  read_record_if_old(state);
  if (!state.published) return state.not_ready.response;
  if (route == ApiRoute::summary) {
    if (state.summary.response == nullptr)
      state.summary.reset(text_response(render_summary_json(state.status), "application/json"));
    return state.summary.response;
  }
  if (state.metrics.response == nullptr)
    state.metrics.reset(text_response(render_metrics_text(state.status), "text/plain; version=0.0.4; charset=utf-8"));
  return state.metrics.response;
}

bool request_has_body(MHD_Connection* connection) {
  const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (length != nullptr && std::strspn(length, "0") != std::strlen(length)) return true;
  return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
}

// libmicrohttpd calls this once when a request's headers are in, and again
// once its body (none here) has been read. A request this API refuses is
// answered at the first call, before any body is read: a body is never taken
// in, and libmicrohttpd closes a connection whose body was left unread. The
// rest are answered at the second call, which keeps the connection open for
// the next request.
MHD_Result answer_request(void* context, MHD_Connection* connection, const char* url, const char* method,
                          const char* /*version*/, const char* /*upload_data*/, size_t* /*upload_data_size*/,
                          void** request_context) {
  ApiServerState& state = *static_cast<ApiServerState*>(context);
  ApiRequest request;
  request.method = method;
  request.path = url;
  request.authorization = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  request.has_body = request_has_body(connection);
  const ApiAnswer decision = decide_request(request, state.settings.token);
  if (decision.route != ApiRoute::none && *request_context == nullptr) {
    *request_context = &state;  // marks the second call
    return MHD_YES;
  }
  MHD_Response* response = nullptr;
  unsigned status = static_cast<unsigned>(decision.status);
  switch (decision.route) {
    case ApiRoute::page: response = state.page.response; break;
    case ApiRoute::summary:
    case ApiRoute::metrics:
      response = data_response(state, decision.route);
      if (response == state.not_ready.response) status = MHD_HTTP_SERVICE_UNAVAILABLE;
      break;
    case ApiRoute::none:
      switch (decision.status) {
        case MHD_HTTP_METHOD_NOT_ALLOWED: response = state.not_allowed.response; break;
        case MHD_HTTP_CONTENT_TOO_LARGE: response = state.too_large.response; break;
        case MHD_HTTP_UNAUTHORIZED: response = state.unauthorized.response; break;
        default: response = state.not_found.response; break;
      }
      break;
  }
  if (response == nullptr) return MHD_NO;  // out of memory: the connection is closed
  return MHD_queue_response(connection, status, response);
}

struct ListenAddress {
  sockaddr_storage storage{};
  bool valid = false;
};

ListenAddress listen_address(const ApiBind& bind) {
  ListenAddress address;
  if (bind.ipv6) {
    auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    ipv6->sin6_family = AF_INET6;
    ipv6->sin6_port = htons(bind.port);
    address.valid = inet_pton(AF_INET6, bind.address.c_str(), &ipv6->sin6_addr) == 1;
  } else {
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(bind.port);
    address.valid = inet_pton(AF_INET, bind.address.c_str(), &ipv4->sin_addr) == 1;
  }
  return address;
}

}  // namespace

bool start_api_server(ApiServer& server, ApiServerSettings settings, std::string* error) {
  stop_api_server(server);
  auto state = std::make_unique<ApiServerState>();
  state->settings = std::move(settings);
  const ApiBind& bind = state->settings.bind;
  const std::string where = (bind.ipv6 ? "[" + bind.address + "]" : bind.address) + ":" + std::to_string(bind.port);
  const ListenAddress address = listen_address(bind);
  if (!address.valid || !make_fixed_responses(*state)) {
    *error = "tamrix-miner: the API cannot listen on " + where;
    return false;
  }
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
  if (bind.ipv6) flags |= MHD_USE_IPv6;
  // libmicrohttpd starts its thread inside MHD_start_daemon, and a new thread
  // takes its creator's nice value: started from a thread of nice 19, the
  // API's thread is one from its first instruction, and however hard it is
  // pushed it only gets the CPU time the searches leave.
  int start_errno = 0;
  std::thread starter([&] {
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
    state->daemon = MHD_start_daemon(
        flags, bind.port, nullptr, nullptr, &answer_request, state.get(),
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&address.storage),
        MHD_OPTION_CONNECTION_LIMIT, kApiConnectionLimit,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kApiConnectionsPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, kApiConnectionTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kApiConnectionMemory,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, 64u,
        MHD_OPTION_END);
    start_errno = errno;
  });
  starter.join();
  if (state->daemon == nullptr) {
    *error = "tamrix-miner: the API cannot listen on " + where +
             (start_errno != 0 ? std::string(" (") + std::strerror(start_errno) + ")" : std::string());
    return false;
  }
  server.state = std::move(state);
  return true;
}

void stop_api_server(ApiServer& server) {
  if (!server.state) return;
  if (server.state->daemon != nullptr) MHD_stop_daemon(server.state->daemon);
  server.state.reset();
}
