#include "features/clock_pm.h"

#include "base/debug_print.h"
#include "platform/register_access.h"

PcieClkReqMapEntry PcieClkReqMapTable[PcieClkReqSignals] = {
    {PcieClkReqUnassigned, 0}, {PcieClkReqUnassigned, 1}, {PcieClkReqUnassigned, 2},
    {PcieClkReqUnassigned, 3}, {PcieClkReqUnassigned, 4},
};

namespace {

inline constexpr UINT32 ClkReqMapCore0 = 0x11180190;
inline constexpr UINT32 ClkReqMapCore1 = 0x11280190;
inline constexpr UINT32 ClkReqMapFields = 0x000FFFFF;
inline constexpr UINT32 ClkReqMapBit28 = 0x10000000;
inline constexpr UINT32 PortRegister280Core0 = 0x11140280;
inline constexpr UINT32 PortRegister280Core1 = 0x11240280;
inline constexpr UINT32 PortRegisterStride = 0x1000;
inline constexpr UINT32 PortsWithRegister280 = 7;
// Core-1 ports are numbered from 8 in PortId and in the map fields.
inline constexpr UINT8 Core1FirstPort = 8;

struct ClkReqUse {
  bool Core0Used;
  bool Core1Used;
  UINT32 Core0Count;
  UINT32 Core1Count;
};

VOID AssignSignal(const EngineDescriptor *Engine, ClkReqUse *Use) {
  if (!PcieEngineWantsL1Substates(Engine) || !PcieEngineHasClkReqSignal(Engine)) {
    return;
  }
  PcieClkReqMapEntry &Entry = PcieClkReqMapTable[PcieEngineClkReqNumber(Engine) - 1];
  switch (PcieEngineCoreId(Engine)) {
  case 0:
    Use->Core0Used = true;
    if (Use->Core0Count < PcieClkReqSignals) {
      Entry.AssignedPort = PcieEnginePortId(Engine);
    }
    ++Use->Core0Count;
    return;
  case 1:
    Use->Core1Used = true;
    if (Use->Core1Count < PcieClkReqSignals) {
      Entry.AssignedPort = static_cast<UINT8>(PcieEnginePortId(Engine) - Core1FirstPort);
    }
    ++Use->Core1Count;
    return;
  default:
    return;
  }
}

// Field k holds the value of signal k; a core-1 map counts its ports from
// 8, so (value - 8) AND 0xF.
UINT32 MapFields(INT32 PortBase) {
  UINT32 Fields = 0;
  for (UINT32 K = 0; K < PcieClkReqSignals; ++K) {
    const INT32 Value = static_cast<INT32>(PcieClkReqMapTable[K].MapValue) - PortBase;
    Fields |= (static_cast<UINT32>(Value) & 0xFU) << (4 * K);
  }
  return Fields;
}

VOID PrintMap() {
  for (UINT32 K = 0; K < PcieClkReqSignals; ++K) {
    DebugPrint(DebugLevelPcie, "CLKREQB_%d: 0x%x - %d\n", K, PcieClkReqMapTable[K].AssignedPort,
               PcieClkReqMapTable[K].MapValue);
  }
}

// The used core's map gets the fields with bit 28 clear; the other core's
// map is cleared with bit 28 set.
VOID ProgramMap(SiliconDescriptor *Silicon, bool Core1) {
  UINT32 Map0 = 0;
  UINT32 Map1 = 0;
  NbioRegisterRead(Silicon, ClkReqMapCore0, &Map0, NbioNoS3Save);
  NbioRegisterRead(Silicon, ClkReqMapCore1, &Map1, NbioNoS3Save);
  const UINT32 UsedKeep = ~(ClkReqMapFields | ClkReqMapBit28);
  const UINT32 OtherKeep = ~ClkReqMapFields;
  if (Core1) {
    Map0 = (Map0 & OtherKeep) | ClkReqMapBit28;
    Map1 = (Map1 & UsedKeep) | MapFields(Core1FirstPort);
  } else {
    Map0 = (Map0 & UsedKeep) | MapFields(0);
    Map1 = (Map1 & OtherKeep) | ClkReqMapBit28;
  }
  NbioRegisterWrite(Silicon, ClkReqMapCore0, &Map0, NbioS3Save);
  NbioRegisterWrite(Silicon, ClkReqMapCore1, &Map1, NbioS3Save);
  const UINT32 Base = Core1 ? PortRegister280Core1 : PortRegister280Core0;
  for (UINT32 I = 0; I < PortsWithRegister280; ++I) {
    NbioRegisterRmw(Silicon, Base + I * PortRegisterStride, ~ClkReqMapBit28, ClkReqMapBit28,
                    NbioNoS3Save);
  }
}

VOID EnableClockPmBelow(const EngineDescriptor *Engine) {
  DebugPrint(DebugLevelPcie, "PcieClkReqPmmEnableCallback Enter\n");
  PciScanData Scan = {SetPcieClkReqPmmEnableCallback, 0};
  PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan);
  DebugPrint(DebugLevelPcie, "PcieClkReqPmmEnableCallback Exit\n");
}

} // namespace

bool PcieEngineHasClkReqSignal(const EngineDescriptor *Engine) {
  const UINT8 Number = PcieEngineClkReqNumber(Engine);
  if (Number > PcieClkReqSignals) {
    DebugPrint(DebugLevelPcie, "  CLKREQB number %d out of range, port ignored\n", Number);
    return false;
  }
  return Number != 0;
}

