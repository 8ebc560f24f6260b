#include "features/aspm.h"

#include "base/debug_print.h"
#include "features/device_tables.h"
#include "features/l1_substates.h"
#include "features/straps.h"
#include "platform/pcd.h"
#include "platform/platform_data.h"
#include "platform/register_access.h"

namespace {

inline constexpr UINT16 RemoveBoth = 0xFFFC;
inline constexpr UINT16 RemoveL0s = 0xFFFE;
inline constexpr UINT16 RemoveL1 = 0xFFFD;
inline constexpr UINT16 NoMask = 0xFFFF;

// Devices whose ASPM support is broken in the field; row 3 is a platform
// device, filled in from the platform data.
constexpr PcieAspmBlackListRow FixedRows[PcieAspmBlackListRows] = {
    {0x8086, 0x1563, RemoveL1, 1},   {0x11AA, 0x11AA, RemoveBoth, 0},
    {0xFFFF, 0xFFFF, RemoveBoth, 0}, {0x10B5, 0xFFFF, RemoveBoth, 0},
    {0x10DE, 0x0402, RemoveBoth, 0}, {0x10DE, 0x0193, RemoveBoth, 0},
    {0x10DE, 0x0422, RemoveBoth, 0}, {0x10DE, 0x0292, RemoveBoth, 0},
    {0x10DE, 0x00F9, RemoveBoth, 0}, {0x10DE, 0x0141, RemoveBoth, 0},
    {0x10DE, 0x0092, RemoveBoth, 0}, {0x10DE, 0x01D0, RemoveBoth, 0},
    {0x10DE, 0x01D1, RemoveBoth, 0}, {0x10DE, 0x01D2, RemoveBoth, 0},
    {0x10DE, 0x01D3, RemoveBoth, 0}, {0x10DE, 0x01D5, RemoveBoth, 0},
    {0x10DE, 0x01D7, RemoveBoth, 0}, {0x10DE, 0x01D8, RemoveBoth, 0},
    {0x10DE, 0x01DC, RemoveBoth, 0}, {0x10DE, 0x01DE, RemoveBoth, 0},
    {0x10DE, 0x01DF, RemoveBoth, 0}, {0x10DE, 0x016A, RemoveBoth, 0},
    {0x10DE, 0x0392, RemoveBoth, 0}, {0x8086, 0x10D3, RemoveBoth, 0},
    {0x8086, 0x0953, RemoveBoth, 0}, {0x1B4B, 0x91A3, RemoveL0s, 0},
    {0x1B4B, 0x9123, RemoveL0s, 0},  {0x1969, 0x1083, RemoveL0s, 0},
    {0x1033, 0x0194, RemoveL0s, 0},  {0x1180, 0xE832, RemoveL0s, 0},
    {0x1180, 0xE823, RemoveL0s, 0},
};
inline constexpr UINT32 PlatformRow = 2;

// Device fix 1: a controller whose function 1 register 0x2F8 bits 11 and
// 19 must be cleared for its link to survive L1.
inline constexpr UINT32 Fix1DeviceId = 0x10831969;
inline constexpr UINT32 Fix1Register = 0x12F8;
inline constexpr UINT32 Fix1AndMask = 0xFFF7F7FF;
// Device fix 2: a controller that needs the root port's indirect register
// 0xA1 bits 23:22 at 01 when L1 is requested.
inline constexpr UINT32 Fix2DeviceId = 0x163914E4;
inline constexpr UINT32 Fix2Index = 0xA1;
inline constexpr UINT32 Fix2AndMask = 0xFF3FFFFF;
inline constexpr UINT32 Fix2OrMask = 0x00400000;
// Root port indirect register 0xA0 bits 11:8 off stops the port entering L0s.
inline constexpr UINT32 RootPortIndirectPair = 0xE0;
inline constexpr UINT32 L0sControlIndex = 0xA0;
inline constexpr UINT32 L0sOffAndMask = 0xFFFFF0FF;

PcieAspmScanData *AspmRecord(PciScanData *Data) {
  return reinterpret_cast<PcieAspmScanData *>(Data);
}

UINT32 LinkCapabilitiesOf(UINT32 Function) {
  const CapabilityAt Cap = PcieCapabilityOf(Function);
  return CapabilityPresent(Cap) ? CapRead(Cap, PcieCap::LinkCapabilities) : 0;
}

VOID WriteAspmControl(CapabilityAt Cap, UINT32 Value) {
  CapClearAndSetS3(Cap, PcieCap::LinkControlLow,
                   ~static_cast<UINT32>(PcieCap::AspmControlLow::Mask), Value);
}

// Narrows the port's request by the mask's low bits and rewrites its ASPM
// strap so the port stops offering the removed states.
VOID NarrowPort(SiliconDescriptor *Silicon, WrapperDescriptor *Wrapper, EngineDescriptor *Engine,
                UINT16 AspmMask, UINT16 StrapSkip) {
  Engine->PortAspm = static_cast<UINT8>(Engine->PortAspm & (((AspmMask & 0xF) << 4) | 0x0F));
  if (StrapSkip != 0) {
    return;
  }
  const UINT32 Strap = PciePortStrap(Engine, PcieStrapAspmBase);
  DebugPrint(DebugLevelPcie, " - writing strap 0x%x to ASPM %d\n", Strap,
             PcieEngineAspmRequest(Engine));
  PcieStrapWrite(Silicon, Wrapper, Strap, PcieEngineAspmRequest(Engine), NbioS3Save);
}

VOID ApplyDeviceFixes(const PcieAspmLinkData *Link, UINT32 DownstreamId) {
  if (DownstreamId == Fix1DeviceId) {
    PciRmw(Link->DownstreamAddress | Fix1Register, AccessWidth32 | S3Save, Fix1AndMask, 0);
  }
  if (DownstreamId == Fix2DeviceId && (Link->RequestedAspm & AspmL1) != 0) {
    PciIndexDataRmw(Link->UpstreamAddress | RootPortIndirectPair, Fix2Index, Fix2AndMask,
                    Fix2OrMask);
  }
}

VOID PrintSetAspm(UINT32 Value, UINT32 Function) {
  DebugPrint(DebugLevelPcie, "  Set ASPM [%d]  for Device = %d:%d:%d\n", Value, PciBus(Function),
             PciDevice(Function), PciFunction(Function));
}

} // namespace

