#include "features/l1_exit_latency.h"

#include "base/debug_print.h"
#include "features/straps.h"
#include "platform/pcd.h"
#include "platform/platform_data.h"
#include "platform/register_access.h"

namespace {

inline constexpr UINT16 PlatformDeviceL1ExitLatency = 5;

PcieL1ExitLatencyScanData *Record(PciScanData *Data) {
  return reinterpret_cast<PcieL1ExitLatencyScanData *>(Data);
}

VOID WriteLatencyStrap(SiliconDescriptor *Silicon, WrapperDescriptor *Wrapper,
                       EngineDescriptor *Engine, UINT16 Latency) {
  const UINT32 Port = Engine->PortPciAddress;
  DebugPrint(DebugLevelPcie, "  set L1ExitLatency = %d to Device = %d:%d:%d\n", Latency,
             PciBus(Port), PciDevice(Port), PciFunction(Port));
  // Core-1 ports (PortId 8-15) reach their own core's strap blocks 0-7,
  // as the ASPM strap does.
  const UINT32 Strap = PciePortStrap(Engine, PcieStrapL1ExitLatencyBase);
  PcieStrapWrite(Silicon, Wrapper, Strap, Latency, NbioNoS3Save);
  DebugPrint(DebugLevelPcie, "   - writing strap 0x%x - %d\n", PcieStrapIndexSelect | Strap,
             Latency);
}

} // namespace

PcieL1ExitLatencyRow PcieL1ExitLatencyTable(UINT32 Index) {
  return {gPlatformData.PlatformVendorId, gPlatformData.L1ExitLatencyDeviceIds[Index],
          PlatformDeviceL1ExitLatency};
}

UINT32 PcieL1ExitLatencyCallback(UINT32 Address, PciScanData *Data) {
  PcieL1ExitLatencyScanData *Scan = Record(Data);
  Scan->CurrentAddress = Address;
  const UINT32 Id = PciReadRegister(Address, PciHeader::VendorDeviceId);
  const UINT16 Vendor = static_cast<UINT16>(PciHeader::VendorId::Get(Id));
  const UINT16 Device = static_cast<UINT16>(PciHeader::DeviceId::Get(Id));
  for (UINT32 Index = 0; Index < PcieL1ExitLatencyRows; ++Index) {
    const PcieL1ExitLatencyRow Row = PcieL1ExitLatencyTable(Index);
    if (Row.VendorId == Vendor && Row.DeviceId == Device) {
      Scan->Found = 1;
      Scan->L1ExitLatency = Row.L1ExitLatency;
      DebugPrint(DebugLevelPcie, "  - Vid(0x%x) Did(0x%x) L1ExitLatency = %d\n", Vendor, Device,
                 Row.L1ExitLatency);
      break;
    }
  }
  // Once a device is found no further bridge is entered; the rest of the
  // bus being scanned is still looked up.
  if (Scan->Found == 0 && PcieIsPortType(PcieGetPortType(Address))) {
    PciScanSecondaryBus(Address, Data);
  }
  return PciScanContinue;
}

VOID PcieL1ExitLatencyInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieL1ExitLatencyInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *S, WrapperDescriptor *W,
                                        EngineDescriptor *Engine) {
    if (!PcieEngineIsReady(Engine)) {
      return;
    }
    PcieL1ExitLatencyScanData Scan = {{PcieL1ExitLatencyCallback, 0}, Engine->PortPciAddress,
                                      PcieL1ExitLatencyNone, 0};
    PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan.Header);
    if (Scan.Found != 1) {
      return;
    }
    PcdSet8(PcdTokenL1ExitLatencyFound, 1);
    if (Scan.L1ExitLatency != PcieL1ExitLatencyNone) {
      WriteLatencyStrap(S, W, Engine, Scan.L1ExitLatency);
    }
  });
  DebugPrint(DebugLevelPcie, "PcieL1ExitLatencyInterface Exit\n");
}
