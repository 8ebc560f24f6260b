// Common clock configuration (PCI Express Base r5.0, 7.5.3.7): where both
// ends of a link run on the slot's reference clock, Common Clock
// Configuration is set on both and the link is retrained so the new L0s
// and L1 exit latencies take effect.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

struct PcieCommClkScanData {
  PciScanData Header;
  UINT32 UpstreamAddress;
};
static_assert(offsetof(PcieCommClkScanData, UpstreamAddress) == 16);

// How long a retrain may keep Link Training set: the devices of this field
// finish in well under a second.
inline constexpr UINT64 PcieRetrainTimeoutUs = 1000000;

VOID PcieCommClkCfgInterface(SiliconDescriptor *Silicon);
UINT32 PcieCommClkCfgCallback(UINT32 Address, PciScanData *Data);
VOID PcieCommonClockLink(UINT32 Upstream, UINT32 Downstream);
VOID PcieProgramCommonClock(UINT32 Function);