PcieAspmBlackListRow PcieAspmBlackListTable(UINT32 Index) {
  PcieAspmBlackListRow Row = FixedRows[Index];
  if (Index == PlatformRow) {
    Row.VendorId = gPlatformData.SecondPlatformVendorId;
    Row.DeviceId = gPlatformData.SecondPlatformAspmDeviceId;
  }
  return Row;
}

VOID PcieAspmBlackListDeviceCheck(PcieAspmBlackListScanData *Data) {
  const UINT32 DownId = PciReadRegister(Data->DownstreamAddress, PciHeader::VendorDeviceId);
  const UINT32 UpId = PciReadRegister(Data->UpstreamAddress, PciHeader::VendorDeviceId);
  for (UINT32 Index = 0; Index < PcieAspmBlackListRows; ++Index) {
    const PcieAspmBlackListRow Row = PcieAspmBlackListTable(Index);
    if (!PcieLinkMatchesRow(Row.VendorId, Row.DeviceId, DownId, UpId)) {
      continue;
    }
    Data->AspmMask = Row.AspmMask;
    Data->AspmCap = Row.AspmCap;
    Data->Found = 1;
    DebugPrint(DebugLevelPcie, "  ASPM Black List: US(0x%x) DN(0x%x) ASPM=0x%04x AspmCap=%d\n",
               UpId, DownId, static_cast<UINT16>(~Row.AspmMask), Row.AspmCap);
  }
}

UINT32 PcieAspmBlackListCallback(UINT32 Address, PciScanData *Data) {
  return PcieBlackListLinkWalk<PcieAspmBlackListScanData, PcieAspmBlackListDeviceCheck>(Address, Data);
}

VOID PcieAspmBlackListInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieAspmBlackListInterface Enter\n");
  // A row that leaves the strap alone keeps every later port's strap alone
  // too, until another match says otherwise: the setting lives for the call.
  UINT16 StrapSkip = 1;
  PcieTopologyForEachEngine(Silicon, [&StrapSkip](SiliconDescriptor *S, WrapperDescriptor *W,
                                                  EngineDescriptor *Engine) {
    if (!PcieEngineIsReady(Engine)) {
      return;
    }
    PcieAspmBlackListScanData Scan = {{PcieAspmBlackListCallback, 0}, NoMask, 0, 0, 0, 0};
    PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan.Header);
    if (Scan.Found != 0) {
      StrapSkip = Scan.AspmCap;
    }
    if (Scan.AspmMask != NoMask) {
      NarrowPort(S, W, Engine, Scan.AspmMask, StrapSkip);
    }
    PcieL1SSBlackListCheck(S, W, Engine);
  });
  DebugPrint(DebugLevelPcie, "PcieAspmBlackListInterface Exit\n");
}

VOID PcieAspmSetDeviceFunctions(UINT32 Device, UINT32 Value) {
  PciForEachDeviceFunction(Device, [Value](UINT32 Function) {
    const CapabilityAt Cap = PcieCapabilityOf(Function);
    if (CapabilityPresent(Cap)) {
      WriteAspmControl(Cap, Value);
    }
    return true;
  });
}

