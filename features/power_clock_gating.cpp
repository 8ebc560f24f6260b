#include "features/power_clock_gating.h"

#include "base/debug_print.h"
#include "platform/register_access.h"
#include "platform/register_fields.h"

namespace {

// Core blocks of the three clock-gating registers. This step selects the
// 0x1118xxxx block for WrapperId 1 and 0x1128xxxx for every other id.
struct ClockGatingRegisters {
  UINT32 R460;
  UINT32 R044;
  UINT32 R18C;
};
inline constexpr ClockGatingRegisters CoreBlockWrapper1 = {0x11180460, 0x11180044, 0x1118018C};
inline constexpr ClockGatingRegisters CoreBlockOther = {0x11280460, 0x11280044, 0x1128018C};

// WrapperFeatures selects which gating groups are turned on.
using FeatureLinkClockGating = RegisterBit<UINT8, 3>;
using FeatureCoreClockGating = RegisterBit<UINT8, 2>;

// R460: bit 14 off and bits 9, 0 on for link-clock gating.
inline constexpr UINT32 R460LinkGatingClear = 0x00004000;
inline constexpr UINT32 R460LinkGatingSet = 0x00000201;
// R460: bits 13:10 off and bits 15, 8:5, 2:1 on for core-clock gating.
inline constexpr UINT32 R460CoreGatingKeep = 0xFFFFC3FF;
inline constexpr UINT32 R460CoreGatingSet = 0x000081E6;
inline constexpr UINT32 R044CoreGatingSet = 0x0000000F;
inline constexpr UINT32 R18CCoreGatingSet = 0x00000060;
// R044 bits 23:20 always end as 0011b.
using R044GatingDelay = RegisterField<UINT32, 23, 20>;
inline constexpr UINT32 R044GatingDelayValue = 0x3;

struct ClockGatingValues {
  UINT32 R460;
  UINT32 R044;
  UINT32 R18C;
};

ClockGatingValues ApplyGating(ClockGatingValues V, UINT8 Features) {
  if (FeatureLinkClockGating::Get(Features) != 0) {
    V.R460 = (V.R460 & ~R460LinkGatingClear) | R460LinkGatingSet;
  }
  if (FeatureCoreClockGating::Get(Features) != 0) {
    V.R460 = (V.R460 & R460CoreGatingKeep) | R460CoreGatingSet;
    V.R044 |= R044CoreGatingSet;
    V.R18C |= R18CCoreGatingSet;
  }
  V.R044 = R044GatingDelay::Set(V.R044, R044GatingDelayValue);
  return V;
}

VOID ProgramWrapper(SiliconDescriptor *Silicon, const WrapperDescriptor *Wrapper) {
  const ClockGatingRegisters &Regs = Wrapper->WrapperId == 1 ? CoreBlockWrapper1 : CoreBlockOther;
  ClockGatingValues V = {};
  NbioRegisterRead(Silicon, Regs.R460, &V.R460, NbioNoS3Save);
  NbioRegisterRead(Silicon, Regs.R044, &V.R044, NbioNoS3Save);
  NbioRegisterRead(Silicon, Regs.R18C, &V.R18C, NbioNoS3Save);
  V = ApplyGating(V, Wrapper->WrapperFeatures);
  // All three are written, and so recorded for resume, even when unchanged.
  NbioRegisterWrite(Silicon, Regs.R460, &V.R460, NbioS3Save);
  NbioRegisterWrite(Silicon, Regs.R044, &V.R044, NbioS3Save);
  NbioRegisterWrite(Silicon, Regs.R18C, &V.R18C, NbioS3Save);
}

} // namespace

VOID PciePwrClockGating(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PciePwrClockGating Enter\n");
  PcieTopologyForEachWrapper(Silicon,
                             [Silicon](WrapperDescriptor *Wrapper) { ProgramWrapper(Silicon, Wrapper); });
  DebugPrint(DebugLevelPcie, "PciePwrClockGating Exit\n");
}
