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

inline constexpr UINT8 PcdNoByteSetting = 0xFF;

// Without a PCD protocol no setting exists, and nothing may run on a
// made-up value: booleans read FALSE, so the features they enable stay off;
// byte settings read PcdNoByteSetting, which no byte setting of this driver
// accepts (token 205 takes 0-5), so nothing is sized; wider settings read 0
// and are used only behind a boolean that reads FALSE. Sets are refused
// with EFI_NOT_FOUND.
UINT8 PcdGet8(UINTN Token);
UINT32 PcdGet32(UINTN Token);
UINT64 PcdGet64(UINTN Token);
BOOLEAN PcdGetBool(UINTN Token);
EFI_STATUS PcdSet8(UINTN Token, UINT8 Value);
EFI_STATUS PcdSet64(UINTN Token, UINT64 Value);

VOID PcdResetState();
