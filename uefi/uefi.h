// UEFI and PI definitions used by the driver, written from the UEFI 2.10 and
// PI 1.8 standards. Layouts are x86-64: every pointer and UINTN is 8 bytes.
#pragma once

#include "uefi/base.h"

#define EFIAPI __attribute__((ms_abi))

using EFI_STATUS = UINTN;
using EFI_HANDLE = VOID *;
using EFI_EVENT = VOID *;
using EFI_TPL = UINTN;

// UEFI 2.10, Appendix D: errors have the high bit set.
inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = 0x8000000000000002ULL;
inline constexpr EFI_STATUS EFI_UNSUPPORTED = 0x8000000000000003ULL;
inline constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = 0x8000000000000009ULL;
inline constexpr EFI_STATUS EFI_NOT_FOUND = 0x800000000000000EULL;
inline constexpr EFI_STATUS EFI_ALREADY_STARTED = 0x8000000000000014ULL;
// PI 1.8 Vol. 2, DXE status code 2.
inline constexpr EFI_STATUS EFI_NOT_AVAILABLE_YET = 0xA000000000000002ULL;

constexpr bool EfiError(EFI_STATUS Status) { return static_cast<INT64>(Status) < 0; }

inline constexpr UINT32 EVT_NOTIFY_WAIT = 0x00000100;
inline constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200;

inline constexpr EFI_TPL TPL_APPLICATION = 4;
inline constexpr EFI_TPL TPL_CALLBACK = 8;
inline constexpr EFI_TPL TPL_NOTIFY = 16;
inline constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE = 0 };

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
};

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

// Data4 compared as one 64-bit word: the simulator compares a GUID for every
// protocol the driver locates, once for each of its trace lines.
constexpr bool GuidEqual(const EFI_GUID &A, const EFI_GUID &B) {
  return A.Data1 == B.Data1 && A.Data2 == B.Data2 && A.Data3 == B.Data3 &&
         __builtin_bit_cast(UINT64, A.Data4) == __builtin_bit_cast(UINT64, B.Data4);
}

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

using EFI_EVENT_NOTIFY = VOID(EFIAPI *)(EFI_EVENT Event, VOID *Context);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_TPL(EFIAPI *RaiseTPL)(EFI_TPL NewTpl);
  VOID(EFIAPI *RestoreTPL)(EFI_TPL OldTpl);
  VOID *AllocatePages;
  VOID *FreePages;
  VOID *GetMemoryMap;
  EFI_STATUS(EFIAPI *AllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
  EFI_STATUS(EFIAPI *FreePool)(VOID *Buffer);
  EFI_STATUS(EFIAPI *CreateEvent)
  (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext,
   EFI_EVENT *Event);
  VOID *SetTimer;
  VOID *WaitForEvent;
  EFI_STATUS(EFIAPI *SignalEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI *CloseEvent)(EFI_EVENT Event);
  VOID *CheckEvent;
  EFI_STATUS(EFIAPI *InstallProtocolInterface)
  (EFI_HANDLE *Handle, const EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType,
   VOID *Interface);
  VOID *ReinstallProtocolInterface;
  VOID *UninstallProtocolInterface;
  VOID *HandleProtocol;
  VOID *Reserved;
  EFI_STATUS(EFIAPI *RegisterProtocolNotify)
  (const EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration);
  VOID *LocateHandle;
  VOID *LocateDevicePath;
  VOID *InstallConfigurationTable;
  VOID *LoadImage;
  VOID *StartImage;
  VOID *Exit;
  VOID *UnloadImage;
  VOID *ExitBootServices;
  VOID *GetNextMonotonicCount;
  VOID *Stall;
  VOID *SetWatchdogTimer;
  VOID *ConnectController;
  VOID *DisconnectController;
  VOID *OpenProtocol;
  VOID *CloseProtocol;
  VOID *OpenProtocolInformation;
  VOID *ProtocolsPerHandle;
  VOID *LocateHandleBuffer;
  EFI_STATUS(EFIAPI *LocateProtocol)
  (const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
  VOID *InstallMultipleProtocolInterfaces;
  VOID *UninstallMultipleProtocolInterfaces;
  VOID *CalculateCrc32;
  VOID *CopyMem;
  VOID *SetMem;
  EFI_STATUS(EFIAPI *CreateEventEx)
  (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, const VOID *NotifyContext,
   const EFI_GUID *EventGroup, EFI_EVENT *Event);
};
// UEFI 2.10, 4.4: member offsets of the boot-services table.
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24);
static_assert(offsetof(EFI_BOOT_SERVICES, RestoreTPL) == 32);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 72);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEvent) == 80);
static_assert(offsetof(EFI_BOOT_SERVICES, SignalEvent) == 104);
static_assert(offsetof(EFI_BOOT_SERVICES, CloseEvent) == 112);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128);
static_assert(offsetof(EFI_BOOT_SERVICES, Reserved) == 160);
static_assert(offsetof(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 168);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 192);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 248);
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320);
static_assert(offsetof(EFI_BOOT_SERVICES, CopyMem) == 352);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 368);
static_assert(sizeof(EFI_BOOT_SERVICES) == 376);

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24);
static_assert(offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 16);

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID *ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID *StdErr;
  VOID *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareVendor) == 24);
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == 32);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConsoleInHandle) == 40);
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112);
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);

using EFI_IMAGE_ENTRY_POINT = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle,
                                                   EFI_SYSTEM_TABLE *SystemTable);

// The Microsoft x64 variable-argument list: a pointer walking 8-byte slots.
using VA_LIST = __builtin_ms_va_list;
#define VA_START(List, Last) __builtin_ms_va_start(List, Last)
#define VA_ARG(List, Type) __builtin_va_arg(List, Type)
#define VA_END(List) __builtin_ms_va_end(List)
