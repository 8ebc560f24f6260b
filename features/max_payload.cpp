#include "features/max_payload.h"

#include "base/debug_print.h"
#include "platform/pcd.h"
#include "platform/register_access.h"

// Devices that report more than they can take, or less than they can.
const PcieMaxPayloadOverride PcieMaxPayloadOverrideTable[2] = {
    {0x1969, 0x1083, MaxPayload128},
    {0x1AF2, 0xA001, MaxPayload256},
};

namespace {

PcieMaxPayloadScanData *Record(PciScanData *Data) {
  return reinterpret_cast<PcieMaxPayloadScanData *>(Data);
}

VOID CapEngineByLinkWidth(EngineDescriptor *Engine) {
  const UINT16 Width = PcieEngineLinkWidth(Engine);
  Engine->MaxPayloadSize = PcieCapMaxPayloadByLinkWidth(Engine->MaxPayloadSize, Width);
  const UINT32 Port = Engine->PortPciAddress;
  DebugPrint(DebugLevelDriver,
             "PcieMaxPayloadInterfaceHX: Device(%d:%d:%d) linkwidth = %d MaxPayloadSize = %d\n",
             PciBus(Port), PciDevice(Port), PciFunction(Port), Width, Engine->MaxPayloadSize);
}

} // namespace

UINT8 PcieSupportedMaxPayload(UINT32 VendorDeviceId, UINT32 DeviceCapabilities) {
  UINT8 Supported = static_cast<UINT8>(PcieCap::MaxPayloadSizeSupported::Get(DeviceCapabilities));
  const UINT16 Vendor = static_cast<UINT16>(PciHeader::VendorId::Get(VendorDeviceId));
  const UINT16 Device = static_cast<UINT16>(PciHeader::DeviceId::Get(VendorDeviceId));
  for (const PcieMaxPayloadOverride &Row : PcieMaxPayloadOverrideTable) {
    if (Row.VendorId == Vendor && (Row.DeviceId == PcieMaxPayloadAnyDevice || Row.DeviceId == Device)) {
      Supported = Row.MaxPayload;
    }
  }
  return Supported;
}

UINT8 PcieCapMaxPayloadByLinkWidth(UINT8 MaxPayload, UINT16 LinkWidth) {
  if (LinkWidth >= 4 && MaxPayload > MaxPayload512) {
    return MaxPayload512;
  }
  if (LinkWidth == 2 && MaxPayload > MaxPayload256) {
    return MaxPayload256;
  }
  if (LinkWidth == 1 && MaxPayload > MaxPayload128) {
    return MaxPayload128;
  }
  return MaxPayload;
}

UINT32 PcieGetMaxPayloadCallback(UINT32 Address, PciScanData *Data) {
  PcieMaxPayloadScanData *Scan = Record(Data);
  DebugPrint(DebugLevelPcie, "  PcieGetMaxPayloadCallback for Device = %d:%d:%d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address));
  const UINT8 Cap = PciFindCapability(Address);
  if (Cap != 0) {
    const UINT32 DevCap = CapRead(CapabilityAt{Address, Cap}, PcieCap::DeviceCapabilities);
    if (PcieCap::ExtendedTagFieldSupported::Get(DevCap) == 0) {
      Scan->ExtendedTagEnable = 0;
    }
    const UINT32 Id = PciReadRegister(Address, PciHeader::VendorDeviceId);
    const UINT8 Supported = PcieSupportedMaxPayload(Id, DevCap);
    DebugPrint(DebugLevelPcie, "  Found DeviceMaxPayload as %d (Value = 0x%x)\n", Supported,
               DevCap);
    if (Supported < Scan->MaxPayload) {
      Scan->MaxPayload = Supported;
    }
  }
  PciScanBelowPort(Address, Data);
  return PciScanContinue;
}

UINT32 PcieSetMaxPayloadCallback(UINT32 Address, PciScanData *Data) {
  PcieMaxPayloadScanData *Scan = Record(Data);
  DebugPrint(DebugLevelPcie, "  PcieSetMaxPayloadCallback for Device = %d:%d:%d to %d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address), Scan->MaxPayload);
  const UINT8 Cap = PciFindCapability(Address);
  if (Cap != 0) {
    const UINT32 Register = CapAddress(CapabilityAt{Address, Cap}, PcieCap::DeviceControl);
    UINT32 Value = PciRead32(Register);
    Value = PcieCap::MaxPayloadSize::Set(Value, Scan->MaxPayload);
    // Extended tags are turned on only when every function supports them,
    // and never turned off here.
    if (Scan->ExtendedTagEnable != 0) {
      Value = PcieCap::ExtendedTagFieldEnable::Set(Value, 1);
      DebugPrint(DebugLevelPcie, "EXTEND_TAG_EN PCIE_DEVICE_CTRL=%08x\n", Value);
    }
    PciWrite(Register, AccessWidth32, &Value);
  }
  PciScanBelowPort(Address, Data);
  return PciScanContinue;
}

VOID PcieSetMaxPayload(UINT32 RootPort, UINT8 MaxPayload) {
  DebugPrint(DebugLevelPcie, "  PcieSetMaxPayload for Device = %d:%d:%d\n", PciBus(RootPort),
             PciDevice(RootPort), PciFunction(RootPort));
  // The whole tree is measured before anything in it is written.
  PcieMaxPayloadScanData Scan = {{PcieGetMaxPayloadCallback, 0}, MaxPayload, 1};
  PciScan(RootPort, RootPort, &Scan.Header);
  Scan.Header.Callback = PcieSetMaxPayloadCallback;
  PciScan(RootPort, RootPort, &Scan.Header);
  DebugPrint(DebugLevelPcie, "  PcieSetMaxPayloadExit\n");
}

VOID PcieMaxPayloadInterface(SiliconDescriptor *Silicon) {
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if (PcieEngineIsReady(Engine)) {
      CapEngineByLinkWidth(Engine);
    }
  });
  DebugPrint(DebugLevelPcie, "PcieMaxPayloadInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, [](SiliconDescriptor *, WrapperDescriptor *,
                                        EngineDescriptor *Engine) {
    if (PcdGetBool(PcdTokenMaxPayloadEnable) && PcieEngineIsReady(Engine)) {
      PcieSetMaxPayload(Engine->PortPciAddress, Engine->MaxPayloadSize);
    }
  });
  DebugPrint(DebugLevelPcie, "PcieMaxPayloadInterface Exit\n");
}
