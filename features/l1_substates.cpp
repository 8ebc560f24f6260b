#include "features/l1_substates.h"

#include "base/debug_print.h"
#include "features/clock_pm.h"
#include "features/device_tables.h"
#include "platform/register_access.h"

// Devices whose L1.2 exit fails in the field; the walk ends at vendor 0xFFFF.
const PcieL1SSBlackListRow PcieL1SSBlackListTable[PcieL1SSBlackListMaxRows] = {
    {0x1344, 0x5410, 0, 1},
    {0x8086, 0xF1A6, 0, 1},
    {0xFFFF, 0xFFFF, 0, 0},
};

namespace {

inline constexpr UINT16 EndOfTable = 0xFFFF;
inline constexpr UINT16 DisableSubstate = 1;

inline constexpr UINT32 RootPortL1ssCapabilities = 0x374;
inline constexpr UINT32 WithdrawL11 = 0xFFFFFFF5; // PCI-PM and ASPM L1.1 Supported
inline constexpr UINT32 WithdrawL12 = 0xFFFFFFFA; // PCI-PM and ASPM L1.2 Supported

inline constexpr UINT32 L11EnableBits = 0xA;
inline constexpr UINT32 L12EnableBits = 0x5;

PcieL1SSScanData *Record(PciScanData *Data) { return reinterpret_cast<PcieL1SSScanData *>(Data); }

UINT32 EnablesFor(UINT32 Common, const PcieL1SSScanData *Data) {
  UINT32 Enables = 0;
  if (Data->L11Request != 0) {
    Enables |= Common & L11EnableBits;
  }
  if (Data->L12Request != 0) {
    Enables |= Common & L12EnableBits;
  }
  return Enables;
}

VOID WithdrawFromPort(SiliconDescriptor *Silicon, WrapperDescriptor *Wrapper,
                      EngineDescriptor *Engine) {
  const UINT32 Core = PcieCoreBank(Wrapper) + NbioCoreRegister40;
  const UINT32 Image = PciePortRegister(Wrapper, Engine, RootPortL1ssCapabilities);
  NbioRegisterRmw(Silicon, Core, ~NbioCoreRegister40Bit0, 0, NbioS3Save);
  if ((Engine->PortPmOptions & L11Enable) == 0) {
    NbioRegisterRmw(Silicon, Image, WithdrawL11, 0, NbioS3Save);
  }
  if ((Engine->PortPmOptions & L12Enable) == 0) {
    NbioRegisterRmw(Silicon, Image, WithdrawL12, 0, NbioS3Save);
  }
  NbioRegisterRmw(Silicon, Core, ~NbioCoreRegister40Bit0, NbioCoreRegister40Bit0, NbioS3Save);
}

} // namespace

BOOLEAN PcieGetL1SSCapability(UINT32 Function, UINT32 *Capabilities) {
  const CapabilityAt Cap = ExtendedCapabilityOf(Function, L1ssCap::Id);
  const UINT32 Value = CapabilityPresent(Cap) ? CapRead(Cap, L1ssCap::Capabilities) : 0;
  const UINT32 Supported = L1ssCap::L1PmSubstatesSupported::Get(Value);
  *Capabilities = Value;
  DebugPrint(DebugLevelPcie, "  Device(%d:%d:%d) L1SS Capability:%d, Value=0x%x\n",
             PciBus(Function), PciDevice(Function), PciFunction(Function), Supported, Value);
  return Supported != 0;
}

VOID PcieEnableL1SS(UINT32 Function, UINT32 Enables) {
  const CapabilityAt Cap = ExtendedCapabilityOf(Function, L1ssCap::Id);
  if (!CapabilityPresent(Cap)) {
    return;
  }
  const UINT32 Capabilities = CapRead(Cap, L1ssCap::Capabilities);
  if (L1ssCap::L1PmSubstatesSupported::Get(Capabilities) == 0) {
    return;
  }
  const UINT32 Control = (CapRead(Cap, L1ssCap::Control1) & ~L1ssCap::Enables::Mask) | Enables;
  CapWriteS3(Cap, L1ssCap::Control1, Control);
  DebugPrint(DebugLevelPcie, "  Enable L1SS for Device = %d:%d:%d (%08x - %08x)\n",
             PciBus(Function), PciDevice(Function), PciFunction(Function), Capabilities, Control);
}

VOID PcieL1SSSetLink(UINT32 Upstream, UINT32 Downstream, PcieL1SSScanData *Data) {
  UINT32 UpCaps = 0;
  UINT32 DownCaps = 0;
  const BOOLEAN UpOk = PcieGetL1SSCapability(Upstream, &UpCaps);
  const BOOLEAN DownOk = PcieGetL1SSCapability(Downstream, &DownCaps);
  if (!UpOk || !DownOk) {
    return;
  }
  const UINT32 Enables = EnablesFor(UpCaps & DownCaps, Data);
  if ((Enables & L11EnableBits) != 0) {
    Data->L11Enabled = 1;
  }
  if ((Enables & L12EnableBits) != 0) {
    Data->L12Enabled = 1;
  }
  // PCI Express Base r5.0, 5.5.4: substates are enabled on the upstream
  // port before the downstream one. A zero word turns stale enables off.
  PcieEnableL1SS(Upstream, Enables);
  PcieEnableL1SS(Downstream, Enables);
}

