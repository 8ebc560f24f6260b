#include "platform/register_access.h"

#include "arch/arch.h"
#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "platform/s3_recording.h"

UINT64 gS3MmioBase = 0;

namespace {

inline constexpr UINT32 FatalPciWriteWidth = 0xA10D0158;
inline constexpr UINT32 FatalPciReadWidth = 0xA10D0196;
inline constexpr UINT32 FatalAccessWidthSize = 0x10737;
inline constexpr UINT32 FatalIoWriteWidth = 0x10195;
inline constexpr UINT32 FatalNoSilicon = 0xA1130253;

// The register field of a PciAddress and the bits an ECAM offset can hold.
inline constexpr UINT32 EcamOffsetMask = 0x0FFFFFFF;

// A standard capability list holds at most 48 dword entries between 0x40 and
// 0xFF; an extended list at most 960 between 0x100 and 0xFFF. A longer walk
// is a cycle in the device's list.
inline constexpr UINT32 MaxStandardCapabilities = 48;
inline constexpr UINT32 MaxExtendedCapabilities = 960;
inline constexpr UINT8 FirstStandardCapability = 0x40;
inline constexpr UINT32 StandardSpaceEnd = 0x100;

// Bytes from an extended capability's header through the last register this
// driver uses in it.
UINT32 ExtendedCapabilityExtent(UINT16 CapabilityId) {
  switch (CapabilityId) {
  case AerCap::Id:
    return AerCap::Extent;
  case L1ssCap::Id:
    return L1ssCap::Extent;
  case LtrCap::Id:
    return LtrCap::Extent;
  default:
    return sizeof(UINT32);
  }
}

bool IsRecordedWidth(AccessWidth Width) { return static_cast<INT32>(Width) >= 129; }

// Byte count for the live accesses; 0 for codes they do not support.
UINT32 LiveAccessBytes(AccessWidth Width) {
  switch (Width) {
  case AccessWidth8:
  case AccessWidth8 | S3Save:
    return 1;
  case AccessWidth16:
  case AccessWidth16 | S3Save:
    return 2;
  case AccessWidth32:
  case AccessWidth32 | S3Save:
    return 4;
  default:
    return 0;
  }
}

UINT64 EcamAddress(UINT32 Address) { return PcieEcamBase + static_cast<UINT64>(Address); }

VOID RecordForS3(UINT32 Address, AccessWidth Width, const VOID *Buffer) {
  S3SaveMemWrite(Width - S3Save, gS3MmioBase + (Address & EcamOffsetMask), Buffer);
  DebugPrint(DebugLevelService, "  R S3 SAVE Script: Address 0x%08x, Width 0x%08x \n", Address,
             Width);
}

AccessWidth NbioWidth(UINT32 Flag) { return Flag == NbioS3Save ? AccessWidth32 | S3Save : AccessWidth32; }

UINT32 SmnPair(const SiliconDescriptor *Silicon) {
  return Silicon->HostBridgeAddress | SmnIndexRegister;
}

} // namespace

UINT32 AccessWidthSize(AccessWidth Width) {
  switch (Width) {
  case AccessWidth64:
  case AccessWidth64 | S3Save:
    return 8;
  default: {
    const UINT32 Bytes = LiveAccessBytes(Width);
    if (Bytes == 0) {
      FatalStop(FatalAccessWidthSize);
    }
    return Bytes;
  }
  }
}

VOID PciRead(UINT32 Address, AccessWidth Width, VOID *Buffer) {
  const UINT64 Mmio = EcamAddress(Address);
  switch (LiveAccessBytes(Width)) {
  case 1:
    *static_cast<UINT8 *>(Buffer) = ArchMmioRead8(Mmio);
    return;
  case 2: {
    const UINT16 Value = ArchMmioRead16(Mmio);
    __builtin_memcpy(Buffer, &Value, sizeof(Value));
    return;
  }
  case 4: {
    const UINT32 Value = ArchMmioRead32(Mmio);
    __builtin_memcpy(Buffer, &Value, sizeof(Value));
    return;
  }
  default:
    FatalStop(FatalPciReadWidth);
    return;
  }
}

namespace {

VOID PciWriteLive(UINT32 Address, AccessWidth Width, const VOID *Buffer) {
  const UINT64 Mmio = EcamAddress(Address);
  switch (LiveAccessBytes(Width)) {
  case 1:
    ArchMmioWrite8(Mmio, *static_cast<const UINT8 *>(Buffer));
    return;
  case 2: {
    UINT16 Value;
    __builtin_memcpy(&Value, Buffer, sizeof(Value));
    ArchMmioWrite16(Mmio, Value);
    return;
  }
  case 4: {
    UINT32 Value;
    __builtin_memcpy(&Value, Buffer, sizeof(Value));
    ArchMmioWrite32(Mmio, Value);
    return;
  }
  default:
    FatalStop(FatalPciWriteWidth);
    return;
  }
}

} // namespace

