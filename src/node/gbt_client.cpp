#include "node/gbt_client.h"

#include <cstdio>

#include "node/json_reply.h"
#include "node/node_messages.h"
#include "node/rpc_text.h"
#include "node/submission.h"
#include "node/work_assembly.h"
#include "node/work_reuse.h"

namespace {

// The largest reply accepted. A template for the largest block carries about
// 8 MB of transaction hex, plus some 150 characters of txid, hash and fee per
// transaction: under 20 MB even at the 65534 transactions work assembly
// accepts. Past this a misbehaving node could exhaust memory.
constexpr size_t kMaxReplyBytes = 32u << 20;

// The longest wait for the socket before the give-up predicate is asked
// again: a stop abandons a call this soon, and a held longpoll costs 20
// wake-ups a second, which is nothing.
constexpr long kGiveUpCheckMs = 50;

// TCP keepalive: a connection idle this long is probed every
// kKeepaliveIntervalS; the kernel drops it after 9 unanswered probes (Linux's
// default count), so a dead connection under a held longpoll ends within
// about a minute instead of never.
constexpr long kKeepaliveIdleS = 15;
constexpr long kKeepaliveIntervalS = 5;
constexpr long kConnectLimitS = 30;
constexpr long kTransferLimitS = 30;

// Takes every byte offered up to kMaxReplyBytes; beyond that it takes none,
// which makes libcurl abandon the transfer.
size_t write_callback(char* data, size_t size, size_t count, void* sink) {
  std::string* response = static_cast<std::string*>(sink);
  const size_t bytes = size * count;
  if (bytes > kMaxReplyBytes - response->size()) return 0;
  response->append(data, bytes);
  return bytes;
}

bool is_json(const std::string& body) {
  json_error_t error;
  return !body.empty() && parse_reply(body, &error) != nullptr;
}

CURLcode as_transfer_result(CURLMcode failure) {
  return failure == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
}

// Runs the easy handle's transfer on `multi`, asking `give_up` between waits
// of at most kGiveUpCheckMs. libcurl's progress callback would be the simpler
// hook, but while no bytes move it is called only about once a second, which
// is too slow for a prompt stop. Returns the transfer's result;
// CURLE_ABORTED_BY_CALLBACK when given up. Removing the handle mid-transfer
// closes its connection, so the handle is ready for the next call.
CURLcode perform_watching(CURLM* multi, CURL* easy, const std::function<bool()>& give_up) {
  if (multi == nullptr || easy == nullptr) return CURLE_FAILED_INIT;
  if (give_up && give_up()) return CURLE_ABORTED_BY_CALLBACK;
  const CURLMcode added = curl_multi_add_handle(multi, easy);
  if (added != CURLM_OK) return as_transfer_result(added);
  CURLcode outcome = CURLE_OK;
  for (;;) {
    int running = 0;
    CURLMcode step = curl_multi_perform(multi, &running);
    if (step == CURLM_OK && running == 0) {
      int left = 0;
      while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) outcome = message->data.result;
      }
      break;
    }
    if (step == CURLM_OK && give_up && give_up()) {
      outcome = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    if (step == CURLM_OK) step = curl_multi_poll(multi, nullptr, 0, kGiveUpCheckMs, nullptr);
    if (step != CURLM_OK) {
      outcome = as_transfer_result(step);
      break;
    }
  }
  curl_multi_remove_handle(multi, easy);
  return outcome;
}

}  // namespace

GbtClient::GbtClient(const std::string& rpc_url, const std::string& rpc_user,
                     const std::string& rpc_pass, const std::string& coinbase_addr)
    : url(rpc_url), userpass(rpc_user + ":" + rpc_pass), coinbase_addr(coinbase_addr) {
  curl_global_init(CURL_GLOBAL_ALL);
  // A null handle is not fatal here: every call then fails and reports it.
  curl_handle = curl_easy_init();
  multi_handle = curl_multi_init();
}

GbtClient::~GbtClient() {
  // The easy handle is never left inside the multi handle between calls.
  if (multi_handle != nullptr) curl_multi_cleanup(multi_handle);
  if (curl_handle != nullptr) curl_easy_cleanup(curl_handle);
  curl_global_cleanup();
}

