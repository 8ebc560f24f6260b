// Max completion payload: the largest payload the whole tree below a root
// port takes, programmed into the port's NBIO completion register.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

inline constexpr UINT8 MaxCplPayloadNotApplicable = 0xFF;

struct HbxLibPciScanMaxCplPayloadData {
  PciScanData Header;
  UINT8 MaxCplPayload;
};
static_assert(offsetof(HbxLibPciScanMaxCplPayloadData, MaxCplPayload) == 16);

// Port status register (bit 29 gates the feature) and the completion
// payload register of a port.
UINT32 PciePortStatusRegister(const WrapperDescriptor *Wrapper, const EngineDescriptor *Engine);
UINT32 PciePsmnAddress(const EngineDescriptor *Engine);
// Completion payload register: bit 16 enables the limit, bits 20:18 hold
// the Max Payload Size code.
using PsmnLimitEnable = RegisterBit<UINT32, 16>;
using PsmnMaxPayload = RegisterField<UINT32, 20, 18>;

VOID PcieMaxCplPayloadInterface(SiliconDescriptor *Silicon);
VOID PcieSetMaxCplPayload(const EngineDescriptor *Engine, UINT8 *Result);
UINT32 PcieGetMaxCplPayloadCallback(UINT32 Address, PciScanData *Data);