VOID PciWrite(UINT32 Address, AccessWidth Width, const VOID *Buffer) {
  // The record goes first so that a resume replays the write even if the
  // live access below is the last thing this boot does.
  if (IsRecordedWidth(Width)) {
    RecordForS3(Address, Width, Buffer);
  }
  PciWriteLive(Address, Width, Buffer);
}

VOID PciRmw(UINT32 Address, AccessWidth Width, UINT32 AndMask, UINT32 OrMask) {
  UINT32 Value = 0;
  PciRead(Address, Width, &Value);
  Value = (Value & AndMask) | OrMask;
  PciWrite(Address, Width, &Value);
}

VOID PciIndexDataRead(UINT32 IndexAddress, UINT32 Index, AccessWidth Width, VOID *Buffer) {
  PciWrite(IndexAddress, Width, &Index);
  PciRead(IndexAddress + AccessWidthSize(Width), Width, Buffer);
}

VOID PciIndexDataWrite(UINT32 IndexAddress, UINT32 Index, AccessWidth Width, const VOID *Buffer) {
  PciWrite(IndexAddress, Width, &Index);
  PciWrite(IndexAddress + AccessWidthSize(Width), Width, Buffer);
}

VOID PciIndexDataRmw(UINT32 IndexAddress, UINT32 Index, UINT32 AndMask, UINT32 OrMask) {
  UINT32 Value = 0;
  PciIndexDataRead(IndexAddress, Index, AccessWidth32, &Value);
  Value = (Value & AndMask) | OrMask;
  PciIndexDataWrite(IndexAddress, Index, AccessWidth32 | S3Save, &Value);
}

EFI_STATUS NbioRegisterRead(const SiliconDescriptor *Silicon, UINT32 SmnAddress, UINT32 *Value,
                            UINT32 Flag) {
  if (Silicon == nullptr) {
    FatalStop(FatalNoSilicon);
    return EFI_SUCCESS;
  }
  // An unaligned register spans two dwords; the result is the four bytes
  // starting at the register's byte offset.
  const AccessWidth Width = NbioWidth(Flag);
  const UINT32 Aligned = SmnAddress & ~3U;
  UINT32 Dwords[2] = {0, 0};
  PciIndexDataRead(SmnPair(Silicon), Aligned, Width, &Dwords[0]);
  const UINT32 ByteOffset = SmnAddress & 3;
  if (ByteOffset != 0) {
    PciIndexDataRead(SmnPair(Silicon), Aligned + 4, Width, &Dwords[1]);
  }
  const UINT64 Scratch = (static_cast<UINT64>(Dwords[1]) << 32) | Dwords[0];
  *Value = static_cast<UINT32>(Scratch >> (8 * ByteOffset));
  return EFI_SUCCESS;
}

EFI_STATUS NbioRegisterWrite(const SiliconDescriptor *Silicon, UINT32 SmnAddress,
                             const UINT32 *Value, UINT32 Flag) {
  if (Silicon == nullptr) {
    FatalStop(FatalNoSilicon);
    return EFI_SUCCESS;
  }
  PciIndexDataWrite(SmnPair(Silicon), SmnAddress, NbioWidth(Flag), Value);
  return EFI_SUCCESS;
}

EFI_STATUS NbioRegisterRmw(const SiliconDescriptor *Silicon, UINT32 SmnAddress, UINT32 AndMask,
                           UINT32 OrMask, UINT32 Flag) {
  UINT32 Value = 0;
  NbioRegisterRead(Silicon, SmnAddress, &Value, Flag);
  Value = (Value & AndMask) | OrMask;
  NbioRegisterWrite(Silicon, SmnAddress, &Value, Flag);
  return EFI_SUCCESS;
}

EFI_STATUS NbioRegisterUpdate(const SiliconDescriptor *Silicon, UINT32 SmnAddress, UINT32 AndMask,
                              UINT32 OrMask, UINT32 WriteFlag) {
  UINT32 Value = 0;
  NbioRegisterRead(Silicon, SmnAddress, &Value, NbioNoS3Save);
  Value = (Value & AndMask) | OrMask;
  NbioRegisterWrite(Silicon, SmnAddress, &Value, WriteFlag);
  return EFI_SUCCESS;
}

