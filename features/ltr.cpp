#include "features/ltr.h"

#include "base/debug_print.h"
#include "platform/register_access.h"

namespace {

// The T_POWER_ON field of a Capabilities dword; shifted down by 16 it is
// laid out as in Control 2 (scale 1:0, value 7:3).
inline constexpr UINT32 TPowerOnField = 0x00FB0000;
inline constexpr UINT32 TPowerOnShift = 16;
inline constexpr UINT32 CommonModeRestoreField = 0x0000FF00;
inline constexpr UINT32 Control2Keep = 0xFFFF0000;

PcieLtrScanData *Record(PciScanData *Data) { return reinterpret_cast<PcieLtrScanData *>(Data); }

// PCI Express Base r5.0, 7.8.3.2: T_POWER_ON Scale 0 = 2 us, 1 = 10 us,
// 2 = 100 us; 3 is reserved. A reserved scale counts as 1000 us units so
// that it never makes the agreed time shorter than its device may need.
UINT32 TPowerOnMultiplier(UINT32 Scale) {
  switch (Scale) {
  case 0:
    return 2;
  case 1:
    return 10;
  case 2:
    return 100;
  default:
    return 1000;
  }
}

// LTR needs the PCI Express capability's version 2 registers.
// PCI Express Base r5.0, 7.8.3.4: Control 2 has no scale 3 either. The
// agreed time of such an encoding is written as the shortest legal encoding
// not shorter than it, or the longest legal one (31 x 100 us) when none is
// that long.
inline constexpr UINT32 ReservedTPowerOnScale = 3;
inline constexpr UINT32 MaxTPowerOnValue = 31;

UINT32 LegalTPowerOn(UINT32 TPowerOn) {
  if (L1ssCap::PortTPowerOnScale::Get(TPowerOn) != ReservedTPowerOnScale) {
    return TPowerOn;
  }
  const UINT32 Time = PcieTPowerOnTime(TPowerOn);
  UINT32 Scale = 0;
  UINT32 Value = 0;
  for (; Scale < ReservedTPowerOnScale; ++Scale) {
    const UINT32 Unit = TPowerOnMultiplier(Scale);
    Value = (Time + Unit - 1) / Unit;
    if (Value <= MaxTPowerOnValue) {
      break;
    }
  }
  if (Scale == ReservedTPowerOnScale) {
    Scale = ReservedTPowerOnScale - 1;
    Value = MaxTPowerOnValue;
  }
  DebugPrint(DebugLevelPcie, "T_POWER_ON scale 3 reserved: %d us as scale %d value %d\n",
             Time, Scale, Value);
  return L1ssCap::PortTPowerOnScale::Set(L1ssCap::PortTPowerOnValue::Set(0, Value), Scale);
}

CapabilityAt LtrReadyPcieCapability(UINT32 Function) {
  const CapabilityAt Cap = PcieCapabilityOf(Function);
  if (PcieCapabilityHasVersion2Registers(Cap)) {
    return Cap;
  }
  return {Function, 0};
}

VOID EnableLtrMechanism(CapabilityAt Cap) {
  const UINT32 Value = CapRead(Cap, PcieCap::DeviceControl2) | PcieCap::LtrMechanismEnable::Mask;
  CapWriteS3(Cap, PcieCap::DeviceControl2, Value);
}

VOID SetMaxLatencies(UINT32 Function) {
  const CapabilityAt Ltr = ExtendedCapabilityOf(Function, LtrCap::Id);
  if (!CapabilityPresent(Ltr)) {
    return;
  }
  const UINT32 Value = (CapRead(Ltr, LtrCap::MaxLatency) & LtrMaxLatencyKeep) | LtrMaxLatency;
  CapWriteS3(Ltr, LtrCap::MaxLatency, Value);
  DebugPrint(DebugLevelPcie, "  Set Snoop/non-snoop latency for Device = %d:%d:%d Value = %08x\n",
             PciBus(Function), PciDevice(Function), PciFunction(Function), Value);
}

// Read, print, change the low half, write, print: Control 2 of either end.
VOID WriteTPowerOn(CapabilityAt L1ss, UINT32 TPowerOn, const CHAR8 *GetFormat,
                   const CHAR8 *SetFormat) {
  const UINT32 F = L1ss.Function;
  UINT32 Value = CapRead(L1ss, L1ssCap::Control2);
  DebugPrint(DebugLevelPcie, GetFormat, PciBus(F), PciDevice(F), PciFunction(F), Value);
  Value = (Value & Control2Keep) | (TPowerOn >> TPowerOnShift);
  CapWriteS3(L1ss, L1ssCap::Control2, Value);
  DebugPrint(DebugLevelPcie, SetFormat, PciBus(F), PciDevice(F), PciFunction(F), Value);
}

} // namespace

