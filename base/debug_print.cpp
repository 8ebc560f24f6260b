#include "base/debug_print.h"

#include "base/driver_state.h"

EFI_STATUS EFIAPI DebugPrint(UINT64 Level, const CHAR8 *Format, ...) {
  DEBUG_PRINT_PROTOCOL *Receiver = nullptr;
  const EFI_STATUS Status =
      gBS->LocateProtocol(&gDebugPrintProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Receiver));
  if (EfiError(Status)) {
    return Status;
  }
  VA_LIST Marker;
  VA_START(Marker, Format);
  const EFI_STATUS Result = Receiver->Print(Level, Format, Marker);
  VA_END(Marker);
  return Result;
}

VOID ReportWalkBound(const CHAR8 *Walk, UINT32 Bound) {
  DebugPrint(DebugLevelDriver, "%a: walk stopped at its bound of %d\n", Walk, Bound);
}

VOID ReportWalkPointer(const CHAR8 *Walk, UINT32 Pointer) {
  DebugPrint(DebugLevelDriver, "%a: walk stopped at pointer 0x%x\n", Walk, Pointer);
}
