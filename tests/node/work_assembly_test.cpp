#include "node/work_assembly.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "node/json_reply.h"
#include "template_builder.h"
#include "test_support.h"

namespace {

const char kAddress[] = "tmx1reward";
const char kScript[] = "001400112233445566778899aabbccddeeff00112233";  // 22 bytes
const char kCommitment[] =
    "6a24aa21a9ede2f61c3f71d1defd3fa999dfa36953755c690689799962b48bebd836974e8cf9";  // 38 bytes
const char kTxid1[] = "11112222333344445555666677778888999900001111222233334444555566ab";
const char kTxid2[] = "aaaabbbbccccddddeeeeffff0000111122223333444455556666777788889999";
const char kTxid3[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string address_reply(const std::string& script) {
  return "{\"result\":{\"isvalid\":true,\"address\":\"tmx1reward\",\"scriptPubKey\":\"" + script +
         "\"},\"error\":null,\"id\":1}";
}

struct Outcome {
  BlockWork work;
  std::string out;
  std::string err;
  int address_calls = 0;
};

Outcome assemble(const std::string& template_reply, const std::string& addr_reply = address_reply(kScript)) {
  Outcome o;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  o.work = assemble_work(template_reply, kAddress, [&] {
    ++o.address_calls;
    return addr_reply;
  });
  o.err = testing::internal::GetCapturedStderr();
  o.out = testing::internal::GetCapturedStdout();
  return o;
}

// The coinbase of work built from a template without transactions.
Bytes lone_coinbase(const BlockWork& work) {
  EXPECT_EQ(work.txn_hex.substr(0, 2), "01");
  return from_hex(work.txn_hex.substr(2));
}

// Signature script of a coinbase: length byte at 41, script after it.
std::string signature_script_hex(const Bytes& coinbase) {
  return to_hex(coinbase.data() + 42, coinbase.at(41));
}

Bytes merkle_root_of(const BlockWork& work) { return Bytes(work.header + 36, work.header + 68); }

void expect_refused(const Outcome& o, const std::string& message) {
  EXPECT_FALSE(o.work.valid);
  EXPECT_EQ(o.err, message);
  EXPECT_EQ(o.out, "");
}

}  // namespace

TEST(WorkAssembly, HandCheckedCoinbaseHeaderAndLogLine) {
  const Outcome o = assemble(TemplateBuilder().set("default_witness_commitment", kCommitment).reply());
  ASSERT_TRUE(o.work.valid) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out, "New block 500000, 0 txs, target 00000000ffff0000\n");
  EXPECT_EQ(o.address_calls, 1);
  EXPECT_EQ(o.work.height, 500000);

  const std::string coinbase_hex =
      "01000000"                                                          // version
      "01"                                                                // input count
      "0000000000000000000000000000000000000000000000000000000000000000"  // previous output
      "ffffffff"                                                          // its index
      "04" "0320a107"                                                     // height push
      "ffffffff"                                                          // sequence
      "02"                                                                // outputs
      "00f2052a01000000"                                                  // 50 00000000
      "16" "001400112233445566778899aabbccddeeff00112233"                 // reward script
      "0000000000000000"                                                  // value 0
      "26" "6a24aa21a9ede2f61c3f71d1defd3fa999dfa36953755c690689799962b48bebd836974e8cf9"
      "00000000";                                                         // lock time
  EXPECT_EQ(o.work.txn_hex, "01" + coinbase_hex);
  EXPECT_EQ(from_hex(coinbase_hex).size(), 69u + 4 + 22 + 38);

  const std::string header_hex =
      "00000020" +
      to_hex(reversed(from_hex("000000000000000000036b0e6c3a5f7e4a5b9c8d7e6f5a4b3c2d1e0f1a2b3c4d")).data(), 32) +
      to_hex(openssl_sha3_256(from_hex(coinbase_hex)).data(), 32) +  // lone coinbase is the root
      "00f15365"                                                      // curtime 1700000000
      "ffff001d"                                                      // bits
      "00000000";                                                     // nonce
  EXPECT_EQ(to_hex(o.work.header, 80), header_hex);
  EXPECT_EQ(o.work.header[4], 0x4d);  // the last two characters of previousblockhash

