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

// Takes every byte offered up to kMaxReplyBytes; beyond that it takes none,
// which makes libcurl abandon the transfer.
size_t write_callback(char* data, size_t size, size_t count, void* sink) {
  std::string* response = static_cast<std::string*>(sink);
  const size_t bytes = size * count;
  if (bytes > kMaxReplyBytes - response->size()) return 0;
  response->append(data, bytes);
  return bytes;
}

// libcurl calls this often while data moves and about once a second while
// it waits; a non-zero answer ends the transfer.
int give_up_callback(void* should_give_up, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return (*static_cast<const std::function<bool()>*>(should_give_up))() ? 1 : 0;
}

bool is_json(const std::string& body) {
  json_error_t error;
  return !body.empty() && parse_reply(body, &error) != nullptr;
}

}  // namespace

GbtClient::GbtClient(const std::string& rpc_url, const std::string& rpc_user,
                     const std::string& rpc_pass, const std::string& coinbase_addr)
    : url(rpc_url), userpass(rpc_user + ":" + rpc_pass), coinbase_addr(coinbase_addr) {
  curl_global_init(CURL_GLOBAL_ALL);
  // A null handle is not fatal here: every call then fails inside libcurl
  // and reports it.
  curl_handle = curl_easy_init();
}

GbtClient::~GbtClient() {
  if (curl_handle != nullptr) curl_easy_cleanup(curl_handle);
  curl_global_cleanup();
}

std::string GbtClient::rpc_call(const std::string& method, const std::string& params) {
  std::string response;
  const std::string body = rpc_request_body(method, params);  // libcurl does not copy it
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");

  // The handle is reused, so every option is set again on every call.
  curl_easy_setopt(curl_handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_USERPWD, userpass.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl_handle, CURLOPT_WRITEFUNCTION, write_callback);
  curl_easy_setopt(curl_handle, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(curl_handle, CURLOPT_TIMEOUT, 30L);
  // The default resolver times out with SIGALRM and a long jump, which is
  // unsafe while the search threads run.
  curl_easy_setopt(curl_handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_handle, CURLOPT_NOPROGRESS, give_up ? 0L : 1L);
  curl_easy_setopt(curl_handle, CURLOPT_XFERINFOFUNCTION, give_up_callback);
  curl_easy_setopt(curl_handle, CURLOPT_XFERINFODATA, &give_up);

  const CURLcode outcome = curl_easy_perform(curl_handle);
  curl_slist_free_all(headers);
  // Given up on purpose; whoever set the flag has said so.
  if (outcome == CURLE_ABORTED_BY_CALLBACK) return "";
  if (outcome == CURLE_WRITE_ERROR) {
    std::fprintf(stderr, "RPC call failed: reply larger than %zu bytes\n", kMaxReplyBytes);
    return "";
  }
  if (outcome != CURLE_OK) {
    std::fprintf(stderr, "RPC call failed: %s\n", curl_easy_strerror(outcome));
    return "";
  }
  // An error status with a JSON body is the node's own answer, which the
  // caller reads and reports; without one the status is all there is to go on.
  long status = 0;
  curl_easy_getinfo(curl_handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 0 && (status < 200 || status > 299) && !is_json(response)) {
    report_http_status(status, url, response);
  }
  return response;
}

BlockWork GbtClient::get_work() {
  return reuse_or_assemble(
      last_work, [this] { return rpc_call("getblocktemplate", "[{\"rules\":[\"segwit\"]}]"); },
      [this] { return rpc_call("validateaddress", json_one_string_params(coinbase_addr)); },
      [this](const std::string& template_reply, const std::function<std::string()>& fetch_address_reply) {
        return assemble_work_unannounced(template_reply, coinbase_addr, fetch_address_reply);
      });
}

bool GbtClient::submit_block(const BlockWork& work, uint32_t nonce) {
  return submit_verdict(rpc_call("submitblock", json_one_string_params(block_hex(work, nonce))));
}