RpcExchange GbtClient::rpc_exchange(const std::string& method, const std::string& params, ReplyWait wait) {
  RpcExchange exchange;
  const std::string body = rpc_request_body(method, params, request_id);  // libcurl does not copy it
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");

  // The handle is reused, so every option is set again on every call.
  curl_easy_setopt(curl_handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_USERPWD, userpass.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl_handle, CURLOPT_WRITEFUNCTION, write_callback);
  curl_easy_setopt(curl_handle, CURLOPT_WRITEDATA, &exchange.body);
  curl_easy_setopt(curl_handle, CURLOPT_TIMEOUT, wait == ReplyWait::kHeldByNode ? 0L : kTransferLimitS);
  curl_easy_setopt(curl_handle, CURLOPT_CONNECTTIMEOUT, kConnectLimitS);
  // Set on every connection, since a held call may reuse one that an
  // ordinary call opened.
  curl_easy_setopt(curl_handle, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl_handle, CURLOPT_TCP_KEEPIDLE, kKeepaliveIdleS);
  curl_easy_setopt(curl_handle, CURLOPT_TCP_KEEPINTVL, kKeepaliveIntervalS);
  // The default resolver times out with SIGALRM and a long jump, which is
  // unsafe while the search threads run.
  curl_easy_setopt(curl_handle, CURLOPT_NOSIGNAL, 1L);

  const CURLcode outcome = before_request && !before_request(method.c_str())
                               ? CURLE_ABORTED_BY_CALLBACK
                               : perform_watching(multi_handle, curl_handle, give_up);
  curl_slist_free_all(headers);
  if (outcome == CURLE_ABORTED_BY_CALLBACK) {
    exchange.given_up = true;
    exchange.body.clear();
    return exchange;
  }
  if (outcome == CURLE_WRITE_ERROR) {
    exchange.failure = "reply larger than " + std::to_string(kMaxReplyBytes) + " bytes";
  } else if (outcome != CURLE_OK) {
    exchange.failure = curl_easy_strerror(outcome);
  }
  if (!exchange.failure.empty()) {
    exchange.body.clear();
    return exchange;
  }
  curl_easy_getinfo(curl_handle, CURLINFO_RESPONSE_CODE, &exchange.http_status);
  return exchange;
}

std::string GbtClient::rpc_call(const std::string& method, const std::string& params) {
  return reported(rpc_exchange(method, params, ReplyWait::kWithinTransferLimit), method);
}

std::string GbtClient::reported(RpcExchange exchange, const std::string& method) {
  // Given up on purpose; whoever set the predicate has said so.
  if (exchange.given_up) return "";
  if (!exchange.failure.empty()) {
    std::fprintf(stderr, "RPC call failed: %s\n", exchange.failure.c_str());
    return "";
  }
  // An error status with a JSON body is the node's own answer, which the
  // caller reads and reports; without one the status is all there is to go on.
  const long status = exchange.http_status;
  if (status != 0 && (status < 200 || status > 299) && !is_json(exchange.body)) {
    report_http_status(status, url, exchange.body);
  } else if (exchange.body.empty()) {
    // Otherwise the caller's failure would be the only line, with no cause.
    std::fprintf(stderr, "Node sent an empty reply to %s\n", terminal_text(method).c_str());
  }
  return std::move(exchange.body);
}

BlockWork GbtClient::get_work() {
  AnnouncedWork announced = get_announced_work();
  std::fputs(announced.announcement.c_str(), stdout);
  return std::move(announced.work);
}

AnnouncedWork GbtClient::get_announced_work() {
  return work_from([this] { return rpc_call("getblocktemplate", "[{\"rules\":[\"segwit\"]}]"); });
}

AnnouncedWork GbtClient::announced_work_from(std::string template_reply) {
  return work_from([&template_reply] { return std::move(template_reply); });
}

AnnouncedWork GbtClient::work_from(const std::function<std::string()>& fetch_template) {
  AnnouncedWork announced = reuse_or_assemble(
      last_work, fetch_template,
      [this]() -> std::optional<std::string> {
        // The script of an address does not change; the last valid work's
        // reply is as good as a new one.
        if (address_known) return last_work.address_reply;
        std::string reply = rpc_call("validateaddress", json_one_string_params(coinbase_addr));
        if (reply.empty() && give_up && give_up()) return std::nullopt;  // a stop, not the node's failure
        return reply;
      },
      [this](const std::string& template_reply, const AddressFetch& fetch_address_reply) {
        return assemble_work_unannounced(template_reply, coinbase_addr, fetch_address_reply);
      });
  address_known = announced.work.valid;
  return announced;
}

SubmitOutcome GbtClient::submit_block(const BlockWork& work, uint32_t nonce) {
  RpcExchange exchange =
      rpc_exchange("submitblock", json_one_string_params(block_hex(work, nonce)), ReplyWait::kWithinTransferLimit);
  const SubmitOutcome outcome = classify_submit_reply(exchange);
  if (outcome.verdict == SubmitVerdict::unanswered) reported(std::move(exchange), "submitblock");
  report_verdict(refusals, outcome);
  return outcome;
}
