#include "features/max_cpl_payload.h"

#include "base/debug_print.h"
#include "features/max_payload.h"
#include "platform/pcd.h"
#include "platform/register_access.h"
#include "platform/register_fields.h"

namespace {

inline constexpr UINT32 PortStatusCore0 = 0x11100068;
inline constexpr UINT32 PortStatusCore1 = 0x11200068;
using PortStatusCompletionPayloadGate = RegisterBit<UINT32, 29>;

inline constexpr UINT32 PsmnAddressBase = 0x11140040;
inline constexpr UINT32 PsmnPortStride = 0x1000;
inline constexpr UINT32 PsmnCoreStride = 0xF8000;
using PsmnReserved17 = RegisterBit<UINT32, 17>; // cleared with every write

inline constexpr UINT8 MaxCplPayloadLargestProgrammed = 254;

HbxLibPciScanMaxCplPayloadData *Record(PciScanData *Data) {
  return reinterpret_cast<HbxLibPciScanMaxCplPayloadData *>(Data);
}

// The SMN pair is driven directly so that the boot script holds exactly
// one index write and one data write per port.
VOID ProgramCompletionPayload(const SiliconDescriptor *Silicon, UINT32 Psmn, UINT8 Code) {
  const UINT32 Index = Silicon->HostBridgeAddress | SmnIndexRegister;
  const UINT32 Data = Silicon->HostBridgeAddress | SmnDataRegister;
  PciWrite(Index, AccessWidth32 | S3Save, &Psmn);
  UINT32 Value = PciRead32(Data);
  Value = PsmnLimitEnable::Set(Value, 1);
  Value = PsmnReserved17::Set(Value, 0);
  Value = PsmnMaxPayload::Set(Value, Code);
  PciWrite(Data, AccessWidth32 | S3Save, &Value);
  PciRead32(Data);
}

VOID ProgramEngine(SiliconDescriptor *Silicon, WrapperDescriptor *Wrapper,
                   EngineDescriptor *Engine) {
  UINT32 PortStatus = 0;
  NbioRegisterRead(Silicon, PciePortStatusRegister(Wrapper, Engine), &PortStatus, NbioNoS3Save);
  if (PortStatusCompletionPayloadGate::Get(PortStatus) == 0) {
    return;
  }
  UINT8 Result = 0;
  PcieSetMaxCplPayload(Engine, &Result);
  // 128 bytes is the reset value: nothing to program.
  if (Result < 1 || Result > MaxCplPayloadLargestProgrammed) {
    return;
  }
  const UINT32 Psmn = PciePsmnAddress(Engine);
  DebugPrint(DebugLevelPcie, "PCIEPSMNAddress: 0x%x\n", Psmn);
  ProgramCompletionPayload(Silicon, Psmn, Result);
}

} // namespace

UINT32 PciePortStatusRegister(const WrapperDescriptor *Wrapper, const EngineDescriptor *Engine) {
  const UINT32 Base = Wrapper->WrapperId == 0 ? PortStatusCore0 : PortStatusCore1;
  return Base | (static_cast<UINT32>(PcieEnginePortId(Engine) & 7) << 12);
}

UINT32 PciePsmnAddress(const EngineDescriptor *Engine) {
  return PsmnAddressBase + PcieEnginePortId(Engine) * PsmnPortStride +
         PcieEngineCoreId(Engine) * PsmnCoreStride;
}

UINT32 PcieGetMaxCplPayloadCallback(UINT32 Address, PciScanData *Data) {
  HbxLibPciScanMaxCplPayloadData *Scan = Record(Data);
  DebugPrint(DebugLevelPcie, "  PcieGetMaxCplPayloadCallback for Device = %d:%d:%d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address));
  const UINT8 Cap = PciFindCapability(Address);
  if (Cap != 0) {
    const UINT32 Id = PciReadRegister(Address, PciHeader::VendorDeviceId);
    const UINT32 DevCap = CapRead(CapabilityAt{Address, Cap}, PcieCap::DeviceCapabilities);
    const UINT8 Supported = PcieSupportedMaxPayload(Id, DevCap);
    DebugPrint(DebugLevelPcie, "  Found DeviceMaxPayload as %d (Value = %x\n", Supported, DevCap);
    if (Supported < Scan->MaxCplPayload) {
      Scan->MaxCplPayload = Supported;
    }
  }
  PciScanBelowPort(Address, Data);
  return PciScanContinue;
}

VOID PcieSetMaxCplPayload(const EngineDescriptor *Engine, UINT8 *Result) {
  *Result = MaxCplPayloadNotApplicable;
  if (!PcdGetBool(PcdTokenMaxPayloadEnable) || PcieEngineSkipsLinkConfig(Engine) ||
      !PcieEngineIsReady(Engine)) {
    return;
  }
  const UINT16 Width = PcieEngineLinkWidth(Engine);
  const UINT8 Requested = PcieCapMaxPayloadByLinkWidth(Engine->MaxPayloadSize, Width);
  const UINT32 Port = Engine->PortPciAddress;
  DebugPrint(DebugLevelPcie, "%dX Device = %d:%d:%d MaxPayload = %x\n", Width, PciBus(Port),
             PciDevice(Port), PciFunction(Port), Requested);
  DebugPrint(DebugLevelPcie, "  PcieSetMaxCplPayload for Device = %d:%d:%d\n", PciBus(Port),
             PciDevice(Port), PciFunction(Port));
  HbxLibPciScanMaxCplPayloadData Scan = {{PcieGetMaxCplPayloadCallback, 0}, Requested};
  PciScan(Port, Port, &Scan.Header);
  DebugPrint(DebugLevelPcie,
             "  PcieSetMaxCplPayload: Return from HbxLibPciScanMaxCplPayloadData.MaxCplPayload = %d\n",
             Scan.MaxCplPayload);
  DebugPrint(DebugLevelPcie, "  PcieSetMaxCplPayloadExit\n");
  DebugPrint(DebugLevelPcie, "PcieMaxCplPayloadInitCallback, EngineMaxPayload = %x\n",
             Scan.MaxCplPayload);
  *Result = Scan.MaxCplPayload;
}

VOID PcieMaxCplPayloadInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieMaxCplPayloadInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, ProgramEngine);
  DebugPrint(DebugLevelPcie, "PcieMaxCplPayloadInterface Exit\n");
}
