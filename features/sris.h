// Separate Reference clocks with Independent Spread spectrum (PCI Express
// Base r5.0, 4.2.7.3): the port's SRIS mode, its ASPM request withdrawn,
// and lower SKP ordered sets where both ends of the link support them.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

struct PcieSrisScanData {
  PciScanData Header;
  UINT32 SkpOsVectors;
};
static_assert(offsetof(PcieSrisScanData, SkpOsVectors) == 16);

struct PcieSrisSlot {
  UINT8 Core;
  UINT8 Slot;
};
// Core and slot of a root port from its device and function number.
PcieSrisSlot PcieSrisSlotOf(const EngineDescriptor *Engine);

// The sequencer step: every active engine with SrisEnable.
VOID PcieSrisInit(SiliconDescriptor *Silicon);
VOID PcieSrisInitCallback(SiliconDescriptor *Silicon, EngineDescriptor *Engine);
UINT32 PcieGetSrisCapabilityCallback(UINT32 Address, PciScanData *Data);
