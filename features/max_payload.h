// Max Payload Size: capped by link width, then the smallest size every
// function of a root port's tree supports, programmed everywhere.
#pragma once

#include "base/topology.h"
#include "platform/pci_scan.h"

// Max Payload Size codes (PCI Express Base r5.0, 7.5.3.4): 0 = 128 bytes.
inline constexpr UINT8 MaxPayload128 = 0;
inline constexpr UINT8 MaxPayload256 = 1;
inline constexpr UINT8 MaxPayload512 = 2;

struct PcieMaxPayloadOverride {
  UINT16 VendorId;
  UINT16 DeviceId; // 0xFFFF matches every device of the vendor
  UINT8 MaxPayload;
};
inline constexpr UINT16 PcieMaxPayloadAnyDevice = 0xFFFF;

extern const PcieMaxPayloadOverride PcieMaxPayloadOverrideTable[2];

// The payload a function can take: Max_Payload_Size Supported from its
// Device Capabilities, replaced by every matching override row in order.
UINT8 PcieSupportedMaxPayload(UINT32 VendorDeviceId, UINT32 DeviceCapabilities);

// Narrower links take smaller payloads: x1 128 bytes, x2 256, x4 and wider
// 512; a width of 3 keeps the request.
UINT8 PcieCapMaxPayloadByLinkWidth(UINT8 MaxPayload, UINT16 LinkWidth);

struct PcieMaxPayloadScanData {
  PciScanData Header;
  UINT8 MaxPayload;
  UINT8 ExtendedTagEnable;
};
static_assert(offsetof(PcieMaxPayloadScanData, MaxPayload) == 16);
static_assert(offsetof(PcieMaxPayloadScanData, ExtendedTagEnable) == 17);

VOID PcieMaxPayloadInterface(SiliconDescriptor *Silicon);
VOID PcieSetMaxPayload(UINT32 RootPort, UINT8 MaxPayload);
UINT32 PcieGetMaxPayloadCallback(UINT32 Address, PciScanData *Data);
UINT32 PcieSetMaxPayloadCallback(UINT32 Address, PciScanData *Data);
