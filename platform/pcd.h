// Platform settings through the EDK II PCD protocol, by token number.
#pragma once

#include "uefi/protocols.h"

// Tokens read or set by this driver.
inline constexpr UINTN PcdTokenMaxPayloadEnable = 67;        // 0x43
inline constexpr UINTN PcdTokenMaxReadRequestSize = 205;     // 0xCD
inline constexpr UINTN PcdTokenRasControl311 = 311;          // 0x137
inline constexpr UINTN PcdTokenAspmL1Blacklist = 418;        // 0x1A2
inline constexpr UINTN PcdTokenRasControl456 = 456;          // 0x1C8
inline constexpr UINTN PcdTokenRasControlEnable = 588;       // 0x24C
inline constexpr UINTN PcdTokenSlotPowerX1Override = 665;    // 0x299
inline constexpr UINTN PcdTokenS3TableAddress = 847;         // 0x34F
inline constexpr UINTN PcdTokenEcrcSeverityFatal = 1005;     // 0x3ED
inline constexpr UINTN PcdTokenS3TableBufferSize = 1073;     // 0x431
inline constexpr UINTN PcdTokenL1ExitLatencyFound = 1085;    // 0x43D
inline constexpr UINTN PcdTokenSmmCommunicationBuffer = 1094; // 0x446
inline constexpr UINTN PcdTokenSmuRequestArgument3 = 1128;   // 0x468
inline constexpr UINTN PcdTokenS3PrivateData = 1180;         // 0x49C

// The PCD protocol, located on first use and kept; null while the platform
// has none (the next use locates again).
PCD_PROTOCOL *PcdProtocolGet();

// Without a PCD protocol every setting reads as 0 / FALSE and sets are
// refused with EFI_NOT_FOUND: features stay off rather than run on garbage.
UINT8 PcdGet8(UINTN Token);
UINT32 PcdGet32(UINTN Token);
UINT64 PcdGet64(UINTN Token);
BOOLEAN PcdGetBool(UINTN Token);
EFI_STATUS PcdSet8(UINTN Token, UINT8 Value);
EFI_STATUS PcdSet64(UINTN Token, UINT64 Value);

VOID PcdResetState();
