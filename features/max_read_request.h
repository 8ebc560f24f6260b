// Max Read Request Size: the platform's setting written into every PCI
// Express function below each ready root port.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

// Codes above this (4096 bytes) leave the devices as they are.
inline constexpr UINT8 MaxReadRequestLargest = 5;

struct PcieMaxReadRequestScanData {
  PciScanData Header;
  UINT8 MaxReadRequest;
};
static_assert(offsetof(PcieMaxReadRequestScanData, MaxReadRequest) == 16);

VOID PcieMaxReadRequestInterface(SiliconDescriptor *Silicon);
UINT32 PcieSetMaxReadRequestSizeCallback(UINT32 Address, PciScanData *Data);
