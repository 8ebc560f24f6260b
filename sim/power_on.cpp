#include "sim/power_on.h"

#include "platform/pci_regs.h"

namespace sim {

namespace {

// Reset values, PCI Express Base r5.0.
// 7.5.3.4 Device Control: Enable Relaxed Ordering and Enable No Snoop set,
// Max_Read_Request_Size 512 bytes, everything else (Max_Payload_Size 128
// bytes, error reporting, Extended Tag Field Enable) clear.
constexpr uint32_t kDeviceControl = 0x2810;
// 7.5.3.7 Link Control and 7.5.3.16 Device Control 2: all clear.
constexpr uint32_t kLinkControl = 0;
constexpr uint32_t kDeviceControl2 = 0;
// 7.8.3.3 L1 PM Substates Control 1: enables and LTR_L1.2_THRESHOLD clear;
// Common_Mode_Restore_Time is taken as 0 too.
constexpr uint32_t kL1ssControl1 = 0;
// 7.8.3.4 L1 PM Substates Control 2: T_POWER_ON Scale 0, Value 00101b.
constexpr uint32_t kL1ssControl2 = 0x28;
// 7.8.2.2, 7.8.2.3 Max Snoop and No-Snoop Latency: 0.
constexpr uint32_t kLtrLatencies = 0;
// 7.8.4.3 Uncorrectable Error Mask: Uncorrectable Internal Error masked.
constexpr uint32_t kUncorrectableMask = 0x00400000;
// 7.8.4.4 Uncorrectable Error Severity: Data Link Protocol, Surprise Down,
// Flow Control Protocol, Receiver Overflow, Malformed TLP and Uncorrectable
// Internal errors fatal.
constexpr uint32_t kUncorrectableSeverity = 0x00462030;
// 7.8.4.6 Correctable Error Mask: Advisory Non-Fatal, Corrected Internal
// and Header Log Overflow masked.
constexpr uint32_t kCorrectableMask = 0x0000E000;
// 7.8.4.7 Advanced Error Capabilities and Control: ECRC Generation and
// Check Enable clear.
constexpr uint32_t kAerControlEnables = 0x00000140;

void Reset(ConfigFunction &f, uint16_t offset, unsigned bytes, uint32_t value,
           uint32_t fields = 0xFFFFFFFF) {
  uint32_t writable = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    writable |= static_cast<uint32_t>(f.writable[offset + i]) << (8 * i);
  }
  writable &= fields;
  f.Poke(offset, bytes, (f.Peek(offset, bytes) & ~writable) | (value & writable));
}

} // namespace

void ResetToPowerOn(ConfigFunction &f) {
  if (f.pcieCap != 0) {
    const auto cap = f.pcieCap;
    Reset(f, static_cast<uint16_t>(cap + PcieCap::DeviceControl.Offset), 2, kDeviceControl);
    Reset(f, static_cast<uint16_t>(cap + PcieCap::LinkControl.Offset), 2, kLinkControl);
    Reset(f, static_cast<uint16_t>(cap + PcieCap::DeviceControl2.Offset), 2, kDeviceControl2);
  }
  if (const uint16_t l1ss = FindExtendedCapability(f, L1ssCap::Id)) {
    Reset(f, static_cast<uint16_t>(l1ss + L1ssCap::Control1.Offset), 4, kL1ssControl1);
    Reset(f, static_cast<uint16_t>(l1ss + L1ssCap::Control2.Offset), 4, kL1ssControl2);
  }
  if (const uint16_t ltr = FindExtendedCapability(f, LtrCap::Id)) {
    Reset(f, static_cast<uint16_t>(ltr + LtrCap::MaxLatency.Offset), 4, kLtrLatencies);
  }
  if (const uint16_t aer = FindExtendedCapability(f, AerCap::Id)) {
    Reset(f, static_cast<uint16_t>(aer + AerCap::UncorrectableErrorMask.Offset), 4,
          kUncorrectableMask);
    Reset(f, static_cast<uint16_t>(aer + AerCap::UncorrectableErrorSeverity.Offset), 4,
          kUncorrectableSeverity);
    Reset(f, static_cast<uint16_t>(aer + AerCap::CorrectableErrorMask.Offset), 4, kCorrectableMask);
    Reset(f, static_cast<uint16_t>(aer + AerCap::CapabilitiesControl.Offset), 4, 0,
          kAerControlEnables);
  }
}

} // namespace sim
