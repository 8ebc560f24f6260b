// PCIe topology published by the topology producer: packed silicon, wrapper
// and engine descriptors, and the walks every feature repeats over them.
// The producer owns the memory; fields may sit at odd offsets, so every
// record is packed and read with unaligned loads.
#pragma once

#include "base/debug_print.h"
#include "uefi/protocols.h"

inline constexpr UINT32 FlagLast = 0x80000000;
inline constexpr UINT32 FlagLastSilicon = 0x20000000;
inline constexpr UINT32 FlagEngineActive = 0x10000000;
inline constexpr UINT32 FlagSilicon = 0x02000000;
inline constexpr UINT32 FlagWrapper = 0x01000000;
inline constexpr UINT32 FlagEngine = 0x00800000;

struct __attribute__((packed)) TopologyHeader {
  UINT32 Flags;
  UINT16 Reserved4;
  UINT16 PeerOffset;
  UINT16 ChildOffset;
};
static_assert(offsetof(TopologyHeader, Flags) == 0);
static_assert(offsetof(TopologyHeader, PeerOffset) == 6);
static_assert(offsetof(TopologyHeader, ChildOffset) == 8);
static_assert(sizeof(TopologyHeader) == 10);

struct __attribute__((packed)) SiliconDescriptor {
  TopologyHeader Header;
  UINT8 SocketId;
  UINT8 DieId;
  UINT8 Reserved12;
  UINT8 InstanceId;
  UINT32 HostBridgeAddress;
};
static_assert(offsetof(SiliconDescriptor, SocketId) == 10);
static_assert(offsetof(SiliconDescriptor, DieId) == 11);
static_assert(offsetof(SiliconDescriptor, InstanceId) == 13);
static_assert(offsetof(SiliconDescriptor, HostBridgeAddress) == 14);
static_assert(sizeof(SiliconDescriptor) == 18);

struct __attribute__((packed)) WrapperDescriptor {
  TopologyHeader Header;
  UINT8 WrapperId;
  UINT8 Reserved11[5];
  UINT8 WrapperFeatures;
  UINT8 Reserved17;
};
static_assert(offsetof(WrapperDescriptor, WrapperId) == 10);
static_assert(offsetof(WrapperDescriptor, WrapperFeatures) == 16);
static_assert(sizeof(WrapperDescriptor) == 18);

// PortStatus
inline constexpr UINT8 PortReady = 0x08;
// PortControl
inline constexpr UINT8 PortLinkConfigSkip = 0x01;
inline constexpr UINT8 PortClockPm = 0x02;
// SrisOptions
inline constexpr UINT8 SrisEnable = 0x10;
inline constexpr UINT8 SrisSkpOsCheck = 0x20;
// PortPmOptions
inline constexpr UINT8 L11Enable = 0x10;
inline constexpr UINT8 L12Enable = 0x20;
inline constexpr UINT8 SlotPowerLimitScaleShift = 6;

struct __attribute__((packed)) EngineDescriptor {
  TopologyHeader Header;
  UINT8 Reserved10;
  UINT16 StartLane;
  UINT16 EndLane;
  UINT8 PortStatus;
  UINT8 Reserved16[3];
  UINT8 PortDeviceFunction;
  UINT8 PortAspm;
  UINT8 Reserved21[3];
  UINT8 PortControl;
  UINT8 Reserved25[4];
  UINT8 PortLocation;
  UINT32 PortPciAddress;
  UINT8 Reserved34[2];
  UINT8 SlotPowerLimitValue;
  UINT8 MaxPayloadSize;
  UINT8 Reserved38[3];
  UINT8 ClkReqMap;
  UINT8 Reserved42[4];
  UINT8 SrisOptions;
  UINT8 Reserved47[2];
  UINT8 PortPmOptions;
  UINT8 Reserved50[57];
};
static_assert(offsetof(EngineDescriptor, StartLane) == 11);
static_assert(offsetof(EngineDescriptor, EndLane) == 13);
static_assert(offsetof(EngineDescriptor, PortStatus) == 15);
static_assert(offsetof(EngineDescriptor, PortDeviceFunction) == 19);
static_assert(offsetof(EngineDescriptor, PortAspm) == 20);
static_assert(offsetof(EngineDescriptor, PortControl) == 24);
static_assert(offsetof(EngineDescriptor, PortLocation) == 29);
static_assert(offsetof(EngineDescriptor, PortPciAddress) == 30);
static_assert(offsetof(EngineDescriptor, SlotPowerLimitValue) == 36);
static_assert(offsetof(EngineDescriptor, MaxPayloadSize) == 37);
static_assert(offsetof(EngineDescriptor, ClkReqMap) == 41);
static_assert(offsetof(EngineDescriptor, SrisOptions) == 46);
static_assert(offsetof(EngineDescriptor, PortPmOptions) == 49);
static_assert(sizeof(EngineDescriptor) == 107);

