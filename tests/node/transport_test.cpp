#include <gtest/gtest.h>

#include <curl/curl.h>
#include <jansson.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "loopback_server.h"
#include "node/gbt_client.h"
#include "node/json_doc.h"
#include "template_builder.h"
#include "test_support.h"

namespace {

const char kTemplateBody[] = "{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"getblocktemplate\",\"params\":[{\"rules\":[\"segwit\"]}]}";

// The value of one header of a raw request, "" when absent.
std::string header_of(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = head.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

struct Call {
  std::string reply;
  std::string err;
};

Call call(GbtClient& client, const std::string& method, const std::string& params) {
  testing::internal::CaptureStderr();
  Call c;
  c.reply = client.rpc_call(method, params);
  c.err = testing::internal::GetCapturedStderr();
  return c;
}

}  // namespace

TEST(RpcTransport, SendsExactBodyHeadersAndBasicAuth) {
  LoopbackServer server({http_reply(200, "{\"result\":1}"), http_reply(200, "second")});
  GbtClient client(server.url(), "miner", "pa:ss:word", "tmx1reward");
  const Call first = call(client, "getblocktemplate", "[{\"rules\":[\"segwit\"]}]");
  const Call second = call(client, "anything", "not json at all");
  EXPECT_EQ(first.reply, "{\"result\":1}");
  EXPECT_EQ(second.reply, "second");
  EXPECT_EQ(first.err + second.err, "");

  const std::vector<std::string> requests = server.finish();
  ASSERT_EQ(requests.size(), 2u);
  const HttpRequest request = split_request(requests[0]);
  EXPECT_EQ(request.head.rfind("POST / HTTP/1.1\r\n", 0), 0u) << request.head;
  EXPECT_EQ(header_of(request.head, "Content-Type"), "application/json");
  EXPECT_EQ(header_of(request.head, "Authorization"), "Basic " + base64("miner:pa:ss:word"));
  EXPECT_EQ(header_of(request.head, "Content-Length"), std::to_string(std::strlen(kTemplateBody)));
  EXPECT_EQ(request.body, kTemplateBody);

  // params go in verbatim, even when they are not JSON.
  EXPECT_EQ(split_request(requests[1]).body,
            "{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"anything\",\"params\":not json at all}");
}

// The body is returned whatever the status; a JSON body speaks for itself.
TEST(RpcTransport, ErrorStatusWithJsonBodyIsReturnedSilently) {
  LoopbackServer server({http_reply(500, "{\"result\":null,\"error\":{\"code\":-8}}")});
  GbtClient client(server.url(), "u", "p", "a");
  const Call error_status = call(client, "getblocktemplate", "[]");
  EXPECT_EQ(error_status.reply, "{\"result\":null,\"error\":{\"code\":-8}}");
  EXPECT_EQ(error_status.err, "");
}

// An empty body is no answer, and the callers' own lines cannot say why
// they failed, so the transport names it, with the method it answered.
TEST(RpcTransport, EmptyReplyIsNamedWithItsMethod) {
  LoopbackServer server({http_reply(200, ""), http_reply(200, ""), http_reply(200, "")});
  GbtClient client(server.url(), "u", "p", "tmx1reward");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(client.get_work().valid);
  EXPECT_EQ(client.submit_block(BlockWork{}, 0).verdict, SubmitVerdict::unanswered);
  EXPECT_EQ(client.rpc_call("validateaddress", "[]"), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Node sent an empty reply to getblocktemplate\n"
            "Node sent an empty reply to submitblock\n"
            "Node sent an empty reply to validateaddress\n");
}

// Without a JSON body the status is all the operator gets, once per call.
TEST(RpcTransport, ErrorStatusWithoutJsonIsNamed) {
  LoopbackServer server({http_reply(401, ""), http_reply(403, "Forbidden\r\nmore"), http_reply(404, "<html>x</html>"),
                         http_reply(503, "Work queue depth exceeded"), http_reply(500, "{\"result\":"),
                         http_reply(204, "")});
  GbtClient client(server.url(), "u", "p", "a");
  const std::string url = server.url();
  const std::string expected[] = {
      "Node answered HTTP 401 Unauthorized: it refused the RPC user name and password; check -u and -p "
      "against the node's RPC settings\n",
      "Node answered HTTP 403 Forbidden for " + url + ": it does not accept RPC from this machine; allow this "
      "address in the node's RPC settings (\"Forbidden\")\n",
      "Node answered HTTP 404 Not Found for " + url + ": no JSON-RPC service at that path; check the URL given "
      "with -o\n",
      "Node answered HTTP 503 with a body that is not JSON (\"Work queue depth exceeded\")\n",
      "Node answered HTTP 500 with a body that is not JSON (\"{\"result\":\")\n",
      "Node sent an empty reply to m\n",
  };
  for (const std::string& line : expected) EXPECT_EQ(call(client, "m", "[]").err, line);
}

TEST(RpcTransport, BodyInSeveralPiecesIsJoinedInOrder) {
  ScriptedReply chunked{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n",
                         "5\r\n{\"res\r\n", "8\r\nult\":[1,\r\n", "3\r\n2]}\r\n", "0\r\n\r\n"},
                        40};
  ScriptedReply until_close{{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nfirst,", "second,", "third"}, 40};
  LoopbackServer server({chunked, until_close});
  GbtClient client(server.url(), "u", "p", "a");
  EXPECT_EQ(call(client, "m", "[]").reply, "{\"result\":[1,2]}");
  EXPECT_EQ(call(client, "m", "[]").reply, "first,second,third");
}

// A reply held back for longer than the test would wait: once the flag is
// up, the call gives up silently, sends nothing more while it stays up, and
// the handle stays usable. Both kinds of wait are cut short alike.
TEST(RpcTransport, GivesUpWhenTheFlagIsRaised) {
  using Clock = std::chrono::steady_clock;
  for (const ReplyWait wait : {ReplyWait::kWithinTransferLimit, ReplyWait::kHeldByNode}) {
    LoopbackServer server({held_reply(20000, 200, "{\"result\":null}"), http_reply(200, "{\"result\":1}")});
    GbtClient client(server.url(), "u", "p", "a");
    std::atomic<bool> give_up{false};
    client.give_up_when([&give_up] { return give_up.load(); });
    Clock::time_point raised;
    std::thread raiser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      raised = Clock::now();
      give_up.store(true);
    });
    testing::internal::CaptureStderr();
    const RpcExchange abandoned = client.rpc_exchange("submitblock", "[]", wait);
    const Clock::time_point returned = Clock::now();
    raiser.join();
    EXPECT_TRUE(abandoned.given_up);
    EXPECT_EQ(abandoned.body, "");
    // Far below the hold, so the reply was not waited for. The client looks
    // every 50 ms; how soon it returns in practice is what gbt_probe's
    // give_up verb prints, run by hand (no test or bench runs it).
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(returned - raised);
    EXPECT_LT(delay.count(), 10000);
    std::printf("given up %lld ms after the flag rose\n", static_cast<long long>(delay.count()));

    EXPECT_EQ(client.rpc_call("getblocktemplate", "[]"), "");  // not even sent
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    give_up.store(false);
    EXPECT_EQ(call(client, "m", "[]").reply, "{\"result\":1}");
    EXPECT_EQ(server.finish().size(), 2u);
  }
}

