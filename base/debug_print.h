// The driver's debug trace: its levels, the print that forwards to the
// platform's receiver, and the line a bounded walk leaves when cut short.
#pragma once

#include "uefi/uefi.h"

inline constexpr UINT64 DebugLevelPcie = 0x100000;
inline constexpr UINT64 DebugLevelAer = 0x200000;
inline constexpr UINT64 DebugLevelService = 0x2000000;
inline constexpr UINT64 DebugLevelDriver = 0x4000000000000ULL;
inline constexpr UINT64 DebugLevelHook = 0x20000000000000ULL;

// Forwards the format and the caller's native argument list to the platform's
// debug-print protocol, located afresh on every call. Returns the receiver's
// status, or the failing locate status when there is no receiver.
EFI_STATUS EFIAPI DebugPrint(UINT64 Level, const CHAR8 *Format, ...);

// One trace line when a walk is cut short by one of its bounds: a list that
// does not end, a chain longer than any real platform has.
VOID ReportWalkBound(const CHAR8 *Walk, UINT32 Bound);
// One trace line when a walk stops at a link it refuses to follow.
VOID ReportWalkPointer(const CHAR8 *Walk, UINT32 Pointer);
