// Host builds route every processor operation of the driver to a backend,
// normally the simulated platform.
#pragma once

#include <cstdint>

#include "arch/arch.h"

class ArchHostBackend {
public:
  virtual ~ArchHostBackend() = default;
  virtual uint64_t MmioRead(uint64_t Address, unsigned Bytes) = 0;
  virtual void MmioWrite(uint64_t Address, unsigned Bytes, uint64_t Value) = 0;
  virtual void IoWrite(uint16_t Port, unsigned Bytes, uint32_t Value) = 0;
  virtual uint64_t ReadMsr(uint32_t Index) = 0;
  virtual void WriteMsr(uint32_t Index, uint64_t Value) = 0;
  virtual CpuidResult Cpuid(uint32_t Leaf) = 0;
  virtual uint16_t SimulatorQuery(uint32_t Code) = 0;
  virtual uint64_t ReadTsc() = 0;
  virtual void Pause() = 0;
  virtual void PassStep(uint32_t Step) = 0;
  enum class ControlRegister { Dr2, Dr7, Cr4 };
  virtual uint64_t ReadControl(ControlRegister Reg) = 0;
  virtual void WriteControl(ControlRegister Reg, uint64_t Value) = 0;
};

// Binds the backend used by the arch operations; nullptr unbinds. An arch
// operation without a bound backend aborts the process.
void ArchHostBind(ArchHostBackend *Backend);
