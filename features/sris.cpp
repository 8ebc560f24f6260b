#include "features/sris.h"

#include "base/debug_print.h"
#include "platform/register_access.h"

namespace {

inline constexpr UINT32 SrisControlCore0 = 0x111402EC;
inline constexpr UINT32 SrisControlCore1 = 0x112402EC;
inline constexpr UINT32 SrisEnableBit = 0x100;
inline constexpr UINT32 SkpControlCore0 = 0x11100274;
inline constexpr UINT32 SkpControlCore1 = 0x11200274;
inline constexpr UINT32 LowerSkpOsEnable = 0x200;
inline constexpr UINT32 SlotStride = 0x1000;

// Link Capabilities 2 as the root ports place it at 0x84 (PCI Express Base
// r5.0, 7.5.3.18): lower SKP OS generation and reception speed vectors at
// the three lowest link speeds. The partner's is found through its PCI
// Express capability.
inline constexpr UINT32 SkpOsVectorsRegister = 0x84;
using LowerSkpOsGeneration = RegisterField<UINT32, 11, 9>;
using LowerSkpOsReception = RegisterField<UINT32, 18, 16>;

PcieSrisScanData *Record(PciScanData *Data) { return reinterpret_cast<PcieSrisScanData *>(Data); }

UINT32 SlotRegister(PcieSrisSlot Slot, UINT32 Core0, UINT32 Core1) {
  return (Slot.Core == 0 ? Core0 : Core1) + Slot.Slot * SlotStride;
}

// One end may send lower SKP ordered sets when the other can receive them.
bool LowerSkpOsAgreed(UINT32 Port, UINT32 Partner) {
  return (LowerSkpOsReception::Get(Port) != 0 && LowerSkpOsGeneration::Get(Partner) != 0) ||
         (LowerSkpOsGeneration::Get(Port) != 0 && LowerSkpOsReception::Get(Partner) != 0);
}

} // namespace

PcieSrisSlot PcieSrisSlotOf(const EngineDescriptor *Engine) {
  const UINT8 Device = PcieEngineDevice(Engine);
  const UINT8 Function = PcieEngineFunction(Engine);
  if ((Device == 1 || Device == 3) && Function >= 1) {
    return {static_cast<UINT8>(Device == 1 ? 0 : 1), static_cast<UINT8>(Function - 1)};
  }
  if ((Device == 2 || Device == 4) && Function == 1) {
    return {static_cast<UINT8>(Device == 2 ? 0 : 1), 7};
  }
  return {0, 0};
}

// The SKP check is about the link, so the vectors come from the link
// partner: the root port itself is passed through to its secondary bus and
// the first qualifying function there ends the scan. Its Link Capabilities 2
// is wherever its PCI Express capability places it.
UINT32 PcieGetSrisCapabilityCallback(UINT32 Address, PciScanData *Data) {
  DebugPrint(DebugLevelPcie, "  PcieGetSrisCapabilityCallback for Device = %d:%d:%d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address));
  const UINT8 Type = PcieGetPortType(Address);
  if (Type == PcieDeviceRootComplex) {
    PciScanSecondaryBus(Address, Data);
    return PciScanDone;
  }
  if (Type == PcieDeviceEndPoint || PcieIsPortType(Type)) {
    // A version 1 capability has no Link Capabilities 2, so no vectors.
    const CapabilityAt Cap = PcieCapabilityOf(Address);
    Record(Data)->SkpOsVectors = PcieCapabilityHasVersion2Registers(Cap)
                                     ? CapRead(Cap, PcieCap::LinkCapabilities2)
                                     : 0;
    return PciScanDone;
  }
  return PciScanContinue;
}

VOID PcieSrisInitCallback(SiliconDescriptor *Silicon, EngineDescriptor *Engine) {
  const UINT32 Port = Engine->PortPciAddress;
  DebugPrint(DebugLevelPcie, "  PcieSrisInitCallback for Device = %d:%d:%d\n", PciBus(Port),
             PciDevice(Port), PciFunction(Port));
  if (!PcieEngineIsReady(Engine)) {
    return;
  }
  const PcieSrisSlot Slot = PcieSrisSlotOf(Engine);
  const UINT32 Control = SlotRegister(Slot, SrisControlCore0, SrisControlCore1);
  const bool Enable = (Engine->SrisOptions & SrisEnable) != 0;
  if (Enable) {
    // ASPM exit timing is not guaranteed with independent spread clocks.
    Engine->PortAspm &= 0x0F;
  }
  // Written, and recorded, even when the bit was already set.
  NbioRegisterUpdate(Silicon, Control, 0xFFFFFFFF, Enable ? SrisEnableBit : 0, NbioS3Save);
  if ((Engine->SrisOptions & SrisSkpOsCheck) == 0) {
    return;
  }
  PcieSrisScanData Scan = {{PcieGetSrisCapabilityCallback, 0}, 0};
  PciScan(Port, Port, &Scan.Header);
  const UINT32 PortVectors = PciRead32(Port | SkpOsVectorsRegister);
  if (LowerSkpOsAgreed(PortVectors, Scan.SkpOsVectors)) {
    const UINT32 Skp = SlotRegister(Slot, SkpControlCore0, SkpControlCore1);
    NbioRegisterUpdate(Silicon, Skp, 0xFFFFFFFF, LowerSkpOsEnable, NbioS3Save);
  }
}

VOID PcieSrisInit(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieSrisInit Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *S, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if ((Engine->SrisOptions & SrisEnable) != 0) {
      PcieSrisInitCallback(S, Engine);
    }
  });
  DebugPrint(DebugLevelPcie, "PcieSrisInit Exit\n");
}
