// The built-in reference platform: two silicons, both PCIe cores, and a
// realistic set of devices that exercises every feature of the driver.
#pragma once

#include "sim/platform.h"

namespace sim {

struct ReferencePlatform {
  TopologyLayout topology;
  BuiltTopology built;
};

// Populates the platform (silicons, devices, PCDs, processor) and publishes
// the topology; returns what was built.
ReferencePlatform BuildReferencePlatform(Platform &platform);

} // namespace sim
