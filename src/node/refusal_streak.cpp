#include "node/refusal_streak.h"

#include <cstdio>
#include <string_view>

namespace {

bool starts_with_any(std::string_view reason, std::initializer_list<std::string_view> prefixes) {
  for (const std::string_view prefix : prefixes) {
    if (reason.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

}  // namespace

std::string refusal_advice(const std::string& reason) {
  // The reasons of this family of nodes; anything else gets the generic word.
  if (starts_with_any(reason, {"high-hash", "bad-diffbits"})) {
    return "the node judges proof of work differently from this miner; check that -o names a TAMRIX node";
  }
  if (starts_with_any(reason, {"time-too-new", "time-too-old", "bad-time"})) {
    return "the node does not accept the header time; check this machine's clock against the node's";
  }
  if (starts_with_any(reason, {"bad-prevblk", "prev-blk-not-found", "inconclusive-not-best-prevblk", "stale"})) {
    return "the blocks build on a tip the node has left; check that the node is synced and not switching chains";
  }
  if (starts_with_any(reason, {"bad-cb", "bad-txn", "bad-witness", "bad-version", "bad-blk", "Block decode failed"})) {
    return "the node does not accept blocks built the way this miner builds them; check that -o names a "
           "TAMRIX node of a version this miner supports";
  }
  return "see the node's own log for what it expects";
}

std::string counted_verdict(RefusalStreak& streak, bool accepted, const std::string& refusal_reason) {
  if (accepted) {
    streak = RefusalStreak{};
    return "";
  }
  if (refusal_reason.empty()) return "";
  if (refusal_reason != streak.reason) streak = RefusalStreak{refusal_reason, 0};
  if (++streak.count != kRefusalsForWarning) return "";
  return "Node refuses every block: the last " + std::to_string(kRefusalsForWarning) + " were all rejected as \"" +
         streak.reason + "\"; " + refusal_advice(streak.reason) + "\n";
}

void count_verdict(RefusalStreak& streak, bool accepted, const std::string& refusal_reason) {
  std::fputs(counted_verdict(streak, accepted, refusal_reason).c_str(), stderr);
}
