// Requests to the system management unit through its SMN mailbox.
#pragma once

#include "uefi/uefi.h"

inline constexpr UINT32 SmuMessageRegister = 0x03B10528;
inline constexpr UINT32 SmuResponseRegister = 0x03B10564;
inline constexpr UINT32 SmuArgumentRegister0 = 0x03B10598;
inline constexpr UINT32 SmuArgumentCount = 6;
inline constexpr UINT32 SmuResponsePending = 0;
inline constexpr UINT32 SmuResponseAccessFlagsAssert = 0xFC;
// The SMU answers in microseconds to milliseconds; a second without an
// answer means it is not running.
inline constexpr UINT64 SmuResponseTimeoutUs = 1000000;

// Sends the request with six argument words and copies the six result words
// back. Returns the last response read (0 after a timeout).
UINT32 NbioSmuServiceRequestV9(const UINT32 *HostBridgeAddress, UINT32 Request, UINT32 *Arguments);
