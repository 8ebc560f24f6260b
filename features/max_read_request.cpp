#include "features/max_read_request.h"

#include "base/debug_print.h"
#include "platform/pcd.h"
#include "platform/register_access.h"

namespace {

VOID ProgramEngine(SiliconDescriptor *, WrapperDescriptor *, EngineDescriptor *Engine) {
  if (!PcieEngineIsReady(Engine)) {
    return;
  }
  const UINT8 Setting = PcdGet8(PcdTokenMaxReadRequestSize);
  if (Setting > MaxReadRequestLargest) {
    return;
  }
  const UINT32 Port = Engine->PortPciAddress;
  DebugPrint(DebugLevelPcie, "Device = %d:%d:%d MaxReadRequestSize = %x\n", PciBus(Port),
             PciDevice(Port), PciFunction(Port), Setting);
  PcieMaxReadRequestScanData Scan = {{PcieSetMaxReadRequestSizeCallback, 0}, Setting};
  PciScan(Port, Port, &Scan.Header);
}

} // namespace

UINT32 PcieSetMaxReadRequestSizeCallback(UINT32 Address, PciScanData *Data) {
  const UINT8 Setting = reinterpret_cast<PcieMaxReadRequestScanData *>(Data)->MaxReadRequest;
  DebugPrint(DebugLevelPcie, "  PcieSetMaxReadRequestSizeCallback for Device = %d:%d:%d to %d\n",
             PciBus(Address), PciDevice(Address), PciFunction(Address), Setting);
  const UINT8 Cap = PciFindCapability(Address);
  if (Cap != 0) {
    const UINT32 Register = CapAddress(CapabilityAt{Address, Cap}, PcieCap::DeviceControl);
    UINT32 Value = PciRead32(Register);
    Value = PcieCap::MaxReadRequestSize::Set(Value, Setting);
    PciWrite(Register, AccessWidth32 | S3Save, &Value);
  }
  PciScanBelowPort(Address, Data);
  return PciScanContinue;
}

VOID PcieMaxReadRequestInterface(SiliconDescriptor *Silicon) {
  DebugPrint(DebugLevelPcie, "PcieMaxReadRequestInterface Enter\n");
  PcieTopologyForEachEngine(Silicon, ProgramEngine);
  DebugPrint(DebugLevelPcie, "PcieMaxReadRequestInterface Exit\n");
}
