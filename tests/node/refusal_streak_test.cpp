#include "node/refusal_streak.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One verdict: accepted, or refused with a reason ("" for no reason).
struct Verdict {
  bool accepted;
  const char* reason;
};

// The warnings printed while counting `verdicts` in order.
std::vector<std::string> warnings_for(const std::vector<Verdict>& verdicts) {
  RefusalStreak streak;
  std::vector<std::string> lines;
  for (const Verdict& v : verdicts) {
    testing::internal::CaptureStderr();
    count_verdict(streak, v.accepted, v.reason);
    const std::string err = testing::internal::GetCapturedStderr();
    if (!err.empty()) lines.push_back(err);
  }
  return lines;
}

const Verdict kAccepted{true, ""};
const Verdict kHighHash{false, "high-hash"};
const Verdict kBadCb{false, "bad-cb-height"};
const Verdict kNoAnswer{false, ""};

const std::string kHighHashLine =
    "Node refuses every block: the last 3 were all rejected as \"high-hash\"; the node judges proof of "
    "work differently from this miner; check that -o names a TAMRIX node\n";

}  // namespace

TEST(RefusalStreak, ThirdRefusalInARowForOneReasonIsToldOncePerStreak) {
  EXPECT_EQ(warnings_for({kHighHash, kHighHash}), std::vector<std::string>{});
  EXPECT_EQ(warnings_for({kHighHash, kHighHash, kHighHash, kHighHash, kHighHash, kHighHash}),
            std::vector<std::string>{kHighHashLine});
  // A verdict without a reason neither counts nor breaks the streak.
  EXPECT_EQ(warnings_for({kHighHash, kNoAnswer, kHighHash, kNoAnswer, kHighHash}),
            std::vector<std::string>{kHighHashLine});
}

TEST(RefusalStreak, AcceptanceOrAnotherReasonStartsAfresh) {
  EXPECT_EQ(warnings_for({kHighHash, kHighHash, kAccepted, kHighHash, kHighHash}), std::vector<std::string>{});
  EXPECT_EQ(warnings_for({kHighHash, kHighHash, kBadCb, kHighHash, kHighHash}), std::vector<std::string>{});
  // A new streak of the same reason is told again.
  const std::vector<std::string> twice = warnings_for(
      {kHighHash, kHighHash, kHighHash, kAccepted, kHighHash, kHighHash, kHighHash, kBadCb, kBadCb, kBadCb});
  ASSERT_EQ(twice.size(), 3u);
  EXPECT_EQ(twice[0], kHighHashLine);
  EXPECT_EQ(twice[1], kHighHashLine);
  EXPECT_EQ(twice[2].rfind("Node refuses every block: the last 3 were all rejected as \"bad-cb-height\"; the "
                           "node does not accept blocks built the way this miner builds them", 0), 0u)
      << twice[2];
}

TEST(RefusalStreak, AdviceNamesWhatToCheck) {
  EXPECT_NE(refusal_advice("time-too-new").find("clock"), std::string::npos);
  EXPECT_NE(refusal_advice("bad-prevblk").find("synced"), std::string::npos);
  EXPECT_NE(refusal_advice("Block decode failed").find("TAMRIX node"), std::string::npos);
  EXPECT_EQ(refusal_advice("something new"), "see the node's own log for what it expects");
}
