#include "node/coinbase.h"

#include <cstring>

#include "node/hex.h"

namespace {

void append_le(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The signature script: a push of the height. The one-byte forms get a
// trailing 00 so the script is never shorter than 2 bytes.
void append_height_push(std::vector<uint8_t>& out, int32_t height) {
  if (height <= 16) {
    out.push_back(height == 0 ? 0x00 : static_cast<uint8_t>(0x50 + height));
    out.push_back(0x00);
    return;
  }
  uint8_t number[5];
  uint8_t n = 0;
  for (uint32_t rest = static_cast<uint32_t>(height); rest != 0; rest >>= 8) {
    number[n++] = static_cast<uint8_t>(rest & 0xff);
  }
  if (number[n - 1] & 0x80) number[n++] = 0x00;  // keep the number positive
  out.push_back(n);
  out.insert(out.end(), number, number + n);
}

void append_script(std::vector<uint8_t>& out, const char* hex, size_t bytes) {
  out.push_back(static_cast<uint8_t>(bytes));
  const size_t start = out.size();
  out.resize(start + bytes);
  hex2bin(out.data() + start, hex, static_cast<int32_t>(bytes));
}

}  // namespace

bool commitment_fits(const char* commitment_hex) {
  return commitment_hex == nullptr || std::strlen(commitment_hex) / 2 <= kMaxScriptBytes;
}

CoinbaseProblem build_coinbase(const CoinbaseParts& parts, std::vector<uint8_t>* tx) {
  const size_t script_bytes = parts.reward_script_hex.size() / 2;
  if (script_bytes > kMaxScriptBytes) return CoinbaseProblem::kRewardScriptTooLong;
  if (!commitment_fits(parts.commitment_hex)) return CoinbaseProblem::kCommitmentTooLong;
  std::vector<uint8_t> signature_script;
  append_height_push(signature_script, parts.height);
  const size_t commitment_bytes = parts.commitment_hex ? std::strlen(parts.commitment_hex) / 2 : 0;
  const size_t total = kCoinbaseFixedBytes + signature_script.size() + script_bytes +
                       (parts.commitment_hex ? 8 + 1 + commitment_bytes : 0);
  if (total > kMaxCoinbaseBytes) return CoinbaseProblem::kCommitmentOverfills;

  std::vector<uint8_t>& out = *tx;
  out.clear();
  out.reserve(total);
  append_le(out, 1, 4);                  // version
  out.push_back(0x01);                   // input count
  out.insert(out.end(), 32, 0x00);       // previous output hash
  append_le(out, 0xffffffff, 4);         // previous output index
  out.push_back(static_cast<uint8_t>(signature_script.size()));
  out.insert(out.end(), signature_script.begin(), signature_script.end());
  append_le(out, 0xffffffff, 4);         // sequence
  out.push_back(parts.commitment_hex ? 0x02 : 0x01);
  append_le(out, parts.reward_value, 8);
  append_script(out, parts.reward_script_hex.c_str(), script_bytes);
  if (parts.commitment_hex) {
    append_le(out, 0, 8);
    append_script(out, parts.commitment_hex, commitment_bytes);
  }
  append_le(out, 0, 4);                  // lock time
  return CoinbaseProblem::kNone;
}
