// Every hardware access of the driver: PCI configuration space through the
// ECAM window, index/data pairs, NBIO registers over SMN, post-code ports and
// the capability searches.
#pragma once

#include "base/topology.h"
#include "platform/pci_regs.h"
#include "uefi/uefi.h"

inline constexpr UINT64 PcieEcamBase = 0xF0000000;

// Access width codes; S3Save also records the write in the S3 boot script.
using AccessWidth = UINT32;
inline constexpr AccessWidth AccessWidth8 = 1;
inline constexpr AccessWidth AccessWidth16 = 2;
inline constexpr AccessWidth AccessWidth32 = 3;
inline constexpr AccessWidth AccessWidth64 = 4;
inline constexpr AccessWidth S3Save = 0x80;

// The SMN index/data pair in every silicon's host bridge.
inline constexpr UINT32 SmnIndexRegister = 0xB8;
inline constexpr UINT32 SmnDataRegister = 0xBC;
// NBIO access flag: exactly this value records the write for S3.
inline constexpr UINT32 NbioS3Save = 1;
inline constexpr UINT32 NbioNoS3Save = 0;

// Configuration base as the processor reports it; used only for the
// addresses written into the S3 boot script.
extern UINT64 gS3MmioBase;

// PciAddress: bus 27:20, device 19:15, function 14:12, register 11:0.
constexpr UINT32 PciAddressOf(UINT32 Bus, UINT32 Device, UINT32 Function, UINT32 Register = 0) {
  return ((Bus & 0xFF) << 20) | ((Device & 0x1F) << 15) | ((Function & 7) << 12) |
         (Register & 0xFFF);
}
constexpr UINT32 PciBus(UINT32 Address) { return (Address >> 20) & 0xFF; }
constexpr UINT32 PciDevice(UINT32 Address) { return (Address >> 15) & 0x1F; }
constexpr UINT32 PciFunction(UINT32 Address) { return (Address >> 12) & 7; }

UINT32 AccessWidthSize(AccessWidth Width);

VOID PciRead(UINT32 Address, AccessWidth Width, VOID *Buffer);
VOID PciWrite(UINT32 Address, AccessWidth Width, const VOID *Buffer);
VOID PciRmw(UINT32 Address, AccessWidth Width, UINT32 AndMask, UINT32 OrMask);

VOID PciIndexDataRead(UINT32 IndexAddress, UINT32 Index, AccessWidth Width, VOID *Buffer);
VOID PciIndexDataWrite(UINT32 IndexAddress, UINT32 Index, AccessWidth Width, const VOID *Buffer);
VOID PciIndexDataRmw(UINT32 IndexAddress, UINT32 Index, UINT32 AndMask, UINT32 OrMask);

EFI_STATUS NbioRegisterRead(const SiliconDescriptor *Silicon, UINT32 SmnAddress, UINT32 *Value,
                            UINT32 Flag);
EFI_STATUS NbioRegisterWrite(const SiliconDescriptor *Silicon, UINT32 SmnAddress,
                             const UINT32 *Value, UINT32 Flag);
EFI_STATUS NbioRegisterRmw(const SiliconDescriptor *Silicon, UINT32 SmnAddress, UINT32 AndMask,
                           UINT32 OrMask, UINT32 Flag);
// A live read without recording, then the changed value written with
// WriteFlag: a resume replays the write alone.
EFI_STATUS NbioRegisterUpdate(const SiliconDescriptor *Silicon, UINT32 SmnAddress, UINT32 AndMask,
                              UINT32 OrMask, UINT32 WriteFlag);

// Offset of the PCI Express capability, 0 if none or the function is absent.
// A capability whose registers would not fit below 0x100 counts as none,
// as does an extended one whose registers would not fit below 0x1000: no
// register address may leave its space or its function.
UINT8 PciFindCapability(UINT32 Function);
// Offset of the first extended capability with the ID, 0 if none.
UINT16 PciFindExtendedCapability(UINT32 Function, UINT16 CapabilityId);
// Device/Port Type, or PcieDeviceNoPcieCapability.
UINT8 PcieGetPortType(UINT32 Function);

VOID IoWrite(AccessWidth Width, UINT16 Port, const VOID *Buffer);

// A capability found once on a function; its registers are then named, not
// computed at each call site. Offset 0: the function has no such capability.
struct CapabilityAt {
  UINT32 Function;
  UINT16 Offset;
};

inline CapabilityAt PcieCapabilityOf(UINT32 Function) {
  return {Function, PciFindCapability(Function)};
}
inline CapabilityAt ExtendedCapabilityOf(UINT32 Function, UINT16 CapabilityId) {
  return {Function, PciFindExtendedCapability(Function, CapabilityId)};
}
inline bool CapabilityPresent(CapabilityAt Cap) { return Cap.Offset != 0; }

// A PCI Express capability of version 2 or later (PCI Express Base r5.0,
// 7.5.3.2) whose Device Capabilities 2 to Link Capabilities 2 fit below 0x100.
bool PcieCapabilityHasVersion2Registers(CapabilityAt Cap);

template <typename T> constexpr AccessWidth WidthOf() {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
  return sizeof(T) == 1 ? AccessWidth8 : (sizeof(T) == 2 ? AccessWidth16 : AccessWidth32);
}

template <typename T> UINT32 CapAddress(CapabilityAt Cap, ConfigRegister<T> Register) {
  return Cap.Function | static_cast<UINT32>(Cap.Offset + Register.Offset);
}
// Live read of a capability register (never recorded).
template <typename T> T CapRead(CapabilityAt Cap, ConfigRegister<T> Register) {
  T Value = 0;
  PciRead(CapAddress(Cap, Register), WidthOf<T>(), &Value);
  return Value;
}
// Write of a capability register, recorded for S3 before it is made.
template <typename T> VOID CapWriteS3(CapabilityAt Cap, ConfigRegister<T> Register, T Value) {
  PciWrite(CapAddress(Cap, Register), WidthOf<T>() | S3Save, &Value);
}
// Read, AND, OR and recorded write back at the register's own width.
template <typename T>
VOID CapClearAndSetS3(CapabilityAt Cap, ConfigRegister<T> Register, UINT32 AndMask, UINT32 OrMask) {
  PciRmw(CapAddress(Cap, Register), WidthOf<T>() | S3Save, AndMask, OrMask);
}

// Live configuration reads of a typed header register (never recorded).
template <typename T> T PciReadRegister(UINT32 Function, ConfigRegister<T> Register) {
  return CapRead(CapabilityAt{Function, 0}, Register);
}

inline UINT32 PciRead32(UINT32 Address) {
  UINT32 Value = 0;
  PciRead(Address, AccessWidth32, &Value);
  return Value;
}
inline UINT8 PciRead8(UINT32 Address) {
  UINT8 Value = 0;
  PciRead(Address, AccessWidth8, &Value);
  return Value;
}
