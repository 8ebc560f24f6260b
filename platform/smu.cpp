#include "platform/smu.h"

#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "platform/poll.h"
#include "platform/register_access.h"

namespace {

inline constexpr UINT32 FatalSmuAccessFlags = 0xA11A0277;

UINT32 SmuRead(UINT32 Pair, UINT32 Register) {
  UINT32 Value = 0;
  PciIndexDataRead(Pair, Register, AccessWidth32, &Value);
  return Value;
}

VOID SmuWrite(UINT32 Pair, UINT32 Register, UINT32 Value) {
  PciIndexDataWrite(Pair, Register, AccessWidth32, &Value);
}

} // namespace

UINT32 NbioSmuServiceRequestV9(const UINT32 *HostBridgeAddress, UINT32 Request, UINT32 *Arguments) {
  const UINT32 Pair = *HostBridgeAddress | SmnIndexRegister;
  DebugPrint(DebugLevelService, "  Service Request 0x%x\n", Request);
  DebugPrint(DebugLevelService,
             "  Service Request Argument 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x\n", Arguments[0],
             Arguments[1], Arguments[2], Arguments[3], Arguments[4], Arguments[5]);

  // Response cleared, then all arguments, then the request number: the SMU
  // acts when the request number arrives.
  SmuRead(Pair, SmuResponseRegister);
  SmuWrite(Pair, SmuResponseRegister, SmuResponsePending);
  for (UINT32 I = 0; I < SmuArgumentCount; ++I) {
    SmuWrite(Pair, SmuArgumentRegister0 + 4 * I, Arguments[I]);
  }
  SmuWrite(Pair, SmuMessageRegister, Request);

  PollBudget Budget = PollBudgetStart(SmuResponseTimeoutUs);
  UINT32 Response = SmuRead(Pair, SmuResponseRegister);
  while (Response == SmuResponsePending) {
    if (PollBudgetSpent(&Budget)) {
      DebugPrint(DebugLevelPcie, "SMU Service Request 0x%x timeout: no response in %d ms\n",
                 Request, static_cast<UINT32>(SmuResponseTimeoutUs / 1000));
      return Response;
    }
    Response = SmuRead(Pair, SmuResponseRegister);
  }
  if (Response == SmuResponseAccessFlagsAssert) {
    DebugPrint(DebugLevelPcie, "SMU Assert AccessFlags\n");
    FatalStop(FatalSmuAccessFlags);
    return Response;
  }
  for (UINT32 I = 0; I < SmuArgumentCount; ++I) {
    Arguments[I] = SmuRead(Pair, SmuArgumentRegister0 + 4 * I);
  }
  DebugPrint(DebugLevelPcie, "NbioSmuServiceRequestV9 Exit\n");
  return Response;
}
