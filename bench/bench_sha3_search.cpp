// SHA3-512 over 80-byte headers on one core: the reference, OpenSSL and every
// search kernel this CPU supports, reported as hashes per second
// (items_per_second).
//
//   bench_sha3_search              Google Benchmark's usual table
//   bench_sha3_search --one_line   one summary line, rates and ratios

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hash/header_midstate.h"
#include "hash/search_kernels.h"
#include "hash/sha3.h"

namespace {

constexpr char kReferenceLabel[] = "reference sha3_512_cpu";
constexpr char kOpenSslLabel[] = "openssl EVP sha3-512";

// A header with every byte set, so that no lane of the state is trivially zero.
void fill_header(uint8_t header[80]) {
  for (int i = 0; i < 80; ++i) header[i] = static_cast<uint8_t>(0x3D * i + 0x11);
}

void put_nonce(uint8_t header[80], uint32_t nonce) {
  for (int j = 0; j < 4; ++j) header[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
}

void bm_reference(benchmark::State& state) {
  uint8_t header[80];
  fill_header(header);
  uint8_t digest[64];
  uint32_t nonce = 0;
  for (auto _ : state) {
    put_nonce(header, nonce++);
    sha3_512_cpu(header, sizeof header, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(kReferenceLabel);
}

void bm_openssl(benchmark::State& state) {
  uint8_t header[80];
  fill_header(header);
  uint8_t digest[64];
  // Fetched once: a per-call lookup would measure the provider table, not SHA3.
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA3-512", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (md == nullptr || ctx == nullptr) {
    state.SkipWithError("OpenSSL has no SHA3-512");
  } else {
    uint32_t nonce = 0;
    for (auto _ : state) {
      put_nonce(header, nonce++);
      unsigned int length = 0;
      EVP_DigestInit_ex2(ctx, md, nullptr);
      EVP_DigestUpdate(ctx, header, sizeof header);
      EVP_DigestFinal_ex(ctx, digest, &length);
      benchmark::DoNotOptimize(digest);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(kOpenSslLabel);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}

void bm_kernel(benchmark::State& state, const SearchKernel* kernel) {
  uint8_t header[80];
  fill_header(header);
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header);
  uint64_t digest_lanes[8][4];
  uint32_t nonce = 0;
  for (auto _ : state) {
    kernel->hash(midstate, nonce, 1, digest_lanes);
    nonce += static_cast<uint32_t>(kernel->width);
    benchmark::DoNotOptimize(digest_lanes);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kernel->width);
  state.SetLabel(kernel->name);
}

// Collects every benchmark's rate and prints them as one line at the end.
class OneLineReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
      const auto rate = run.counters.find("items_per_second");
      if (rate == run.counters.end()) continue;
      if (rates_.count(run.report_label) == 0) order_.push_back(run.report_label);
      rates_[run.report_label] = rate->second.value;
    }
  }

  void Finalize() override {
    const double reference = rates_.count(kReferenceLabel) ? rates_[kReferenceLabel] : 0.0;
    std::string line = "sha3-512/80B one core:";
    for (const std::string& label : order_) {
      char part[160];
      if (label != kReferenceLabel && reference > 0)
        std::snprintf(part, sizeof part, " %s %.2f MH/s (%.2fx ref);", label.c_str(),
                      rates_[label] / 1e6, rates_[label] / reference);
      else
        std::snprintf(part, sizeof part, " %s %.2f MH/s;", label.c_str(), rates_[label] / 1e6);
      line += part;
    }
    const SearchKernel* chosen = search_kernel_auto();
    line += " auto: ";
    line += chosen ? chosen->name : "none";
    std::printf("%s\n", line.c_str());
  }

 private:
  std::vector<std::string> order_;
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  bool one_line = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--one_line") == 0)
      one_line = true;
    else
      args.push_back(argv[i]);
  }
  int arg_count = static_cast<int>(args.size());
  benchmark::Initialize(&arg_count, args.data());
  if (benchmark::ReportUnrecognizedArguments(arg_count, args.data())) return 1;

  benchmark::RegisterBenchmark("sha3_512_cpu/80B", bm_reference);
  benchmark::RegisterBenchmark("openssl_sha3_512/80B", bm_openssl);
  for (const SearchKernel* kernel : search_kernels_all())
    if (search_kernel_supported(*kernel))
      benchmark::RegisterBenchmark(("search_kernel/" + std::string(kernel->name)).c_str(),
                                   bm_kernel, kernel);

  if (one_line) {
    OneLineReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  return 0;
}
