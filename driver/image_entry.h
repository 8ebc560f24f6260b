#pragma once

#include "uefi/uefi.h"

// The image's entry point: constructor chain, driver entry, and the
// destructor chain when the entry fails.
extern "C" EFI_STATUS EFIAPI KelNbioPcieHXDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                       EFI_SYSTEM_TABLE *SystemTable);

struct DebugBackEnd;
// Asks every back-end whether its transport is present; if any is, asks
// again and initialises each that answers yes.
VOID InitializeDebugBackEnds(const DebugBackEnd *const *Table);

VOID ConstructorChain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS KelNbioPcieHXDxeDriverEntry();
VOID DestructorChain();
