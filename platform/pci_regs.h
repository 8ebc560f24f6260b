// PCI and PCI Express configuration registers the driver uses, named as in
// the PCI Local Bus r3.0 and PCI Express Base r5.0 standards.
#pragma once

#include "platform/register_fields.h"

// PCI Local Bus r3.0, 6.1: type 0/1 configuration header.
namespace PciHeader {
inline constexpr ConfigRegister<UINT32> VendorDeviceId{0x00};
inline constexpr ConfigRegister<UINT8> HeaderType{0x0E};
inline constexpr ConfigRegister<UINT8> CapabilitiesPointer{0x34};
// PCI-to-PCI Bridge r1.2, 3.2.5.4.
inline constexpr ConfigRegister<UINT8> SecondaryBusNumber{0x19};

inline constexpr UINT32 AbsentFunction = 0xFFFFFFFF;
using HeaderLayout = RegisterField<UINT8, 6, 0>;
using MultiFunction = RegisterBit<UINT8, 7>;
using VendorId = RegisterField<UINT32, 15, 0>;
using DeviceId = RegisterField<UINT32, 31, 16>;
} // namespace PciHeader

// PCI Local Bus r3.0, 6.7: capability list entries.
namespace PciCapability {
inline constexpr UINT8 IdPciExpress = 0x10;
inline constexpr UINT16 IdOffset = 0;
inline constexpr UINT16 NextOffset = 1;
} // namespace PciCapability

// PCI Express Base r5.0, 7.5.3: PCI Express capability structure, offsets
// relative to the capability.
namespace PcieCap {
inline constexpr UINT16 Capabilities = 0x02; // 16-bit
inline constexpr UINT16 DeviceCapabilities = 0x04;
inline constexpr UINT16 DeviceControl = 0x08; // Device Status in 31:16
inline constexpr UINT16 LinkCapabilities = 0x0C;
inline constexpr UINT16 LinkControl = 0x10; // Link Status in 31:16
inline constexpr UINT16 SlotCapabilities = 0x14;
inline constexpr UINT16 DeviceCapabilities2 = 0x24;
inline constexpr UINT16 DeviceControl2 = 0x28;

using DevicePortType = RegisterField<UINT16, 7, 4>;

// 7.5.3.3 Device Capabilities.
using MaxPayloadSizeSupported = RegisterField<UINT32, 2, 0>;
using ExtendedTagFieldSupported = RegisterBit<UINT32, 5>;

// 7.5.3.4 Device Control, as the low half of the Device Control / Device
// Status dword the driver reads and writes whole.
using MaxPayloadSize = RegisterField<UINT32, 7, 5>;
using ExtendedTagFieldEnable = RegisterBit<UINT32, 8>;
using MaxReadRequestSize = RegisterField<UINT32, 14, 12>;
} // namespace PcieCap

// PCI Express Base r5.0, 7.6: extended capability header at 0x100.
namespace PcieExtCap {
inline constexpr UINT16 First = 0x100;
using Id = RegisterField<UINT32, 15, 0>;
using NextOffset = RegisterField<UINT32, 31, 20>;
} // namespace PcieExtCap

// PCI Express Base r5.0, 7.5.3.2: Device/Port Type values.
inline constexpr UINT8 PcieDeviceEndPoint = 0;
inline constexpr UINT8 PcieDeviceLegacyEndPoint = 1;
inline constexpr UINT8 PcieDeviceRootComplex = 4;
inline constexpr UINT8 PcieDeviceUpstreamPort = 5;
inline constexpr UINT8 PcieDeviceDownstreamPort = 6;
inline constexpr UINT8 PcieDeviceNoPcieCapability = 255;
