// Post codes, test points, the debug back-ends and the orderly fatal stop.
#pragma once

#include "uefi/uefi.h"

inline constexpr UINT16 PostCodePort = 0x80;
inline constexpr UINT16 FatalMarkerPort = 0xE0;
inline constexpr UINT16 FatalMarker = 0xDEAD;
inline constexpr UINT32 TestPointBase = 0xB0000000;

// Post code (Code | 0xB0000000) on port 0x80, echoed as a debug line.
VOID TestPoint(UINT32 Code);

// Shows 0xDEAD and the code on the post-code ports. Never returns on a
// physical processor; returns when a platform simulator answers the query.
VOID FatalStop(UINT32 Code);

// Time-stamp counter rate in Hz from the first enabled P-state; 256 when no
// P-state is enabled (not cached).
UINT64 GetTscFrequency();

// Non-zero only on a platform simulator that implements the query.
UINT16 SimulatorPresent(UINT32 Code);

struct DebugBackEnd {
  BOOLEAN (*IsPresent)();
  VOID (*Initialize)();
  BOOLEAN (*Filter)(UINT64 Level);
  VOID (*Write)(const CHAR8 *Text, UINTN Length);
};

// Post-code string, hardware debugger and serial back-ends, ended by null.
extern const DebugBackEnd *const DebugBackEndTable[];

// Busy-waits about the given number of microseconds on the time-stamp counter.
VOID TscDelayMicroseconds(UINT64 Microseconds);

VOID DiagnosticsResetState();