BOOLEAN PcieClkPmDeviceCheck(UINT32 Function) {
  BOOLEAN Capable = TRUE;
  PciForEachDeviceFunction(Function, [&Capable](UINT32 Address) {
    const CapabilityAt Cap = PcieCapabilityOf(Address);
    if (!CapabilityPresent(Cap) ||
        PcieCap::ClockPowerManagement::Get(CapRead(Cap, PcieCap::LinkCapabilities)) == 0) {
      Capable = FALSE;
    }
    return Capable == TRUE;
  });
  return Capable;
}

UINT32 PcieClkPmCallback(UINT32 Address, PciScanData *Data) {
  DebugPrint(DebugLevelPcie, "  PcieClkPmCallback for Device = %d:%d:%d\n", PciBus(Address),
             PciDevice(Address), PciFunction(Address));
  const UINT8 Type = PcieGetPortType(Address);
  // A bridge's unchanged write-back puts its bus numbers into the boot
  // script, so the tree is routable again on resume.
  const UINT32 BusNumbers = Address | PciHeader::BusNumbers.Offset;
  if (PcieIsEndpointType(Type)) {
    PcieClkPmDeviceCheck(Address);
    return PciScanDone;
  }
  if (PcieIsDownstreamPortType(Type)) {
    PciRmw(BusNumbers, AccessWidth32 | S3Save, 0xFFFFFFFF, 0);
    PciScanSecondaryBus(Address, Data);
    return PciScanContinue;
  }
  if (Type == PcieDeviceUpstreamPort) {
    PcieClkPmDeviceCheck(Address);
    PciRmw(BusNumbers, AccessWidth32 | S3Save, 0xFFFFFFFF, 0);
    PciScanSecondaryBus(Address, Data);
    return PciScanDone;
  }
  return PciScanContinue;
}

VOID PcieClkPmInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieClkPmInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if ((Engine->PortControl & PortClockPm) == 0 || PcieEngineSkipsLinkConfig(Engine) ||
        !PcieEngineIsReady(Engine)) {
      return;
    }
    PciScanData Scan = {PcieClkPmCallback, 0};
    PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan);
  });
  DebugPrint(DebugLevelPcie, "PcieClkPmInterface Exit\n");
}

UINT32 SetPcieClkReqPmmEnableCallback(UINT32 Address, PciScanData *Data) {
  DebugPrint(DebugLevelPcie, "  SetPcieClkReqPmmEnableCallback for Device = %d:%d:%d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address));
  const UINT8 Type = PcieGetPortType(Address);
  if (PcieIsEndpointType(Type)) {
    DebugPrint(DebugLevelPcie, "  PcieDeviceEndPoint %d\n", Type);
    const CapabilityAt Cap = PcieCapabilityOf(Address);
    if (CapabilityPresent(Cap)) {
      CapClearAndSetS3(Cap, PcieCap::LinkControl, ~PcieCap::EnableClockPowerManagement::Mask,
                       PcieCap::EnableClockPowerManagement::Mask);
    }
    // Only the first endpoint function of the bus is written.
    return PciScanDone;
  }
  if (PcieIsPortType(Type)) {
    DebugPrint(DebugLevelPcie,
               "  PcieDeviceRootComplex/PcieDeviceDownstreamPort/PcieDeviceUpstreamPort %d\n", Type);
    PciScanSecondaryBus(Address, Data);
    return PciScanContinue;
  }
  DebugPrint(DebugLevelPcie, "  Unknow DeviceType %d\n", Type);
  return PciScanContinue;
}

VOID PcieClkReqMapResolve() {
  // Each assignment swaps two values, so the fields stay a permutation.
  for (UINT32 I = 0; I < PcieClkReqSignals; ++I) {
    PcieClkReqMapEntry &Entry = PcieClkReqMapTable[I];
    DebugPrint(DebugLevelPcie, "CLKREQB_%d: 0x%x - %d\n", I, Entry.AssignedPort, Entry.MapValue);
    if (Entry.AssignedPort == PcieClkReqUnassigned) {
      continue;
    }
    for (PcieClkReqMapEntry &Other : PcieClkReqMapTable) {
      if (Other.MapValue == Entry.AssignedPort) {
        Other.MapValue = Entry.MapValue;
      }
    }
    Entry.MapValue = Entry.AssignedPort;
    Entry.AssignedPort = PcieClkReqUnassigned;
  }
  PrintMap();
}

VOID PcieClkReqInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieClkReqInterface Enter\n");
  ClkReqUse Use = {false, false, 0, 0};
  PcieTopologyForEachEngine(Silicon, [&Use](SiliconDescriptor *, WrapperDescriptor *,
                                            EngineDescriptor *Engine) {
    if (!PcieEngineIsReady(Engine)) {
      return;
    }
    if ((Engine->PortControl & PortClockPm) != 0) {
      EnableClockPmBelow(Engine);
    }
    AssignSignal(Engine, &Use);
  });
  PcieClkReqMapResolve();
  if (Use.Core0Used && Use.Core1Used) {
    DebugPrint(DebugLevelPcie, "Clk_req# signals can not cross both cores at the same time\n");
  } else if (Use.Core0Used || Use.Core1Used) {
    ProgramMap(Silicon, Use.Core1Used);
  }
  DebugPrint(DebugLevelPcie, "PcieClkReqInterface Exit\n");
}

VOID ClockPmResetState() {
  for (UINT32 K = 0; K < PcieClkReqSignals; ++K) {
    PcieClkReqMapTable[K] = {PcieClkReqUnassigned, static_cast<UINT8>(K)};
  }
}
