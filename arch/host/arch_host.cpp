#include "arch/host/arch_host.h"

#include <cstdio>
#include <cstdlib>

namespace {

ArchHostBackend *gBackend = nullptr;

ArchHostBackend &Backend() {
  if (gBackend == nullptr) {
    std::fputs("driver touched the processor with no simulated platform bound\n", stderr);
    std::abort();
  }
  return *gBackend;
}

} // namespace

void ArchHostBind(ArchHostBackend *Backend) { gBackend = Backend; }

UINT8 ArchMmioRead8(UINT64 Address) { return static_cast<UINT8>(Backend().MmioRead(Address, 1)); }
UINT16 ArchMmioRead16(UINT64 Address) {
  return static_cast<UINT16>(Backend().MmioRead(Address, 2));
}
UINT32 ArchMmioRead32(UINT64 Address) {
  return static_cast<UINT32>(Backend().MmioRead(Address, 4));
}
VOID ArchMmioWrite8(UINT64 Address, UINT8 Value) { Backend().MmioWrite(Address, 1, Value); }
VOID ArchMmioWrite16(UINT64 Address, UINT16 Value) { Backend().MmioWrite(Address, 2, Value); }
VOID ArchMmioWrite32(UINT64 Address, UINT32 Value) { Backend().MmioWrite(Address, 4, Value); }

VOID ArchIoWrite8(UINT16 Port, UINT8 Value) { Backend().IoWrite(Port, 1, Value); }
VOID ArchIoWrite16(UINT16 Port, UINT16 Value) { Backend().IoWrite(Port, 2, Value); }
VOID ArchIoWrite32(UINT16 Port, UINT32 Value) { Backend().IoWrite(Port, 4, Value); }

UINT64 ArchReadMsr(UINT32 Index) { return Backend().ReadMsr(Index); }
VOID ArchWriteMsr(UINT32 Index, UINT64 Value) { Backend().WriteMsr(Index, Value); }
CpuidResult ArchCpuid(UINT32 Leaf) { return Backend().Cpuid(Leaf); }
UINT16 ArchSimulatorQuery(UINT32 Code) { return Backend().SimulatorQuery(Code); }
UINT64 ArchReadTsc() { return Backend().ReadTsc(); }
VOID ArchPause() { Backend().Pause(); }
VOID ArchPassStep(UINT32 Step) { Backend().PassStep(Step); }

using Reg = ArchHostBackend::ControlRegister;
UINT64 ArchReadDr2() { return Backend().ReadControl(Reg::Dr2); }
VOID ArchWriteDr2(UINT64 Value) { Backend().WriteControl(Reg::Dr2, Value); }
UINT64 ArchReadDr7() { return Backend().ReadControl(Reg::Dr7); }
VOID ArchWriteDr7(UINT64 Value) { Backend().WriteControl(Reg::Dr7, Value); }
UINT64 ArchReadCr4() { return Backend().ReadControl(Reg::Cr4); }
VOID ArchWriteCr4(UINT64 Value) { Backend().WriteControl(Reg::Cr4, Value); }