  // Word 7 is the first eight characters, word 0 the last eight.
  const uint32_t target[8] = {0, 0, 0, 0, 0, 0, 0xffff0000u, 0};
  EXPECT_EQ(0, std::memcmp(o.work.target, target, sizeof target));
}

TEST(WorkAssembly, HeaderFieldsTakeLow32BitsAndTargetWordsFollowTheText) {
  const Outcome o = assemble(TemplateBuilder()
                                 .set("version", json_int_t{0x100000002LL})
                                 .set("curtime", json_int_t{0x1fedcba98LL})
                                 .set("bits", "1B0404CBjunk")  // strtoul stops at "j"
                                 .set("target", "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20")
                                 .reply());
  ASSERT_TRUE(o.work.valid) << o.err;
  EXPECT_EQ(to_hex(o.work.header, 4), "02000000");
  EXPECT_EQ(to_hex(o.work.header + 68, 12), "98badcfe" "cb04041b" "00000000");
  EXPECT_EQ(o.work.target[0], 0x1d1e1f20u);
  EXPECT_EQ(o.work.target[7], 0x01020304u);
  EXPECT_EQ(o.out, "New block 500000, 0 txs, target 0102030405060708\n");
}

TEST(WorkAssembly, AbsentOptionalMembersReadAsZero) {
  const Outcome o = assemble(TemplateBuilder()
                                 .erase("height").erase("version").erase("curtime")
                                 .erase("coinbasevalue").erase("transactions")
                                 .reply());
  ASSERT_TRUE(o.work.valid) << o.err;
  EXPECT_EQ(o.work.height, 0);
  EXPECT_EQ(to_hex(o.work.header, 4), "00000000");
  EXPECT_EQ(to_hex(o.work.header + 68, 4), "00000000");
  const Bytes coinbase = lone_coinbase(o.work);
  EXPECT_EQ(to_hex(coinbase.data() + 47 + 2, 8), "0000000000000000");  // L = 2 at height 0
  EXPECT_EQ(merkle_root_of(o.work), openssl_sha3_256(coinbase));
  EXPECT_EQ(o.out, "New block 0, 0 txs, target 00000000ffff0000\n");
}

TEST(WorkAssembly, HeightPushTable) {
  const struct { json_int_t height; const char* script; } cases[] = {
      {0, "0000"},       {1, "5100"},         {16, "6000"},         {17, "0111"},
      {127, "017f"},     {128, "028000"},     {255, "02ff00"},      {256, "020001"},
      {32768, "03008000"}, {500000, "0320a107"}, {0x7fffffff, "04ffffff7f"},
      {0x100000005LL, "5500"},  // only the low 32 bits count
  };
  for (const auto& c : cases) {
    const Outcome o = assemble(TemplateBuilder().set("height", c.height).reply());
    ASSERT_TRUE(o.work.valid) << c.height << ": " << o.err;
    const Bytes coinbase = lone_coinbase(o.work);
    EXPECT_EQ(signature_script_hex(coinbase), c.script) << c.height;
    EXPECT_EQ(coinbase.size(), 60u + coinbase[41] + 22) << c.height;
  }
}

TEST(WorkAssembly, CountPrefixInCompactSizeForm) {
  const struct { int txs; const char* prefix; } cases[] = {
      {250, "fb"}, {251, "fc"}, {252, "fdfd00"}, {299, "fd2c01"}};
  for (const auto& c : cases) {
    TemplateBuilder builder;
    for (int i = 0; i < c.txs; ++i) builder.add_tx(kTxid1, "ab");
    const Outcome o = assemble(builder.reply());
    ASSERT_TRUE(o.work.valid) << o.err;
    const std::string prefix = c.prefix;
    EXPECT_EQ(o.work.txn_hex.substr(0, prefix.size()), prefix) << c.txs;
    const size_t coinbase_chars = 2 * (60 + 4 + 22);
    EXPECT_EQ(o.work.txn_hex.size(), prefix.size() + coinbase_chars + 2 * c.txs) << c.txs;
    EXPECT_EQ(o.out, "New block 500000, " + std::to_string(c.txs) + " txs, target 00000000ffff0000\n");
  }
}

