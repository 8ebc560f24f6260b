// Active State Power Management: the blacklist pass that narrows each
// port's request and its ASPM strap, and the link pass that enables the
// agreed states on both ends of every link (PCI Express Base r5.0, 5.4.1).
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

// ASPM Control encoding of Link Control (7.5.3.7).
inline constexpr UINT32 AspmL0s = 1;
inline constexpr UINT32 AspmL1 = 2;

struct PcieAspmBlackListRow {
  UINT16 VendorId;
  UINT16 DeviceId; // 0xFFFF: any device of the vendor
  UINT16 AspmMask; // ANDed into ASPM Control values
  UINT16 AspmCap;  // 1: leave the port's ASPM strap alone
};

inline constexpr UINT32 PcieAspmBlackListRows = 31;
// Row 3 (index 2) takes its identifiers from the platform data.
PcieAspmBlackListRow PcieAspmBlackListTable(UINT32 Index);

struct PcieAspmBlackListScanData {
  PciScanData Header;
  UINT16 AspmMask;
  UINT32 DownstreamAddress;
  UINT32 UpstreamAddress;
  UINT8 Found;
  UINT16 AspmCap;
};
static_assert(offsetof(PcieAspmBlackListScanData, AspmMask) == 16);

struct PcieAspmScanData {
  PciScanData Header;
  UINT32 Aspm;
  UINT32 UpstreamAddress;
  UINT8 L0sBlackListed;
};
static_assert(offsetof(PcieAspmScanData, Aspm) == 16);
static_assert(offsetof(PcieAspmScanData, UpstreamAddress) == 20);
static_assert(offsetof(PcieAspmScanData, L0sBlackListed) == 24);

struct PcieAspmLinkData {
  UINT32 UpstreamAddress;
  UINT32 UpstreamAspm;
  UINT32 DownstreamAddress;
  UINT32 DownstreamAspm;
  UINT32 RequestedAspm;
  UINT8 BlackListed;
};

VOID PcieAspmBlackListInterface(SiliconDescriptor *Silicon);
UINT32 PcieAspmBlackListCallback(UINT32 Address, PciScanData *Data);
VOID PcieAspmBlackListDeviceCheck(PcieAspmBlackListScanData *Data);

VOID PcieAspmInterface(SiliconDescriptor *Silicon);
UINT32 PcieAspmCallback(UINT32 Address, PciScanData *Data);
VOID PcieAspmSetLink(UINT32 Upstream, UINT32 Downstream, UINT32 Requested, UINT8 *L0sBlackListed);
VOID PcieAspmBlackListLinkCheck(PcieAspmLinkData *Link);
VOID PcieAspmSetDeviceFunctions(UINT32 Device, UINT32 Value);
