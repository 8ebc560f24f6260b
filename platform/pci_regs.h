// PCI and PCI Express configuration registers the driver uses, named as in
// the PCI Local Bus r3.0 and PCI Express Base r5.0 standards. Capability
// registers are given relative to their capability; CapabilityRegister in
// platform/register_access.h binds them to a function.
#pragma once

#include "platform/register_fields.h"

// PCI Local Bus r3.0, 6.1: type 0/1 configuration header.
namespace PciHeader {
inline constexpr ConfigRegister<UINT32> VendorDeviceId{0x00};
inline constexpr ConfigRegister<UINT32> CommandStatus{0x04};
inline constexpr ConfigRegister<UINT8> HeaderType{0x0E};
inline constexpr ConfigRegister<UINT8> CapabilitiesPointer{0x34};
// PCI-to-PCI Bridge r1.2, 3.2.5.3-3.2.5.6: primary, secondary and
// subordinate bus numbers and the secondary latency timer in one dword.
inline constexpr ConfigRegister<UINT32> BusNumbers{0x18};
inline constexpr ConfigRegister<UINT8> SecondaryBusNumber{0x19};

inline constexpr UINT32 AbsentFunction = 0xFFFFFFFF;
using HeaderLayout = RegisterField<UINT8, 6, 0>;
using MultiFunction = RegisterBit<UINT8, 7>;
using VendorId = RegisterField<UINT32, 15, 0>;
using DeviceId = RegisterField<UINT32, 31, 16>;
inline constexpr UINT8 LayoutBridge = 1;
// PCI Local Bus r3.0, 6.2.2: Command bit 6.
using ParityErrorResponse = RegisterBit<UINT32, 6>;
} // namespace PciHeader

// PCI Local Bus r3.0, 6.7: capability list entries.
namespace PciCapability {
inline constexpr UINT8 IdPciExpress = 0x10;
inline constexpr UINT16 IdOffset = 0;
inline constexpr UINT16 NextOffset = 1;
} // namespace PciCapability

// PCI Express Base r5.0, 7.5.3: PCI Express capability structure.
namespace PcieCap {
// Capability header with the PCI Express Capabilities register in 31:16.
inline constexpr ConfigRegister<UINT32> Header{0x00};
inline constexpr ConfigRegister<UINT8> CapabilitiesLow{0x02};
inline constexpr ConfigRegister<UINT32> DeviceCapabilities{0x04};
inline constexpr ConfigRegister<UINT32> DeviceControl{0x08}; // Device Status in 31:16
inline constexpr ConfigRegister<UINT32> LinkCapabilities{0x0C};
inline constexpr ConfigRegister<UINT32> LinkControl{0x10}; // Link Status in 31:16
inline constexpr ConfigRegister<UINT8> LinkControlLow{0x10};
inline constexpr ConfigRegister<UINT16> LinkStatus{0x12};
inline constexpr ConfigRegister<UINT32> SlotCapabilities{0x14};
inline constexpr ConfigRegister<UINT32> DeviceCapabilities2{0x24};
inline constexpr ConfigRegister<UINT32> DeviceControl2{0x28};
inline constexpr ConfigRegister<UINT32> LinkCapabilities2{0x2C};
// Bytes from the capability's header through the last register the driver
// uses on any function (Slot Capabilities), and through Link Capabilities 2
// for the registers a version 2 capability adds. A capability must hold
// them below 0x100 (PCI Local Bus r3.0, 6.7).
inline constexpr UINT16 Extent = 0x18;
inline constexpr UINT16 ExtentVersion2 = 0x30;
inline constexpr UINT32 Version2 = 2;

// 7.5.3.2 PCI Express Capabilities, seen in the header dword.
using CapabilityVersion = RegisterField<UINT32, 19, 16>;
using SlotImplemented = RegisterBit<UINT32, 24>;
using DevicePortType = RegisterField<UINT8, 7, 4>; // in the capabilities' low byte

// 7.5.3.3 Device Capabilities.
using MaxPayloadSizeSupported = RegisterField<UINT32, 2, 0>;
using ExtendedTagFieldSupported = RegisterBit<UINT32, 5>;
using EndpointL0sAcceptableLatency = RegisterField<UINT32, 8, 6>;
using EndpointL1AcceptableLatency = RegisterField<UINT32, 11, 9>;

// 7.5.3.4 Device Control, as the low half of the Device Control / Device
// Status dword the driver reads and writes whole.
using MaxPayloadSize = RegisterField<UINT32, 7, 5>;
using ExtendedTagFieldEnable = RegisterBit<UINT32, 8>;
using MaxReadRequestSize = RegisterField<UINT32, 14, 12>;

// 7.5.3.6 Link Capabilities.
using AspmSupport = RegisterField<UINT32, 11, 10>;
using L0sExitLatency = RegisterField<UINT32, 14, 12>;
using L1ExitLatency = RegisterField<UINT32, 17, 15>;
using ClockPowerManagement = RegisterBit<UINT32, 18>;
using AspmOptionalityCompliance = RegisterBit<UINT32, 22>;

// 7.5.3.7 Link Control and 7.5.3.8 Link Status, as one dword.
using AspmControl = RegisterField<UINT32, 1, 0>;
using RetrainLink = RegisterBit<UINT32, 5>;
using CommonClockConfiguration = RegisterBit<UINT32, 6>;
using EnableClockPowerManagement = RegisterBit<UINT32, 8>;
using LinkTraining = RegisterBit<UINT32, 27>;
using SlotClockConfiguration = RegisterBit<UINT32, 28>;
using AspmControlLow = RegisterField<UINT8, 1, 0>; // in the low byte
// 7.5.3.8 Link Status alone.
using NegotiatedLinkWidth = RegisterField<UINT16, 9, 4>;

// 7.5.3.9 Slot Capabilities.
using SlotPowerLimitValue = RegisterField<UINT32, 14, 7>;
using SlotPowerLimitScale = RegisterField<UINT32, 16, 15>;

// 7.5.3.15 Device Capabilities 2 and 7.5.3.16 Device Control 2.
using LtrMechanismSupported = RegisterBit<UINT32, 11>;
using LtrMechanismEnable = RegisterBit<UINT32, 10>;
} // namespace PcieCap

