// The API's pure decisions: the bind address, the settings check that runs
// before anything else, which request gets what, the bearer token, and the
// UTF-8 filter every shown text goes through.
#include <gtest/gtest.h>

#include <string>

#include "api/bind_address.h"
#include "api/request_rules.h"
#include "api/utf8_text.h"

namespace {

TEST(ApiBind, ParsesEveryFormAndKnowsLoopback) {
  struct Case {
    const char* text;
    const char* address;
    uint16_t port;
    bool ipv6;
    bool loopback;
  };
  const Case cases[] = {
      {"8080", "127.0.0.1", 8080, false, true},
      {":9100", "127.0.0.1", 9100, false, true},
      {"127.0.0.1:1", "127.0.0.1", 1, false, true},
      {"127.200.3.4:65535", "127.200.3.4", 65535, false, true},
      {"localhost:4000", "127.0.0.1", 4000, false, true},
      {"0.0.0.0:8080", "0.0.0.0", 8080, false, false},
      {"192.0.2.7:80", "192.0.2.7", 80, false, false},
      {"128.0.0.1:80", "128.0.0.1", 80, false, false},
      {"[::1]:9000", "::1", 9000, true, true},
      {"[::ffff:127.0.0.9]:9000", "::ffff:127.0.0.9", 9000, true, true},
      {"[::]:9000", "::", 9000, true, false},
      {"[2001:db8::5]:443", "2001:db8::5", 443, true, false},
      {"080", "127.0.0.1", 80, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ApiBind bind;
    bind.port = 1;
    std::string why;
    ASSERT_TRUE(parse_api_bind(c.text, &bind, &why)) << why;
    EXPECT_EQ(bind.address, c.address);
    EXPECT_EQ(bind.port, c.port);
    EXPECT_EQ(bind.ipv6, c.ipv6);
    EXPECT_EQ(bind.loopback, c.loopback);
  }
}

TEST(ApiBind, RefusesWhatIsNoAddressAndPort) {
  const char* refused[] = {"",           "0",         "65536",      "70000",         "-1",
                           "+80",        "80x",       "abc",        "1.2.3.4:",      "1.2.3.4",
                           "1.2.3:80",   "::1:80",    "[::1]",      "[::1]80",       "[::1]:",
                           "[1.2.3.4]:80", "example.org:80", "256.1.1.1:80", "123456", " 80"};
  for (const char* text : refused) {
    SCOPED_TRACE(text);
    ApiBind bind;
    bind.port = 7;
    std::string why;
    EXPECT_FALSE(parse_api_bind(text, &bind, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(bind.port, 7);  // untouched
  }
}

TEST(ApiSettings, NonLoopbackWantsATokenAndEveryRefusalIsOneLine) {
  using Opt = std::optional<std::string>;
  struct Case {
    Opt bind;
    Opt token;
    const char* expected;  // "" or the line's start
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, ""},
      {std::nullopt, Opt("t"), ""},
      {Opt("8080"), std::nullopt, ""},
      {Opt("[::1]:8080"), std::nullopt, ""},
      {Opt("8080"), Opt("secret"), ""},
      {Opt("0.0.0.0:8080"), Opt("secret"), ""},
      {Opt("0.0.0.0:8080"), std::nullopt,
       "tamrix-miner: --api-bind 0.0.0.0:8080 listens beyond this machine; give --api-token TOKEN too\n"},
      {Opt("[::]:8080"), std::nullopt, "tamrix-miner: --api-bind [::]:8080 listens beyond"},
      {Opt("0.0.0.0:8080"), Opt(""), "tamrix-miner: --api-token is empty\n"},
      {Opt("8080"), Opt(""), "tamrix-miner: --api-token is empty\n"},
      {Opt("99999"), std::nullopt, "tamrix-miner: --api-bind 99999: the port must be a number from 1 to 65535\n"},
      {Opt("a\nb:80"), std::nullopt, "tamrix-miner: --api-bind a\\nb:80: "},  // shown escaped: no line break gets through
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bind.value_or("(none)"));
    const std::string error = api_settings_error(c.bind, c.token);
    EXPECT_EQ(error.rfind(c.expected, 0), 0u) << error;
    if (!error.empty()) {
      EXPECT_EQ(error.find('\n'), error.size() - 1) << "one line, newline-terminated: " << error;
    }
  }
}

TEST(ApiRequestRules, MethodBodyPathAndTokenInThatOrder) {
  struct Case {
    const char* method;
    const char* path;
    const char* authorization;
    bool has_body;
    const char* token;
    int status;
    ApiRoute route;
  };
  const Case cases[] = {
      {"GET", "/", nullptr, false, "", 200, ApiRoute::page},
      {"GET", "/summary", nullptr, false, "", 200, ApiRoute::summary},
      {"GET", "/metrics", nullptr, false, "", 200, ApiRoute::metrics},
      {"GET", "/metrics/", nullptr, false, "", 404, ApiRoute::none},
      {"GET", "/SUMMARY", nullptr, false, "", 404, ApiRoute::none},
      {"GET", "/index.html", nullptr, false, "", 404, ApiRoute::none},
      {"GET", "", nullptr, false, "", 404, ApiRoute::none},
      {"POST", "/summary", nullptr, false, "", 405, ApiRoute::none},
      {"HEAD", "/", nullptr, false, "", 405, ApiRoute::none},
      {"PUT", "/nowhere", nullptr, true, "", 405, ApiRoute::none},
      {"DELETE", "/metrics", "Bearer s3cret", false, "s3cret", 405, ApiRoute::none},
      {"get", "/", nullptr, false, "", 405, ApiRoute::none},
      {"GET", "/summary", nullptr, true, "", 413, ApiRoute::none},
      {"GET", "/nowhere", nullptr, true, "", 413, ApiRoute::none},
      // With a token: the data wants it, the page does not.
      {"GET", "/summary", nullptr, false, "s3cret", 401, ApiRoute::none},
      {"GET", "/metrics", "Bearer wrong", false, "s3cret", 401, ApiRoute::none},
      {"GET", "/metrics", "Basic s3cret", false, "s3cret", 401, ApiRoute::none},
      {"GET", "/metrics", "Bearer s3cret", false, "s3cret", 200, ApiRoute::metrics},
      {"GET", "/summary", "bearer  s3cret ", false, "s3cret", 200, ApiRoute::summary},
      {"GET", "/", nullptr, false, "s3cret", 200, ApiRoute::page},
      {"GET", "/nowhere", nullptr, false, "s3cret", 404, ApiRoute::none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    ApiRequest request;
    request.method = c.method;
    request.path = c.path;
    request.authorization = c.authorization;
    request.has_body = c.has_body;
    const ApiAnswer answer = decide_request(request, c.token);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.route, c.route);
  }
}

TEST(ApiRequestRules, BearerTokenMustMatchExactly) {
  const std::string token = "Zx9-token";
  struct Case {
    const char* header;
    bool matches;
  };
  const Case cases[] = {
      {"Bearer Zx9-token", true},   {"BEARER Zx9-token", true},    {"Bearer   Zx9-token  ", true},
      {"Bearer Zx9-toke", false},   {"Bearer Zx9-tokenn", false},  {"Bearer zx9-token", false},
      {"Bearer ", false},           {"Bearer", false},             {"BearerZx9-token", false},
      {"Basic Zx9-token", false},   {"Zx9-token", false},          {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(bearer_token_matches(c.header, token), c.matches);
  }
  EXPECT_FALSE(bearer_token_matches(nullptr, token));
}

TEST(Utf8Text, KeepsWellFormedTextAndReplacesEveryBadByte) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain ascii", "plain ascii"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA5", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\xA5"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6)},
      {"\xC0\x80", r + r},                    // overlong NUL
      {"\xE0\x80\xAF", r + r + r},            // overlong '/'
      {"\xED\xA0\x80", r + r + r},            // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},    // above U+10FFFF
      {"\xF5\x80", r + r},
      {"ab\xE2\x82", "ab" + r + r},           // cut short at the end
      {"\xE2\x82z", r + r + "z"},
      {"\x80x\xBF", r + "x" + r},             // stray continuation bytes
      {"\xFF\xFE", r + r},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(valid_utf8(c.in), c.out);
  }
}

}  // namespace
