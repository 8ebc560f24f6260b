#include "platform/poll.h"

#include "arch/arch.h"
#include "platform/diagnostics.h"

// Every poll is at least one configuration access, about a microsecond on
// hardware; a wait the counter cannot time gets one poll per microsecond,
// so it lasts at least as long as asked.
PollBudget PollBudgetStart(UINT64 Microseconds) {
  const UINT64 Rate = GetTscFrequency();
  if (Rate < PollTrustedTscHz) {
    return {0, 0, Microseconds};
  }
  const UINT64 Ticks = (Rate * Microseconds) / 1000000ULL;
  return {ArchReadTsc() + Ticks, 0, PollMinimumCount};
}

bool PollBudgetSpent(PollBudget *Budget) {
  ++Budget->Polls;
  if (Budget->Polls <= Budget->MinimumPolls) {
    return false;
  }
  if (Budget->Deadline == 0 || ArchReadTsc() > Budget->Deadline) {
    return true;
  }
  ArchPause();
  return false;
}
