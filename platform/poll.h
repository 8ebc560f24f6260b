// Bounded waits on hardware: a deadline on the time-stamp counter, with a
// floor on the number of polls for when the counter's rate is unknown.
#pragma once

#include "uefi/uefi.h"

struct PollBudget {
  UINT64 Deadline;
  UINT32 Polls;
};

inline constexpr UINT32 PollMinimumCount = 1000;

PollBudget PollBudgetStart(UINT64 Microseconds);
// Counts one poll; true once the deadline has passed and the floor is met.
bool PollBudgetSpent(PollBudget *Budget);
