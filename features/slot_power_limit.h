// Slot power limit: the platform's limit advertised in the Slot
// Capabilities of every root port that has a slot (PCI Express Base r5.0,
// 6.9 and 7.5.3.9), optionally forced to 10 on x1 links.
#pragma once

#include "base/topology.h"

inline constexpr UINT32 SlotPowerLimitX1Value = 10;

VOID PcieSlotPowerLimitInterface(SiliconDescriptor *Silicon);
