#include "driver/sequencer.h"

#include "arch/arch.h"

#include "base/debug_print.h"
#include "base/driver_state.h"
#include "base/topology.h"
#include "features/aspm.h"
#include "features/clock_pm.h"
#include "features/common_clock.h"
#include "features/l1_exit_latency.h"
#include "features/l1_substates.h"
#include "features/ltr.h"
#include "features/max_cpl_payload.h"
#include "features/max_payload.h"
#include "features/max_read_request.h"
#include "features/power_clock_gating.h"
#include "features/slot_power_limit.h"
#include "features/sris.h"
#include "platform/diagnostics.h"
#include "platform/pcd.h"
#include "platform/register_access.h"
#include "platform/smu.h"
#include "ras/aer_config.h"
#include "ras/ras_control.h"

namespace {

inline constexpr UINT32 TestPointPassStart = 0xA95A;
inline constexpr UINT32 TestPointPassEnd = 0xA95B;

using SequencerStep = VOID (*)(SiliconDescriptor *Silicon);

// SMU request 15 with its six argument words.
inline constexpr UINT32 SmuRequestPcieConfigDone = 0xF;
inline constexpr UINT32 SmuArgument0 = 0x34;
inline constexpr UINT32 SmuArgument1 = 1;

VOID PcieSmuServiceRequest(SiliconDescriptor *Silicon) {
  if (gPackageType != PackageTypeSmuRequest) {
    return;
  }
  UINT32 Arguments[SmuArgumentCount] = {0, 0, 0, 0, 0, 0};
  Arguments[1] = SmuArgument1;
  const BOOLEAN Argument3 = PcdGetBool(PcdTokenSmuRequestArgument3);
  Arguments[0] = SmuArgument0;
  Arguments[3] = Argument3 ? 1 : 0;
  const UINT32 HostBridge = Silicon->HostBridgeAddress;
  DebugPrint(DebugLevelPcie, "NbioSmuServiceRequestV9 Enter\n");
  NbioSmuServiceRequestV9(&HostBridge, SmuRequestPcieConfigDone, Arguments);
  DebugPrint(DebugLevelPcie, "Return Args = 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, ", Arguments[0],
             Arguments[1], Arguments[2], Arguments[3], Arguments[4], Arguments[5]);
}

// Register 0x40 of both core blocks; bit 0 is set at the end of each silicon.
VOID PcieClosingWrites(SiliconDescriptor *Silicon) {
  NbioRegisterRmw(Silicon, NbioCore0Bank + NbioCoreRegister40, ~NbioCoreRegister40Bit0,
                  NbioCoreRegister40Bit0, NbioS3Save);
  NbioRegisterRmw(Silicon, NbioCore1Bank + NbioCoreRegister40, ~NbioCoreRegister40Bit0,
                  NbioCoreRegister40Bit0, NbioS3Save);
}

VOID PcieRasControl(SiliconDescriptor *Silicon) {
  if (PcdGetBool(PcdTokenRasControlEnable)) {
    NbioRASControlHX(Silicon);
  }
}

// Later steps read engine fields that earlier ones narrow in place, so the
// order is fixed. Numbers are the steps' places in the full pass.
constexpr SequencerStep Steps[] = {
    PcieSlotPowerLimitInterface, // 1
    PciePwrClockGating,          // 2
    NbioPcieAerInitHX,           // 3
    PcieMaxReadRequestInterface, // 4: per engine, PortReady and token 205 <= 5
    PcieMaxPayloadInterface,     // 5
    PcieMaxCplPayloadInterface,  // 6
    PcieClkPmInterface,          // 7
    PcieSrisInit,                // 8: withdraws the ASPM request of SRIS ports
    PcieAspmBlackListInterface,  // 9: narrows PortAspm and the L1 substate requests
    PcieL1ExitLatencyInterface,  // 10
    PcieAspmL1SSInterface,       // 11: narrows the L1 substate requests
    PcieLtrInterface,            // 12: ports whose L1.2 request survived
    PcieClkReqInterface,         // 13: reads the narrowed L1 substate requests
    PcieRasControl,              // 14: token 588
    PcieAspmInterface,           // 15: reads the narrowed PortAspm
    PcieCommClkCfgInterface,     // 16
    PcieSmuServiceRequest,       // 17: PackageType 16 only
    PcieClosingWrites,           // 18
};

VOID *LocateTopology() {
  PCIE_TOPOLOGY_PROTOCOL *Topology = nullptr;
  if (gBS->LocateProtocol(&gPcieTopologyProtocolGuid, nullptr,
                          reinterpret_cast<VOID **>(&Topology)) != EFI_SUCCESS ||
      Topology == nullptr) {
    return nullptr;
  }
  // The producer's status is not examined; a descriptor it never set is
  // treated as no topology.
  VOID *PlatformDescriptor = nullptr;
  Topology->PcieGetTopology(Topology, &PlatformDescriptor);
  return PlatformDescriptor;
}

VOID RunSteps(SiliconDescriptor *Silicon) {
  UINT32 Number = 0;
  for (const SequencerStep Step : Steps) {
    ArchPassStep(++Number);
    Step(Silicon);
  }
  ArchPassStep(0);
}

} // namespace

VOID EFIAPI KelPcieMiscInit(EFI_EVENT Event, VOID *) {
  TestPoint(TestPointPassStart);
  DebugPrint(DebugLevelDriver, "KelPcieMiscInit Entry\n");
  VOID *PlatformDescriptor = LocateTopology();
  if (PlatformDescriptor != nullptr) {
    SiliconDescriptor *Silicon = PcieTopologyFirstSilicon(PlatformDescriptor);
    for (UINT32 Count = 0; Silicon != nullptr && Count < MaxSilicons; ++Count) {
      RunSteps(Silicon);
      Silicon = PcieTopologyNextSilicon(Silicon);
    }
    if (Silicon != nullptr) {
      ReportWalkBound("silicons", MaxSilicons);
    }
  }
  // The pass runs once per boot, whatever it found.
  gBS->CloseEvent(Event);
  DebugPrint(DebugLevelDriver, "KelPcieMiscInit Exit\n");
  TestPoint(TestPointPassEnd);
}
