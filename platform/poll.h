// Bounded waits on hardware: a deadline on the time-stamp counter when its
// rate is known, a count of polls that lasts at least as long when it is not.
#pragma once

#include "uefi/uefi.h"

struct PollBudget {
  UINT64 Deadline; // 0: untimed, the poll count alone bounds the wait
  UINT64 Polls;
  UINT64 MinimumPolls;
};

// Polls made before the deadline is looked at, so a fast counter cannot end
// a wait before the hardware had a fair chance to answer.
inline constexpr UINT64 PollMinimumCount = 1000;
// Below this rate the counter cannot time a wait: no P-state was enabled
// (256 Hz) or its divisor read 0.
inline constexpr UINT64 PollTrustedTscHz = 1000000;

PollBudget PollBudgetStart(UINT64 Microseconds);
// Counts one poll; true once the wait is over.
bool PollBudgetSpent(PollBudget *Budget);