// PCI Express Base r5.0, 7.6: extended capability header at 0x100.
namespace PcieExtCap {
inline constexpr UINT16 First = 0x100;
inline constexpr UINT32 End = 0x1000;
using Id = RegisterField<UINT32, 15, 0>;
using NextOffset = RegisterField<UINT32, 31, 20>;
} // namespace PcieExtCap

// PCI Express Base r5.0, 7.8.4: Advanced Error Reporting capability.
namespace AerCap {
inline constexpr UINT16 Id = 0x0001;
inline constexpr ConfigRegister<UINT32> UncorrectableErrorMask{0x08};
inline constexpr ConfigRegister<UINT32> UncorrectableErrorSeverity{0x0C};
inline constexpr ConfigRegister<UINT32> CorrectableErrorMask{0x14};
inline constexpr ConfigRegister<UINT32> CapabilitiesControl{0x18};
inline constexpr UINT16 Extent = 0x1C; // through Capabilities and Control
// 7.8.4.7 Advanced Error Capabilities and Control.
using EcrcGenerationCapable = RegisterBit<UINT32, 5>;
using EcrcGenerationEnable = RegisterBit<UINT32, 6>;
using EcrcCheckCapable = RegisterBit<UINT32, 7>;
using EcrcCheckEnable = RegisterBit<UINT32, 8>;
// 7.8.4.4 Uncorrectable Error Severity: ECRC Error Severity.
using EcrcErrorSeverity = RegisterBit<UINT32, 19>;
} // namespace AerCap

// PCI Express Base r5.0, 7.8.2: Latency Tolerance Reporting capability.
namespace LtrCap {
inline constexpr UINT16 Id = 0x0018;
// Max Snoop Latency in 15:0, Max No-Snoop Latency in 31:16.
inline constexpr ConfigRegister<UINT32> MaxLatency{0x04};
inline constexpr UINT16 Extent = 0x08;
} // namespace LtrCap

// PCI Express Base r5.0, 7.8.3: L1 PM Substates capability.
namespace L1ssCap {
inline constexpr UINT16 Id = 0x001E;
inline constexpr ConfigRegister<UINT32> Capabilities{0x04};
inline constexpr ConfigRegister<UINT32> Control1{0x08};
inline constexpr ConfigRegister<UINT32> Control2{0x0C};
inline constexpr UINT16 Extent = 0x10;
// 7.8.3.2 Capabilities; the enables of Control 1 sit in the same bits 3:0.
using PciPmL12 = RegisterBit<UINT32, 0>;
using PciPmL11 = RegisterBit<UINT32, 1>;
using AspmL12 = RegisterBit<UINT32, 2>;
using AspmL11 = RegisterBit<UINT32, 3>;
using L1PmSubstatesSupported = RegisterBit<UINT32, 4>;
using Enables = RegisterField<UINT32, 3, 0>;
using PortCommonModeRestoreTime = RegisterField<UINT32, 15, 8>;
using PortTPowerOnScale = RegisterField<UINT32, 17, 16>;
using PortTPowerOnValue = RegisterField<UINT32, 23, 19>;
// 7.8.3.3 Control 1.
using CommonModeRestoreTime = RegisterField<UINT32, 15, 8>;
using LtrL12ThresholdValue = RegisterField<UINT32, 25, 16>;
using LtrL12ThresholdScale = RegisterField<UINT32, 31, 29>;
// 7.8.3.4 Control 2.
using TPowerOnScale = RegisterField<UINT32, 1, 0>;
using TPowerOnValue = RegisterField<UINT32, 7, 3>;
} // namespace L1ssCap

// PCI Express Base r5.0, 7.5.3.2: Device/Port Type values.
inline constexpr UINT8 PcieDeviceEndPoint = 0;
inline constexpr UINT8 PcieDeviceLegacyEndPoint = 1;
inline constexpr UINT8 PcieDeviceRootComplex = 4;
inline constexpr UINT8 PcieDeviceUpstreamPort = 5;
inline constexpr UINT8 PcieDeviceDownstreamPort = 6;
inline constexpr UINT8 PcieDeviceNoPcieCapability = 255;

inline constexpr bool PcieIsEndpointType(UINT8 Type) {
  return Type == PcieDeviceEndPoint || Type == PcieDeviceLegacyEndPoint;
}
inline constexpr bool PcieIsDownstreamPortType(UINT8 Type) {
  return Type == PcieDeviceRootComplex || Type == PcieDeviceDownstreamPort;
}
inline constexpr bool PcieIsPortType(UINT8 Type) {
  return PcieIsDownstreamPortType(Type) || Type == PcieDeviceUpstreamPort;
}
