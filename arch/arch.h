// The only interface through which driver code touches the processor.
// arch/x64 implements it with instructions for the EFI image; arch/host
// forwards every operation to the platform simulator.
#pragma once

#include "uefi/base.h"

struct CpuidResult {
  UINT32 Eax;
  UINT32 Ebx;
  UINT32 Ecx;
  UINT32 Edx;
};

// Memory-mapped I/O: one access of exactly the given width, never cached.
UINT8 ArchMmioRead8(UINT64 Address);
UINT16 ArchMmioRead16(UINT64 Address);
UINT32 ArchMmioRead32(UINT64 Address);
VOID ArchMmioWrite8(UINT64 Address, UINT8 Value);
VOID ArchMmioWrite16(UINT64 Address, UINT16 Value);
VOID ArchMmioWrite32(UINT64 Address, UINT32 Value);

VOID ArchIoWrite8(UINT16 Port, UINT8 Value);
VOID ArchIoWrite16(UINT16 Port, UINT16 Value);
VOID ArchIoWrite32(UINT16 Port, UINT32 Value);

UINT64 ArchReadMsr(UINT32 Index);
VOID ArchWriteMsr(UINT32 Index, UINT64 Value);

CpuidResult ArchCpuid(UINT32 Leaf);

// CPUID leaf 0xBACCD00B with EBX = 2, ECX = Code and SI = 0 beforehand;
// returns SI afterwards. Physical processors leave SI unchanged (0).
UINT16 ArchSimulatorQuery(UINT32 Code);

UINT64 ArchReadTsc();
VOID ArchPause();

// Marks where a step of the PCIe pass begins (its number from 1) and where
// the steps of a silicon end (0). The processor does nothing with it; the
// simulator notes it in its log so every access can be laid to its step.
VOID ArchPassStep(UINT32 Step);

UINT64 ArchReadDr2();
VOID ArchWriteDr2(UINT64 Value);
UINT64 ArchReadDr7();
VOID ArchWriteDr7(UINT64 Value);
UINT64 ArchReadCr4();
VOID ArchWriteCr4(UINT64 Value);
