// Work assembly without the network: a getblocktemplate reply of 3000
// transactions of 333 bytes each (about 2 MB of text) turned into work, and
// the pieces that cost the most on their own.
//
//   bench_work_assembly               Google Benchmark's usual table

#include <benchmark/benchmark.h>
#include <jansson.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "hash/sha3.h"
#include "hash/sha3_fast.h"
#include "node/hex.h"
#include "node/json_doc.h"
#include "node/merkle_tree.h"
#include "node/work_assembly.h"

namespace {

constexpr int kTemplateTxs = 3000;
constexpr int kTxBytes = 333;
constexpr char kAddress[] = "tmx1bench";
constexpr char kAddressReply[] =
    "{\"result\":{\"isvalid\":true,\"address\":\"tmx1bench\",\"scriptPubKey\":"
    "\"001400112233445566778899aabbccddeeff00112233\"},\"error\":null,\"id\":1}";

std::string random_hex(std::mt19937_64& rng, size_t bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes);
  for (size_t i = 0; i < bytes; ++i) {
    const unsigned byte = static_cast<unsigned>(rng() & 0xff);
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 15]);
  }
  return text;
}

// Built once per process: the benchmarks time assembly, not this.
const std::string& template_reply() {
  static const std::string reply = [] {
    std::mt19937_64 rng(20261209);
    std::string text =
        "{\"result\":{\"version\":536870912,\"rules\":[\"segwit\"],"
        "\"previousblockhash\":\"000000000000000000036b0e6c3a5f7e4a5b9c8d7e6f5a4b3c2d1e0f1a2b3c4d\","
        "\"transactions\":[";
    for (int k = 0; k < kTemplateTxs; ++k) {
      const std::string txid = random_hex(rng, 32);
      if (k != 0) text += ',';
      text += "{\"data\":\"";
      text += random_hex(rng, kTxBytes);
      text += "\",\"txid\":\"";
      text += txid;
      text += "\",\"hash\":\"";
      text += txid;
      text += "\",\"fee\":3330}";
    }
    text +=
        "],\"coinbasevalue\":5009990000,"
        "\"target\":\"00000000ffff0000000000000000000000000000000000000000000000000000\","
        "\"mintime\":1699999400,\"curtime\":1700000000,\"bits\":\"1d00ffff\",\"height\":500000,"
        "\"default_witness_commitment\":"
        "\"6a24aa21a9ede2f61c3f71d1defd3fa999dfa36953755c690689799962b48bebd836974e8cf9\"},"
        "\"error\":null,\"id\":1}";
    return text;
  }();
  return reply;
}

// assemble_work prints one line per template; the table stays readable when
// that line goes to /dev/null while the loop runs.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (sink != nullptr) {
      dup2(fileno(sink), STDOUT_FILENO);
      std::fclose(sink);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

void bm_assemble_work(benchmark::State& state) {
  const std::string& reply = template_reply();
  bool valid = true;
  {
    const QuietStdout quiet;
    for (auto _ : state) {
      BlockWork work = assemble_work(reply, kAddress, [] { return std::string(kAddressReply); });
      valid = valid && work.valid;
      benchmark::DoNotOptimize(work);
    }
  }
  if (!valid) state.SkipWithError("the benchmark template was refused");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}

void bm_json_parse(benchmark::State& state) {
  const std::string& reply = template_reply();
  for (auto _ : state) {
    json_error_t error;
    const JsonDoc doc(json_loads(reply.c_str(), 0, &error));
    benchmark::DoNotOptimize(doc.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}

// The hex decoder on as much text as the template's transaction data: its
// rate per byte, which the txids, hashes and scripts of every template pay.
void bm_hex_decode(benchmark::State& state) {
  std::mt19937_64 rng(7);
  const std::string text = random_hex(rng, static_cast<size_t>(kTemplateTxs) * kTxBytes);
  std::vector<uint8_t> bytes(text.size() / 2);
  for (auto _ : state) {
    hex2bin(bytes.data(), text.c_str(), static_cast<int32_t>(bytes.size()));
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// One merkle node: SHA3-256 of two 32-byte children, with the reference or
// the fast implementation.
void bm_sha3_256_pair(benchmark::State& state, void (*sha3_256)(const uint8_t*, uint64_t, uint8_t*)) {
  uint8_t pair[64];
  for (int i = 0; i < 64; ++i) pair[i] = static_cast<uint8_t>(0x3D * i + 0x11);
  for (auto _ : state) {
    sha3_256(pair, sizeof pair, pair);
    benchmark::DoNotOptimize(pair);
  }
  state.SetItemsProcessed(state.iterations());
}

// The template's merkle tree: the coinbase id and 3000 txids. Each round
// starts from a fresh copy of the leaves (96 kB), since the tree overwrites them.
void bm_merkle_root(benchmark::State& state) {
  std::mt19937_64 rng(11);
  std::vector<Hash32> leaves(kTemplateTxs + 1);
  for (Hash32& leaf : leaves)
    for (uint8_t& b : leaf) b = static_cast<uint8_t>(rng());
  for (auto _ : state) {
    std::vector<Hash32> scratch = leaves;
    benchmark::DoNotOptimize(merkle_root(scratch));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * leaves.size()));
}

}  // namespace

BENCHMARK(bm_assemble_work)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_json_parse)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_hex_decode)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(bm_sha3_256_pair, reference, sha3_256_cpu);
BENCHMARK_CAPTURE(bm_sha3_256_pair, fast, sha3_256_fast);
BENCHMARK(bm_merkle_root)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
