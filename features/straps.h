// NBIO port straps: written through the strap index/data pair of the
// port's core. Each port owns 0x51 consecutive strap numbers.
#pragma once

#include "base/topology.h"

inline constexpr UINT32 PcieStrapIndexCore0 = 0x4A348;
inline constexpr UINT32 PcieStrapDataCore0 = 0x4A34C;
inline constexpr UINT32 PcieStrapIndexCore1 = 0x4A3C8;
inline constexpr UINT32 PcieStrapDataCore1 = 0x4A3CC;
inline constexpr UINT32 PcieStrapIndexSelect = 0xFFFE0000;
inline constexpr UINT32 PcieStrapsPerPort = 0x51;
inline constexpr UINT32 PcieStrapAspmBase = 0xC3;
inline constexpr UINT32 PcieStrapL1ExitLatencyBase = 0xC4;

// The strap of one port: base + (PortId AND 7) x 0x51. Core-1 ports use the
// same eight blocks of their own core's pair.
inline UINT32 PciePortStrap(const EngineDescriptor *Engine, UINT32 Base) {
  return Base + static_cast<UINT32>(PcieEnginePortId(Engine) & 7) * PcieStrapsPerPort;
}

inline UINT32 PcieStrapIndexRegister(const WrapperDescriptor *Wrapper) {
  return Wrapper->WrapperId == 0 ? PcieStrapIndexCore0 : PcieStrapIndexCore1;
}

// Index write (select OR strap number), then the value; Flag as for NBIO
// register writes.
VOID PcieStrapWrite(const SiliconDescriptor *Silicon, const WrapperDescriptor *Wrapper,
                    UINT32 Strap, UINT32 Value, UINT32 Flag);
