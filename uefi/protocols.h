// Protocols and firmware records the driver consumes or produces.
#pragma once

#include "uefi/uefi.h"

// UEFI 2.10, 11.4: EFI_PCI_IO_PROTOCOL. Only its installation is observed.
inline constexpr EFI_GUID gEfiPciIoProtocolGuid = {
    0x4CF5B200, 0x68B8, 0x4CA5, {0x9E, 0xEC, 0xB2, 0x3E, 0x3F, 0x50, 0x02, 0x9A}};

// UEFI 2.10, 4.6: the HOB list in the configuration table.
inline constexpr EFI_GUID gEfiHobListGuid = {
    0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

// EDK II PCD protocol (MdePkg/Include/Protocol/Pcd.h member order).
inline constexpr EFI_GUID gPcdProtocolGuid = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};

struct PCD_PROTOCOL {
  VOID *SetSku;
  UINT8(EFIAPI *Get8)(UINTN TokenNumber);
  UINT16(EFIAPI *Get16)(UINTN TokenNumber);
  UINT32(EFIAPI *Get32)(UINTN TokenNumber);
  UINT64(EFIAPI *Get64)(UINTN TokenNumber);
  VOID *(EFIAPI *GetPtr)(UINTN TokenNumber);
  BOOLEAN(EFIAPI *GetBool)(UINTN TokenNumber);
  UINTN(EFIAPI *GetSize)(UINTN TokenNumber);
  VOID *Get8Ex;
  VOID *Get16Ex;
  VOID *Get32Ex;
  VOID *Get64Ex;
  VOID *GetPtrEx;
  VOID *GetBoolEx;
  VOID *GetSizeEx;
  EFI_STATUS(EFIAPI *Set8)(UINTN TokenNumber, UINT8 Value);
  EFI_STATUS(EFIAPI *Set16)(UINTN TokenNumber, UINT16 Value);
  EFI_STATUS(EFIAPI *Set32)(UINTN TokenNumber, UINT32 Value);
  EFI_STATUS(EFIAPI *Set64)(UINTN TokenNumber, UINT64 Value);
  VOID *SetPtr;
  EFI_STATUS(EFIAPI *SetBool)(UINTN TokenNumber, BOOLEAN Value);
  VOID *Set8Ex;
  VOID *Set16Ex;
  VOID *Set32Ex;
  VOID *Set64Ex;
  VOID *SetPtrEx;
  VOID *SetBoolEx;
  VOID *CallbackOnSet;
  VOID *CancelCallback;
  VOID *GetNextToken;
  VOID *GetNextTokenSpace;
};
static_assert(offsetof(PCD_PROTOCOL, Get8) == 8);
static_assert(offsetof(PCD_PROTOCOL, Get32) == 24);
static_assert(offsetof(PCD_PROTOCOL, Get64) == 32);
static_assert(offsetof(PCD_PROTOCOL, GetBool) == 48);
static_assert(offsetof(PCD_PROTOCOL, Set8) == 120);
static_assert(offsetof(PCD_PROTOCOL, Set64) == 144);
static_assert(sizeof(PCD_PROTOCOL) == 31 * 8);

// PI 1.8 Vol. 5, 8.7: EFI_S3_SAVE_STATE_PROTOCOL.
inline constexpr EFI_GUID gEfiS3SaveStateProtocolGuid = {
    0xE857CAF6, 0xC046, 0x45DC, {0xBE, 0x3F, 0xEE, 0x07, 0x65, 0xFB, 0xA8, 0x87}};

struct EFI_S3_SAVE_STATE_PROTOCOL;
// Variadic: for EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE the list is
// (EFI_BOOT_SCRIPT_WIDTH Width, UINT64 Address, UINTN Count, VOID *Buffer).
using EFI_S3_SAVE_STATE_WRITE = EFI_STATUS(EFIAPI *)(const EFI_S3_SAVE_STATE_PROTOCOL *This,
                                                     UINTN OpCode, ...);
