// Latency tolerance reporting for ASPM L1.2 (PCI Express Base r5.0, 6.18
// and 5.5.4): T_POWER_ON and Common_Mode_Restore_Time agreed between each
// port and the device below it, the LTR_L1.2_THRESHOLD, the maximum snoop
// and no-snoop latencies and LTR Mechanism Enable, all only when every
// function of the hierarchy supports LTR.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

struct PcieLtrScanData {
  PciScanData Header;
  UINT8 LtrSupported;
};
static_assert(offsetof(PcieLtrScanData, LtrSupported) == 16);

// LTR_L1.2_THRESHOLD 1 x 32768 ns; 1 x 1048576 ns in both latency halves.
inline constexpr UINT32 LtrL12ThresholdKeep = 0x1C00FFFF;
inline constexpr UINT32 LtrL12Threshold = 0x60010000;
inline constexpr UINT32 LtrMaxLatencyKeep = 0xF001F001;
inline constexpr UINT32 LtrMaxLatency = 0x10011001;

// T_POWER_ON in microseconds from an L1 PM Substates Capabilities dword.
UINT32 PcieTPowerOnTime(UINT32 Capabilities);

VOID PcieLtrInterface(SiliconDescriptor *Silicon);
VOID PcieLTRPortInitCallback(EngineDescriptor *Engine);
UINT32 GetPcieLTRCallback(UINT32 Address, PciScanData *Data);
UINT32 SetPcieLTRCallback(UINT32 Address, PciScanData *Data);
VOID PcieSetLtrL12Threshold(UINT32 Function);
VOID PcieSetL1SSTiming(UINT32 Port, UINT16 L1ssOffset);
