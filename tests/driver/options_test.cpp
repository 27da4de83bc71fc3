#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "driver/options.h"

namespace {

// Scans a command line given without the program name.
ScanResult scan(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"tamrix-miner"};
  argv.insert(argv.end(), args);
  return scan_arguments(static_cast<int>(argv.size()), argv.data());
}

Options scan_ok(std::initializer_list<const char*> args) {
  const ScanResult result = scan(args);
  EXPECT_EQ(result.unknown_option, nullptr) << result.unknown_option;
  return result.options;
}

TEST(ReadNumber, ReadsLikeAtoi) {
  EXPECT_EQ(read_number("42"), 42);
  EXPECT_EQ(read_number("  \t-17"), -17);
  EXPECT_EQ(read_number("+8"), 8);
  EXPECT_EQ(read_number("12abc"), 12);
  EXPECT_EQ(read_number("abc"), 0);
  EXPECT_EQ(read_number(""), 0);
  EXPECT_EQ(read_number("-"), 0);
  EXPECT_EQ(read_number("0x10"), 0);
  EXPECT_EQ(read_number("1 2"), 1);
}

TEST(ReadNumber, KeepsLowThirtyTwoBitsOnOverflow) {
  EXPECT_EQ(read_number("2147483647"), 2147483647);
  EXPECT_EQ(read_number("2147483648"), INT32_MIN);
  EXPECT_EQ(read_number("4294967295"), -1);
  EXPECT_EQ(read_number("4294967296"), 0);
  EXPECT_EQ(read_number("4294967301"), 5);
  EXPECT_EQ(read_number("-2147483649"), INT32_MAX);
  EXPECT_EQ(read_number("99999999999"), 1215752191);  // 99999999999 mod 2^32
  // Beyond 64 bits strtol saturates: LONG_MAX ends in 0xFFFFFFFF, LONG_MIN in 0.
  EXPECT_EQ(read_number("999999999999999999999999"), -1);
  EXPECT_EQ(read_number("-999999999999999999999999"), 0);
}

TEST(ScanArguments, DefaultsWithNoArguments) {
  const Options o = scan_ok({});
  EXPECT_FALSE(o.benchmark);
  EXPECT_FALSE(o.show_help);
  EXPECT_FALSE(o.show_version);
  EXPECT_FALSE(o.cpu_only);
  EXPECT_FALSE(o.gpu_only);
  EXPECT_EQ(o.gpu_device, 0);
  EXPECT_EQ(o.power_limit, 0);
  EXPECT_EQ(o.cpu_threads, 0);
  EXPECT_EQ(o.bench_duration, 5);
  EXPECT_EQ(o.batch_size, kDefaultBatchSize);
  EXPECT_EQ(o.batch_size, 1048576u);
  EXPECT_FALSE(o.rpc_url.has_value());
  EXPECT_EQ(o.rpc_user, nullptr);
  EXPECT_FALSE(o.rpc_pass.has_value());
  EXPECT_EQ(o.coinbase_addr, nullptr);
}

TEST(ScanArguments, BooleanFlagsAndAliases) {
  EXPECT_TRUE(scan_ok({"--benchmark"}).benchmark);
  EXPECT_TRUE(scan_ok({"-h"}).show_help);
  EXPECT_TRUE(scan_ok({"--help"}).show_help);
  EXPECT_TRUE(scan_ok({"-v"}).show_version);
  EXPECT_TRUE(scan_ok({"--version"}).show_version);
  EXPECT_TRUE(scan_ok({"--cpu-only"}).cpu_only);
  EXPECT_TRUE(scan_ok({"--no-gpu"}).cpu_only);
  EXPECT_TRUE(scan_ok({"--gpu-only"}).gpu_only);
  // A flag cannot be cleared by repeating it.
  const Options both = scan_ok({"-v", "-h", "-v"});
  EXPECT_TRUE(both.show_version);
  EXPECT_TRUE(both.show_help);
}

TEST(ScanArguments, FlagsMustMatchExactly) {
  for (const char* arg : {"--benchmarks", "-H", "--HELP", "-vv", "--cpu-onl", "--gpu-only=1",
                          "--no-gpu ", "-", "--", "-d5", "-ohttp://x", "--coinbase"}) {
    const ScanResult result = scan({arg, "next"});
    EXPECT_STREQ(result.unknown_option, arg);
  }
}

TEST(ScanArguments, UnknownOptionStopsTheScan) {
  const ScanResult result = scan({"--cpu-threads", "3", "--bogus", "--benchmark", "--nope"});
  EXPECT_STREQ(result.unknown_option, "--bogus");
  EXPECT_EQ(result.options.cpu_threads, 3);
  EXPECT_FALSE(result.options.benchmark);
}

