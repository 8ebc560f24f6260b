#include "platform/pcd.h"

#include "base/driver_state.h"

namespace {

PCD_PROTOCOL *gPcd = nullptr;

} // namespace

PCD_PROTOCOL *PcdProtocolGet() {
  if (gPcd == nullptr) {
    PCD_PROTOCOL *Found = nullptr;
    if (!EfiError(gBS->LocateProtocol(&gPcdProtocolGuid, nullptr,
                                      reinterpret_cast<VOID **>(&Found)))) {
      gPcd = Found;
    }
  }
  return gPcd;
}

UINT8 PcdGet8(UINTN Token) {
  PCD_PROTOCOL *Pcd = PcdProtocolGet();
  return Pcd == nullptr ? PcdNoByteSetting : Pcd->Get8(Token);
}

UINT32 PcdGet32(UINTN Token) {
  PCD_PROTOCOL *Pcd = PcdProtocolGet();
  return Pcd == nullptr ? 0 : Pcd->Get32(Token);
}

UINT64 PcdGet64(UINTN Token) {
  PCD_PROTOCOL *Pcd = PcdProtocolGet();
  return Pcd == nullptr ? 0 : Pcd->Get64(Token);
}

BOOLEAN PcdGetBool(UINTN Token) {
  PCD_PROTOCOL *Pcd = PcdProtocolGet();
  return Pcd == nullptr ? FALSE : Pcd->GetBool(Token);
}

EFI_STATUS PcdSet8(UINTN Token, UINT8 Value) {
  PCD_PROTOCOL *Pcd = PcdProtocolGet();
  return Pcd == nullptr ? EFI_NOT_FOUND : Pcd->Set8(Token, Value);
}

EFI_STATUS PcdSet64(UINTN Token, UINT64 Value) {
  PCD_PROTOCOL *Pcd = PcdProtocolGet();
  return Pcd == nullptr ? EFI_NOT_FOUND : Pcd->Set64(Token, Value);
}

VOID PcdResetState() { gPcd = nullptr; }
