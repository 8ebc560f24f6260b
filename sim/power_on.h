// The control registers a cold boot finds: what a function's writable
// control fields hold after a fundamental reset, so that a capture of a
// running machine can stand for the machine at power-on.
#pragma once

#include "sim/config_space.h"

namespace sim {

// Returns the writable bits of Device Control, Link Control, Device Control
// 2, L1 PM Substates Control 1 and 2, the LTR latencies and the AER masks,
// severities and ECRC enables to their reset values (PCI Express Base r5.0);
// read-only and hardware-initialised bits keep their values.
void ResetToPowerOn(ConfigFunction &f);

} // namespace sim
