#include "features/common_clock.h"

#include "base/debug_print.h"
#include "platform/poll.h"
#include "platform/register_access.h"

namespace {

PcieCommClkScanData *Record(PciScanData *Data) {
  return reinterpret_cast<PcieCommClkScanData *>(Data);
}

UINT32 SlotClockOf(UINT32 Function) {
  const CapabilityAt Cap = PcieCapabilityOf(Function);
  const UINT32 Slot = CapabilityPresent(Cap)
                          ? PcieCap::SlotClockConfiguration::Get(CapRead(Cap, PcieCap::LinkControl))
                          : 0;
  DebugPrint(DebugLevelPcie, "  Read Slot Clock Config [%d]  for Device = %d:%d:%d\n", Slot,
             PciBus(Function), PciDevice(Function), PciFunction(Function));
  return Slot;
}

// Link Training clears when the retrain completes (PCI Express Base r5.0,
// 7.5.3.8). A link that never finishes, or a port that drops off the bus
// meanwhile, is reported and the pass goes on.
VOID WaitForTraining(CapabilityAt Up) {
  const UINT32 Port = Up.Function;
  PollBudget Budget = PollBudgetStart(PcieRetrainTimeoutUs);
  for (;;) {
    const UINT32 Status = CapRead(Up, PcieCap::LinkControl);
    if (Status == PciHeader::AbsentFunction) {
      DebugPrint(DebugLevelPcie, "      Link lost during retrain on Device = %d:%d:%d\n",
                 PciBus(Port), PciDevice(Port), PciFunction(Port));
      return;
    }
    if (PcieCap::LinkTraining::Get(Status) == 0) {
      return;
    }
    if (PollBudgetSpent(&Budget)) {
      DebugPrint(DebugLevelPcie, "      Link training timeout on Device = %d:%d:%d\n",
                 PciBus(Port), PciDevice(Port), PciFunction(Port));
      return;
    }
  }
}

} // namespace

VOID PcieProgramCommonClock(UINT32 Function) {
  const CapabilityAt Cap = PcieCapabilityOf(Function);
  if (!CapabilityPresent(Cap)) {
    return;
  }
  DebugPrint(DebugLevelPcie, "      Program Common Clock configuration for Device = %d:%d:%d\n",
             PciBus(Function), PciDevice(Function), PciFunction(Function));
  CapClearAndSetS3(Cap, PcieCap::LinkControl, ~PcieCap::CommonClockConfiguration::Mask,
                   PcieCap::CommonClockConfiguration::Mask);
}

VOID PcieCommonClockLink(UINT32 Upstream, UINT32 Downstream) {
  const UINT32 DownSlot = SlotClockOf(Downstream);
  const UINT32 UpSlot = SlotClockOf(Upstream);
  if (DownSlot != 1 || UpSlot != 1) {
    return;
  }
  PcieProgramCommonClock(Upstream);
  PciForEachDeviceFunction(Downstream, [](UINT32 Function) {
    PcieProgramCommonClock(Function);
    return true;
  });
  const CapabilityAt Up = PcieCapabilityOf(Upstream);
  if (!CapabilityPresent(Up)) {
    return;
  }
  CapClearAndSetS3(Up, PcieCap::LinkControl, ~PcieCap::RetrainLink::Mask,
                   PcieCap::RetrainLink::Mask);
  DebugPrint(DebugLevelPcie, "      PcieRetrain link on Device = %d:%d:%d\n", PciBus(Upstream),
             PciDevice(Upstream), PciFunction(Upstream));
  WaitForTraining(Up);
}

UINT32 PcieCommClkCfgCallback(UINT32 Address, PciScanData *Data) {
  PcieCommClkScanData *Scan = Record(Data);
  DebugPrint(DebugLevelPcie, "  Enter PcieCommClkCfgCallback for Device = %d:%d:%d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address));
  // Seven ends the scan of the bus: the link's other functions were handled
  // with it, and a port's bus holds that one link.
  switch (PcieGetPortType(Address)) {
  case PcieDeviceEndPoint:
  case PcieDeviceLegacyEndPoint:
    DebugPrint(DebugLevelPcie, "    PCI Scan found End-Point device.\n");
    PcieCommonClockLink(Scan->UpstreamAddress, Address);
    return PciScanDone;
  case PcieDeviceRootComplex:
    DebugPrint(DebugLevelPcie, "    PCI Scan Root port..\n");
    Scan->UpstreamAddress = Address;
    PciScanSecondaryBus(Address, Data);
    DebugPrint(DebugLevelPcie, "    PCI Scan Root port back.\n");
    return PciScanContinue;
  case PcieDeviceUpstreamPort:
    DebugPrint(DebugLevelPcie, "    PCI Scan Upstream port..\n");
    PcieCommonClockLink(Scan->UpstreamAddress, Address);
    PciScanSecondaryBus(Address, Data);
    DebugPrint(DebugLevelPcie, "    PCI Scan upstream back.\n");
    return PciScanDone;
  case PcieDeviceDownstreamPort:
    DebugPrint(DebugLevelPcie, "    PCI Scan Downstream port..\n");
    Scan->UpstreamAddress = Address;
    PciScanSecondaryBus(Address, Data);
    DebugPrint(DebugLevelPcie, "    PCI Scan Downstream back.\n");
    return PciScanContinue;
  default:
    return PciScanContinue;
  }
}

VOID PcieCommClkCfgInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieCommClkCfgInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if (PcieEngineSkipsLinkConfig(Engine) || !PcieEngineIsReady(Engine)) {
      return;
    }
    PcieCommClkScanData Scan = {{PcieCommClkCfgCallback, 0}, 0};
    PciScan(Engine->PortPciAddress, Engine->PortPciAddress, &Scan.Header);
  });
  DebugPrint(DebugLevelPcie, "PcieCommClkCfgInterface Exit\n");
}
