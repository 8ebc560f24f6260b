// ---------------------------------------------------------------------------
// PLATFORM DATA: identifiers that belong to the board maker, not to this
// driver. The defaults are placeholders assigned to no company; a platform
// build replaces them by defining KEL_PLATFORM_DATA_INITIALIZER (see
// platform/platform_data.cpp), and the simulator may replace them at run
// time to model a particular board.
// ---------------------------------------------------------------------------
#pragma once

#include "uefi/base.h"

inline constexpr UINT32 L1ExitLatencyDeviceCount = 24;

struct PlatformDataTable {
  // The platform maker's own PCI vendor ID and the devices of it that need
  // their root port to advertise a particular L1 exit latency.
  UINT16 PlatformVendorId;
  UINT16 L1ExitLatencyDeviceIds[L1ExitLatencyDeviceCount];
  // The maker's second vendor ID and the device of it for which ASPM must
  // stay off (ASPM blacklist row 3).
  UINT16 SecondPlatformVendorId;
  UINT16 SecondPlatformAspmDeviceId;
};

extern const PlatformDataTable PlatformDataDefaults;
// What the driver uses; the build's values unless a simulator set others.
extern PlatformDataTable gPlatformData;

VOID PlatformDataReset();
