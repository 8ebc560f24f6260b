#include "platform/poll.h"

#include "arch/arch.h"
#include "platform/diagnostics.h"

PollBudget PollBudgetStart(UINT64 Microseconds) {
  const UINT64 Ticks = (GetTscFrequency() * Microseconds) / 1000000ULL;
  return {ArchReadTsc() + Ticks, 0};
}

bool PollBudgetSpent(PollBudget *Budget) {
  if (Budget->Polls < PollMinimumCount) {
    ++Budget->Polls;
    return false;
  }
  ++Budget->Polls;
  if (ArchReadTsc() > Budget->Deadline) {
    return true;
  }
  ArchPause();
  return false;
}
