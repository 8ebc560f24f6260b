// Clock power management and the CLKREQ# map: Enable Clock Power
// Management on the endpoints of ports that ask for it (PCI Express Base
// r5.0, 7.5.3.7), and the map from CLKREQB signals to the ports that use
// L1 substates, programmed into one PCIe core.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

inline constexpr UINT32 PcieClkReqSignals = 5;
inline constexpr UINT8 PcieClkReqUnassigned = 0xFF;

struct PcieClkReqMapEntry {
  UINT8 AssignedPort; // core-relative port using the signal; 0xFF = none
  UINT8 MapValue;     // the signal's 4-bit field value
};

// Driver-wide: AssignedPort is back to 0xFF after every silicon, MapValue
// carries over to the next silicon.
extern PcieClkReqMapEntry PcieClkReqMapTable[PcieClkReqSignals];

// True when the engine names one of the five CLKREQB signals (ClkReqNumber
// 1-5). Numbers 6-15 name none and count as 0, with one trace line: a port
// without a signal gets neither L1 substates nor a map entry, since nothing
// could request its clock back.
bool PcieEngineHasClkReqSignal(const EngineDescriptor *Engine);

VOID PcieClkPmInterface(SiliconDescriptor *Silicon);
UINT32 PcieClkPmCallback(UINT32 Address, PciScanData *Data);
// True when every present function of the device advertises Clock Power
// Management; reads only.
BOOLEAN PcieClkPmDeviceCheck(UINT32 Function);

VOID PcieClkReqInterface(SiliconDescriptor *Silicon);
UINT32 SetPcieClkReqPmmEnableCallback(UINT32 Address, PciScanData *Data);
VOID PcieClkReqMapResolve();

VOID ClockPmResetState();
