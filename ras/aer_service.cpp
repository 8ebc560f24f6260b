#include "ras/aer_service.h"

#include "base/debug_print.h"
#include "base/driver_state.h"
#include "platform/pcd.h"
#include "platform/pci_scan.h"
#include "platform/register_access.h"
#include "ras/aer_config.h"

NBIO_PCIE_AER_PROTOCOL NbioPcieAerProtocol = {NbioSetPcieAerFeature,
                                              NbioSetPcieAerFeatureExtended};

namespace {

inline constexpr UINT32 EcrcCapableBits =
    AerCap::EcrcGenerationCapable::Mask | AerCap::EcrcCheckCapable::Mask;
inline constexpr UINT32 EcrcEnableBits =
    AerCap::EcrcGenerationEnable::Mask | AerCap::EcrcCheckEnable::Mask;

template <UINT32 N> UINT32 RegisterBitsOf(UINT32 Packed, const UINT8 (&Bits)[N]) {
  UINT32 Register = 0;
  for (UINT32 I = 0; I < N; ++I) {
    if ((Packed >> I) & 1) {
      Register |= 1U << Bits[I];
    }
  }
  return Register;
}

// Bits are only ever set; the write is made and recorded even when none
// changes.
VOID SetBits(CapabilityAt Aer, ConfigRegister<UINT32> Register, UINT32 Bits) {
  CapWriteS3(Aer, Register, CapRead(Aer, Register) | Bits);
}

VOID SetEcrcSeverityFatal(CapabilityAt Aer) {
  if (PcdGetBool(PcdTokenEcrcSeverityFatal)) {
    SetBits(Aer, AerCap::UncorrectableErrorSeverity, AerCap::EcrcErrorSeverity::Mask);
  }
}

bool IsBridge(UINT32 Function) {
  return PciHeader::HeaderLayout::Get(PciReadRegister(Function, PciHeader::HeaderType)) ==
         PciHeader::LayoutBridge;
}

// Both enables, whichever capability bit was present; the line names the
// register by its full configuration address.
VOID EnableEcrc(CapabilityAt Aer, UINT32 Control, const CHAR8 *Format) {
  const UINT32 F = Aer.Function;
  CapWriteS3(Aer, AerCap::CapabilitiesControl, Control | EcrcEnableBits);
  DebugPrint(DebugLevelAer, Format, PciBus(F), PciDevice(F), PciFunction(F),
             CapAddress(Aer, AerCap::CapabilitiesControl));
  SetEcrcSeverityFatal(Aer);
}

// An endpoint-like function: both enables when it can generate or check.
UINT8 EnableFunction(UINT32 Function) {
  const CapabilityAt Aer = ExtendedCapabilityOf(Function, AerCap::Id);
  if (!CapabilityPresent(Aer)) {
    return 0;
  }
  const UINT32 Control = CapRead(Aer, AerCap::CapabilitiesControl);
  if ((Control & EcrcCapableBits) == 0) {
    return 0;
  }
  EnableEcrc(Aer, Control, "Set EndPoint ECRC Enable Bus=%02X, Dev=%02X, Fun=%02X, Reg=%03X\n");
  return 1;
}

UINT8 EnableBelowBridge(UINT32 Bridge, PciBusSet *Walked);

// Every present function of the bus: an absent function does not end its
// device, a single-function device ends after function 0.
UINT8 EnableBus(UINT32 Bus, PciBusSet *Walked) {
  UINT8 Result = 0;
  for (UINT32 Device = 0; Device <= 31; ++Device) {
    for (UINT32 Function = 0; Function <= 7; ++Function) {
      const UINT32 Address = PciAddressOf(Bus, Device, Function);
      if (PciReadRegister(Address, PciHeader::VendorDeviceId) == PciHeader::AbsentFunction) {
        continue;
      }
      Result |= IsBridge(Address) ? EnableBelowBridge(Address, Walked) : EnableFunction(Address);
      if (PciHeader::MultiFunction::Get(PciReadRegister(Address, PciHeader::HeaderType)) == 0) {
        break;
      }
    }
  }
  return Result;
}

UINT8 EnableBelowBridge(UINT32 Bridge, PciBusSet *Walked) {
  const CapabilityAt Aer = ExtendedCapabilityOf(Bridge, AerCap::Id);
  const UINT32 Control = CapabilityPresent(Aer) ? CapRead(Aer, AerCap::CapabilitiesControl) : 0;
  if ((Control & EcrcCapableBits) == 0) {
    return 0;
  }
  // A bus number that is not above the bridge's own would lead the walk
  // back up the tree (an unconfigured bridge reads 0); such a bridge has
  // nothing below it to enable. Bridges that name a bus already walked in
  // this call are not followed: a walk that re-entered a shared secondary
  // bus from every bridge naming it would grow exponentially with the depth
  // and record every revisit's writes for S3 again.
  const UINT32 Secondary = PciReadRegister(Bridge, PciHeader::SecondaryBusNumber);
  if (Secondary <= PciBus(Bridge) ||
      !PciBusNotYetEntered(Walked, Bridge, Secondary, "PcieEcrcEnable")) {
    return 0;
  }
  PciBusSetAdd(Walked, Secondary);
  if (EnableBus(Secondary, Walked) == 0) {
    return 0;
  }
  EnableEcrc(Aer, Control, "Set Bridget ECRC Enable Bus=%02X, Dev=%02X, Fun=%02X, Reg=%03X\n");
  return 1;
}

} // namespace

UINT8 PcieEcrcEnable(UINT32 Bridge) {
  PciBusSet Walked = {};
  return EnableBelowBridge(Bridge, &Walked);
}

EFI_STATUS EFIAPI NbioSetPcieAerFeature(NBIO_PCIE_AER_PROTOCOL *, PcieAerRequest *Request) {
  if (Request == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Request->AerEnable != AerEnableProgram) {
    return EFI_UNSUPPORTED;
  }
  const UINT32 Port = PciAddressOf(Request->PciBus, Request->PciDevice, Request->PciFunction);
  const CapabilityAt Aer = ExtendedCapabilityOf(Port, AerCap::Id);
  if (!CapabilityPresent(Aer)) {
    return EFI_UNSUPPORTED;
  }
  SetBits(Aer, AerCap::UncorrectableErrorMask,
          RegisterBitsOf(Request->UncorrectableMask, AerUncorrectableRegisterBits));
  SetBits(Aer, AerCap::UncorrectableErrorSeverity,
          RegisterBitsOf(Request->UncorrectableSeverity, AerUncorrectableRegisterBits));
  SetBits(Aer, AerCap::CorrectableErrorMask,
          RegisterBitsOf(Request->CorrectableMask, AerCorrectableRegisterBits));
  // A type 0 function has no bus below it: its offset 0x19 is no bus
  // number, so there is nothing to walk.
  if (IsBridge(Port)) {
    PcieEcrcEnable(Port);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI NbioSetPcieAerFeatureExtended(NBIO_PCIE_AER_PROTOCOL *, ...) {
  DebugPrint(DebugLevelPcie, "%a Not implemented for this architecture\n",
             "NbioSetPcieAerFeatureExtended");
  return EFI_NOT_AVAILABLE_YET;
}

VOID NbioPcieAerProtocolInstall() {
  EFI_HANDLE Handle = nullptr;
  gBS->InstallProtocolInterface(&Handle, &gNbioPcieAerProtocolGuid, EFI_NATIVE_INTERFACE,
                                &NbioPcieAerProtocol);
}