UINT32 PcieTPowerOnTime(UINT32 Capabilities) {
  return TPowerOnMultiplier(L1ssCap::PortTPowerOnScale::Get(Capabilities)) *
         L1ssCap::PortTPowerOnValue::Get(Capabilities);
}

// PCI Express Base r5.0, 5.5.4: both ends of a link use the longer
// T_POWER_ON and the longer Common_Mode_Restore_Time of the two.
VOID PcieSetL1SSTiming(UINT32 Port, UINT16 L1ssOffset) {
  const CapabilityAt PortL1ss = {Port, L1ssOffset};
  const UINT32 P = CapRead(PortL1ss, L1ssCap::Capabilities);
  DebugPrint(DebugLevelPcie, "locate %x Value = %x\n", L1ssOffset + L1ssCap::Capabilities.Offset, P);
  const UINT32 TPowerOnPort = P & TPowerOnField;
  DebugPrint(DebugLevelPcie, "T_POWER_ON %x\n", TPowerOnPort);
  const UINT32 RestorePort = P & CommonModeRestoreField;
  DebugPrint(DebugLevelPcie, "CM_RESTORE_TIME %x\n", RestorePort >> 8);
  const UINT32 TimePort = PcieTPowerOnTime(P);
  DebugPrint(DebugLevelPcie, "Port_T_POWER_ON_Result: %x\n", TimePort);
  const UINT32 Secondary = PciReadRegister(Port, PciHeader::SecondaryBusNumber);
  DebugPrint(DebugLevelPcie, "SubBUS: %x\n", Secondary);
  const UINT32 Below = PciAddressOf(Secondary, 0, 0);
  const CapabilityAt BelowL1ss = ExtendedCapabilityOf(Below, L1ssCap::Id);
  DebugPrint(DebugLevelPcie, "EndPointPcieCapPtr: %x\n", BelowL1ss.Offset);
  if (!CapabilityPresent(BelowL1ss)) {
    return;
  }
  const UINT32 E = CapRead(BelowL1ss, L1ssCap::Capabilities);
  DebugPrint(DebugLevelPcie, "locate %x Value = %x\n", L1ssOffset + L1ssCap::Capabilities.Offset, E);
  const UINT32 TPowerOnBelow = E & TPowerOnField;
  DebugPrint(DebugLevelPcie, "EndPoint_T_POWER_ON %x\n", TPowerOnBelow);
  const UINT32 RestoreBelow = E & CommonModeRestoreField;
  DebugPrint(DebugLevelPcie, "EndPoint_CM_RESTORE_TIME %x\n", RestoreBelow >> 8);
  UINT32 Restore = RestorePort;
  if (RestorePort < RestoreBelow) {
    DebugPrint(DebugLevelPcie, "Using CM_RESTORE_TIME as %x\n", RestoreBelow);
    Restore = RestoreBelow;
  }
  const UINT32 TimeBelow = PcieTPowerOnTime(E);
  DebugPrint(DebugLevelPcie, "EndPoint_T_POWER_ON_Result: %x\n", TimeBelow);
  UINT32 TPowerOn = TPowerOnPort;
  if (TimePort < TimeBelow) {
    DebugPrint(DebugLevelPcie, "Swap  T_POWER_ON\n");
    TPowerOn = TPowerOnBelow;
  }
  TPowerOn = LegalTPowerOn(TPowerOn);
  UINT32 Control1 = CapRead(PortL1ss, L1ssCap::Control1);
  DebugPrint(DebugLevelPcie, "  Get CM_RESTORE_TIME for Device = %d:%d:%d Value = %08x\n",
             PciBus(Port), PciDevice(Port), PciFunction(Port), Control1);
  Control1 = (Control1 & ~CommonModeRestoreField) | Restore;
  CapWriteS3(PortL1ss, L1ssCap::Control1, Control1);
  DebugPrint(DebugLevelPcie, "  Set CM_RESTORE_TIME for Device = %d:%d:%d Value = %08x\n",
             PciBus(Port), PciDevice(Port), PciFunction(Port), Control1);
  const UINT32 Capabilities =
      (CapRead(PortL1ss, L1ssCap::Capabilities) & ~CommonModeRestoreField) | Restore;
  CapWriteS3(PortL1ss, L1ssCap::Capabilities, Capabilities);
  WriteTPowerOn(PortL1ss, TPowerOn, "  Get Root T_POWER_ON for Device = %d:%d:%d Value = %08x\n",
                "  Set Root T_POWER_ON for Device = %d:%d:%d Value = %08x\n");
  WriteTPowerOn(BelowL1ss, TPowerOn,
                "  Get EndPoint T_POWER_ON for Device = %d:%d:%d Value = %08x\n",
                "  Set EndPoint T_POWER_ON for Device = %d:%d:%d Value = %08x\n");
}