struct EFI_S3_SAVE_STATE_PROTOCOL {
  EFI_S3_SAVE_STATE_WRITE Write;
  VOID *Insert;
  VOID *Label;
  VOID *Compare;
};
static_assert(sizeof(EFI_S3_SAVE_STATE_PROTOCOL) == 32);

inline constexpr UINTN EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE = 0x02;

enum EFI_BOOT_SCRIPT_WIDTH : UINT32 {
  EfiBootScriptWidthUint8 = 0,
  EfiBootScriptWidthUint16 = 1,
  EfiBootScriptWidthUint32 = 2,
  EfiBootScriptWidthUint64 = 3,
};

// PI 1.8 Vol. 4, 6.1: EFI_MM_COMMUNICATION_PROTOCOL (SMM communication).
inline constexpr EFI_GUID gEfiSmmCommunicationProtocolGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

struct EFI_SMM_COMMUNICATION_PROTOCOL {
  EFI_STATUS(EFIAPI *Communicate)
  (const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer, UINTN *CommSize);
};

// PI 1.8 Vol. 4: DXE SMM ready-to-lock protocol.
inline constexpr EFI_GUID gEfiDxeSmmReadyToLockProtocolGuid = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};

// UEFI 2.10, 7.1: EFI_EVENT_GROUP_READY_TO_BOOT.
inline constexpr EFI_GUID gEfiEventReadyToBootGuid = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};

// Debug-print protocol of the platform: first member receives the level, the
// format and the caller's native argument list.
inline constexpr EFI_GUID gDebugPrintProtocolGuid = {
    0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};

struct DEBUG_PRINT_PROTOCOL {
  EFI_STATUS(EFIAPI *Print)(UINT64 ErrorLevel, const CHAR8 *Format, VA_LIST Marker);
};

// PCIe topology producer.
inline constexpr EFI_GUID gPcieTopologyProtocolGuid = {
    0x756DB75C, 0xBB9D, 0x4289, {0x81, 0x3A, 0xDF, 0x21, 0x05, 0xC4, 0xF8, 0x0E}};

struct PCIE_TOPOLOGY_PROTOCOL {
  EFI_STATUS(EFIAPI *PcieGetTopology)
  (const PCIE_TOPOLOGY_PROTOCOL *This, VOID **PlatformDescriptor);
};

// Platform hook protocol.
inline constexpr EFI_GUID gVtrHookProtocolGuid = {
    0x0ECAD4A0, 0x75E9, 0x46D7, {0xA3, 0xA6, 0x81, 0xFE, 0x17, 0x3F, 0x2E, 0xCA}};

struct HOOK_CALLOUT {
  UINT64 Reserved;
  UINT64 Data;
};
static_assert(sizeof(HOOK_CALLOUT) == 16);

struct VTR_HOOK_PROTOCOL {
  EFI_STATUS(EFIAPI *Dispatch)
  (EFI_BOOT_SERVICES *BootServices, HOOK_CALLOUT *Callout, UINT32 HookId);
};

// Shared heap list.
inline constexpr EFI_GUID gHeapListProtocolGuid = {
    0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};

struct LIST_ENTRY {
  LIST_ENTRY *ForwardLink;
  LIST_ENTRY *BackLink;
};
static_assert(sizeof(LIST_ENTRY) == 16);

struct HEAP_LIST_PROTOCOL {
  UINT64 Revision;
  LIST_ENTRY List;
};
static_assert(offsetof(HEAP_LIST_PROTOCOL, List) == 8);
static_assert(sizeof(HEAP_LIST_PROTOCOL) == 24);

// The driver's own AER service.
inline constexpr EFI_GUID gNbioPcieAerProtocolGuid = {
    0x0E48C773, 0x4445, 0x40D5, {0x9F, 0x11, 0x5F, 0x25, 0x6D, 0x19, 0xC1, 0x7B}};