// A held call is a call like any other when the node answers: body and
// status come back, nothing is printed, and a transport failure is returned
// in libcurl's words rather than printed.
TEST(RpcTransport, ExchangeReturnsWhatRpcCallWouldPrint) {
  LoopbackServer server({held_reply(300, 200, "{\"result\":2}"), http_reply(404, "<html>no</html>"),
                         ScriptedReply{{}, 0}});
  GbtClient client(server.url(), "u", "p", "a");
  testing::internal::CaptureStderr();
  const RpcExchange held = client.rpc_exchange("getblocktemplate", "[]", ReplyWait::kHeldByNode);
  const RpcExchange not_found = client.rpc_exchange("getblocktemplate", "[]", ReplyWait::kHeldByNode);
  const RpcExchange hung_up = client.rpc_exchange("getblocktemplate", "[]", ReplyWait::kWithinTransferLimit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(held.body, "{\"result\":2}");
  EXPECT_EQ(held.http_status, 200);
  EXPECT_EQ(held.failure, "");
  EXPECT_EQ(not_found.http_status, 404);
  EXPECT_EQ(not_found.body, "<html>no</html>");
  EXPECT_EQ(hung_up.failure, curl_easy_strerror(CURLE_GOT_NOTHING));
  EXPECT_EQ(hung_up.http_status, 0);
  EXPECT_FALSE(held.given_up || not_found.given_up || hung_up.given_up);
}

TEST(RpcTransport, FailuresAreReportedAndTheHandleStaysUsable) {
  ScriptedReply hang_up{{}, 0};  // reads the request, closes without a reply
  LoopbackServer server({hang_up, http_reply(200, "{\"result\":null}")});
  GbtClient client(server.url(), "u", "p", "a");
  const Call failed = call(client, "m", "[]");
  EXPECT_EQ(failed.reply, "");
  EXPECT_EQ(failed.err, std::string("RPC call failed: ") + curl_easy_strerror(CURLE_GOT_NOTHING) + "\n");
  EXPECT_EQ(call(client, "m", "[]").reply, "{\"result\":null}");

  GbtClient refused_client("http://127.0.0.1:" + std::to_string(closed_port()) + "/", "u", "p", "a");
  const Call refused = call(refused_client, "m", "[]");
  EXPECT_EQ(refused.reply, "");
  EXPECT_EQ(refused.err, std::string("RPC call failed: ") + curl_easy_strerror(CURLE_COULDNT_CONNECT) + "\n");
}

TEST(GbtClientWork, NullTemplateResultMakesNoAddressCall) {
  LoopbackServer server({http_reply(200, "{\"result\":null,\"error\":{\"code\":-9},\"id\":1}"),
                         http_reply(200, "{}")});
  GbtClient client(server.url(), "u", "p", "tmx1reward");
  testing::internal::CaptureStderr();
  const BlockWork work = client.get_work();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Node answered getblocktemplate with error {\"code\":-9}\nMissing GBT fields\n");
  EXPECT_FALSE(work.valid);
  EXPECT_EQ(server.finish().size(), 1u);
}

TEST(GbtClientWork, AddressIsSentAsAnEscapedJsonString) {
  struct Case { std::string address; std::string params; };
  const Case cases[] = {
      {"tmx1qxy2kgdygjrsqtzq2n0yrf2493p83kkfjhx0wlh", "[\"tmx1qxy2kgdygjrsqtzq2n0yrf2493p83kkfjhx0wlh\"]"},
      {"a\"],\"x\":[\"b", "[\"a\\\"],\\\"x\\\":[\\\"b\"]"},
      {std::string("back\\slash\nline\x01", 16), "[\"back\\\\slash\\u000aline\\u0001\"]"},
  };
  for (const Case& c : cases) {
    const std::string address_reply = "{\"result\":{\"isvalid\":true,\"scriptPubKey\":\"0014" + std::string(40, '1') + "\"}}";
    LoopbackServer server({http_reply(200, TemplateBuilder().reply()), http_reply(200, address_reply)});
    GbtClient client(server.url(), "u", "p", c.address);
    testing::internal::CaptureStdout();
    const BlockWork work = client.get_work();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(work.valid);
    const std::vector<std::string> requests = server.finish();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(split_request(requests[0]).body, kTemplateBody);
    const std::string body = split_request(requests[1]).body;
    EXPECT_EQ(body, "{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"validateaddress\",\"params\":" + c.params + "}");
    // An independent parser must read back exactly the address.
    json_error_t error;
    const JsonDoc doc(json_loads(body.c_str(), 0, &error));
    ASSERT_TRUE(doc) << error.text;
    const json_t* sent = json_array_get(json_object_get(doc.get(), "params"), 0);
    EXPECT_EQ(std::string(json_string_value(sent), json_string_length(sent)), c.address);
  }
}

// The reward script is asked for once, and again only after a fetch that
// failed; every request passes the hook first, which may hold it back.
TEST(GbtClientWork, TheAddressIsAskedOnceAndAgainAfterAFailure) {
  const std::string address_reply = "{\"result\":{\"scriptPubKey\":\"0014" + std::string(40, '2') + "\"}}";
  const std::string template_reply = TemplateBuilder().reply();
  LoopbackServer server({http_reply(200, template_reply), http_reply(200, address_reply),
                         http_reply(200, template_reply), http_reply(200, ""),
                         http_reply(200, template_reply), http_reply(200, address_reply)});
  GbtClient client(server.url(), "u", "p", "tmx1reward");
  std::vector<std::string> hooked;
  bool hold_back = false;
  client.before_each_request([&](const char* method) {
    hooked.push_back(method);
    return !hold_back;
  });
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const BlockWork first = client.get_work();
  const BlockWork second = client.get_work();  // the same template: handed out again
  const BlockWork failed = client.get_work();
  hold_back = true;
  const BlockWork held = client.get_work();    // never sent
  hold_back = false;
  const BlockWork after = client.get_work();
  const std::string line = "New block 500000, 0 txs, target 00000000ffff0000\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), line + line + line);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Node sent an empty reply to getblocktemplate\n");
  ASSERT_TRUE(first.valid && second.valid && after.valid);
  EXPECT_FALSE(failed.valid || held.valid);
  EXPECT_EQ(0, std::memcmp(first.header, second.header, 80));
  EXPECT_EQ(first.txn_hex, after.txn_hex);
  const std::vector<std::string> methods = {"getblocktemplate", "validateaddress", "getblocktemplate",
                                            "getblocktemplate", "getblocktemplate", "getblocktemplate",
                                            "validateaddress"};
  EXPECT_EQ(hooked, methods);
  const std::vector<std::string> requests = server.finish();
  ASSERT_EQ(requests.size(), 6u);
  const size_t sent[] = {0, 1, 2, 3, 5, 6};  // the held-back one is not on the wire
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_NE(split_request(requests[i]).body.find(methods[sent[i]]), std::string::npos) << i;
  }
}

