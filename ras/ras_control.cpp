#include "ras/ras_control.h"

#include "base/debug_print.h"
#include "base/driver_state.h"
#include "platform/diagnostics.h"
#include "platform/pcd.h"
#include "platform/poll.h"
#include "platform/register_access.h"

namespace {

// Runs of consecutive table rows: UnitId is the outer, UnitBit the inner
// ascending index; ExtraBit, when not NoExtraBit, follows each unit's run.
struct GroupRun {
  UINT32 GroupType;
  UINT32 FirstUnit, LastUnit;
  UINT32 FirstBit, LastBit;
  UINT32 ExtraBit;
  UINT32 ActionBits;
};
inline constexpr UINT32 NoExtraBit = 0xFF;

constexpr GroupRun Runs[] = {
    {1, 12, 15, 0, 1, NoExtraBit, 5},  {1, 16, 16, 0, 19, NoExtraBit, 5},
    {1, 17, 17, 0, 7, NoExtraBit, 5},  {0, 12, 12, 0, 2, NoExtraBit, 5},
    {0, 13, 13, 0, 9, 13, 5},          {0, 14, 14, 0, 2, NoExtraBit, 5},
    {0, 15, 15, 0, 9, 13, 5},          {1, 0, 0, 0, 5, NoExtraBit, 1},
    {1, 1, 1, 0, 5, NoExtraBit, 1},    {1, 2, 5, 0, 0, NoExtraBit, 1},
    {1, 6, 7, 0, 1, NoExtraBit, 1},    {1, 8, 8, 1, 1, NoExtraBit, 1},
    {3, 2, 5, 1, 1, NoExtraBit, 1},    {4, 2, 6, 2, 2, NoExtraBit, 12},
    {4, 7, 8, 2, 4, NoExtraBit, 12},   {4, 9, 10, 0, 1, NoExtraBit, 12},
    {4, 11, 11, 0, 2, NoExtraBit, 12},
};

constexpr NbioRasGroupTableData BuildTable() {
  NbioRasGroupTableData Table = {};
  UINT32 Count = 0;
  for (const GroupRun &Run : Runs) {
    for (UINT32 Unit = Run.FirstUnit; Unit <= Run.LastUnit; ++Unit) {
      for (UINT32 Bit = Run.FirstBit; Bit <= Run.LastBit; ++Bit) {
        Table.Rows[Count++] = {Run.GroupType, Unit, Bit, Run.ActionBits};
      }
      if (Run.ExtraBit != NoExtraBit) {
        Table.Rows[Count++] = {Run.GroupType, Unit, Run.ExtraBit, Run.ActionBits};
      }
    }
  }
  return Table;
}

constexpr UINT32 CountRows() {
  UINT32 Count = 0;
  for (const GroupRun &Run : Runs) {
    const UINT32 PerUnit = Run.LastBit - Run.FirstBit + 1 + (Run.ExtraBit != NoExtraBit ? 1 : 0);
    Count += (Run.LastUnit - Run.FirstUnit + 1) * PerUnit;
  }
  return Count;
}
static_assert(CountRows() == NbioRasGroupRows);

inline constexpr UINT32 RasControl = 0x13B20000;
inline constexpr UINT32 RasGroupControl = 0x13B20004;
inline constexpr UINT32 RasErrorPattern = 0x13B20008;
inline constexpr UINT32 RasCleared[] = {0x13B20010, 0x13B20014, 0x13B20018, 0x13B20158};
inline constexpr UINT32 RasPackageWord0 = 0x13B20430;
inline constexpr UINT32 RasPackageWord1 = 0x13B20434;
inline constexpr UINT32 RasEnable168 = 0x13B20168;
inline constexpr UINT32 RasMask16C = 0x13B2016C;
inline constexpr UINT32 RasMask170 = 0x13B20170;
inline constexpr UINT32 RasAction174 = 0x13B20174;
inline constexpr UINT32 RasAction178 = 0x13B20178;
inline constexpr UINT32 IohcBlock34 = 0x14700034;
inline constexpr UINT32 IohcBlock38 = 0x14700038;
inline constexpr UINT32 IohcBlockStride = 0x100000;
inline constexpr UINT32 IohcBlocks = 4;
inline constexpr UINT32 ParityBit4Registers[] = {0x15700040, 0x15700050, 0x15700060, 0x13F01140};
inline constexpr UINT32 Register1288 = 0x13F01288;
inline constexpr UINT32 FatalNoSilicon = 0xA1130253;

// Package types with the two extra words, and the one that also takes the
// core-0 GroupType 0 rows of unit 13.
inline constexpr UINT32 PackageWithExtraWords[] = {2, 16, 128};
inline constexpr UINT32 PackageWithUnit13 = 16;

// Group control register fields.
using GroupReady = RegisterBit<UINT32, 31>;
using GroupTypeSel = RegisterBit<UINT32, 8>;
inline constexpr UINT32 GroupCarriedBits = 0xFFF00700;
inline constexpr UINT32 GroupWrite = 0x40000000;
inline constexpr UINT32 GroupType3SecondKeep = 0xFFFCFFFF;
inline constexpr UINT32 GroupType3SecondSet = 0x400C0000;

// Host bridge function 2, Command register.
inline constexpr UINT32 HostBridgeFunctionMask = 0xFFFF8FFB;
inline constexpr UINT32 HostBridgeFunction2Command = 0x2004;

VOID SetBits(SiliconDescriptor *Silicon, UINT32 Register, UINT32 Bits) {
  NbioRegisterUpdate(Silicon, Register, 0xFFFFFFFF, Bits, NbioNoS3Save);
}
VOID Write(SiliconDescriptor *Silicon, UINT32 Register, UINT32 Value) {
  NbioRegisterWrite(Silicon, Register, &Value, NbioNoS3Save);
}

bool HasExtraWords(UINT32 PackageType) {
  for (const UINT32 Type : PackageWithExtraWords) {
    if (Type == PackageType) {
      return true;
    }
  }
  return false;
}

VOID ProgramFixedRegisters(SiliconDescriptor *Silicon, UINT32 PackageType) {
  NbioRegisterUpdate(Silicon, RasControl, 0x0000FFFF, 0x00010000, NbioNoS3Save);
  Write(Silicon, RasErrorPattern, 0xAAAAAAAA);
  for (const UINT32 Register : RasCleared) {
    Write(Silicon, Register, 0);
  }
  if (HasExtraWords(PackageType)) {
    Write(Silicon, RasPackageWord0, PcdGet32(PcdTokenRasControl456));
    Write(Silicon, RasPackageWord1, PcdGet32(PcdTokenRasControl311));
  }
  SetBits(Silicon, RasEnable168, 1);
  Write(Silicon, RasMask16C, 0x1F);
  Write(Silicon, RasMask170, 0x1F);
  Write(Silicon, RasAction174, 6);
  Write(Silicon, RasAction178, 6);
  for (UINT32 I = 0; I < IohcBlocks; ++I) {
    SetBits(Silicon, IohcBlock34 + I * IohcBlockStride, 0x400);
  }
  for (UINT32 I = 0; I < IohcBlocks; ++I) {
    SetBits(Silicon, IohcBlock38 + I * IohcBlockStride, 8);
  }
}

// PCI Local Bus r3.0, 6.2.2: Parity Error Response of host bridge
// function 2; a live access, not replayed on resume.
VOID EnableParityErrorResponse(SiliconDescriptor *Silicon) {
  const UINT32 Command =
      (Silicon->HostBridgeAddress & HostBridgeFunctionMask) | HostBridgeFunction2Command;
  UINT32 Value = PciRead32(Command) | PciHeader::ParityErrorResponse::Mask;
  PciWrite(Command, AccessWidth32, &Value);
}

UINT8 CoreMaskOf(SiliconDescriptor *Silicon) {
  UINT8 Mask = 0;
  PcieTopologyForEachEngine(Silicon, [&Mask](SiliconDescriptor *, WrapperDescriptor *Wrapper,
                                             EngineDescriptor *) {
    if (Wrapper->WrapperId < 8) {
      Mask = static_cast<UINT8>(Mask | (1U << Wrapper->WrapperId));
    }
  });
  return Mask;
}

// Rows of a core without active ports are left out, and unit 13's
// GroupType 0 rows belong to package type 16 only.
bool SkipsRow(const NbioRasGroupRow &Row, UINT8 CoreMask, UINT32 PackageType) {
  const bool Core0Unit = Row.UnitId == 0 || Row.UnitId == 12 || Row.UnitId == 13;
  const bool Core1Unit = Row.UnitId == 1 || Row.UnitId == 14 || Row.UnitId == 15;
  if (Core0Unit && (CoreMask & 1) == 0) {
    return true;
  }
  if (Core1Unit && (CoreMask & 2) == 0) {
    return true;
  }
  return PackageType != PackageWithUnit13 && Row.UnitId == 13 && Row.GroupType == 0;
}

// Reads the group control register until the unit shows ready; false when
// it does not within the bound.
bool WaitGroupReady(SiliconDescriptor *Silicon, UINT32 *Value) {
  PollBudget Budget = PollBudgetStart(NbioRasHandshakeTimeoutUs);
  for (;;) {
    NbioRegisterRead(Silicon, RasGroupControl, Value, NbioNoS3Save);
    if (GroupReady::Get(*Value) != 0) {
      return true;
    }
    if (PollBudgetSpent(&Budget)) {
      return false;
    }
  }
}

UINT32 TypeSelFor(UINT32 GroupType, UINT32 Value) {
  switch (GroupType) {
  case 0:
    return GroupTypeSel::Set(Value, 0);
  case 1:
  case 3:
  case 4:
    return GroupTypeSel::Set(Value, 1);
  default:
    return Value;
  }
}

bool ProgramGroup(SiliconDescriptor *Silicon, const NbioRasGroupRow &Row) {
  Write(Silicon, RasGroupControl, 0);
  UINT32 Value = 0;
  if (!WaitGroupReady(Silicon, &Value)) {
    return false;
  }
  Value = (Value & GroupCarriedBits) | GroupWrite | ((Row.ActionBits & 0xF) << 16) |
          ((Row.UnitBit & 0x1F) << 11) | (Row.UnitId & 0xFF);
  Value = TypeSelFor(Row.GroupType, Value);
  DebugPrint(DebugLevelPcie, "GROUP_TYPE:%02d TypeSel:%02d - %02d - %02d - %02d\n", Row.GroupType,
             GroupTypeSel::Get(Value), Row.UnitId, Row.UnitBit, Row.ActionBits);
  Write(Silicon, RasGroupControl, Value);
  if (Row.GroupType != 3) {
    return true;
  }
  if (!WaitGroupReady(Silicon, &Value)) {
    return false;
  }
  Value = (Value & GroupType3SecondKeep) | GroupType3SecondSet;
  DebugPrint(DebugLevelPcie, "          :%02d                        %02d\n", Row.GroupType,
             (Value >> 16) & 0xF);
  Write(Silicon, RasGroupControl, Value);
  return true;
}

} // namespace

