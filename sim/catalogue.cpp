#include "sim/catalogue.h"

namespace sim::catalogue {

namespace {

constexpr uint16_t kPlatformVendor = 0xFFF0; // placeholder, assigned to no company

uint32_t LinkCapabilities(uint8_t width, uint8_t speed, bool clockPm) {
  // PCI Express Base r5.0, 7.5.3.6: speed 3:0, width 9:4, ASPM L0s+L1 11:10,
  // L0s exit 2 (256-512 ns), L1 exit 2 (2-4 us), Clock PM 18.
  return speed | (static_cast<uint32_t>(width) << 4) | 0x0C00 | 0x2000 | 0x10000 |
         (clockPm ? 0x40000 : 0);
}

uint16_t LinkStatus(uint8_t width, uint8_t speed, bool slotClock) {
  return static_cast<uint16_t>(speed | (width << 4) | (slotClock ? 0x1000 : 0));
}

PcieCapabilityFields Endpoint(uint8_t width, uint8_t speed, uint8_t mpsCode, bool extTag,
                            bool clockPm) {
  PcieCapabilityFields s;
  s.type = PortType::Endpoint;
  s.deviceCapabilities = mpsCode | (extTag ? 0x20 : 0) | 0x0FC0 | 0x8000;
  s.linkCapabilities = LinkCapabilities(width, speed, clockPm);
  s.linkStatus = LinkStatus(width, speed, true);
  return s;
}

} // namespace

DeviceBuilder DummyHostBridge() {
  DeviceBuilder b;
  b.Ids(kPlatformVendor, 0x5A02).ClassCode(0x060000).MultiFunction();
  return b;
}

DeviceBuilder RootPort(uint8_t secondaryBus, uint8_t linkWidth, bool slot,
                       uint32_t slotCapabilities) {
  PcieCapabilityFields s;
  s.type = PortType::RootPort;
  s.slotImplemented = slot;
  s.slotCapabilities = slotCapabilities;
  s.deviceCapabilities = 0x00008025; // 4096 B, extended tags
  s.linkCapabilities = LinkCapabilities(linkWidth, 4, true);
  s.linkStatus = LinkStatus(linkWidth, 4, true);
  s.deviceCapabilities2 = 0x00000800;
  DeviceBuilder b;
  b.Ids(kPlatformVendor, 0x5A01).Bridge(0, secondaryBus, secondaryBus).MultiFunction();
  // These root ports place power management at 0x50 and their PCI Express
  // capability at 0x58, so Link Capabilities 2 sits at 0x84.
  b.StandardCapabilitiesFrom(0x50).PowerManagement();
  b.PciExpress(s).Aer().L1Substates();
  return b;
}

DeviceBuilder SwitchUpstreamPort(uint8_t primary, uint8_t secondary, uint8_t subordinate) {
  PcieCapabilityFields s = Endpoint(4, 3, 2, true, true);
  s.type = PortType::UpstreamPort;
  DeviceBuilder b;
  b.Ids(0x10B5, 0x8747).Bridge(primary, secondary, subordinate).PowerManagement();
  b.PciExpress(s).Aer();
  return b;
}

DeviceBuilder SwitchDownstreamPort(uint8_t primary, uint8_t secondary, uint8_t subordinate) {
  PcieCapabilityFields s = Endpoint(4, 3, 2, true, true);
  s.type = PortType::DownstreamPort;
  s.slotImplemented = true;
  DeviceBuilder b;
  b.Ids(0x10B5, 0x8747).Bridge(primary, secondary, subordinate).PowerManagement();
  b.PciExpress(s).Aer();
  return b;
}

DeviceBuilder NvmeSsd() {
  DeviceBuilder b;
  b.Ids(0x144D, 0xA808).ClassCode(0x010802).PowerManagement();
  b.PciExpress(Endpoint(4, 3, 2, true, true)).Aer().Ltr().L1Substates();
  return b;
}

DeviceBuilder EthernetNic() {
  DeviceBuilder b;
  b.Ids(0x10EC, 0x8168).ClassCode(0x020000).PowerManagement();
  b.PciExpress(Endpoint(1, 1, 1, false, true)).Aer();
  return b;
}

DeviceBuilder WifiCard() {
  DeviceBuilder b;
  b.Ids(0x14C3, 0x7961).ClassCode(0x028000).PowerManagement();
  b.PciExpress(Endpoint(1, 2, 0, true, true)).Ltr().L1Substates({0x0028281F, 0, 0});
  return b;
}

DeviceBuilder GigabitNicL0sBroken() {
  DeviceBuilder b;
  b.Ids(0x1969, 0x1083).ClassCode(0x020000).PowerManagement();
  b.PciExpress(Endpoint(1, 1, 0, false, true)).Aer();
  return b;
}

DeviceBuilder PlatformCoprocessor(uint16_t deviceId) {
  DeviceBuilder b;
  b.Ids(kPlatformVendor, deviceId).ClassCode(0x120000).PowerManagement();
  b.PciExpress(Endpoint(4, 3, 1, true, true)).Aer().Ltr().L1Substates();
  return b;
}

DeviceBuilder Gpu() {
  DeviceBuilder b;
  b.Ids(0x10DE, 0x2204).ClassCode(0x030000).MultiFunction().PowerManagement();
  b.PciExpress(Endpoint(16, 4, 1, true, false)).Aer().Ltr().L1Substates();
  return b;
}

DeviceBuilder GpuAudio() {
  DeviceBuilder b;
  b.Ids(0x10DE, 0x1AEF).ClassCode(0x040300).MultiFunction().PowerManagement();
  b.PciExpress(Endpoint(16, 4, 1, true, false));
  return b;
}

DeviceBuilder PcieToPciBridge(uint8_t primary, uint8_t secondary) {
  PcieCapabilityFields s = Endpoint(1, 1, 1, false, false);
  s.type = PortType::PcieToPciBridge;
  DeviceBuilder b;
  b.Ids(0x1B21, 0x1080).Bridge(primary, secondary, secondary).PowerManagement();
  b.PciExpress(s);
  return b;
}

DeviceBuilder ConventionalPciDevice() {
  DeviceBuilder b;
  b.Ids(0x1106, 0x3044).ClassCode(0x0C0010).PowerManagement();
  return b;
}

DeviceBuilder PcieEndpoint(uint16_t vendor, uint16_t device, uint8_t maxPayloadSupported,
                           bool extendedTags) {
  DeviceBuilder b;
  b.Ids(vendor, device).ClassCode(0x020000).PowerManagement();
  b.PciExpress(Endpoint(4, 3, maxPayloadSupported, extendedTags, true)).Aer();
  return b;
}

DeviceBuilder MultiFunctionEndpoint(uint8_t function) {
  DeviceBuilder b;
  b.Ids(0x14E4, static_cast<uint16_t>(0x165F + function)).ClassCode(0x020000).MultiFunction();
  b.PowerManagement().PciExpress(Endpoint(2, 2, 1, true, true)).Aer();
  return b;
}

} // namespace sim::catalogue