TEST(WorkAssembly, MerkleRootsWithZeroToThreeTransactions) {
  const char* txids[] = {kTxid1, kTxid2, kTxid3};
  for (int n = 0; n <= 3; ++n) {
    TemplateBuilder builder;
    for (int i = 0; i < n; ++i) builder.add_tx(txids[i], "00");
    const Outcome o = assemble(builder.reply());
    ASSERT_TRUE(o.work.valid) << o.err;

    const size_t coinbase_chars = 2 * (60 + 4 + 22);
    const Bytes coinbase = from_hex(o.work.txn_hex.substr(2, coinbase_chars));
    const Bytes cb = openssl_sha3_256(coinbase);
    Bytes t[3];
    for (int i = 0; i < n; ++i) t[i] = reversed(from_hex(txids[i]));
    auto h = [](const Bytes& a, const Bytes& b) { return openssl_sha3_256(concat(a, b)); };
    Bytes expected;
    if (n == 0) expected = cb;
    if (n == 1) expected = h(cb, t[0]);
    if (n == 2) expected = h(h(cb, t[0]), h(t[1], t[1]));  // odd level: last leaf pairs with itself
    if (n == 3) expected = h(h(cb, t[0]), h(t[1], t[2]));
    EXPECT_EQ(merkle_root_of(o.work), expected) << n << " transactions";
  }
}

// With the coinbase, 5 to 8 leaves: 5 gives odd levels of 5 and 3, 6 an odd
// second level only, 7 an odd first level only, 8 none. The expected root is
// reduced here with OpenSSL over the leaves.
TEST(WorkAssembly, MerkleRootsWithFourToSevenTransactions) {
  const char* txids[] = {kTxid1, kTxid2, kTxid3, "00000000000000000000000000000000000000000000000000000000000000ff",
                         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff00",
                         "5555555555555555555555555555555555555555555555555555555555555555",
                         "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0"};
  for (int n = 4; n <= 7; ++n) {
    TemplateBuilder builder;
    for (int i = 0; i < n; ++i) builder.add_tx(txids[i], "00");
    const Outcome o = assemble(builder.reply());
    ASSERT_TRUE(o.work.valid) << o.err;

    const size_t coinbase_chars = 2 * (60 + 4 + 22);
    std::vector<Bytes> level = {openssl_sha3_256(from_hex(o.work.txn_hex.substr(2, coinbase_chars)))};
    for (int i = 0; i < n; ++i) level.push_back(reversed(from_hex(txids[i])));
    while (level.size() > 1) {
      if (level.size() % 2 == 1) level.push_back(level.back());
      std::vector<Bytes> parents;
      for (size_t i = 0; i < level.size(); i += 2) parents.push_back(openssl_sha3_256(concat(level[i], level[i + 1])));
      level = parents;
    }
    EXPECT_EQ(merkle_root_of(o.work), level[0]) << n << " transactions";
  }
}

TEST(WorkAssembly, UpperCaseHexDecodesLikeLowerCase) {
  auto upper = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  };
  TemplateBuilder lower_case;
  lower_case.set("target", "00000000ffff00000000000000000000000000000000000000000000000000ab");
  lower_case.add_tx(kTxid2, "00");
  TemplateBuilder upper_case;
  upper_case.set("target", upper("00000000ffff00000000000000000000000000000000000000000000000000ab").c_str());
  upper_case.set("previousblockhash",
                 upper("000000000000000000036b0e6c3a5f7e4a5b9c8d7e6f5a4b3c2d1e0f1a2b3c4d").c_str());
  upper_case.add_tx(upper(kTxid2).c_str(), "00");
  const Outcome a = assemble(lower_case.reply());
  const Outcome b = assemble(upper_case.reply(), address_reply(upper(kScript)));
  ASSERT_TRUE(a.work.valid && b.work.valid);
  EXPECT_EQ(0, std::memcmp(a.work.header, b.work.header, 80));
  EXPECT_EQ(0, std::memcmp(a.work.target, b.work.target, 32));
  EXPECT_EQ(a.work.txn_hex, b.work.txn_hex);
}