constexpr NbioRasGroupTableData NbioRasGroupTable = BuildTable();

VOID NbioRASControlHX(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "NbioRASControlHX Enter\n");
  if (Silicon == nullptr) {
    FatalStop(FatalNoSilicon);
    return;
  }
  const UINT32 PackageType = ReadPackageType();
  DebugPrint(DebugLevelDriver, "PackageType = %d\n", PackageType);
  ProgramFixedRegisters(Silicon, PackageType);
  EnableParityErrorResponse(Silicon);
  for (const UINT32 Register : ParityBit4Registers) {
    SetBits(Silicon, Register, 0x10);
  }
  SetBits(Silicon, Register1288, 6);
  const UINT8 CoreMask = CoreMaskOf(Silicon);
  for (const NbioRasGroupRow &Row : NbioRasGroupTable.Rows) {
    if (SkipsRow(Row, CoreMask, PackageType)) {
      continue;
    }
    // A unit that stops answering will not take later groups either.
    if (!ProgramGroup(Silicon, Row)) {
      DebugPrint(DebugLevelPcie,
                 "NbioRASControlHX: group unit not ready at GROUP_TYPE:%02d UnitId:%02d "
                 "UnitBit:%02d, remaining groups skipped\n",
                 Row.GroupType, Row.UnitId, Row.UnitBit);
      break;
    }
  }
  DebugPrint(DebugLevelPcie, "NbioRASControlHX Exit\n");
}