// The first topology record is embedded at this offset of the root.
inline constexpr UINTN PlatformDescriptorFirstRecord = 24;

// Upper bounds on the walks. Real platforms stay far below them; a producer
// that breaks its own list invariants must not keep the driver walking.
inline constexpr UINT32 MaxChildChainHops = 64;
inline constexpr UINT32 MaxSilicons = 64;
inline constexpr UINT32 MaxWrappersPerSilicon = 32;
inline constexpr UINT32 MaxEnginesPerWrapper = 64;

inline const TopologyHeader *PcieTopologyFindChild(const void *Record, UINT32 Mask) {
  const auto *Current = static_cast<const TopologyHeader *>(Record);
  for (UINT32 Hop = 0; Hop < MaxChildChainHops; ++Hop) {
    if ((Current->Flags & Mask) != 0) {
      return Current;
    }
    if (Current->ChildOffset == 0) {
      return nullptr;
    }
    Current = reinterpret_cast<const TopologyHeader *>(
        reinterpret_cast<const UINT8 *>(Current) + Current->ChildOffset);
  }
  ReportWalkBound("topology child chain", MaxChildChainHops);
  return nullptr;
}

inline SiliconDescriptor *PcieTopologyFirstSilicon(VOID *PlatformDescriptor) {
  return reinterpret_cast<SiliconDescriptor *>(const_cast<TopologyHeader *>(PcieTopologyFindChild(
      static_cast<UINT8 *>(PlatformDescriptor) + PlatformDescriptorFirstRecord, FlagSilicon)));
}

// A silicon without FlagLastSilicon and with PeerOffset 0 would lead back to
// itself; the walk ends there.
inline SiliconDescriptor *PcieTopologyNextSilicon(SiliconDescriptor *Silicon) {
  if ((Silicon->Header.Flags & FlagLastSilicon) != 0 || Silicon->Header.PeerOffset == 0) {
    return nullptr;
  }
  return reinterpret_cast<SiliconDescriptor *>(reinterpret_cast<UINT8 *>(Silicon) +
                                               Silicon->Header.PeerOffset);
}

inline WrapperDescriptor *PcieTopologyFirstWrapper(SiliconDescriptor *Silicon) {
  return reinterpret_cast<WrapperDescriptor *>(
      const_cast<TopologyHeader *>(PcieTopologyFindChild(Silicon, FlagWrapper)));
}

inline WrapperDescriptor *PcieTopologyNextWrapper(WrapperDescriptor *Wrapper) {
  return (Wrapper->Header.Flags & FlagLast) != 0 ? nullptr : Wrapper + 1;
}

inline EngineDescriptor *PcieTopologyFirstEngine(WrapperDescriptor *Wrapper) {
  return reinterpret_cast<EngineDescriptor *>(
      const_cast<TopologyHeader *>(PcieTopologyFindChild(Wrapper, FlagEngine)));
}

inline EngineDescriptor *PcieTopologyNextEngine(EngineDescriptor *Engine) {
  return (Engine->Header.Flags & FlagLast) != 0 ? nullptr : Engine + 1;
}

inline UINT16 PcieEngineLinkWidth(const EngineDescriptor *Engine) {
  const UINT16 Start = Engine->StartLane;
  const UINT16 End = Engine->EndLane;
  return static_cast<UINT16>((End >= Start ? End - Start : Start - End) + 1);
}

