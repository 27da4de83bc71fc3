#pragma once

#include <string>

// A node that refuses every block says why each time, one "Block rejected"
// line per block, which an operator can easily read as bad luck. After a few
// refusals in a row for the same reason, one more line says plainly that
// the node refuses every block, why, and what to check.

// Refusals in a row, all for the same reason, that make the node's
// refusal a rule rather than an accident.
constexpr int kRefusalsForWarning = 3;

struct RefusalStreak {
  std::string reason;  // the reason of the refusals counted
  int count = 0;       // refusals in a row for `reason`
};

// Counts one verdict. An acceptance ends the streak; a refusal with another
// reason starts a new one; a verdict with no reason (the node did not
// answer, or answered something that is neither) changes nothing. When the
// streak reaches kRefusalsForWarning the warning goes to stderr, once.
void count_verdict(RefusalStreak& streak, bool accepted, const std::string& refusal_reason);

// As count_verdict, with the warning line (newline included) returned
// instead of printed; "" when there is none.
std::string counted_verdict(RefusalStreak& streak, bool accepted, const std::string& refusal_reason);

// What an operator can do about blocks refused for `reason`.
std::string refusal_advice(const std::string& reason);
