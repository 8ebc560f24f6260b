#include "features/slot_power_limit.h"

#include "base/debug_print.h"
#include "platform/pcd.h"
#include "platform/register_access.h"

namespace {

UINT8 SlotPowerLimitScale(const EngineDescriptor *Engine) {
  return Engine->PortPmOptions >> SlotPowerLimitScaleShift;
}

// Value first, the x1 override over it, the scale last; written whenever
// the port has a slot, so the boot script always holds the register.
VOID ProgramSlot(const EngineDescriptor *Engine) {
  const CapabilityAt Cap = PcieCapabilityOf(Engine->PortPciAddress);
  if (!CapabilityPresent(Cap) ||
      PcieCap::SlotImplemented::Get(CapRead(Cap, PcieCap::Header)) == 0) {
    return;
  }
  UINT32 Value = CapRead(Cap, PcieCap::SlotCapabilities);
  if (Engine->SlotPowerLimitValue != 0) {
    Value = PcieCap::SlotPowerLimitValue::Set(Value, Engine->SlotPowerLimitValue);
  }
  if (PcdGetBool(PcdTokenSlotPowerX1Override) &&
      PcieCap::NegotiatedLinkWidth::Get(CapRead(Cap, PcieCap::LinkStatus)) == 1) {
    Value = PcieCap::SlotPowerLimitValue::Set(Value, SlotPowerLimitX1Value);
  }
  const UINT8 Scale = SlotPowerLimitScale(Engine);
  if (Scale != 0) {
    Value = PcieCap::SlotPowerLimitScale::Set(Value, Scale);
  }
  CapWriteS3(Cap, PcieCap::SlotCapabilities, Value);
}

} // namespace

VOID PcieSlotPowerLimitInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieSlotPowerLimitInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if (Engine->SlotPowerLimitValue != 0 || SlotPowerLimitScale(Engine) != 0) {
      ProgramSlot(Engine);
    }
  });
  DebugPrint(DebugLevelPcie, "PcieSlotPowerLimitInterface Exit\n");
}