// The target is printed in every "New block" line; what is not hex is
// refused before it gets there, and before the address is asked for.
TEST(WorkAssembly, NonHexCharactersOfRightLengthAreRefused) {
  const Outcome o = assemble(
      TemplateBuilder().set("target", "zz0000000000000000000000000000000000000000000000000000000000g1ff").reply());
  expect_refused(o, "Invalid GBT field: target is not 64 hex digits\n");
  EXPECT_EQ(o.address_calls, 0);
}

TEST(WorkAssembly, TransactionsWithoutTxidOrWithoutData) {
  const Outcome o = assemble(TemplateBuilder().add_tx(nullptr, "DEADbeef").add_tx(kTxid2, nullptr).reply());
  ASSERT_TRUE(o.work.valid) << o.err;
  const size_t coinbase_chars = 2 * (60 + 4 + 22);
  EXPECT_EQ(o.work.txn_hex.substr(0, 2), "03");
  EXPECT_EQ(o.work.txn_hex.substr(2 + coinbase_chars), "DEADbeef");  // node's case kept

  const Bytes cb = openssl_sha3_256(from_hex(o.work.txn_hex.substr(2, coinbase_chars)));
  const Bytes zero(32, 0);
  const Bytes t2 = reversed(from_hex(kTxid2));
  auto h = [](const Bytes& a, const Bytes& b) { return openssl_sha3_256(concat(a, b)); };
  EXPECT_EQ(merkle_root_of(o.work), h(h(cb, zero), h(t2, t2)));
  EXPECT_EQ(o.out, "New block 500000, 2 txs, target 00000000ffff0000\n");
}

TEST(WorkAssembly, WitnessCommitmentAbsentEmptyOrPresent) {
  const Outcome absent = assemble(TemplateBuilder().reply());
  const Outcome empty = assemble(TemplateBuilder().set("default_witness_commitment", "").reply());
  const Outcome present = assemble(TemplateBuilder().set("default_witness_commitment", kCommitment).reply());
  for (const Outcome* o : {&absent, &empty}) {
    ASSERT_TRUE(o->work.valid) << o->err;
    const Bytes coinbase = lone_coinbase(o->work);
    EXPECT_EQ(coinbase.size(), 60u + 4 + 22);
    EXPECT_EQ(coinbase[46 + 4], 0x01);
  }
  ASSERT_TRUE(present.work.valid);
  const Bytes coinbase = lone_coinbase(present.work);
  EXPECT_EQ(coinbase.size(), 69u + 4 + 22 + 38);
  EXPECT_EQ(coinbase[46 + 4], 0x02);
}

TEST(WorkAssembly, RewardScriptLengths) {
  const Outcome three = assemble(TemplateBuilder().reply(), address_reply("001"));
  expect_refused(three, "Could not get scriptPubKey for tmx1reward\n");

  const Outcome four = assemble(TemplateBuilder().reply(), address_reply("51aB"));
  ASSERT_TRUE(four.work.valid) << four.err;
  Bytes coinbase = lone_coinbase(four.work);
  EXPECT_EQ(to_hex(coinbase.data() + 55 + 4, 3), "0251ab");

  const Outcome odd = assemble(TemplateBuilder().reply(), address_reply("51ab7"));  // last character lost
  ASSERT_TRUE(odd.work.valid) << odd.err;
  coinbase = lone_coinbase(odd.work);
  EXPECT_EQ(to_hex(coinbase.data() + 55 + 4, 3), "0251ab");
  EXPECT_EQ(coinbase.size(), 60u + 4 + 2);
}

