#pragma once

// Test-side model of the nonce search, built on the reference SHA3 and a
// byte-wise 256-bit comparison that shares no code with the miner's.

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <span>
#include <string>
#include <vector>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "hash/sha3.h"
#include "hash/search_kernels.h"
#include "mine/cpu_search.h"
#include "mine/work_space.h"

using Header = std::array<uint8_t, 80>;
using Hash256 = std::array<uint8_t, 32>;  // little-endian 256-bit value

// A header with distinct bytes per seed. The nonce bytes hold junk: the
// search must ignore the caller's nonce field.
inline Header make_header(int seed) {
  Header h{};
  for (int k = 0; k < 76; ++k) h[k] = static_cast<uint8_t>(k * 29 + seed * 131 + 7);
  for (int k = 76; k < 80; ++k) h[k] = 0xEE;
  return h;
}

inline Hash256 reference_hash(const Header& header, uint32_t nonce) {
  Header h = header;
  for (int j = 0; j < 4; ++j) h[76 + j] = static_cast<uint8_t>(nonce >> (8 * j));
  uint8_t digest[64];
  sha3_512_cpu(h.data(), h.size(), digest);
  Hash256 out;
  std::memcpy(out.data(), digest, out.size());
  return out;
}

// Met by every hash.
inline Hash256 all_ones() {
  Hash256 t;
  t.fill(0xFF);
  return t;
}

inline bool value_le(const Hash256& a, const Hash256& b) {
  for (int i = 31; i >= 0; --i)
    if (a[i] != b[i]) return a[i] < b[i];
  return true;
}

inline std::array<uint32_t, 8> target_words(const Hash256& t) {
  std::array<uint32_t, 8> w{};
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) w[i] |= static_cast<uint32_t>(t[4 * i + j]) << (8 * j);
  return w;
}

// The first nonce in one worker's sequence that meets the target, and how
// many hashes that worker computes up to and including it.
struct FirstHit {
  uint32_t nonce;
  uint64_t hashes;
};

inline FirstHit first_hit(const Header& header, const Hash256& target, uint32_t first_nonce,
                          uint32_t stride) {
  uint32_t nonce = first_nonce;
  for (uint64_t n = 1;; ++n, nonce += stride)
    if (value_le(reference_hash(header, nonce), target)) return FirstHit{nonce, n};
}

// Every kernel this CPU runs, found the way the kernel tests force one, so
// that the search's counting, resume and stop paths run at every width.
inline std::vector<const SearchKernel*> supported_kernels() {
  std::vector<const SearchKernel*> kernels;
  for (const SearchKernel* kernel : search_kernels_all())
    if (search_kernel_supported(*kernel)) kernels.push_back(kernel);
  return kernels;
}

// Names a parameterised test after its kernel ("avx2 4-way" -> avx2_4_way).
inline std::string kernel_test_name(const testing::TestParamInfo<const SearchKernel*>& info) {
  std::string name = info.param->name;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

// The header with `time` in bytes 68..71, as a search that has moved the
// header time on hashes it.
inline Header with_time(Header header, uint32_t time) {
  for (int j = 0; j < 4; ++j) header[68 + j] = static_cast<uint8_t>(time >> (8 * j));
  return header;
}

inline uint32_t time_of(const Header& header) {
  uint32_t time = 0;
  for (int j = 0; j < 4; ++j) time |= static_cast<uint32_t>(header[68 + j]) << (8 * j);
  return time;
}

// Runs cpu_search with `threads` workers claiming `chunk` positions at a
// time from `space`, with the given kernel and starter.
inline CpuSearchEnd search_space(const Header& header, const Hash256& target, int threads,
                                 WorkSpace& space, SearchState& s, const SearchKernel* kernel,
                                 WorkerStarter starter = {}, uint64_t chunk = kCpuChunk) {
  const auto words = target_words(target);
  CpuSearchJob job;
  job.header = header.data();
  job.target = words.data();
  job.num_threads = threads;
  job.space = &space;
  job.chunk_size = chunk;
  job.start_worker = std::move(starter);
  job.kernel = kernel;
  return cpu_search(job, s);
}

// A fresh search of the header's own time from start_nonce, with no end.
inline CpuSearchEnd run_search(const Header& header, const Hash256& target, int num_threads,
                               uint32_t start_nonce, SearchState& s, const SearchKernel* kernel,
                               WorkerStarter starter = {}, uint64_t chunk = kCpuChunk) {
  WorkSpace space;
  begin_work_space(space, first_position_of(time_of(header)), UINT64_MAX, start_nonce);
  return search_space(header, target, num_threads, space, s, kernel, std::move(starter), chunk);
}

// True when `nonce` is the first nonce of its chunk that meets the target:
// chunks of `chunk` nonces counted from start_nonce, each searched in order
// by whichever worker claimed it. The winner of a search with several
// workers is always such a nonce, whichever worker got there first.
inline bool first_hit_of_its_chunk(const Header& header, const Hash256& target,
                                   uint32_t start_nonce, uint64_t chunk, uint32_t nonce) {
  const uint32_t offset = nonce - start_nonce;
  const uint32_t chunk_start = static_cast<uint32_t>(offset - offset % chunk);
  for (uint32_t k = chunk_start; k != offset; ++k)
    if (value_le(reference_hash(header, start_nonce + k), target)) return false;
  return value_le(reference_hash(header, nonce), target);
}