TEST(GbtClientSubmit, SendsHeaderWithNonceAndReadsTheVerdict) {
  BlockWork work;
  for (int i = 0; i < 76; ++i) work.header[i] = static_cast<uint8_t>(0xf0 ^ i);
  work.txn_hex = "01AbCd";
  work.valid = true;
  const BlockWork before = work;
  LoopbackServer server({http_reply(200, "{\"result\":null,\"error\":null,\"id\":1}"),
                         http_reply(500, "{\"result\":\"bad-txnmrklroot\",\"error\":null,\"id\":1}")});
  GbtClient client(server.url(), "u", "p", "a");
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.submit_block(work, 0x12345678).verdict, SubmitVerdict::accepted);
  EXPECT_EQ(client.submit_block(work, 0).verdict, SubmitVerdict::refused);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Block rejected: bad-txnmrklroot\n");
  EXPECT_EQ(0, std::memcmp(work.header, before.header, 80));

  const std::vector<std::string> requests = server.finish();
  ASSERT_EQ(requests.size(), 2u);
  const std::string header_hex = to_hex(work.header, 76);
  EXPECT_EQ(split_request(requests[0]).body, "{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"submitblock\",\"params\":[\"" +
                                                 header_hex + "78563412" + "01AbCd\"]}");
  EXPECT_EQ(split_request(requests[1]).body, "{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"submitblock\",\"params\":[\"" +
                                                 header_hex + "00000000" + "01AbCd\"]}");
}