UINT8 PciFindCapability(UINT32 Function) {
  if (PciReadRegister(Function, PciHeader::VendorDeviceId) == PciHeader::AbsentFunction) {
    return 0;
  }
  UINT8 Pointer = PciReadRegister(Function, PciHeader::CapabilitiesPointer);
  for (UINT32 Step = 0; Step < MaxStandardCapabilities && Pointer != 0; ++Step) {
    // PCI Local Bus r3.0, 6.7: capabilities live above the 64-byte header.
    // Following a pointer into it would make the header's registers look
    // like capability registers, and the driver would write them.
    if (Pointer < FirstStandardCapability) {
      ReportWalkPointer("capability list pointing into the header", Pointer);
      return 0;
    }
    if (PciRead8(Function | (Pointer + PciCapability::IdOffset)) == PciCapability::IdPciExpress) {
      // Registers past 0xFF would be those of the extended space.
      if (Pointer + UINT32{PcieCap::Extent} > StandardSpaceEnd) {
        ReportWalkPointer("PCI Express capability not fitting below 0x100", Pointer);
        return 0;
      }
      return Pointer;
    }
    const UINT8 NextField = static_cast<UINT8>(Pointer + PciCapability::NextOffset);
    if (NextField == 0) {
      return 0;
    }
    Pointer = PciRead8(Function | NextField);
  }
  if (Pointer != 0) {
    ReportWalkBound("capability list", MaxStandardCapabilities);
  }
  return 0;
}

UINT16 PciFindExtendedCapability(UINT32 Function, UINT16 CapabilityId) {
  if (PciFindCapability(Function) == 0) {
    return 0;
  }
  const UINT32 First = PciRead32(Function | PcieExtCap::First);
  if (First == 0 || PcieExtCap::Id::Get(First) == 0xFFFF) {
    return 0;
  }
  UINT32 Offset = PcieExtCap::First;
  for (UINT32 Step = 0; Step < MaxExtendedCapabilities; ++Step) {
    const UINT32 Header = PciRead32(Function | Offset);
    DebugPrint(DebugLevelPcie, "   - Capability at 0x%x with type 0x%x\n", Offset,
               PcieExtCap::Id::Get(Header));
    if (PcieExtCap::Id::Get(Header) == CapabilityId) {
      // Registers past 0xFFF would be those of the next function.
      if (Offset + ExtendedCapabilityExtent(CapabilityId) > PcieExtCap::End) {
        ReportWalkPointer("extended capability not fitting below 0x1000", Offset);
        return 0;
      }
      return static_cast<UINT16>(Offset);
    }
    Offset = PcieExtCap::NextOffset::Get(Header);
    if (Offset == 0) {
      return 0;
    }
    // PCI Express Base r5.0, 7.6.3: the next capability is dword-aligned in
    // the extended space.
    if (Offset < PcieExtCap::First || (Offset & 3) != 0) {
      ReportWalkPointer("extended capability list with a misplaced pointer", Offset);
      return 0;
    }
  }
  ReportWalkBound("extended capability list", MaxExtendedCapabilities);
  return 0;
}

bool PcieCapabilityHasVersion2Registers(CapabilityAt Cap) {
  if (!CapabilityPresent(Cap) ||
      PcieCap::CapabilityVersion::Get(CapRead(Cap, PcieCap::Header)) < PcieCap::Version2) {
    return false;
  }
  if (Cap.Offset + UINT32{PcieCap::ExtentVersion2} > StandardSpaceEnd) {
    ReportWalkPointer("PCI Express capability v2 not fitting below 0x100", Cap.Offset);
    return false;
  }
  return true;
}

UINT8 PcieGetPortType(UINT32 Function) {
  const CapabilityAt Cap = PcieCapabilityOf(Function);
  if (!CapabilityPresent(Cap)) {
    return PcieDeviceNoPcieCapability;
  }
  return PcieCap::DevicePortType::Get(CapRead(Cap, PcieCap::CapabilitiesLow));
}

VOID IoWrite(AccessWidth Width, UINT16 Port, const VOID *Buffer) {
  switch (LiveAccessBytes(Width)) {
  case 1:
    ArchIoWrite8(Port, *static_cast<const UINT8 *>(Buffer));
    return;
  case 2: {
    UINT16 Value;
    __builtin_memcpy(&Value, Buffer, sizeof(Value));
    ArchIoWrite16(Port, Value);
    return;
  }
  case 4: {
    UINT32 Value;
    __builtin_memcpy(&Value, Buffer, sizeof(Value));
    ArchIoWrite32(Port, Value);
    return;
  }
  default:
    FatalStop(FatalIoWriteWidth);
    return;
  }
}
