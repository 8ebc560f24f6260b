// Realistic device models for simulated trees below root ports.
#pragma once

#include "sim/config_space.h"

namespace sim::catalogue {

// Function 0 of an NBIO device whose other functions are root ports.
DeviceBuilder DummyHostBridge();
// Root port of the NBIO (placeholder vendor ID), with a slot when asked. Its
// device is multi-function: function 0 is a dummy host bridge.
DeviceBuilder RootPort(uint8_t secondaryBus, uint8_t linkWidth, bool slot = false,
                       uint32_t slotCapabilities = 0);
DeviceBuilder SwitchUpstreamPort(uint8_t primary, uint8_t secondary, uint8_t subordinate);
DeviceBuilder SwitchDownstreamPort(uint8_t primary, uint8_t secondary, uint8_t subordinate);
DeviceBuilder NvmeSsd();
DeviceBuilder EthernetNic();
DeviceBuilder WifiCard();
// An x1 gigabit controller whose L0s is broken in the field (1969:1083):
// ASPM blacklist row 28 and a device fix of its own.
DeviceBuilder GigabitNicL0sBroken();
// A device of the platform maker (placeholder vendor ID) that needs its
// root port to advertise a particular L1 exit latency.
DeviceBuilder PlatformCoprocessor(uint16_t deviceId);
DeviceBuilder Gpu();
DeviceBuilder GpuAudio();
DeviceBuilder PcieToPciBridge(uint8_t primary, uint8_t secondary);
DeviceBuilder ConventionalPciDevice();
// A generic PCI Express endpoint with the given identity and payload support.
DeviceBuilder PcieEndpoint(uint16_t vendor, uint16_t device, uint8_t maxPayloadSupported,
                           bool extendedTags);
// One function of a multi-function endpoint (function number 0-7).
DeviceBuilder MultiFunctionEndpoint(uint8_t function);

} // namespace sim::catalogue
