// ASPM L1 PM Substates (PCI Express Base r5.0, 5.5 and 7.8.3): L1.1 and
// L1.2 enabled on both ends of every link below a port where both ends
// support them, the engine's requests narrowed to what was enabled, and the
// blacklist that withdraws substates from a port's advertised capability.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

struct PcieL1SSScanData {
  PciScanData Header;
  UINT8 L11Request;
  UINT8 L12Request;
  UINT8 L11Enabled;
  UINT8 L12Enabled;
  UINT32 UpstreamAddress;
};
static_assert(offsetof(PcieL1SSScanData, L11Request) == 16);
static_assert(offsetof(PcieL1SSScanData, UpstreamAddress) == 20);

struct PcieL1SSBlackListRow {
  UINT16 VendorId;
  UINT16 DeviceId; // 0xFFFF: any device of the vendor
  UINT16 DisableL11;
  UINT16 DisableL12;
};
inline constexpr UINT32 PcieL1SSBlackListMaxRows = 3;
extern const PcieL1SSBlackListRow PcieL1SSBlackListTable[PcieL1SSBlackListMaxRows];

struct PcieL1SSBlackListScanData {
  PciScanData Header;
  UINT8 L11Allowed;
  UINT8 L12Allowed;
  UINT32 DownstreamAddress;
  UINT32 UpstreamAddress;
};
static_assert(offsetof(PcieL1SSBlackListScanData, L11Allowed) == 16);

VOID PcieAspmL1SSInterface(SiliconDescriptor *Silicon);
VOID PcieAspmL1SSPortInitCallback(EngineDescriptor *Engine);
UINT32 PcieAspmL1SSCallback(UINT32 Address, PciScanData *Data);
VOID PcieL1SSSetLink(UINT32 Upstream, UINT32 Downstream, PcieL1SSScanData *Data);
BOOLEAN PcieGetL1SSCapability(UINT32 Function, UINT32 *Capabilities);
VOID PcieEnableL1SS(UINT32 Function, UINT32 Enables);

VOID PcieL1SSBlackListCheck(SiliconDescriptor *Silicon, WrapperDescriptor *Wrapper,
                            EngineDescriptor *Engine);
UINT32 PcieL1SSBlackListCallback(UINT32 Address, PciScanData *Data);
VOID PcieL1SSBlackListDeviceCheck(PcieL1SSBlackListScanData *Data);