inline bool PcieEngineIsActive(const EngineDescriptor *Engine) {
  return (Engine->Header.Flags & FlagEngineActive) != 0;
}
inline bool PcieEngineIsReady(const EngineDescriptor *Engine) {
  return (Engine->PortStatus & PortReady) != 0;
}
inline bool PcieEngineSkipsLinkConfig(const EngineDescriptor *Engine) {
  return (Engine->PortControl & PortLinkConfigSkip) != 0;
}
inline UINT8 PcieEnginePortId(const EngineDescriptor *Engine) { return Engine->PortLocation >> 4; }
inline UINT8 PcieEngineCoreId(const EngineDescriptor *Engine) { return Engine->PortLocation & 0xF; }
inline UINT8 PcieEngineAspmRequest(const EngineDescriptor *Engine) { return Engine->PortAspm >> 4; }
inline bool PcieEngineWantsL1Substates(const EngineDescriptor *Engine) {
  return (Engine->PortPmOptions & (L11Enable | L12Enable)) != 0;
}
// CLKREQB signal of the port counted from 1; 0 = none.
inline UINT8 PcieEngineClkReqNumber(const EngineDescriptor *Engine) {
  return Engine->ClkReqMap & 0xF;
}
inline UINT8 PcieEngineDevice(const EngineDescriptor *Engine) {
  return Engine->PortDeviceFunction >> 3;
}
inline UINT8 PcieEngineFunction(const EngineDescriptor *Engine) {
  return Engine->PortDeviceFunction & 7;
}

// NBIO register banks of a port: the core bank by WrapperId (0 is core 0,
// any other id core 1) and the port's 4 KiB block by PortId AND 7.
inline constexpr UINT32 NbioCore0Bank = 0x11100000;
inline constexpr UINT32 NbioCore1Bank = 0x11200000;
inline constexpr UINT32 NbioPortBlockShift = 12;
// Core register 0x40 of a bank; bit 0 is cleared while a root port's
// advertised capabilities change, and set at the end of every silicon.
inline constexpr UINT32 NbioCoreRegister40 = 0x80040;
inline constexpr UINT32 NbioCoreRegister40Bit0 = 0x00000001;
inline UINT32 PcieCoreBank(const WrapperDescriptor *Wrapper) {
  return Wrapper->WrapperId == 0 ? NbioCore0Bank : NbioCore1Bank;
}
inline UINT32 PciePortRegister(const WrapperDescriptor *Wrapper, const EngineDescriptor *Engine,
                               UINT32 Offset) {
  return PcieCoreBank(Wrapper) + (static_cast<UINT32>(PcieEnginePortId(Engine) & 7)
                                  << NbioPortBlockShift) +
         Offset;
}

// Every active engine of the silicon in memory order, wrappers in list order.
// Action(silicon, wrapper, engine) applies the feature's own gate itself.
template <typename Action>
inline VOID PcieTopologyForEachEngine(SiliconDescriptor *Silicon, Action &&Apply) {
  WrapperDescriptor *Wrapper = PcieTopologyFirstWrapper(Silicon);
  UINT32 W = 0;
  for (; Wrapper != nullptr && W < MaxWrappersPerSilicon; ++W) {
    EngineDescriptor *Engine = PcieTopologyFirstEngine(Wrapper);
    UINT32 E = 0;
    for (; Engine != nullptr && E < MaxEnginesPerWrapper; ++E) {
      if (PcieEngineIsActive(Engine)) {
        Apply(Silicon, Wrapper, Engine);
      }
      Engine = PcieTopologyNextEngine(Engine);
    }
    if (Engine != nullptr) {
      ReportWalkBound("engines of a wrapper", MaxEnginesPerWrapper);
    }
    Wrapper = PcieTopologyNextWrapper(Wrapper);
  }
  if (Wrapper != nullptr) {
    ReportWalkBound("wrappers of a silicon", MaxWrappersPerSilicon);
  }
}

// Every wrapper of the silicon in list order.
template <typename Action>
inline VOID PcieTopologyForEachWrapper(SiliconDescriptor *Silicon, Action &&Apply) {
  WrapperDescriptor *Wrapper = PcieTopologyFirstWrapper(Silicon);
  UINT32 W = 0;
  for (; Wrapper != nullptr && W < MaxWrappersPerSilicon; ++W) {
    Apply(Wrapper);
    Wrapper = PcieTopologyNextWrapper(Wrapper);
  }
  if (Wrapper != nullptr) {
    ReportWalkBound("wrappers of a silicon", MaxWrappersPerSilicon);
  }
}
