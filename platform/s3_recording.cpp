#include "platform/s3_recording.h"

#include "core/driver_state.h"
#include "platform/diagnostics.h"

namespace {

inline constexpr UINT32 FatalScriptWidth = 0xA0597;
inline constexpr UINT32 FatalCloseLockEvent = 0xA0961;
inline constexpr UINT32 FatalCloseTableEvent = 0xA0966;

EFI_EVENT gLockEvent = nullptr;
EFI_EVENT gCloseTableEvent = nullptr;

EFI_BOOT_SCRIPT_WIDTH ScriptWidth(UINT32 Width) {
  switch (Width) {
  case 1:
    return EfiBootScriptWidthUint8;
  case 2:
    return EfiBootScriptWidthUint16;
  case 3:
    return EfiBootScriptWidthUint32;
  case 4:
    return EfiBootScriptWidthUint64;
  default:
    FatalStop(FatalScriptWidth);
    return EfiBootScriptWidthUint8;
  }
}

VOID CloseOrStop(EFI_EVENT &Event, UINT32 FatalCode) {
  if (Event != nullptr && gBS->CloseEvent(Event) != EFI_SUCCESS) {
    FatalStop(FatalCode);
  }
}

} // namespace

UINT32 S3SaveMemWrite(UINT32 Width, UINT64 Address, const VOID *Buffer) {
  // Without a save-state protocol the record cannot be kept: report it
  // instead of calling through a null interface.
  if (gS3SaveState == nullptr) {
    return S3RecordFailed;
  }
  const EFI_STATUS Status = gS3SaveState->Write(gS3SaveState, EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE,
                                                ScriptWidth(Width), Address, static_cast<UINTN>(1),
                                                Buffer);
  return Status != EFI_SUCCESS ? S3RecordFailed : S3RecordOk;
}

VOID S3RecordingTeardown() {
  CloseOrStop(gLockEvent, FatalCloseLockEvent);
  CloseOrStop(gCloseTableEvent, FatalCloseTableEvent);
}

VOID S3RecordingResetState() {
  gLockEvent = nullptr;
  gCloseTableEvent = nullptr;
}
