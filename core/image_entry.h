#pragma once

#include "uefi/uefi.h"

// The image's entry point: constructor chain, driver entry, and the
// destructor chain when the entry fails.
extern "C" EFI_STATUS EFIAPI KelNbioPcieHXDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                       EFI_SYSTEM_TABLE *SystemTable);

VOID ConstructorChain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS KelNbioPcieHXDxeDriverEntry();
VOID DestructorChain();
