// x86-64 implementation of the processor interface for the EFI image.
#include "arch/arch.h"

UINT8 ArchMmioRead8(UINT64 Address) { return *reinterpret_cast<volatile UINT8 *>(Address); }
UINT16 ArchMmioRead16(UINT64 Address) { return *reinterpret_cast<volatile UINT16 *>(Address); }
UINT32 ArchMmioRead32(UINT64 Address) { return *reinterpret_cast<volatile UINT32 *>(Address); }

VOID ArchMmioWrite8(UINT64 Address, UINT8 Value) {
  *reinterpret_cast<volatile UINT8 *>(Address) = Value;
}
VOID ArchMmioWrite16(UINT64 Address, UINT16 Value) {
  *reinterpret_cast<volatile UINT16 *>(Address) = Value;
}
VOID ArchMmioWrite32(UINT64 Address, UINT32 Value) {
  *reinterpret_cast<volatile UINT32 *>(Address) = Value;
}

VOID ArchIoWrite8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %0, %1" : : "a"(Value), "Nd"(Port));
}
VOID ArchIoWrite16(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %0, %1" : : "a"(Value), "Nd"(Port));
}
VOID ArchIoWrite32(UINT16 Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %1" : : "a"(Value), "Nd"(Port));
}

UINT64 ArchReadMsr(UINT32 Index) {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index));
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID ArchWriteMsr(UINT32 Index, UINT64 Value) {
  __asm__ __volatile__("wrmsr"
                       :
                       : "c"(Index), "a"(static_cast<UINT32>(Value)),
                         "d"(static_cast<UINT32>(Value >> 32)));
}

CpuidResult ArchCpuid(UINT32 Leaf) {
  CpuidResult R;
  __asm__ __volatile__("cpuid"
                       : "=a"(R.Eax), "=b"(R.Ebx), "=c"(R.Ecx), "=d"(R.Edx)
                       : "a"(Leaf), "c"(0));
  return R;
}

UINT16 ArchSimulatorQuery(UINT32 Code) {
  // The caller's flags, RBX, RCX, RDX and RSI are pushed and popped around
  // the query itself, so it changes no register but RAX, whatever the code
  // around it. The code is moved into ECX first, so any register the
  // compiler picks for it is read before it is overwritten.
  UINT32 Answer;
  __asm__ __volatile__("pushfq\n\t"
                       "push %%rbx\n\t"
                       "push %%rcx\n\t"
                       "push %%rdx\n\t"
                       "push %%rsi\n\t"
                       "mov %1, %%ecx\n\t"
                       "mov $0xBACCD00B, %%eax\n\t"
                       "mov $2, %%ebx\n\t"
                       "xor %%esi, %%esi\n\t"
                       "cpuid\n\t"
                       "movzwl %%si, %%eax\n\t"
                       "pop %%rsi\n\t"
                       "pop %%rdx\n\t"
                       "pop %%rcx\n\t"
                       "pop %%rbx\n\t"
                       "popfq"
                       : "=a"(Answer)
                       : "r"(Code)
                       : "memory");
  return static_cast<UINT16>(Answer);
}

UINT64 ArchReadTsc() {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID ArchPause() { __asm__ __volatile__("pause"); }

VOID ArchPassStep(UINT32) {}

UINT64 ArchReadDr2() {
  UINT64 V;
  __asm__ __volatile__("mov %%dr2, %0" : "=r"(V));
  return V;
}
VOID ArchWriteDr2(UINT64 Value) { __asm__ __volatile__("mov %0, %%dr2" : : "r"(Value)); }
UINT64 ArchReadDr7() {
  UINT64 V;
  __asm__ __volatile__("mov %%dr7, %0" : "=r"(V));
  return V;
}
VOID ArchWriteDr7(UINT64 Value) { __asm__ __volatile__("mov %0, %%dr7" : : "r"(Value)); }
UINT64 ArchReadCr4() {
  UINT64 V;
  __asm__ __volatile__("mov %%cr4, %0" : "=r"(V));
  return V;
}
VOID ArchWriteCr4(UINT64 Value) { __asm__ __volatile__("mov %0, %%cr4" : : "r"(Value)); }