VOID PcieAspmBlackListLinkCheck(PcieAspmLinkData *Link) {
  Link->BlackListed = 0;
  const UINT32 DownId = PciReadRegister(Link->DownstreamAddress, PciHeader::VendorDeviceId);
  const UINT32 UpId = PciReadRegister(Link->UpstreamAddress, PciHeader::VendorDeviceId);
  for (UINT32 Index = 0; Index < PcieAspmBlackListRows; ++Index) {
    const PcieAspmBlackListRow Row = PcieAspmBlackListTable(Index);
    if (PcieLinkMatchesRow(Row.VendorId, Row.DeviceId, DownId, UpId)) {
      Link->DownstreamAspm &= Row.AspmMask;
      Link->UpstreamAspm &= Row.AspmMask;
      Link->BlackListed = 1;
    }
  }
  ApplyDeviceFixes(Link, DownId);
}

VOID PcieAspmSetLink(UINT32 Upstream, UINT32 Downstream, UINT32 Requested, UINT8 *L0sBlackListed) {
  const UINT32 UpSupport = PcieCap::AspmSupport::Get(LinkCapabilitiesOf(Upstream));
  const UINT32 DownCaps = LinkCapabilitiesOf(Downstream);
  const UINT32 DownOptional = PcieCap::AspmOptionalityCompliance::Get(DownCaps);
  const UINT32 DownSupport = PcieCap::AspmSupport::Get(DownCaps);
  const UINT32 Both = UpSupport & DownSupport & Requested;
  PcieAspmLinkData Link = {Upstream, Both, Downstream, Both, Requested, 0};
  // A component without ASPM Optionality Compliance (PCI Express Base r5.0,
  // 7.5.3.6) may predate optional L0s: L0s is then enabled per transmitter,
  // each end on its own support, while L1 always needs both ends.
  if (DownOptional == 0) {
    Link.UpstreamAspm = (Both & AspmL1) | (((UpSupport & Requested) & AspmL0s) != 0 ? AspmL0s : 0);
    Link.DownstreamAspm =
        (Both & AspmL1) | (((DownSupport & Requested) & AspmL0s) != 0 ? AspmL0s : 0);
  }
  if (PcdGetBool(PcdTokenAspmL1Blacklist)) {
    PcieAspmBlackListLinkCheck(&Link);
    if ((Link.UpstreamAspm & AspmL0s) == 0) {
      *L0sBlackListed = Link.BlackListed;
    }
  }
  PrintSetAspm(Link.DownstreamAspm, Downstream);
  PrintSetAspm(Link.UpstreamAspm, Upstream);
  // PCI Express Base r5.0, 7.5.3.7: L1 is enabled on the upstream
  // component first and disabled on the downstream component first.
  PcieAspmSetDeviceFunctions(Downstream, 0);
  const CapabilityAt UpCap = PcieCapabilityOf(Upstream);
  if (CapabilityPresent(UpCap)) {
    WriteAspmControl(UpCap, Link.UpstreamAspm);
  }
  PcieAspmSetDeviceFunctions(Downstream, Link.DownstreamAspm);
}

UINT32 PcieAspmCallback(UINT32 Address, PciScanData *Data) {
  PcieAspmScanData *Scan = AspmRecord(Data);
  DebugPrint(DebugLevelPcie, "  PcieAspmCallback for Device = %d:%d:%d\n", PciBus(Address),
             PciDevice(Address), PciFunction(Address));
  const UINT8 Type = PcieGetPortType(Address);
  if (PcieIsEndpointType(Type)) {
    PcieAspmSetLink(Scan->UpstreamAddress, Address, Scan->Aspm, &Scan->L0sBlackListed);
  } else if (PcieIsDownstreamPortType(Type)) {
    Scan->UpstreamAddress = Address;
    PciScanSecondaryBus(Address, Data);
    if (Type == PcieDeviceRootComplex && Scan->L0sBlackListed == 1) {
      DebugPrint(DebugLevelPcie, "  Black List L0s disabled = %d:%d:%d\n", PciBus(Address),
                 PciDevice(Address), PciFunction(Address));
      PciIndexDataRmw(Address | RootPortIndirectPair, L0sControlIndex, L0sOffAndMask, 0);
    }
  } else if (Type == PcieDeviceUpstreamPort) {
    PcieAspmSetLink(Scan->UpstreamAddress, Address, Scan->Aspm, &Scan->L0sBlackListed);
    PciScanSecondaryBus(Address, Data);
  }
  return PciScanContinue;
}

VOID PcieAspmInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieAspmInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if (PcieEngineAspmRequest(Engine) == 0 || PcieEngineSkipsLinkConfig(Engine) ||
        !PcieEngineIsReady(Engine)) {
      return;
    }
    PcieAspmScanData Scan = {{PcieAspmCallback, 0}, PcieEngineAspmRequest(Engine), 0, 0};
    PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan.Header);
  });
  DebugPrint(DebugLevelPcie, "PcieAspmInterface Exit\n");
}