VOID PcieSetLtrL12Threshold(UINT32 Function) {
  DebugPrint(DebugLevelPcie, "Device = %x\n", Function);
  const CapabilityAt L1ss = ExtendedCapabilityOf(Function, L1ssCap::Id);
  if (!CapabilityPresent(L1ss)) {
    return;
  }
  if (PcieIsPortType(PcieGetPortType(Function))) {
    PcieSetL1SSTiming(Function, L1ss.Offset);
  }
  const UINT32 Value = (CapRead(L1ss, L1ssCap::Control1) & LtrL12ThresholdKeep) | LtrL12Threshold;
  CapWriteS3(L1ss, L1ssCap::Control1, Value);
  DebugPrint(DebugLevelPcie, "  Set LC_LTR_L1_2_thresholds for Device = %d:%d:%d Value = %08x\n",
             PciBus(Function), PciDevice(Function), PciFunction(Function), Value);
}

UINT32 GetPcieLTRCallback(UINT32 Address, PciScanData *Data) {
  PcieLtrScanData *Scan = Record(Data);
  const CapabilityAt Cap = PcieCapabilityOf(Address);
  DebugPrint(DebugLevelPcie, "    Device ID = %d:%d:%d, PCIE_CAP_ID at 0x%x\n", PciBus(Address),
             PciDevice(Address), PciFunction(Address), Cap.Offset);
  if (PcieCapabilityHasVersion2Registers(Cap)) {
    const UINT32 DevCap2 = CapRead(Cap, PcieCap::DeviceCapabilities2);
    DebugPrint(DebugLevelPcie, "     - PCIE_DEVICE_CAP2 Value = 0x%x\n", DevCap2);
    if (PcieCap::LtrMechanismSupported::Get(DevCap2) == 0) {
      Scan->LtrSupported = 0;
    }
    PciScanBelowPort(Address, Data);
    DebugPrint(DebugLevelPcie, "  GetPcieLTRCallback for Device = %d:%d:%d  (LTR_SUPPORTED=%d)\n",
               PciBus(Address), PciDevice(Address), PciFunction(Address), Scan->LtrSupported);
  } else {
    Scan->LtrSupported = 0;
    DebugPrint(DebugLevelPcie, "  GetPcieLTRCallback for Device = %d:%d:%d  PCIE_CAP_ID not found.\n",
               PciBus(Address), PciDevice(Address), PciFunction(Address));
  }
  return PciScanContinue;
}

UINT32 SetPcieLTRCallback(UINT32 Address, PciScanData *Data) {
  PcieLtrScanData *Scan = Record(Data);
  DebugPrint(DebugLevelPcie, "  SetPcieLTRCallback for Device = %d:%d:%d to %d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address), Scan->LtrSupported);
  const CapabilityAt Cap = LtrReadyPcieCapability(Address);
  if (!CapabilityPresent(Cap) || Scan->LtrSupported == 0) {
    return PciScanContinue;
  }
  const UINT8 Type = PcieGetPortType(Address);
  if (PcieIsEndpointType(Type)) {
    PcieSetLtrL12Threshold(Address);
    SetMaxLatencies(Address);
    EnableLtrMechanism(Cap);
  } else if (PcieIsPortType(Type)) {
    PcieSetLtrL12Threshold(Address);
    EnableLtrMechanism(Cap);
    PciScanSecondaryBus(Address, Data);
  }
  return PciScanContinue;
}

VOID PcieLTRPortInitCallback(EngineDescriptor *Engine) {
  DebugPrint(DebugLevelPcie, "PcieLTRPortInitCallback Enter\n");
  // The first scan decides for the whole hierarchy; only then is anything
  // written, so a function without LTR never sees a partial set-up.
  PcieLtrScanData Scan = {{GetPcieLTRCallback, 0}, 1};
  PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan.Header);
  Scan.Header.Callback = SetPcieLTRCallback;
  PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan.Header);
  DebugPrint(DebugLevelPcie, "PcieLTRPortInitCallback Exit\n");
}

VOID PcieLtrInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "Pcie LTR Interface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if ((Engine->PortPmOptions & L12Enable) != 0) {
      PcieLTRPortInitCallback(Engine);
    }
  });
}