TEST(ScanArguments, NumericOptionsTakeEqualsOrNextArgument) {
  const Options separate = scan_ok({"--power-limit", "50", "--cpu-threads", "8", "--batch-size",
                                    "4096", "--bench-duration", "10", "-d", "2"});
  EXPECT_EQ(separate.power_limit, 50);
  EXPECT_EQ(separate.cpu_threads, 8);
  EXPECT_EQ(separate.batch_size, 4096u);
  EXPECT_EQ(separate.bench_duration, 10);
  EXPECT_EQ(separate.gpu_device, 2);

  const Options joined = scan_ok(
      {"--power-limit=50", "--cpu-threads=8", "--batch-size=4096", "--bench-duration=10"});
  EXPECT_EQ(joined.power_limit, 50);
  EXPECT_EQ(joined.cpu_threads, 8);
  EXPECT_EQ(joined.batch_size, 4096u);
  EXPECT_EQ(joined.bench_duration, 10);

  EXPECT_EQ(scan_ok({"--batch-size=0"}).batch_size, 0u);
  // "=" with nothing after it reads 0 and does not consume the next argument.
  const ScanResult empty_value = scan({"--cpu-threads=", "7"});
  EXPECT_EQ(empty_value.options.cpu_threads, 0);
  EXPECT_STREQ(empty_value.unknown_option, "7");
}

TEST(ScanArguments, NumericValueIsNeverReadAsAnOption) {
  const Options o = scan_ok({"--cpu-threads", "--benchmark", "-d", "-h"});
  EXPECT_EQ(o.cpu_threads, 0);
  EXPECT_FALSE(o.benchmark);
  EXPECT_FALSE(o.show_help);
}

TEST(ScanArguments, NumericOptionNameWithTrailingTextTakesNextArgument) {
  // Only the name prefix is compared; what follows it (other than "=") is
  // ignored and the next argument is consumed.
  EXPECT_EQ(scan_ok({"--cpu-threadsXYZ", "6"}).cpu_threads, 6);
  EXPECT_EQ(scan_ok({"--bench-durations", "9"}).bench_duration, 9);
  EXPECT_EQ(scan_ok({"--batch-size-big", "77"}).batch_size, 77u);
  EXPECT_EQ(scan_ok({"--power-limit:", "30"}).power_limit, 30);
  EXPECT_EQ(scan_ok({"--cpu-threads4", "--cpu-only"}).cpu_threads, 0);
  EXPECT_FALSE(scan_ok({"--cpu-threads4", "--cpu-only"}).cpu_only);
}

TEST(ScanArguments, NumericOptionInLastPlaceIsIgnored) {
  for (const char* name : {"--power-limit", "--cpu-threads", "--batch-size", "--bench-duration",
                           "--cpu-threadsXYZ"}) {
    const Options o = scan_ok({"--cpu-threads=3", "--bench-duration=7", "--batch-size=9", name});
    EXPECT_EQ(o.cpu_threads, 3) << name;
    EXPECT_EQ(o.bench_duration, 7) << name;
    EXPECT_EQ(o.batch_size, 9u) << name;
    EXPECT_EQ(o.power_limit, 0) << name;
  }
}

TEST(ScanArguments, NegativeBatchSizeKeepsItsBitPattern) {
  EXPECT_EQ(scan_ok({"--batch-size", "-1"}).batch_size, 0xFFFFFFFFu);
  EXPECT_EQ(scan_ok({"--batch-size=-1048576"}).batch_size, 0xFFF00000u);
  EXPECT_EQ(scan_ok({"--batch-size", "3000000000"}).batch_size, 3000000000u);
  EXPECT_EQ(scan_ok({"--batch-size", "4294967297"}).batch_size, 1u);
}

TEST(ScanArguments, NumbersReadLikeAtoi) {
  EXPECT_EQ(scan_ok({"--cpu-threads", "eight"}).cpu_threads, 0);
  EXPECT_EQ(scan_ok({"--cpu-threads", " 12threads"}).cpu_threads, 12);
  EXPECT_EQ(scan_ok({"--cpu-threads=-1"}).cpu_threads, -1);
  EXPECT_EQ(scan_ok({"-d", "4294967297"}).gpu_device, 1);
  EXPECT_EQ(scan_ok({"--power-limit", "2147483648"}).power_limit, INT32_MIN);
}

TEST(ScanArguments, RepeatedOptionOverwrites) {
  const Options o = scan_ok({"--cpu-threads", "2", "--cpu-threads=5", "-o", "a", "-o", "b"});
  EXPECT_EQ(o.cpu_threads, 5);
  EXPECT_EQ(o.rpc_url, "b");
}

// The URL and the password are the text settings that are copied (their
// arguments get masked); the others point into the arguments.
TEST(ScanArguments, TextSettingsPointIntoTheArguments) {
  const char* url = "http://127.0.0.1:18444";
  const char* addr_arg = "--coinbase-addr=tamrixrt1qxyz";
  const Options o = scan_ok({"-o", url, "-u", "user", "-p", "", addr_arg});
  EXPECT_EQ(o.rpc_url, url);
  EXPECT_STREQ(o.rpc_user, "user");
  ASSERT_TRUE(o.rpc_pass.has_value());
  EXPECT_EQ(*o.rpc_pass, "");
  EXPECT_EQ(o.coinbase_addr, addr_arg + 16);
  EXPECT_STREQ(o.coinbase_addr, "tamrixrt1qxyz");
}

