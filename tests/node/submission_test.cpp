#include "node/submission.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace {

BlockWork sample_work() {
  BlockWork work;
  for (int i = 0; i < 76; ++i) work.header[i] = static_cast<uint8_t>(0xa0 + i);
  work.height = 7;
  work.txn_hex = "01ABCDEF";
  work.valid = true;
  return work;
}

struct Verdict {
  bool accepted;
  std::string err;
};

Verdict verdict_of(const std::string& reply) {
  testing::internal::CaptureStderr();
  const bool accepted = submit_verdict(reply);
  return {accepted, testing::internal::GetCapturedStderr()};
}

}  // namespace

TEST(BlockHex, NonceLittleEndianHeaderLowerCaseTransactionsUnchanged) {
  const BlockWork work = sample_work();
  const BlockWork before = work;
  const std::string hex = block_hex(work, 0x12345678);
  EXPECT_EQ(hex.size(), 160u + work.txn_hex.size());
  EXPECT_EQ(hex.substr(0, 152), to_hex(work.header, 76));
  EXPECT_EQ(hex.substr(152, 8), "78563412");
  EXPECT_EQ(hex.substr(160), "01ABCDEF");
  for (size_t i = 0; i < 160; ++i) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(hex[i])));

  EXPECT_EQ(0, std::memcmp(work.header, before.header, 80));  // the caller's copy keeps nonce 0
  EXPECT_EQ(work.txn_hex, before.txn_hex);

  EXPECT_EQ(block_hex(work, 0).substr(0, 160), to_hex(work.header, 80));
  EXPECT_EQ(block_hex(work, 0xffffffff).substr(152, 8), "ffffffff");
}

TEST(SubmitVerdict, OnlyANullResultWithoutAnErrorIsAcceptance) {
  const struct { const char* reply; bool accepted; const char* err; } cases[] = {
      {"{\"result\":null,\"error\":null,\"id\":1}", true, ""},
      {"{\"result\":null,\"id\":1}", true, ""},
      // An error, however the rest reads, is a rejection in the node's words.
      {"{\"result\":null,\"error\":{\"code\":-22,\"message\":\"Block decode failed\"},\"id\":1}", false,
       "Block rejected: Block decode failed\n"},
      {"{\"result\":\"high-hash\",\"error\":{\"code\":-1,\"message\":\"two\\nlines\"}}", false,
       "Block rejected: two\\nlines\n"},
      {"{\"error\":{\"code\":-1}}", false, "Block rejected: {\"code\":-1}\n"},
      {"{\"result\":null,\"error\":\"whatever\"}", false, "Block rejected: \"whatever\"\n"},
      {"{\"result\":null,\"error\":{\"message\":5}}", false, "Block rejected: {\"message\":5}\n"},
      {"{\"result\":\"high-hash\",\"error\":null,\"id\":1}", false, "Block rejected: high-hash\n"},
      {"{\"result\":\"\",\"error\":null,\"id\":1}", false, "Block rejected: \n"},
      {"{\"result\":true,\"error\":null,\"id\":1}", false, ""},
      {"{\"result\":0,\"error\":null,\"id\":1}", false, ""},
      {"{\"result\":{},\"error\":null,\"id\":1}", false, ""},
      {"{\"result\":[null],\"error\":null,\"id\":1}", false, ""},
      {"{\"error\":null,\"id\":1}", false, ""},
      {"[null]", false, ""},
      {"null", false, ""},
      {"not json", false, ""},
      {"{\"result\":null", false, ""},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    const Verdict v = verdict_of(c.reply);
    EXPECT_EQ(v.accepted, c.accepted) << c.reply;
    EXPECT_EQ(v.err, c.err) << c.reply;
  }
}

// The reason goes back to the caller exactly as printed, and a string
// result is cut like every other text from the node.
TEST(SubmitVerdict, RefusalReasonIsReturnedAsPrinted) {
  const struct { std::string reply; std::string reason; } cases[] = {
      {"{\"result\":\"high-hash\",\"error\":null}", "high-hash"},
      {"{\"result\":null,\"error\":{\"code\":-22,\"message\":\"Block decode failed\"}}", "Block decode failed"},
      {"{\"result\":\"" + std::string(5000, 'r') + "\"}", std::string(200, 'r') + "..."},
      {"{\"result\":\"two\\nlines\"}", "two\\nlines"},
      {"{\"result\":null}", ""},
      {"{\"result\":true}", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string reason = "stale";
    testing::internal::CaptureStderr();
    submit_verdict(c.reply, &reason);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reason, c.reason) << c.reply;
    EXPECT_EQ(err, c.reason.empty() ? "" : "Block rejected: " + c.reason + "\n") << c.reply;
  }
}

