#include "platform/pci_scan.h"

#include "base/debug_print.h"
#include "platform/register_access.h"

namespace {

// Buses entered by the walk in progress, and how deep it is nested: a bus
// reached a second time (bridges that claim the same secondary bus) is not
// scanned again, so one walk scans each of the 256 buses at most once.
PciBusSet gScannedBuses;
UINT32 gScanDepth = 0;

inline constexpr UINT32 LastDevice = 31;
inline constexpr UINT32 LastFunction = 7;

bool FunctionPresent(UINT32 Address) {
  return PciReadRegister(Address, PciHeader::VendorDeviceId) != PciHeader::AbsentFunction;
}

UINT32 LastFunctionOf(UINT32 FirstFunctionAddress, bool EndsHere, UINT32 EndFunction) {
  const UINT8 HeaderType = PciReadRegister(FirstFunctionAddress, PciHeader::HeaderType);
  if (PciHeader::MultiFunction::Get(HeaderType) == 0) {
    return 0;
  }
  return EndsHere ? EndFunction : LastFunction;
}

} // namespace

VOID PciScan(UINT32 Start, UINT32 End, PciScanData *Data) {
  if (gScanDepth == 0) {
    gScannedBuses = {};
  }
  ++gScanDepth;
  // The control word is replaced by every callback and tested where it acts:
  // bit 0 after a function, bit 1 after a device, bit 2 after a bus.
  UINT32 Control = PciScanContinue;
  const UINT32 EndBus = PciBus(End);
  for (UINT32 Bus = PciBus(Start); Bus <= EndBus; ++Bus) {
    PciBusSetAdd(&gScannedBuses, Bus);
    const bool FirstBus = Bus == PciBus(Start);
    const bool LastBus = Bus == EndBus;
    const UINT32 FirstDevice = FirstBus ? PciDevice(Start) : 0;
    const UINT32 EndDevice = LastBus ? PciDevice(End) : LastDevice;
    for (UINT32 Device = FirstDevice; Device <= EndDevice; ++Device) {
      const UINT32 FirstFunction =
          (FirstBus && Device == PciDevice(Start)) ? PciFunction(Start) : 0;
      if (!FunctionPresent(PciAddressOf(Bus, Device, FirstFunction))) {
        continue;
      }
      const UINT32 Last = LastFunctionOf(PciAddressOf(Bus, Device, FirstFunction),
                                         LastBus && Device == PciDevice(End), PciFunction(End));
      for (UINT32 Function = FirstFunction; Function <= Last; ++Function) {
        const UINT32 Address = PciAddressOf(Bus, Device, Function);
        if (!FunctionPresent(Address)) {
          continue;
        }
        Control = Data->Callback(Address, Data);
        if ((Control & PciScanSkipDevice) != 0) {
          Control &= ~PciScanSkipDevice;
          break;
        }
      }
      if ((Control & PciScanSkipBus) != 0) {
        Control &= ~PciScanSkipBus;
        break;
      }
    }
    if ((Control & PciScanSkipRange) != 0) {
      Control &= ~PciScanSkipRange;
      break;
    }
  }
  --gScanDepth;
}

VOID PciScanSecondaryBus(UINT32 Bridge, PciScanData *Data) {
  const UINT32 Secondary = PciReadRegister(Bridge, PciHeader::SecondaryBusNumber);
  // Bus numbers grow away from the root; a secondary bus that is not above
  // the bridge's own bus leads back up the tree. Refusing it also bounds the
  // nesting by the 255 buses.
  if (Secondary == 0 || Secondary <= PciBus(Bridge)) {
    return;
  }
  if (!PciBusNotYetEntered(&gScannedBuses, Bridge, Secondary, "PciScan")) {
    return;
  }
  PciScan(PciAddressOf(Secondary, 0, 0), PciAddressOf(Secondary, LastDevice, LastFunction), Data);
}

VOID PciScanBelowPort(UINT32 Function, PciScanData *Data) {
  const UINT8 Type = PcieGetPortType(Function);
  if (Type == PcieDeviceRootComplex || Type == PcieDeviceUpstreamPort ||
      Type == PcieDeviceDownstreamPort) {
    PciScanSecondaryBus(Function, Data);
  }
}

VOID PciScanResetState() {
  gScannedBuses = {};
  gScanDepth = 0;
}

bool PciBusSetHas(const PciBusSet *Set, UINT32 Bus) {
  return (Set->Bits[(Bus >> 3) & 31] & (1U << (Bus & 7))) != 0;
}

VOID PciBusSetAdd(PciBusSet *Set, UINT32 Bus) {
  Set->Bits[(Bus >> 3) & 31] = static_cast<UINT8>(Set->Bits[(Bus >> 3) & 31] | (1U << (Bus & 7)));
}

bool PciBusNotYetEntered(const PciBusSet *Set, UINT32 Bridge, UINT32 Secondary,
                         const CHAR8 *Walk) {
  if (!PciBusSetHas(Set, Secondary)) {
    return true;
  }
  DebugPrint(DebugLevelPcie, "%a: bus %d already scanned in this walk, %d:%d:%d not entered\n",
             Walk, Secondary, PciBus(Bridge), PciDevice(Bridge), PciFunction(Bridge));
  return false;
}