UINT32 PcieAspmL1SSCallback(UINT32 Address, PciScanData *Data) {
  PcieL1SSScanData *Scan = Record(Data);
  const UINT8 Type = PcieGetPortType(Address);
  if (PcieIsEndpointType(Type)) {
    PcieL1SSSetLink(Scan->UpstreamAddress, Address, Scan);
    return PciScanSkipDevice;
  }
  if (PcieIsDownstreamPortType(Type)) {
    Scan->UpstreamAddress = Address;
    PciScanSecondaryBus(Address, Data);
  } else if (Type == PcieDeviceUpstreamPort) {
    PcieL1SSSetLink(Scan->UpstreamAddress, Address, Scan);
    PciScanSecondaryBus(Address, Data);
  }
  return PciScanContinue;
}

VOID PcieAspmL1SSPortInitCallback(EngineDescriptor *Engine) {
  DebugPrint(DebugLevelPcie, "PcieAspmL1SSPortInitCallback Enter\n");
  const UINT32 Port = Engine->PortPciAddress;
  const UINT8 L11 = (Engine->PortPmOptions & L11Enable) != 0 ? 1 : 0;
  const UINT8 L12 = (Engine->PortPmOptions & L12Enable) != 0 ? 1 : 0;
  DebugPrint(DebugLevelPcie, "  L1SS %d:%d:%d (L1.1=%d, L1.2=%d)\n", PciBus(Port),
             PciDevice(Port), PciFunction(Port), L11, L12);
  PcieL1SSScanData Scan = {{PcieAspmL1SSCallback, 0}, L11, L12, 0, 0, 0};
  PciScan(Port, Port, &Scan.Header);
  // Later steps (LTR, the CLKREQ# map) act only where a substate is in use.
  if (Scan.L11Enabled == 0) {
    Engine->PortPmOptions &= static_cast<UINT8>(~L11Enable);
  }
  if (Scan.L12Enabled == 0) {
    Engine->PortPmOptions &= static_cast<UINT8>(~L12Enable);
  }
  DebugPrint(DebugLevelPcie, "PcieAspmL1SSPortInitCallback Exit\n");
}

VOID PcieAspmL1SSInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieAspmL1SSInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    // L1.2 needs CLKREQ#; a port without a signal keeps its requests.
    if (PcieEngineWantsL1Substates(Engine) && PcieEngineIsReady(Engine) &&
        PcieEngineHasClkReqSignal(Engine)) {
      PcieAspmL1SSPortInitCallback(Engine);
    }
  });
  DebugPrint(DebugLevelPcie, "PcieAspmL1SSInterface Exit\n");
}

VOID PcieL1SSBlackListDeviceCheck(PcieL1SSBlackListScanData *Data) {
  const UINT32 DownId = PciReadRegister(Data->DownstreamAddress, PciHeader::VendorDeviceId);
  const UINT32 UpId = PciReadRegister(Data->UpstreamAddress, PciHeader::VendorDeviceId);
  for (UINT32 Index = 0; Index < PcieL1SSBlackListMaxRows; ++Index) {
    const PcieL1SSBlackListRow &Row = PcieL1SSBlackListTable[Index];
    if (Row.VendorId == EndOfTable) {
      return;
    }
    if (!PcieLinkMatchesRow(Row.VendorId, Row.DeviceId, DownId, UpId)) {
      continue;
    }
    if (Row.DisableL11 == DisableSubstate) {
      Data->L11Allowed = 0;
    }
    if (Row.DisableL12 == DisableSubstate) {
      Data->L12Allowed = 0;
    }
    DebugPrint(DebugLevelPcie, "  L1SS Black List: US_DID=0x%x DS_DID=0x%x L1.1=%d L1.2=%d \n",
               DownId, UpId, Data->L11Allowed, Data->L12Allowed);
  }
}

UINT32 PcieL1SSBlackListCallback(UINT32 Address, PciScanData *Data) {
  return PcieBlackListLinkWalk<PcieL1SSBlackListScanData, PcieL1SSBlackListDeviceCheck>(Address, Data);
}

VOID PcieL1SSBlackListCheck(SiliconDescriptor *Silicon, WrapperDescriptor *Wrapper,
                            EngineDescriptor *Engine) {
  if (!PcieEngineWantsL1Substates(Engine)) {
    return;
  }
  PcieL1SSBlackListScanData Scan = {{PcieL1SSBlackListCallback, 0}, 1, 1, 0, 0};
  PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan.Header);
  bool Changed = false;
  if (Scan.L11Allowed == 0) {
    Engine->PortPmOptions &= static_cast<UINT8>(~L11Enable);
    Changed = true;
  }
  if (Scan.L12Allowed == 0) {
    Engine->PortPmOptions &= static_cast<UINT8>(~L12Enable);
    Changed = true;
  }
  if (Changed) {
    WithdrawFromPort(Silicon, Wrapper, Engine);
  }
}
