#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The coinbase transaction the miner writes for itself, without a witness:
//
//   version 1 | 1 input: 32 zero bytes, index ffffffff, the signature
//   script (a push of the height, nothing else), sequence ffffffff |
//   1 or 2 outputs: the whole reward to the reward script, then, when the
//   template has a witness commitment, value 0 to the commitment script |
//   lock time 0
//
// Its whole layout lives in coinbase.cpp.

constexpr size_t kMaxCoinbaseBytes = 512;
constexpr size_t kMaxScriptBytes = 252;  // each script's length is one byte
// Everything but the two scripts: the version, the input with its sequence,
// both length bytes, the output count, the reward value and the lock time.
constexpr size_t kCoinbaseFixedBytes = 60;
// The signature script is never shorter than 2 bytes, and a reward script
// is only taken when it is longer than 3 hex characters, so 2 bytes too.
constexpr size_t kMinCoinbaseBytes = kCoinbaseFixedBytes + 2 + 2;

struct CoinbaseParts {
  int32_t height;                 // 0 or more
  uint64_t reward_value;          // the template's coinbasevalue
  const std::string& reward_script_hex;
  const char* commitment_hex;     // null for one output; otherwise not empty
};

enum class CoinbaseProblem {
  kNone,
  kRewardScriptTooLong,     // over kMaxScriptBytes
  kCommitmentTooLong,       // over kMaxScriptBytes
  kCommitmentOverfills,     // with the reward script, over kMaxCoinbaseBytes
};

// The commitment's own limit, which the template alone decides, so it can
// be checked before the reward script is asked for.
bool commitment_fits(const char* commitment_hex);

// The serialised coinbase, or the first limit it breaks (and nothing in
// `tx`). Hex text is read two characters a byte; an odd last one is dropped.
CoinbaseProblem build_coinbase(const CoinbaseParts& parts, std::vector<uint8_t>* tx);