TEST(ScanArguments, TextValueMayLookLikeAnOption) {
  const Options o = scan_ok({"-o", "-x", "-u", "--help", "-p", "-v"});
  EXPECT_EQ(o.rpc_url, "-x");
  EXPECT_STREQ(o.rpc_user, "--help");
  EXPECT_EQ(o.rpc_pass, "-v");
  EXPECT_FALSE(o.show_help);
  EXPECT_FALSE(o.show_version);
}

TEST(ScanArguments, CoinbaseAddressForms) {
  const Options empty = scan_ok({"--coinbase-addr="});
  ASSERT_NE(empty.coinbase_addr, nullptr);
  EXPECT_STREQ(empty.coinbase_addr, "");

  EXPECT_STREQ(scan_ok({"--coinbase-addr", "abc"}).coinbase_addr, "abc");
  // "=" wins even when a next argument exists, and that argument is scanned.
  const Options with_next = scan_ok({"--coinbase-addr=abc", "--benchmark"});
  EXPECT_STREQ(with_next.coinbase_addr, "abc");
  EXPECT_TRUE(with_next.benchmark);
  // Longer than the name without "=": the next argument is the address.
  EXPECT_STREQ(scan_ok({"--coinbase-addrX", "def"}).coinbase_addr, "def");
  EXPECT_STREQ(scan_ok({"--coinbase-addr==x"}).coinbase_addr, "=x");
}

TEST(ScanArguments, ValueOptionInLastPlaceIsUnknown) {
  for (const char* name : {"-d", "-o", "-u", "-p", "--coinbase-addr", "--coinbase-addrX"}) {
    const ScanResult result = scan({"--benchmark", name});
    EXPECT_STREQ(result.unknown_option, name);
  }
  // With "=" the address needs no next argument.
  EXPECT_EQ(scan({"--coinbase-addr="}).unknown_option, nullptr);
}

}  // namespace

// -d takes one index as atoi reads it, a list, or "all"; a later -d replaces
// an earlier one.
TEST(ScanArguments, DeviceChoice) {
  struct Case {
    std::vector<const char*> args;
    int32_t first;
    std::vector<int32_t> list;
    bool all;
    std::vector<int32_t> chosen;  // with 4 devices listed
  };
  const Case cases[] = {
      {{}, 0, {}, false, {0}},
      {{"-d", "2"}, 2, {}, false, {2}},
      {{"-d", "1x"}, 1, {}, false, {1}},
      {{"-d", "0,2,3"}, 0, {0, 2, 3}, false, {0, 2, 3}},
      {{"-d", "3,1,3,,1"}, 3, {3, 1, 0}, false, {3, 1, 0}},
      {{"-d", "all"}, 0, {}, true, {0, 1, 2, 3}},
      {{"-d", "all", "-d", "1,2"}, 1, {1, 2}, false, {1, 2}},
      {{"-d", "1,2", "-d", "3"}, 3, {}, false, {3}},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"tamrix-miner"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ScanResult result = scan_arguments(static_cast<int>(argv.size()), argv.data());
    ASSERT_EQ(result.unknown_option, nullptr);
    const Options& o = result.options;
    const std::string name = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(o.gpu_device, c.first) << name;
    EXPECT_EQ(o.gpu_devices, c.list) << name;
    EXPECT_EQ(o.all_gpu_devices, c.all) << name;
    EXPECT_EQ(chosen_gpu_devices(o, 4), c.chosen) << name;
  }
}

// The options beyond the specified ones take "--name VALUE" or
// "--name=VALUE"; without a value, or with more after the name, they are
// unknown. Their secrets are listed for masking.
TEST(ScanArguments, RigNodeAndApiOptions) {
  const ScanResult scanned =
      scan({"--list-devices", "--temp-limit", "83", "--backup-node", "http://u:pw@b1:1",
            "--backup-node=http://b2:2", "--api-bind=0.0.0.0:4000", "--api-token", "s3cret"});
  ASSERT_EQ(scanned.unknown_option, nullptr);
  const Options& o = scanned.options;
  EXPECT_TRUE(o.list_devices);
  EXPECT_EQ(o.temp_limit, 83);
  EXPECT_EQ(o.backup_nodes, (std::vector<std::string>{"http://u:pw@b1:1", "http://b2:2"}));
  EXPECT_EQ(o.api_bind, "0.0.0.0:4000");
  EXPECT_EQ(o.api_token, "s3cret");
  ASSERT_EQ(scanned.secrets.size(), 2u);
  EXPECT_EQ(scanned.secrets[0].index, 5);  // the first backup URL's "pw"
  EXPECT_EQ(scanned.secrets[0].begin, 9u);
  EXPECT_EQ(scanned.secrets[0].length, 2u);
  EXPECT_EQ(scanned.secrets[1].index, 9);  // the token
  EXPECT_EQ(scanned.secrets[1].length, 6u);

  for (const char* bad : {"--temp-limit", "--backup-node", "--api-bind", "--api-token", "--temp-limitX"})
    EXPECT_STREQ(scan({bad}).unknown_option, bad);
  EXPECT_EQ(scan_ok({"--temp-limit=70"}).temp_limit, 70);
}