TEST(GbtClientSubmit, TransactionTextCannotBreakTheRequest) {
  BlockWork work;
  work.txn_hex = "01\"],\"x\\";  // a node that sent a quote and a backslash in "data"
  LoopbackServer server({http_reply(200, "{\"result\":\"bad-hex\"}")});
  GbtClient client(server.url(), "u", "p", "a");
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.submit_block(work, 1).verdict, SubmitVerdict::refused);
  testing::internal::GetCapturedStderr();
  const std::vector<std::string> requests = server.finish();
  ASSERT_EQ(requests.size(), 1u);
  json_error_t error;
  const JsonDoc doc(json_loads(split_request(requests[0]).body.c_str(), 0, &error));
  ASSERT_TRUE(doc) << error.text;
  const json_t* params = json_object_get(doc.get(), "params");
  ASSERT_EQ(json_array_size(params), 1u);
  EXPECT_EQ(json_string_value(json_array_get(params, 0)), to_hex(work.header, 76) + "01000000" + work.txn_hex);
}

// A reply past 32 MiB is abandoned rather than held in memory; the next call
// on the same handle works.
TEST(RpcTransport, OversizedReplyIsRefused) {
  const std::string huge_body(33u << 20, 'x');
  LoopbackServer server({http_reply(200, huge_body), http_reply(200, "{\"result\":null}")});
  GbtClient client(server.url(), "u", "p", "a");
  const Call oversized = call(client, "getblocktemplate", "[]");
  EXPECT_EQ(oversized.reply, "");
  EXPECT_EQ(oversized.err, "RPC call failed: reply larger than 33554432 bytes\n");
  EXPECT_EQ(call(client, "m", "[]").reply, "{\"result\":null}");
}

