#include "driver/image_entry.h"

#include "arch/arch.h"
#include "base/debug_print.h"
#include "base/driver_state.h"
#include "driver/sequencer.h"
#include "features/clock_pm.h"
#include "platform/diagnostics.h"
#include "platform/heap.h"
#include "platform/hooks.h"
#include "platform/pcd.h"
#include "platform/pci_scan.h"
#include "platform/platform_data.h"
#include "platform/register_access.h"
#include "platform/register_fields.h"
#include "platform/s3_recording.h"
#include "ras/aer_config.h"
#include "ras/aer_service.h"

EFI_SYSTEM_TABLE *gST = nullptr;
EFI_BOOT_SERVICES *gBS = nullptr;
EFI_S3_SAVE_STATE_PROTOCOL *gS3SaveState = nullptr;
LIST_ENTRY *gHeapList = nullptr;
UINT32 gPackageType = 0;
EFI_EVENT gPciIoNotifyEvent = nullptr;

namespace {

inline constexpr UINT32 TestPointEntryStart = 0xA906;
inline constexpr UINT32 TestPointEntryEnd = 0xA907;

// CPUID leaf 0x80000001, EBX bits 31:28: the processor package type.
inline constexpr UINT32 CpuidExtendedFeatures = 0x80000001;
using CpuidPkgType = RegisterField<UINT32, 31, 28>;

VOID LocateS3SaveState() {
  gBS->LocateProtocol(&gEfiS3SaveStateProtocolGuid, nullptr,
                      reinterpret_cast<VOID **>(&gS3SaveState));
}

VOID ArmPciIoNotification() {
  gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, KelPcieMiscInit, nullptr, nullptr,
                     &gPciIoNotifyEvent);
  VOID *Registration = nullptr;
  gBS->RegisterProtocolNotify(&gEfiPciIoProtocolGuid, gPciIoNotifyEvent, &Registration);
}

// Every entry is asked, even after one answered: a presence query may
// prepare its transport.
bool AnyDebugBackEndPresent(const DebugBackEnd *const *Table) {
  bool Any = false;
  for (const DebugBackEnd *const *Entry = Table; *Entry != nullptr; ++Entry) {
    if ((*Entry)->IsPresent()) {
      Any = true;
    }
  }
  return Any;
}

} // namespace

VOID InitializeDebugBackEnds(const DebugBackEnd *const *Table) {
  if (!AnyDebugBackEndPresent(Table)) {
    return;
  }
  for (const DebugBackEnd *const *Entry = Table; *Entry != nullptr; ++Entry) {
    if ((*Entry)->IsPresent()) {
      (*Entry)->Initialize();
    }
  }
}

UINT32 ReadPackageType() {
  const CpuidResult Features = ArchCpuid(CpuidExtendedFeatures);
  return 1U << CpuidPkgType::Get(Features.Ebx);
}

VOID ConstructorChain(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  LocateS3SaveState();
  S3RecordingInit();
  HobListGet();
  HeapListInit();
  InitializeDebugBackEnds(DebugBackEndTable);
}

EFI_STATUS KelNbioPcieHXDxeDriverEntry() {
  TestPoint(TestPointEntryStart);
  DebugPrint(DebugLevelDriver, "KelNbioPcieHXDxeEntry\n");
  gPackageType = 0;
  gPackageType = ReadPackageType();
  DebugPrint(DebugLevelDriver, "PackageType = %d\n", gPackageType);
  NbioPcieAerProtocolInstall();
  ArmPciIoNotification();
  DebugPrint(DebugLevelDriver, "KelNbioPcieHXDxeExit\n");
  TestPoint(TestPointEntryEnd);
  return EFI_SUCCESS;
}

VOID DestructorChain() { S3RecordingTeardown(); }

extern "C" EFI_STATUS EFIAPI KelNbioPcieHXDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                       EFI_SYSTEM_TABLE *SystemTable) {
  ConstructorChain(ImageHandle, SystemTable);
  const EFI_STATUS Status = KelNbioPcieHXDxeDriverEntry();
  if (EfiError(Status)) {
    DestructorChain();
  }
  return Status;
}

VOID ImageStateReset() {
  gST = nullptr;
  gBS = nullptr;
  gS3SaveState = nullptr;
  gHeapList = nullptr;
  gPackageType = 0;
  gPciIoNotifyEvent = nullptr;
  gS3MmioBase = 0;
  DiagnosticsResetState();
  HeapResetState();
  PcdResetState();
  S3RecordingResetState();
  PlatformDataReset();
  ClockPmResetState();
  AerConfigResetState();
  HooksResetState();
  PciScanResetState();
}
