// Debug output, post codes and the orderly fatal stop.
#pragma once

#include "uefi/uefi.h"

inline constexpr UINT64 DebugLevelPcie = 0x100000;
inline constexpr UINT64 DebugLevelAer = 0x200000;
inline constexpr UINT64 DebugLevelService = 0x2000000;
inline constexpr UINT64 DebugLevelDriver = 0x4000000000000ULL;
inline constexpr UINT64 DebugLevelHook = 0x20000000000000ULL;

inline constexpr UINT16 PostCodePort = 0x80;
inline constexpr UINT16 FatalMarkerPort = 0xE0;
inline constexpr UINT16 FatalMarker = 0xDEAD;
inline constexpr UINT32 TestPointBase = 0xB0000000;

// Forwards the format and the caller's native argument list to the platform's
// debug-print protocol, located afresh on every call. Returns the receiver's
// status, or the failing locate status when there is no receiver.
EFI_STATUS EFIAPI DebugPrint(UINT64 Level, const CHAR8 *Format, ...);

// Post code (Code | 0xB0000000) on port 0x80, echoed as a debug line.
VOID TestPoint(UINT32 Code);

// Shows 0xDEAD and the code on the post-code ports. Never returns on a
// physical processor; returns when a platform simulator answers the query.
VOID FatalStop(UINT32 Code);

// One trace line when a walk is cut short by one of its bounds: a list that
// does not end, a chain longer than any real platform has.
VOID ReportWalkBound(const CHAR8 *Walk, UINT32 Bound);
// One trace line when a walk stops at a link it refuses to follow.
VOID ReportWalkPointer(const CHAR8 *Walk, UINT32 Pointer);

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
