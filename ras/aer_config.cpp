#include "ras/aer_config.h"

#include "base/debug_print.h"
#include "platform/hooks.h"
#include "platform/register_access.h"

namespace {

constexpr NbioPcieAerConfigTable DefaultAerConfig = {
    AerRowCount,
    {
        {AerEnableLeave, 1, 1, 0, 0, 0}, {AerEnableLeave, 1, 2, 0, 0, 0},
        {AerEnableLeave, 1, 3, 0, 0, 0}, {AerEnableLeave, 1, 4, 0, 0, 0},
        {AerEnableLeave, 1, 5, 0, 0, 0}, {AerEnableLeave, 1, 6, 0, 0, 0},
        {AerEnableLeave, 1, 7, 0, 0, 0}, {AerEnableLeave, 2, 1, 0, 0, 0},
        {AerEnableLeave, 3, 1, 0, 0, 0}, {AerEnableLeave, 3, 2, 0, 0, 0},
        {AerEnableLeave, 3, 3, 0, 0, 0}, {AerEnableLeave, 3, 4, 0, 0, 0},
        {AerEnableLeave, 3, 5, 0, 0, 0}, {AerEnableLeave, 3, 6, 0, 0, 0},
        {AerEnableLeave, 3, 7, 0, 0, 0}, {AerEnableLeave, 4, 1, 0, 0, 0},
    },
};

// Root port AER registers and the AER-off bit as SMN offsets in the port's
// block of its core bank.
inline constexpr UINT32 UncorrectableMaskRegister = 0x158;
inline constexpr UINT32 UncorrectableSeverityRegister = 0x15C;
inline constexpr UINT32 CorrectableMaskRegister = 0x164;
inline constexpr UINT32 AerOffRegister = 0x401A8;
inline constexpr UINT32 AerOffBit = 0x1;

struct AerBitName {
  UINT32 Bit;
  const CHAR8 *Line;
};

constexpr AerBitName CorrectableNames[] = {
    {6, "  BadTLPMask - %d\n"},
    {7, "  BadDLLPMask - %d\n"},
    {8, "  ReplayNumberRolloverMask - %d\n"},
    {12, "  ReplayTimerTimeoutMask - %d\n"},
    {13, "  AdvisoryNonFatalErrorMask - %d\n"},
};
constexpr AerBitName UncorrectableMaskNames[] = {
    {4, "  DataLinkProtocolErrorMask - %d\n"},  {12, "  PoisonedTLPMask - %d\n"},
    {14, "  CompletionTimeoutMask - %d\n"},     {15, "  CompleterAbortMask - %d\n"},
    {16, "  UnexpectedCompletionMask - %d\n"},  {18, "  MalTlpMask - %d\n"},
    {19, "  ECRCErrorMask - %d\n"},             {20, "  UnsupportedRequestErrorMask - %d\n"},
    {21, "  AcsViolationMask - %d\n"},
};
constexpr AerBitName UncorrectableSeverityNames[] = {
    {4, "  DataLinkProtocolErrorSeverity - %d\n"},  {12, "  PoisonedTLPSeverity - %d\n"},
    {14, "  CompletionTimeoutSeverity - %d\n"},     {15, "  CompleterAbortSeverity - %d\n"},
    {16, "  UnexpectedCompletionSeverity - %d\n"},  {18, "  MalTlpSeverity - %d\n"},
    {19, "  ECRCErrorSeverity - %d\n"},             {20, "  UnsupportedRequestErrorSeverity - %d\n"},
    {21, "  AcsViolationSeverity - %d\n"},
};

template <UINT32 N> VOID DumpBits(const AerBitName (&Names)[N], UINT32 Word) {
  for (const AerBitName &Name : Names) {
    DebugPrint(DebugLevelAer, Name.Line, (Word >> Name.Bit) & 1);
  }
}

// Every listed bit ends equal to the row's bit; other bits keep their value.
VOID ProgramBits(SiliconDescriptor *Silicon, UINT32 Register, UINT32 Listed, UINT32 Row) {
  NbioRegisterUpdate(Silicon, Register, ~Listed, Row & Listed, NbioS3Save);
}

VOID ApplyRow(SiliconDescriptor *Silicon, WrapperDescriptor *Wrapper, EngineDescriptor *Engine,
              const PcieAerPortConfig *Row) {
  DebugPrint(DebugLevelAer, "Set AER feature: Dev%d Func%d %x\n", Row->PciDevice,
             Row->PciFunction, Row->AerEnable);
  switch (Row->AerEnable) {
  case AerEnableOff:
    NbioRegisterUpdate(Silicon, PciePortRegister(Wrapper, Engine, AerOffRegister), 0xFFFFFFFF,
                       AerOffBit, NbioS3Save);
    return;
  case AerEnableProgram:
    ProgramBits(Silicon, PciePortRegister(Wrapper, Engine, CorrectableMaskRegister),
                AerCorrectableBits, Row->CorrectableMask);
    ProgramBits(Silicon, PciePortRegister(Wrapper, Engine, UncorrectableMaskRegister),
                AerUncorrectableBits, Row->UncorrectableMask);
    ProgramBits(Silicon, PciePortRegister(Wrapper, Engine, UncorrectableSeverityRegister),
                AerUncorrectableBits, Row->UncorrectableSeverity);
    return;
  default:
    return;
  }
}

} // namespace

