// The entry points of a driver image loaded as a separate host module, so
// that a simulated platform can run several drivers that carry the same
// library code, each with its own globals, against one firmware.
#pragma once

#include "arch/host/arch_host.h"
#include "uefi/uefi.h"

struct KelHostImage {
  EFI_IMAGE_ENTRY_POINT EntryPoint;
  void (*Bind)(ArchHostBackend *Backend);
  void (*Reset)();
  // A write the driver records for S3, as any of its features makes one.
  void (*RecordedWrite32)(UINT32 PciAddress, UINT32 Value);
};

extern "C" const KelHostImage *KelHostImageExports();
