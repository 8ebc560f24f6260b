// Driver-wide values set during start-up and read by the rest of the driver.
#pragma once

#include "uefi/protocols.h"

extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
// Null when the platform has no S3 save-state protocol.
extern EFI_S3_SAVE_STATE_PROTOCOL *gS3SaveState;
// Head of the shared heap list: the heap-list protocol interface + 8.
extern LIST_ENTRY *gHeapList;
// 1 << CPUID 0x80000001 EBX[31:28].
extern UINT32 gPackageType;
extern EFI_EVENT gPciIoNotifyEvent;

inline constexpr UINT32 PackageTypeSmuRequest = 16;

// 1 << CPUID 0x80000001 EBX[31:28], read afresh.
UINT32 ReadPackageType();

// Restores every driver global to its value in a freshly loaded image. The
// firmware loader gives the EFI image this for free; host builds load the
// same code many times in one process and call it before each simulated load.
VOID ImageStateReset();
