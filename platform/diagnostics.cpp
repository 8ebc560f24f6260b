#include "platform/diagnostics.h"

#include "arch/arch.h"
#include "base/debug_print.h"
#include "platform/register_access.h"
#include "platform/register_fields.h"

namespace {

// P-state definition MSRs: enabled in bit 63, core frequency ID and divisor
// in bits 7:0 and 13:8.
inline constexpr UINT32 MsrPstateDef0 = 0xC0010064;
inline constexpr UINT32 PstateCount = 8;
using PstateEnabled = RegisterBit<UINT64, 63>;
using PstateCpuFid = RegisterField<UINT64, 7, 0>;
using PstateCpuDid = RegisterField<UINT64, 13, 8>;
inline constexpr UINT64 TscUnknownRate = 256;

// The hardware debugger announces itself by leaving this port number in DR2.
inline constexpr UINT64 DebuggerPort = 0x99CC;
inline constexpr UINT32 MsrDebugControl = 0xC001100A;
inline constexpr UINT64 Dr7IoBreakpoint = 0x02000420;
inline constexpr UINT64 Cr4DebuggingExtensions = 1ULL << 3;

inline constexpr UINT64 FatalDisplayDelayUs = 2500000;

UINT64 gTscFrequency = 0;

UINT64 CoreMhzFromPstate(UINT64 Pstate) {
  const UINT32 Fid = static_cast<UINT32>(PstateCpuFid::Get(Pstate));
  const UINT32 Did = static_cast<UINT32>(PstateCpuDid::Get(Pstate));
  if (Did == 0) {
    return 0;
  }
  if (Did < 8 || Did > 60) {
    return Fid * 25U;
  }
  return (Fid * 200U) / Did;
}

BOOLEAN NeverPresent() { return FALSE; }
VOID NothingToInitialize() {}
BOOLEAN PassEveryLevel(UINT64) { return TRUE; }
VOID DiscardText(const CHAR8 *, UINTN) {}

BOOLEAN DebuggerPresent() { return ArchReadDr2() == DebuggerPort ? TRUE : FALSE; }

BOOLEAN DebuggerChannelPrepared() {
  return (ArchReadMsr(MsrDebugControl) & 1) != 0 &&
         (ArchReadDr7() & Dr7IoBreakpoint) == Dr7IoBreakpoint &&
         (ArchReadCr4() & Cr4DebuggingExtensions) != 0;
}

// Arms an I/O breakpoint on the debugger's port.
VOID DebuggerInitialize() {
  if (!DebuggerPresent() || DebuggerChannelPrepared()) {
    return;
  }
  ArchWriteMsr(MsrDebugControl, ArchReadMsr(MsrDebugControl) | 1);
  ArchWriteDr2(DebuggerPort);
  ArchWriteDr7(Dr7IoBreakpoint);
  ArchWriteCr4(ArchReadCr4() | Cr4DebuggingExtensions);
}

constexpr DebugBackEnd PostCodeStringBackEnd = {NeverPresent, NothingToInitialize,
                                                PassEveryLevel, DiscardText};
constexpr DebugBackEnd HardwareDebuggerBackEnd = {DebuggerPresent, DebuggerInitialize,
                                                  PassEveryLevel, DiscardText};
constexpr DebugBackEnd SerialBackEnd = {NeverPresent, NothingToInitialize, PassEveryLevel,
                                        DiscardText};

VOID PostCode16(UINT16 Port, UINT16 Value) { IoWrite(AccessWidth16, Port, &Value); }
VOID PostCode32(UINT16 Port, UINT32 Value) { IoWrite(AccessWidth32, Port, &Value); }

UINT64 RotateLeft(UINT64 Value, UINT32 Bits) { return (Value << Bits) | (Value >> (64 - Bits)); }

} // namespace

const DebugBackEnd *const DebugBackEndTable[] = {&PostCodeStringBackEnd, &HardwareDebuggerBackEnd,
                                                 &SerialBackEnd, nullptr};

VOID TestPoint(UINT32 Code) {
  const UINT32 Value = Code | TestPointBase;
  PostCode32(PostCodePort, Value);
  DebugPrint(DebugLevelDriver, "TORVU_TP:[%x]\n", Value);
}

UINT16 SimulatorPresent(UINT32 Code) { return ArchSimulatorQuery(Code); }

UINT64 GetTscFrequency() {
  if (gTscFrequency != 0) {
    return gTscFrequency;
  }
  for (UINT32 I = 0; I < PstateCount; ++I) {
    const UINT64 Pstate = ArchReadMsr(MsrPstateDef0 + I);
    if (PstateEnabled::Get(Pstate) != 0) {
      gTscFrequency = CoreMhzFromPstate(Pstate) * 1000000ULL;
      return gTscFrequency;
    }
  }
  return TscUnknownRate;
}

VOID TscDelayMicroseconds(UINT64 Microseconds) {
  const UINT64 Ticks = (GetTscFrequency() * Microseconds) / 1000000ULL;
  const UINT64 Deadline = ArchReadTsc() + Ticks;
  while (ArchReadTsc() <= Deadline) {
    ArchPause();
  }
}

VOID FatalStop(UINT32 Code) {
  PostCode16(FatalMarkerPort, FatalMarker);
  PostCode32(PostCodePort, Code);
  if (SimulatorPresent(Code) != 0) {
    return;
  }
  // A 32-bit post-code display shows the 0xDEAD marker and the code
  // scrolling past, one byte every 2.5 s.
  UINT64 Display = (static_cast<UINT64>(FatalMarker) << 48) | (static_cast<UINT64>(Code) << 16);
  for (;;) {
    for (UINT32 Step = 0; Step < 6; ++Step) {
      Display = RotateLeft(Display, 8);
      PostCode32(PostCodePort, static_cast<UINT32>(Display));
      TscDelayMicroseconds(FatalDisplayDelayUs);
    }
    Display = RotateLeft(Display, 16);
  }
}

VOID DiagnosticsResetState() { gTscFrequency = 0; }
