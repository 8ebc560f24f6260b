#pragma once

#include "base/topology.h"

// Programs the clock-gating registers of every PCIe core of the silicon.
VOID PciePwrClockGating(SiliconDescriptor *Silicon);
