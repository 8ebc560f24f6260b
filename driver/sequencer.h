// The PCIe feature pass, run once when the first PCI I/O protocol instance
// is installed after start-up.
#pragma once

#include "uefi/uefi.h"

VOID EFIAPI KelPcieMiscInit(EFI_EVENT Event, VOID *Context);

