// L1 exit latency: platform devices that need their root port to advertise
// a particular L1 exit latency get it through the port's strap.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

struct PcieL1ExitLatencyRow {
  UINT16 VendorId;
  UINT16 DeviceId; // exact, no wildcard
  UINT16 L1ExitLatency;
};
inline constexpr UINT32 PcieL1ExitLatencyRows = 24;
inline constexpr UINT16 PcieL1ExitLatencyNone = 0xFFFF;
// Every row is a platform device (platform data) with latency 5.
PcieL1ExitLatencyRow PcieL1ExitLatencyTable(UINT32 Index);

struct PcieL1ExitLatencyScanData {
  PciScanData Header;
  UINT32 CurrentAddress;
  UINT16 L1ExitLatency;
  UINT8 Found;
};
static_assert(offsetof(PcieL1ExitLatencyScanData, CurrentAddress) == 16);

VOID PcieL1ExitLatencyInterface(SiliconDescriptor *Silicon);
UINT32 PcieL1ExitLatencyCallback(UINT32 Address, PciScanData *Data);