// The client keeps the streak across submissions: the third refusal for one
// reason in a row adds the line that says the node refuses every block.
TEST(GbtClientSubmit, RepeatedRefusalsAreToldOnce) {
  const ScriptedReply refused = http_reply(200, "{\"result\":\"bad-cb-height\",\"error\":null,\"id\":1}");
  LoopbackServer server({refused, refused, refused, refused});
  GbtClient client(server.url(), "u", "p", "a");
  testing::internal::CaptureStderr();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(client.submit_block(BlockWork{}, 0).verdict, SubmitVerdict::refused);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string rejected = "Block rejected: bad-cb-height\n";
  EXPECT_EQ(err, rejected + rejected + rejected +
                     "Node refuses every block: the last 3 were all rejected as \"bad-cb-height\"; " +
                     refusal_advice("bad-cb-height") + "\n" + rejected);
}

// A stop during get_work ends it without a word, whichever call it was in:
// the operator asked for the stop, the node did nothing wrong.
TEST(GbtClientWork, GivingUpIsSilentInEitherCall) {
  const std::string address_reply = "{\"result\":{\"scriptPubKey\":\"0014" + std::string(40, '3') + "\"}}";
  const std::vector<ScriptedReply> scripts[] = {
      {held_reply(20000, 200, TemplateBuilder().reply())},
      {http_reply(200, TemplateBuilder().reply()), held_reply(20000, 200, address_reply)},
  };
  for (const std::vector<ScriptedReply>& script : scripts) {
    LoopbackServer server(script);
    GbtClient client(server.url(), "u", "p", "tmx1reward");
    std::atomic<bool> give_up{false};
    client.give_up_when([&give_up] { return give_up.load(); });
    std::thread raiser([&] {
      ASSERT_TRUE([&] {
        for (int i = 0; i < 1000 && server.requests_seen() < static_cast<int>(script.size()); ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return server.requests_seen() == static_cast<int>(script.size());
      }());
      give_up.store(true);
    });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const BlockWork work = client.get_work();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    raiser.join();
    EXPECT_FALSE(work.valid);
    EXPECT_EQ(err + out, "") << script.size() << " calls";
  }
}