NbioPcieAerConfigTable NbioPcieAerConfig = DefaultAerConfig;

VOID PcieAerPortConfigDump(const PcieAerPortConfig *Row) {
  DebugPrint(DebugLevelAer, "Dev%d Func%d AER - %a\n", Row->PciDevice, Row->PciFunction,
             Row->AerEnable != AerEnableOff ? "Enable" : "Disable");
  DumpBits(CorrectableNames, Row->CorrectableMask);
  DumpBits(UncorrectableMaskNames, Row->UncorrectableMask);
  DumpBits(UncorrectableSeverityNames, Row->UncorrectableSeverity);
}

VOID NbioPcieAerFeatureEnable(SiliconDescriptor *Silicon, const PcieAerPortConfig *Row) {
  DebugPrint(DebugLevelPcie, "NbioPcieAerFeatureEnable Enter\n");
  // Every matching engine is handled, ready or not.
  PcieTopologyForEachEngine(Silicon, [Row](SiliconDescriptor *S, WrapperDescriptor *W,
                                           EngineDescriptor *Engine) {
    if (PcieEngineDevice(Engine) == Row->PciDevice &&
        PcieEngineFunction(Engine) == Row->PciFunction) {
      ApplyRow(S, W, Engine, Row);
    }
  });
  DebugPrint(DebugLevelPcie, "NbioPcieAerFeatureEnable Exit\n");
}

VOID NbioPcieAerInitHX(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "NbioPcieAerInitHX Enter\n");
  NbioPcieAerConfig.NumberOfPorts = AerRowCount;
  DebugPrint(DebugLevelPcie, "Socket:%x, Die:%x, Instance:%x, Number of ports in NBIO: %d\n",
             Silicon->SocketId, Silicon->DieId, Silicon->InstanceId, AerRowCount);
  if (VtrHookDispatch(gVtrHookTable, HookIdNbioPcieAerConfig, &NbioPcieAerConfig) ==
      HookDispatchNoHandler) {
    VtrHookProtocolCall(HookIdNbioPcieAerConfig, &NbioPcieAerConfig);
  }
  // A hook may change the count at any time, so it is read before every
  // row; a count above the 16 rows the table holds stops at the last row.
  for (UINT32 I = 0; I < NbioPcieAerConfig.NumberOfPorts && I < AerRowCount; ++I) {
    PcieAerPortConfigDump(&NbioPcieAerConfig.Ports[I]);
    NbioPcieAerFeatureEnable(Silicon, &NbioPcieAerConfig.Ports[I]);
  }
  DebugPrint(DebugLevelPcie, "NbioPcieAerInitHX Exit\n");
}

VOID AerConfigResetState() { NbioPcieAerConfig = DefaultAerConfig; }
