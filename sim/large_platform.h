// A large platform for measuring the pass: four silicons, both PCIe cores of
// each with eight root ports, half of them behind four-port switches, every
// endpoint an eight-function device, every feature requested.
#pragma once

#include "sim/platform.h"

namespace sim {

struct LargePlatform {
  TopologyLayout topology;
  BuiltTopology built;
  size_t functions = 0; // every function below the host bridges, root ports included
};

LargePlatform BuildLargePlatform(Platform &platform);

} // namespace sim
