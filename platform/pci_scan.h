// Visits the present functions of a range of PCI addresses and hands each to
// a feature's callback, which descends below bridges itself.
#pragma once

#include "platform/register_access.h"
#include "uefi/uefi.h"

struct PciScanData;

// Returns scan-control bits: skip the rest of this device, bus, or range.
using PciScanCallback = UINT32 (*)(UINT32 Address, PciScanData *Data);

inline constexpr UINT32 PciScanContinue = 0;
inline constexpr UINT32 PciScanSkipDevice = 1;
inline constexpr UINT32 PciScanSkipBus = 2;
inline constexpr UINT32 PciScanSkipRange = 4;
inline constexpr UINT32 PciScanDone = PciScanSkipDevice | PciScanSkipBus | PciScanSkipRange;

// Common head of every feature's scan record; feature fields follow at 16.
struct PciScanData {
  PciScanCallback Callback;
  UINT64 Reserved;
};
static_assert(offsetof(PciScanData, Callback) == 0);
static_assert(offsetof(PciScanData, Reserved) == 8);
static_assert(sizeof(PciScanData) == 16);

// A set of bus numbers, for walks that enter each of the 256 buses at most
// once however the bridges' secondary bus numbers point.
struct PciBusSet {
  UINT8 Bits[256 / 8];
};
bool PciBusSetHas(const PciBusSet *Set, UINT32 Bus);
VOID PciBusSetAdd(PciBusSet *Set, UINT32 Bus);
// True when Secondary is not in the set yet; otherwise one trace line names
// the walk, the bus and the bridge that is not entered.
bool PciBusNotYetEntered(const PciBusSet *Set, UINT32 Bridge, UINT32 Secondary, const CHAR8 *Walk);

// One walk (the outermost call with the nested ones its callbacks make)
// scans each bus at most once.
VOID PciScan(UINT32 Start, UINT32 End, PciScanData *Data);
VOID PciScanResetState();

// Scans the whole secondary bus of a bridge with the same record. A bridge
// whose Secondary Bus Number is 0, or not above its own bus (which would
// lead back up the tree), is not descended into.
VOID PciScanSecondaryBus(UINT32 Bridge, PciScanData *Data);

// The descent most callbacks make: below root ports and switch ports (device
// types 4, 5 and 6), never below endpoints or other bridges.
VOID PciScanBelowPort(UINT32 Function, PciScanData *Data);

// Every present function of the device that holds Function, in order: 0-7
// when Function's own Header Type has Multi-Function set, else function 0
// only. Apply(address) returns false to stop.
template <typename Action> VOID PciForEachDeviceFunction(UINT32 Function, Action &&Apply) {
  const UINT8 HeaderType = PciReadRegister(Function, PciHeader::HeaderType);
  const UINT32 Last = PciHeader::MultiFunction::Get(HeaderType) != 0 ? 7 : 0;
  for (UINT32 F = 0; F <= Last; ++F) {
    const UINT32 Address = PciAddressOf(PciBus(Function), PciDevice(Function), F);
    if (PciReadRegister(Address, PciHeader::VendorDeviceId) == PciHeader::AbsentFunction) {
      continue;
    }
    if (!Apply(Address)) {
      return;
    }
  }
}
