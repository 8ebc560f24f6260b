// Matching of device-table rows against a link. Tables hold 32-bit
// identifier dwords' halves: vendor ID in bits 15:0, device ID in 31:16.
#pragma once

#include "platform/pci_scan.h"

// A device ID of 0xFFFF in a row matches every device of the vendor.
inline constexpr UINT16 DeviceTableAnyDevice = 0xFFFF;

// A row matches a link when its vendor is the vendor of either end and its
// device is any device or the device of either end; the two may come from
// different ends, so a bad device behind a particular port model matches.
inline bool PcieLinkMatchesRow(UINT16 VendorId, UINT16 DeviceId, UINT32 DownstreamId,
                               UINT32 UpstreamId) {
  const bool Vendor = VendorId == PciHeader::VendorId::Get(DownstreamId) ||
                      VendorId == PciHeader::VendorId::Get(UpstreamId);
  const bool Device = DeviceId == DeviceTableAnyDevice ||
                      DeviceId == PciHeader::DeviceId::Get(DownstreamId) ||
                      DeviceId == PciHeader::DeviceId::Get(UpstreamId);
  return Vendor && Device;
}

// The walk both blacklist scans make: a root or switch downstream port
// becomes the upstream end of the links below it; an endpoint or a switch
// upstream port is the downstream end of the link above it and is checked
// against the table. Endpoints end their device: one check per device.
template <typename Record, VOID (*Check)(Record *)>
UINT32 PcieBlackListLinkWalk(UINT32 Address, PciScanData *Data) {
  Record *Scan = reinterpret_cast<Record *>(Data);
  const UINT8 Type = PcieGetPortType(Address);
  if (PcieIsEndpointType(Type)) {
    Scan->DownstreamAddress = Address;
    Check(Scan);
    return PciScanSkipDevice;
  }
  if (PcieIsDownstreamPortType(Type)) {
    Scan->UpstreamAddress = Address;
    PciScanSecondaryBus(Address, Data);
  } else if (Type == PcieDeviceUpstreamPort) {
    Scan->DownstreamAddress = Address;
    Check(Scan);
    PciScanSecondaryBus(Address, Data);
  }
  return PciScanContinue;
}