TEST(WorkAssembly, UnusableValidateAddressReplies) {
  const std::string refused = "Could not get scriptPubKey for tmx1reward\n";
  struct Case { const char* reply; std::string err; };
  const Case cases[] = {
      {"", refused},                                      // transport failure or empty body
      {"not json", refused},                              // no parse-error line for this reply
      {"{\"error\":null,\"id\":1}", refused},           // no result
      {"{\"result\":null,\"error\":{\"code\":-5,\"message\":\"Invalid address\"},\"id\":1}",
       "Node answered validateaddress with error -5: Invalid address\n" + refused},
      {"{\"result\":null,\"error\":{\"code\":-5},\"id\":1}",
       "Node answered validateaddress with error {\"code\":-5}\n" + refused},
      {"{\"result\":{\"isvalid\":false},\"error\":null,\"id\":1}", refused},
      {"{\"result\":{\"isvalid\":true,\"scriptPubKey\":42},\"error\":null,\"id\":1}", refused},
  };
  for (const Case& c : cases) {
    const Outcome o = assemble(TemplateBuilder().reply(), c.reply);
    expect_refused(o, c.err);
    EXPECT_EQ(o.address_calls, 1);
  }
}

// The address comes from the command line and may be anything: the line
// that names it shows a readable start of it, on one line.
TEST(WorkAssembly, UnusableAddressIsNamedCutToOneReadableLine) {
  const std::string long_address = "tmx1" + std::string(100000, 'q');
  const std::string broken_address = "tmx1\nforged line\x1b[2J";
  const struct { const std::string& address; std::string shown; } cases[] = {
      {long_address, "tmx1" + std::string(196, 'q') + "..."},
      {broken_address, "tmx1\\nforged line\\x1b[2J"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const BlockWork work = assemble_work(TemplateBuilder().reply(), c.address, [] { return std::string(); });
    EXPECT_FALSE(work.valid);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get scriptPubKey for " + c.shown + "\n");
  }
}

TEST(WorkAssembly, TemplateFailuresMakeNoAddressCall) {
  struct Case { std::string reply; std::string err; };
  const Case cases[] = {
      {"", ""},
      {"{\"error\":null,\"id\":1}", ""},
      {"{\"result\":null,\"error\":{\"code\":-10,\"message\":\"loading\\nblocks\"},\"id\":1}",
       "Node answered getblocktemplate with error -10: loading\\nblocks\nMissing GBT fields\n"},
      {"{\"error\":\"busy\",\"id\":1}", "Node answered getblocktemplate with error \"busy\"\n"},
      {TemplateBuilder().erase("bits").reply(), "Missing GBT fields\n"},
      {TemplateBuilder().set("previousblockhash", json_int_t{0}).reply(), "Missing GBT fields\n"},
      {TemplateBuilder().erase("target").reply(), "Missing GBT fields\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = assemble(c.reply);
    expect_refused(o, c.err);
    EXPECT_EQ(o.address_calls, 0) << c.reply;
  }
  const Outcome garbage = assemble("{\"result\":");
  EXPECT_FALSE(garbage.work.valid);
  EXPECT_EQ(garbage.err.rfind("JSON parse error: ", 0), 0u) << garbage.err;
  EXPECT_EQ(garbage.address_calls, 0);

  // Tiny values past the bound are refused before jansson sees them.
  std::string tiny = "{\"result\":[0";
  for (size_t i = 0; i < kMaxReplyJsonValues; ++i) tiny += ",0";
  const Outcome too_many_values = assemble(tiny + "]}");
  expect_refused(too_many_values, "JSON parse error: reply holds more than 1048576 JSON values\n");
  EXPECT_EQ(too_many_values.address_calls, 0);
}

TEST(WorkAssembly, RefusalsOfValuesOutsideTheDataModel) {
  const std::string hash63(63, 'a');
  const std::string hash65(65, 'a');
  struct Case { std::string reply; std::string err; int address_calls; };
  const Case cases[] = {
      {TemplateBuilder().set("height", json_int_t{-1}).reply(), "Invalid GBT field: height is negative\n", 0},
      {TemplateBuilder().set("height", json_int_t{0xffffffffLL}).reply(), "Invalid GBT field: height is negative\n", 0},
      {TemplateBuilder().set("target", hash63.c_str()).reply(), "Invalid GBT field: target is not 64 characters\n", 0},
      {TemplateBuilder().set("target", hash65.c_str()).reply(), "Invalid GBT field: target is not 64 characters\n", 0},
      {TemplateBuilder().set("previousblockhash", "").reply(),
       "Invalid GBT field: previousblockhash is not 64 characters\n", 0},
      // What issue 30 found printed raw in the "New block" line.
      {TemplateBuilder().set("target", (std::string("\x1b[2J\x1b]0;PWNED\x07") + std::string(50, '0')).c_str()).reply(),
       "Invalid GBT field: target is not 64 hex digits\n", 0},
      {TemplateBuilder().set("target", (std::string(63, 'f') + "g").c_str()).reply(),
       "Invalid GBT field: target is not 64 hex digits\n", 0},
      {TemplateBuilder().set("previousblockhash", (std::string(61, '0') + "\xc2\x9b" "0").c_str()).reply(),
       "Invalid GBT field: previousblockhash is not 64 hex digits\n", 0},
      {TemplateBuilder().add_tx(kTxid1, "00").add_tx(hash63.c_str(), "00").reply(),
       "Invalid GBT field: transactions[1].txid is not 64 characters\n", 0},
      {TemplateBuilder().add_tx(hash65.c_str(), "00").reply(),
       "Invalid GBT field: transactions[0].txid is not 64 characters\n", 0},
      {TemplateBuilder().set("default_witness_commitment", std::string(506, 'a').c_str()).reply(),
       "Invalid GBT field: default_witness_commitment is longer than 252 bytes\n", 0},
  };
  for (const Case& c : cases) {
    const Outcome o = assemble(c.reply);
    expect_refused(o, c.err);
    EXPECT_EQ(o.address_calls, c.address_calls) << c.err;
  }
}

// A present member of the wrong type would read as 0 or as absent and give
// work that the node can only reject; it is refused before validateaddress.
TEST(WorkAssembly, MistypedMembersAreRefused) {
  json_t* not_an_object = json_array();
  json_array_append_new(not_an_object, json_string("00"));
  json_t* data_number = json_array();
  json_array_append_new(data_number, json_pack("{s:s, s:i}", "txid", kTxid1, "data", 7));
  json_t* txid_array = json_array();
  json_array_append_new(txid_array, json_pack("{s:[], s:s}", "txid", "data", "00"));
  struct Case { std::string reply; std::string err; };
  const Case cases[] = {
      {TemplateBuilder().set("height", "x").reply(), "Invalid GBT field: height is not an integer\n"},
      {TemplateBuilder().set("version", json_real(1.5)).reply(), "Invalid GBT field: version is not an integer\n"},
      {TemplateBuilder().set("curtime", json_true()).reply(), "Invalid GBT field: curtime is not an integer\n"},
      {TemplateBuilder().set("coinbasevalue", "lots").reply(),
       "Invalid GBT field: coinbasevalue is not an integer\n"},
      {TemplateBuilder().set("default_witness_commitment", json_int_t{5}).reply(),
       "Invalid GBT field: default_witness_commitment is not a string\n"},
      {TemplateBuilder().set("transactions", json_int_t{5}).reply(),
       "Invalid GBT field: transactions is not an array\n"},
      {TemplateBuilder().set("transactions", not_an_object).reply(),
       "Invalid GBT field: transactions[0] is not an object\n"},
      {TemplateBuilder().set("transactions", data_number).reply(),
       "Invalid GBT field: transactions[0].data is not a string\n"},
      {TemplateBuilder().set("transactions", txid_array).reply(),
       "Invalid GBT field: transactions[0].txid is not a string\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = assemble(c.reply);
    expect_refused(o, c.err);
    EXPECT_EQ(o.address_calls, 0) << c.err;
  }

  // JSON null stands for an absent member.
  const Outcome nulls = assemble(TemplateBuilder()
                                     .set("default_witness_commitment", json_null())
                                     .set("transactions", json_null())
                                     .set("curtime", json_null())
                                     .reply());
  ASSERT_TRUE(nulls.work.valid) << nulls.err;
  EXPECT_EQ(nulls.work.txn_hex.substr(0, 2), "01");
}

TEST(WorkAssembly, ScriptAndCoinbaseSizeLimits) {
  const std::string script252(504, 'b');
  const Outcome widest = assemble(TemplateBuilder().reply(), address_reply(script252));
  ASSERT_TRUE(widest.work.valid) << widest.err;
  EXPECT_EQ(lone_coinbase(widest.work).size(), 60u + 4 + 252);

  expect_refused(assemble(TemplateBuilder().reply(), address_reply(script252 + "bb")),
                 "Invalid validateaddress field: scriptPubKey is longer than 252 bytes\n");

  // Height 1 gives L = 2, so a 252-byte script leaves room for W = 189 in 512 bytes.
  const std::string commitment189(378, 'c');
  const Outcome fullest = assemble(
      TemplateBuilder().set("height", json_int_t{1}).set("default_witness_commitment", commitment189.c_str()).reply(),
      address_reply(script252));
  ASSERT_TRUE(fullest.work.valid) << fullest.err;
  EXPECT_EQ(lone_coinbase(fullest.work).size(), 512u);

  expect_refused(
      assemble(TemplateBuilder().set("height", json_int_t{1}).set("default_witness_commitment", (commitment189 + "cc").c_str()).reply(),
               address_reply(script252)),
      "Invalid GBT field: default_witness_commitment makes the coinbase longer than 512 bytes\n");
}

TEST(WorkAssembly, TransactionCountLimit) {
  auto template_with = [](size_t txs) {
    std::string list = "[";
    for (size_t i = 0; i < txs; ++i) list += i ? ",{}" : "{}";
    list += "]";
    json_error_t error;
    return TemplateBuilder().set("transactions", json_loads(list.c_str(), 0, &error)).reply();
  };
  const Outcome most = assemble(template_with(65534));
  ASSERT_TRUE(most.work.valid) << most.err;
  EXPECT_EQ(most.work.txn_hex.substr(0, 6), "fdffff");

  const Outcome too_many = assemble(template_with(65535));
  expect_refused(too_many, "Invalid GBT field: transactions has more than 65534 entries\n");
  EXPECT_EQ(too_many.address_calls, 0);
}

// What the template alone decides is refused before validateaddress, even
// when the address reply would have been refused too; only the coinbase's
// total length, which needs the reward script, is checked after the call.
TEST(WorkAssembly, TemplateOnlyRefusalsComeBeforeTheAddressCall) {
  const std::string unusable_address_reply = "{\"result\":null,\"error\":{\"code\":-5},\"id\":1}";
  const Outcome bad_txid = assemble(TemplateBuilder().add_tx("abcd", "00").reply(), unusable_address_reply);
  expect_refused(bad_txid, "Invalid GBT field: transactions[0].txid is not 64 characters\n");
  EXPECT_EQ(bad_txid.address_calls, 0);

  const Outcome long_commitment = assemble(
      TemplateBuilder().set("default_witness_commitment", std::string(506, 'c').c_str()).reply(),
      address_reply(std::string(506, 'b')));  // a script that is too long as well
  expect_refused(long_commitment, "Invalid GBT field: default_witness_commitment is longer than 252 bytes\n");
  EXPECT_EQ(long_commitment.address_calls, 0);

  const Outcome overfull = assemble(
      TemplateBuilder().set("height", json_int_t{1}).set("default_witness_commitment", std::string(380, 'c').c_str())
          .reply(),
      address_reply(std::string(504, 'b')));
  expect_refused(overfull, "Invalid GBT field: default_witness_commitment makes the coinbase longer than 512 bytes\n");
  EXPECT_EQ(overfull.address_calls, 1);
}

TEST(WorkAssembly, UnchangedTemplateGivesIdenticalWork) {
  const std::string reply = TemplateBuilder().add_tx(kTxid1, "aa").add_tx(kTxid2, "bb").reply();
  const Outcome a = assemble(reply);
  const Outcome b = assemble(reply);
  ASSERT_TRUE(a.work.valid && b.work.valid);
  EXPECT_EQ(0, std::memcmp(a.work.header, b.work.header, 80));
  EXPECT_EQ(0, std::memcmp(a.work.target, b.work.target, 32));
  EXPECT_EQ(a.work.height, b.work.height);
  EXPECT_EQ(a.work.txn_hex, b.work.txn_hex);
}
