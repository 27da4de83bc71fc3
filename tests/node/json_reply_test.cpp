#include "node/json_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "node/node_messages.h"

namespace {

// What jansson itself allocates for a parsed document: one per value.
size_t jansson_values(const json_t* value) {
  size_t count = 1;
  if (json_is_array(value)) {
    for (size_t i = 0; i < json_array_size(value); ++i) count += jansson_values(json_array_get(value, i));
  } else if (json_is_object(value)) {
    const char* key;
    json_t* member;
    json_object_foreach(const_cast<json_t*>(value), key, member) count += jansson_values(member);
  }
  return count;
}

}  // namespace

// The count must never be below what jansson allocates, or the bound would
// let through a reply that costs more than it allows; and not far above it,
// or real templates would be refused.
TEST(JsonValueBound, CoversWhatJanssonAllocatesAndNotMuchMore) {
  const char* texts[] = {
      "0",
      "[]",
      "{}",
      "[0,0,0]",
      "[[],[],{},{\"a\":[]}]",
      "{\"result\":{\"transactions\":[{\"data\":\"00\",\"txid\":\"ab\",\"depends\":[],\"fee\":1}],"
      "\"height\":5},\"error\":null,\"id\":1}",
      "{\"s\":\"[{,,,}]\",\"t\":\"quote \\\" [ , \\\\\",\"u\":[\"\\\\\",\"]\"]}",
  };
  for (const char* text : texts) {
    json_error_t error;
    const JsonDoc doc(json_loads(text, JSON_DECODE_ANY, &error));
    ASSERT_TRUE(doc) << text << ": " << error.text;
    const size_t actual = jansson_values(doc.get());
    const size_t counted = json_values_within(text, 1000);
    EXPECT_GE(counted, actual) << text;
    EXPECT_LE(counted, 3 * actual) << text;  // an empty container counts as holding one
  }
}

TEST(JsonValueBound, RefusesPastTheBoundAndParsesUpToIt) {
  EXPECT_EQ(json_values_within("[0,0,0,0,0,0]", 3), 4u);  // stops once past
  std::string at_bound = "[0";  // the document, the array's first entry, then one per comma
  for (size_t i = 3; i < kMaxReplyJsonValues; ++i) at_bound += ",0";
  ASSERT_EQ(json_values_within(at_bound + "]", kMaxReplyJsonValues), kMaxReplyJsonValues);
  json_error_t error;
  EXPECT_TRUE(parse_reply(at_bound + "]", &error)) << error.text;
  EXPECT_FALSE(parse_reply(at_bound + ",0]", &error));
  EXPECT_STREQ(error.text, "reply holds more than 1048576 JSON values");
  EXPECT_FALSE(parse_reply("[1,", &error));  // jansson's own errors still come through
  EXPECT_NE(std::string(error.text).find("end of file"), std::string::npos) << error.text;
}

TEST(NodeWords, ErrorObjectsAndHostileText) {
  struct Case { const char* error; const char* text; };
  const Case cases[] = {
      {"{\"code\":-9,\"message\":\"Node is not connected!\"}", "-9: Node is not connected!"},
      {"{\"message\":\"no code\"}", "no code"},
      {"{\"code\":\"x\",\"message\":\"code not a number\"}", "code not a number"},
      {"{\"code\":-1}", "{\"code\":-1}"},
      {"\"text\"", "\"text\""},
      {"{\"code\":1,\"message\":\"line\\none\\u001b[31m\"}", "1: line\\none\\x1b[31m"},
  };
  for (const Case& c : cases) {
    json_error_t error;
    const JsonDoc doc(json_loads(c.error, JSON_DECODE_ANY, &error));
    ASSERT_TRUE(doc) << c.error;
    EXPECT_EQ(node_error_text(doc.get()), c.text);
  }
  const std::string flood(5000, 'x');
  EXPECT_EQ(node_error_text(JsonDoc(json_string(flood.c_str())).get()),
            "\"" + std::string(kMaxShownTextChars - 1, 'x') + "...");
}

// The outline a template reader parses: arrays inside the top-level
// members emptied, everything else, strings with brackets included, kept.
TEST(JsonOutline, EmptiesArraysBelowTheTopLevelMembersOnly) {
  const struct { const char* reply; const char* outline; } cases[] = {
      {"{\"result\":{\"height\":5,\"transactions\":[{\"data\":\"00\",\"depends\":[1,[2]]},{}],\"x\":\"y\"},"
       "\"error\":null}",
       "{\"result\":{\"height\":5,\"transactions\":[],\"x\":\"y\"},\"error\":null}"},
      {"{\"result\":[1,[2]],\"id\":1}", "{\"result\":[1,[]],\"id\":1}"},  // a top-level member itself is kept
      {"{\"result\":{\"longpollid\":\"a]b[\\\"[\",\"rules\":[\"]\",\"\\\"]\"],\"h\":1}}",
       "{\"result\":{\"longpollid\":\"a]b[\\\"[\",\"rules\":[],\"h\":1}}"},
      {"{\"error\":{\"code\":-1,\"message\":\"m\",\"data\":[1]}}", "{\"error\":{\"code\":-1,\"message\":\"m\",\"data\":[]}}"},
      {"{\"result\":{\"t\":[1,2", "{\"result\":{\"t\":["},  // cut short: still not JSON
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(json_outline(c.reply), c.outline) << c.reply;
  // The largest template's outline is what a reader of its scalars parses.
  std::string big = "{\"result\":{\"previousblockhash\":\"" + std::string(64, 'a') + "\",\"transactions\":[";
  for (int i = 0; i < 65534; ++i) big += "{\"data\":\"0011\",\"txid\":\"" + std::string(64, 'b') + "\"},";
  big += "{}],\"height\":7}}";
  const std::string outline = json_outline(big);
  EXPECT_LT(outline.size(), 200u);
  json_error_t error;
  const JsonDoc doc = parse_reply(outline, &error);
  ASSERT_TRUE(doc) << error.text;
  EXPECT_EQ(json_integer_value(json_object_get(json_object_get(doc.get(), "result"), "height")), 7);
}