// Only the node's verdict ends a block's story; everything else that can
// come back is "unanswered", with words for the resend line.
TEST(SubmitOutcome, TellsAcceptedRefusedAndUnansweredApart) {
  const auto A = SubmitVerdict::accepted;
  const auto R = SubmitVerdict::refused;
  const auto U = SubmitVerdict::unanswered;
  const struct { const char* what; RpcExchange exchange; SubmitVerdict verdict; std::string reason; bool duplicate; }
      cases[] = {
          {"accepted", {"{\"result\":null,\"error\":null,\"id\":1}", 200, "", false}, A, "", false},
          {"refused", {"{\"result\":\"high-hash\",\"error\":null}", 200, "", false}, R, "high-hash", false},
          {"refused in an error", {"{\"result\":null,\"error\":{\"code\":-22,\"message\":\"Block decode failed\"}}", 500,
                                   "", false}, R, "Block decode failed", false},
          {"duplicate", {"{\"result\":\"duplicate\"}", 200, "", false}, R, "duplicate", true},
          {"duplicate, inconclusive", {"{\"result\":\"duplicate-inconclusive\"}", 200, "", false}, R,
           "duplicate-inconclusive", true},
          {"a word after duplicate", {"{\"result\":\"duplicate-invalid\"}", 200, "", false}, R, "duplicate-invalid",
           false},
          {"timeout", {"", 0, "Timeout was reached", false}, U, "Timeout was reached", false},
          {"connection dropped", {"", 0, "Server returned nothing (no headers, no data)", false}, U,
           "Server returned nothing (no headers, no data)", false},
          {"given up at a stop", {"", 0, "", true}, U, "given up", false},
          {"empty", {"", 200, "", false}, U, "an empty reply, HTTP 200", false},
          {"503 in plain text", {"Work queue depth exceeded\nmore", 503, "", false}, U,
           "HTTP 503 (\"Work queue depth exceeded\")", false},
          {"503 with controls", {"busy\x1b]0;PWNED\x07\x9b", 503, "", false}, U,
           "HTTP 503 (\"busy\\x1b]0;PWNED\\x07\\x9b\")", false},
          {"500 page", {"<html>oops</html>", 500, "", false}, U, "HTTP 500", false},
          {"200 not JSON", {"{\"result\":nul", 200, "", false}, U, "a reply that is not JSON-RPC", false},
          {"200 JSON but not an object", {"[null]", 200, "", false}, U, "a reply that is not JSON-RPC", false},
          {"starting up", {"{\"result\":null,\"error\":{\"code\":-28,\"message\":\"Loading block index...\"}}", 500, "",
                           false}, U, "the node is starting: -28: Loading block index...", false},
          {"no verdict", {"{\"result\":true,\"error\":null}", 200, "", false}, U, "a reply without a verdict, HTTP 200",
           false},
      };
  for (const auto& c : cases) {
    const SubmitOutcome outcome = classify_submit_reply(c.exchange);
    EXPECT_EQ(outcome.verdict, c.verdict) << c.what;
    EXPECT_EQ(outcome.reason, c.reason) << c.what;
    EXPECT_EQ(refused_as_duplicate(outcome), c.duplicate) << c.what;
  }
}

// What the operator reads about each verdict, and the streak it feeds.
TEST(SubmitOutcome, OnlyARefusalIsReported) {
  RefusalStreak streak;
  testing::internal::CaptureStderr();
  for (int i = 0; i < kRefusalsForWarning; ++i) {
    report_verdict(streak, {SubmitVerdict::unanswered, "Timeout was reached"});
    report_verdict(streak, {SubmitVerdict::refused, "bad-prevblk"});
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("Timeout"), std::string::npos) << err;
  EXPECT_EQ(err.rfind("Block rejected: bad-prevblk\nBlock rejected: bad-prevblk\nBlock rejected: bad-prevblk\n"
                      "Node refuses every block", 0), 0u) << err;
  report_verdict(streak, {SubmitVerdict::accepted, ""});
  EXPECT_EQ(streak.count, 0);
}
