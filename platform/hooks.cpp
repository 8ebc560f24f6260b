#include "platform/hooks.h"

#include "base/debug_print.h"
#include "base/driver_state.h"
#include "platform/diagnostics.h"

namespace {

inline constexpr UINT32 FatalHookTableInvalid = 0x20800133;
inline constexpr UINT32 HookIdReserved0B = 0xB000000B;
inline constexpr UINT32 HookIdReserved04 = 0xB0000004;
inline constexpr UINT32 HookStatusSuccess = 0;

// A hook list is a handful of entries; a list without its end marker is
// not read past this many.
inline constexpr UINT32 MaxHookEntries = 256;

// The driver registers no behaviour of its own for these two ids; they
// accept the data unchanged.
UINT32 AcceptUnchanged(UINT32, UINT64, VOID *) { return HookStatusSuccess; }

constexpr HookEntry DriverHooks[] = {
    {HookIdReserved0B, 0, AcceptUnchanged},
    {HookIdReserved04, 0, AcceptUnchanged},
    {HookIdEndOfList, 0, nullptr},
};

} // namespace

const HookTable VtrHookTable = {HookTableSignature, HookTableVersion, {}, DriverHooks};
const HookTable *gVtrHookTable = &VtrHookTable;

VOID HooksResetState() { gVtrHookTable = &VtrHookTable; }

UINT32 VtrHookDispatch(const HookTable *Table, UINT32 HookId, VOID *Data) {
  if (Table->Signature != HookTableSignature || Table->Version != HookTableVersion) {
    FatalStop(FatalHookTableInvalid);
    return HookDispatchNoHandler;
  }
  bool Matched = false;
  UINT32 Result = HookDispatchAllSucceeded;
  UINT32 I = 0;
  for (; I < MaxHookEntries && Table->Hooks[I].HookId != HookIdEndOfList; ++I) {
    if (Table->Hooks[I].HookId != HookId) {
      continue;
    }
    Matched = true;
    DebugPrint(DebugLevelHook, "VtrHookFunc HookId %x\n", HookId);
    const UINT32 Status = Table->Hooks[I].Function(HookId, 0, Data);
    if (Status != HookStatusSuccess) {
      Result = Status;
    }
  }
  if (I == MaxHookEntries) {
    ReportWalkBound("hook list", MaxHookEntries);
  }
  return Matched ? Result : HookDispatchNoHandler;
}

VOID VtrHookProtocolCall(UINT32 HookId, VOID *Data) {
  HOOK_CALLOUT Callout = {0, reinterpret_cast<UINT64>(Data)};
  VTR_HOOK_PROTOCOL *Hook = nullptr;
  if (EfiError(gBS->LocateProtocol(&gVtrHookProtocolGuid, nullptr,
                                   reinterpret_cast<VOID **>(&Hook)))) {
    return;
  }
  Hook->Dispatch(gBS, &Callout, HookId);
}
