// nonce_scan HEADER_HEX START COUNT TARGET_HEX [STRIDE]
//
// Finds the first nonce of start, start + stride, start + 2 * stride, ...
// (modulo 2^32, at most COUNT of them; STRIDE 1 unless given) whose header
// hash meets the target, with the same dispatched
// kernel and comparison the miner's CPU search uses, on one thread. The
// end-to-end tests use it to place a block's only early solution at a chosen
// distance from where the miner starts looking.
//
// HEADER_HEX is the 80-byte header as 160 hex digits (its nonce bytes are
// ignored); START, COUNT and STRIDE are decimal or 0x-prefixed; TARGET_HEX is
// 64 hex digits, most significant first, as the node's template writes it.
// A stride of N walks the nonces that one of the miner's N CPU workers tries.
//
// Prints "found INDEX NONCE HASH" (INDEX counted from 0 at START, HASH the
// first 32 digest bytes in digest order) or "none", and exits 0; a malformed
// argument exits 2 with a message on stderr.

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hash/byte_order.h"
#include "hash/header_midstate.h"
#include "hash/search_kernels.h"
#include "mine/cpu_search.h"

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly 2 * size hex digits into size bytes, in the order they are written.
bool parse_hex_bytes(const char* text, uint8_t* out, size_t size) {
  if (std::strlen(text) != 2 * size) return false;
  for (size_t i = 0; i < size; ++i) {
    const int high = hex_digit(text[2 * i]);
    const int low = hex_digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

// The template writes the target most significant byte first; the search
// compares eight words, least significant first.
bool parse_target(const char* text, uint32_t words[8]) {
  uint8_t big_endian[32];
  if (!parse_hex_bytes(text, big_endian, sizeof big_endian)) return false;
  for (int i = 0; i < 8; ++i) {
    const uint8_t* word = big_endian + 28 - 4 * i;
    words[i] = static_cast<uint32_t>(word[0]) << 24 | static_cast<uint32_t>(word[1]) << 16 |
               static_cast<uint32_t>(word[2]) << 8 | word[3];
  }
  return true;
}

bool parse_number(const char* text, uint64_t max, uint64_t* out) {
  if (text[0] == '\0' || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

void lanes_to_words(const uint64_t lanes[4], uint32_t words[8]) {
  for (int i = 0; i < 4; ++i) {
    words[2 * i] = static_cast<uint32_t>(lanes[i]);
    words[2 * i + 1] = static_cast<uint32_t>(lanes[i] >> 32);
  }
}

int usage(const char* problem) {
  std::fprintf(stderr, "nonce_scan: %s\n", problem);
  std::fputs("usage: nonce_scan HEADER_HEX(160) START COUNT TARGET_HEX(64) [STRIDE]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return usage("expected four or five arguments");
  uint8_t header[80];
  uint64_t start = 0;
  uint64_t count = 0;
  uint64_t stride = 1;
  uint32_t target[8];
  if (!parse_hex_bytes(argv[1], header, sizeof header)) return usage("the header is 160 hex digits");
  if (!parse_number(argv[2], UINT32_MAX, &start)) return usage("START is a number below 2^32");
  // More than 2^32 would only revisit nonces already tried.
  if (!parse_number(argv[3], uint64_t{1} << 32, &count)) return usage("COUNT is a number up to 2^32");
  if (!parse_target(argv[4], target)) return usage("the target is 64 hex digits");
  if (argc == 6 && (!parse_number(argv[5], UINT32_MAX, &stride) || stride == 0)) {
    return usage("STRIDE is a number from 1 to 2^32 - 1");
  }

  const SearchKernel* kernel = search_kernel_auto();
  if (kernel == nullptr) {
    std::fputs("nonce_scan: no search kernel agrees with the reference hash\n", stderr);
    return 1;
  }
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header);
  const int width = kernel->width;
  uint64_t lanes[kMaxSearchKernelWidth][4];

  for (uint64_t index = 0; index < count; index += static_cast<uint64_t>(width)) {
    const uint32_t first = static_cast<uint32_t>(start + index * stride);  // wraps modulo 2^32
    kernel->hash(midstate, first, static_cast<uint32_t>(stride), lanes);
    for (int k = 0; k < width && index + static_cast<uint64_t>(k) < count; ++k) {
      uint32_t words[8];
      lanes_to_words(lanes[k], words);
      if (!hash_le_target(words, target)) continue;
      std::printf("found %" PRIu64 " %" PRIu32 " ", index + static_cast<uint64_t>(k),
                  static_cast<uint32_t>(first + static_cast<uint32_t>(k * stride)));
      uint8_t digest[32];
      for (int i = 0; i < 8; ++i) store_le32(digest + 4 * i, words[i]);
      for (uint8_t byte : digest) std::printf("%02x", byte);
      std::printf("\n");
      return 0;
    }
  }
  std::printf("none\n");
  return 0;
}
