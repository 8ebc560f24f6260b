#include "platform/s3_recording.h"

#include "arch/arch.h"
#include "base/debug_print.h"
#include "base/driver_state.h"
#include "platform/diagnostics.h"
#include "platform/pcd.h"
#include "platform/register_access.h"

namespace {

inline constexpr UINT32 FatalValueWidth = 0xA0568;
inline constexpr UINT32 FatalScriptWidth = 0xA0597;
inline constexpr UINT32 FatalEntryType = 0xA0685;
inline constexpr UINT32 FatalSignature = 0xA0697;
inline constexpr UINT32 FatalBoundary = 0xA0702;
inline constexpr UINT32 FatalNoTable = 0xA0727;
inline constexpr UINT32 FatalTableFull = 0xA0744;
inline constexpr UINT32 FatalNoCommBuffer = 0xA0817;
inline constexpr UINT32 FatalNoSmmCommunication = 0xA0831;
inline constexpr UINT32 FatalMmioBaseDisabled = 0xA0867;
inline constexpr UINT32 FatalPrivateAllocation = 0xA0873;
inline constexpr UINT32 FatalLockEvent = 0xA0896;
inline constexpr UINT32 FatalCloseTableEventCreate = 0xA0913;
inline constexpr UINT32 FatalCloseLockEvent = 0xA0961;
inline constexpr UINT32 FatalCloseTableEvent = 0xA0966;

// The MMIO configuration base address MSR: enable in bit 0,
// base address above bit 20.
inline constexpr UINT32 MsrMmioConfigBase = 0xC0010058;
inline constexpr UINT64 MmioConfigEnable = 1;
inline constexpr UINT64 MmioConfigBaseMask = ~0xFFFFFULL;

S3PrivateData *gPrivate = nullptr;
EFI_EVENT gLockEvent = nullptr;
EFI_EVENT gCloseTableEvent = nullptr;

UINT8 *Table() { return reinterpret_cast<UINT8 *>(gPrivate->Table); }
S3TableHeader *Header() { return reinterpret_cast<S3TableHeader *>(gPrivate->Table); }

EFI_BOOT_SCRIPT_WIDTH ScriptWidth(UINT32 Width) {
  switch (Width) {
  case 1:
    return EfiBootScriptWidthUint8;
  case 2:
    return EfiBootScriptWidthUint16;
  case 3:
    return EfiBootScriptWidthUint32;
  case 4:
    return EfiBootScriptWidthUint64;
  default:
    FatalStop(FatalScriptWidth);
    return EfiBootScriptWidthUint8;
  }
}

UINT64 ValueFromBuffer(UINT32 Width, const VOID *Buffer) {
  switch (Width) {
  case 1:
    return *static_cast<const UINT8 *>(Buffer);
  case 2: {
    UINT16 V;
    __builtin_memcpy(&V, Buffer, sizeof(V));
    return V;
  }
  case 3: {
    UINT32 V;
    __builtin_memcpy(&V, Buffer, sizeof(V));
    return V;
  }
  case 4: {
    UINT64 V;
    __builtin_memcpy(&V, Buffer, sizeof(V));
    return V;
  }
  default:
    FatalStop(FatalValueWidth);
    return 0;
  }
}

bool IsLocked() { return gPrivate != nullptr && gPrivate->Locked != 0; }

UINT32 RecordToSaveState(UINT32 Width, UINT64 Address, const VOID *Buffer) {
  // The save-state protocol may be installed after this driver started.
  if (gS3SaveState == nullptr) {
    gBS->LocateProtocol(&gEfiS3SaveStateProtocolGuid, nullptr,
                        reinterpret_cast<VOID **>(&gS3SaveState));
  }
  if (gS3SaveState == nullptr) {
    DebugPrint(DebugLevelDriver, "KelS3SaveLib no S3 save state protocol: 0x%lx not recorded\n",
               Address);
    return S3RecordFailed;
  }
  const EFI_STATUS Status = gS3SaveState->Write(gS3SaveState, EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE,
                                                ScriptWidth(Width), Address,
                                                static_cast<UINTN>(1), Buffer);
  return Status != EFI_SUCCESS ? S3RecordFailed : S3RecordOk;
}

template <typename T> VOID Put(UINT8 *Entry, UINTN Offset, UINT64 Value) {
  const T V = static_cast<T>(Value);
  __builtin_memcpy(Entry + Offset, &V, sizeof(T));
}

// Lays out one entry in the scratch buffer; returns its size, 0 for an
// unknown type.
UINTN EncodeEntry(UINT16 Type, VA_LIST Args, UINT8 *Entry) {
  Put<UINT16>(Entry, 0, Type);
  UINTN Size = 0;
  UINTN U64Fields = 0;
  switch (Type) {
  case 0:
  case 3:
    Size = 24;
    U64Fields = 2;
    break;
  case 1:
  case 4:
    Size = 32;
    U64Fields = 3;
    break;
  case 2:
  case 5:
    Size = 40;
    U64Fields = 4;
    break;
  case 6:
    Size = 32;
    U64Fields = 2;
    break;
  case 7:
    Size = 40;
    U64Fields = 3;
    break;
  case 8:
    Size = 48;
    U64Fields = 4;
    break;
  case 9:
    Put<UINT64>(Entry, 8, VA_ARG(Args, UINT64));
    Put<UINT64>(Entry, 16, VA_ARG(Args, UINT64));
    return 24;
  default:
    FatalStop(FatalEntryType);
    return 0;
  }
  Put<UINT32>(Entry, 4, VA_ARG(Args, UINT64));
  UINTN Offset = 8;
  if (Type >= 6) {
    // Types 6-8 carry a u16 at 8 and their u64 fields from 16.
    Put<UINT16>(Entry, 8, VA_ARG(Args, UINT64));
    Offset = 16;
  }
  for (UINTN I = 0; I < U64Fields; ++I, Offset += 8) {
    Put<UINT64>(Entry, Offset, VA_ARG(Args, UINT64));
  }
  return Size;
}

bool MarkerIntact() {
  // TableSize is always 0x4000; any other value would put the marker
  // outside the allocation. UsedLength must leave room for the end marker.
  const S3TableHeader *H = Header();
  if (H->TableSize != S3TableSize || H->UsedLength < sizeof(S3TableHeader) ||
      H->UsedLength + sizeof(S3TableEndMarker) > S3TableSize) {
    return false;
  }
  UINT32 Marker;
  __builtin_memcpy(&Marker, Table() + H->TableSize, sizeof(Marker));
  return Marker == S3TableBoundaryMarker;
}

VOID CloseOrStop(EFI_EVENT &Event, UINT32 FatalCode) {
  if (Event != nullptr && gBS->CloseEvent(Event) != EFI_SUCCESS) {
    FatalStop(FatalCode);
  }
}

VOID CaptureMmioBase() {
  const UINT64 Msr = ArchReadMsr(MsrMmioConfigBase);
  if ((Msr & MmioConfigEnable) != 0) {
    gS3MmioBase = Msr & MmioConfigBaseMask;
  } else {
    FatalStop(FatalMmioBaseDisabled);
  }
}

EFI_STATUS CreateSharedState(S3PrivateData **Private) {
  DebugPrint(DebugLevelDriver, "KelS3LibPrivateData allocation\n");
  VOID *Buffer = nullptr;
  if (EfiError(gBS->AllocatePool(EfiRuntimeServicesData, sizeof(S3PrivateData), &Buffer)) ||
      Buffer == nullptr) {
    FatalStop(FatalPrivateAllocation);
    DebugPrint(DebugLevelDriver, "KelS3LibPrivateData allocate fail\n");
    return EFI_OUT_OF_RESOURCES;
  }
  *Private = static_cast<S3PrivateData *>(Buffer);
  __builtin_memset(*Private, 0, sizeof(S3PrivateData));
  PcdSet64(PcdTokenS3PrivateData, reinterpret_cast<UINT64>(Buffer));
  // The lock callback may run as soon as its event is signalled below and
  // sets Locked in this record, so it is remembered first.
  gPrivate = *Private;

  EFI_EVENT LockEvent = nullptr;
  gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, S3BootScriptLockCallback, nullptr,
                   &LockEvent);
  gLockEvent = LockEvent;
  if (LockEvent != nullptr) {
    VOID *Registration = nullptr;
    gBS->RegisterProtocolNotify(&gEfiDxeSmmReadyToLockProtocolGuid, LockEvent, &Registration);
    // Notices a ready-to-lock protocol installed before this driver; the
    // callback then closes the event at once.
    gBS->SignalEvent(LockEvent);
  }
  if (LockEvent == nullptr) {
    FatalStop(FatalLockEvent);
    DebugPrint(DebugLevelDriver, "KelS3SaveLib create BootScriptLock Event fail\n");
    return EFI_UNSUPPORTED;
  }
  const EFI_STATUS Status =
      gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, KelS3SaveCloseTableCallBack, nullptr,
                         &gEfiEventReadyToBootGuid, &gCloseTableEvent);
  if (Status != EFI_SUCCESS) {
    FatalStop(FatalCloseTableEventCreate);
    if (EfiError(Status)) {
      DebugPrint(DebugLevelDriver, "KelS3SaveLib create CloseTable Event fail\n");
      return EFI_UNSUPPORTED;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS CreateTable() {
  UINT64 Size = PcdGet64(PcdTokenS3TableBufferSize);
  if (Size < S3TableSize) {
    Size = S3TableSize;
  }
  DebugPrint(DebugLevelDriver, "KelS3LibTableHeader buffer size = 0x%x\n", Size);
  VOID *Buffer = nullptr;
  // A failed allocation leaves Table at 0, which every append reports. A
  // size so large that the marker's four bytes would wrap it counts as one.
  if (Size > ~0ULL - sizeof(UINT32) ||
      EfiError(gBS->AllocatePool(EfiRuntimeServicesData, Size + sizeof(UINT32), &Buffer)) ||
      Buffer == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  __builtin_memset(Buffer, 0, Size + sizeof(UINT32));
  PcdSet64(PcdTokenS3TableAddress, reinterpret_cast<UINT64>(Buffer));
  gPrivate->Table = reinterpret_cast<UINT64>(Buffer);
  S3TableHeader *H = Header();
  H->Signature = S3TableSignature;
  H->Version = S3TableVersion;
  H->TableSize = S3TableSize;
  H->UsedLength = sizeof(S3TableHeader);
  __builtin_memcpy(Table() + S3TableSize, &S3TableBoundaryMarker, sizeof(S3TableBoundaryMarker));
  return EFI_SUCCESS;
}

VOID SendTableToSmm() {
  UINT8 *CommBuffer = reinterpret_cast<UINT8 *>(PcdGet64(PcdTokenSmmCommunicationBuffer));
  if (CommBuffer == nullptr) {
    FatalStop(FatalNoCommBuffer);
    return;
  }
  __builtin_memset(CommBuffer, 0, sizeof(S3SmmMessage));
  S3SmmMessage Message = {gKelS3SmmMessageGuid, 0x10, S3SmmCommandCloseTable, 0,
                          reinterpret_cast<UINT64>(gPrivate)};
  __builtin_memcpy(CommBuffer, &Message, sizeof(Message));
  EFI_SMM_COMMUNICATION_PROTOCOL *Smm = nullptr;
  if (gBS->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr,
                          reinterpret_cast<VOID **>(&Smm)) != EFI_SUCCESS) {
    FatalStop(FatalNoSmmCommunication);
  }
  if (Smm == nullptr) {
    DebugPrint(DebugLevelDriver, "KelS3SaveLib locate SmmCommunicationProtocol fail \n");
    return;
  }
  UINTN Size = sizeof(S3SmmMessage);
  Smm->Communicate(Smm, CommBuffer, &Size);
  gPrivate->Closed = 1;
  gBS->FreePool(Table());
}

} // namespace

UINT32 S3SaveMemWrite(UINT32 Width, UINT64 Address, const VOID *Buffer) {
  if (!IsLocked()) {
    return RecordToSaveState(Width, Address, Buffer);
  }
  const UINT64 Value = ValueFromBuffer(Width, Buffer);
  return S3TableAppend(S3EntryMemWrite, static_cast<UINT64>(ScriptWidth(Width)), Address, Value);
}

UINT32 S3TableCheck() {
  if (Header()->Signature != S3TableSignature) {
    FatalStop(FatalSignature);
    if (Header()->Signature != S3TableSignature) {
      DebugPrint(DebugLevelDriver, "KelS3Lib table Signature check fail\n");
      return S3RecordFailed;
    }
  }
  if (!MarkerIntact()) {
    FatalStop(FatalBoundary);
    if (!MarkerIntact()) {
      DebugPrint(DebugLevelDriver, "KelS3Lib table boundary check fail\n");
      return S3RecordFailed;
    }
  }
  return S3RecordOk;
}

UINT32 EFIAPI S3TableAppend(UINTN Type, ...) {
  // Without private data there is no table to append to: report it.
  if (gPrivate == nullptr) {
    DebugPrint(DebugLevelDriver, "KelS3Lib table allocate fail\n");
    return S3RecordFailed;
  }
  if (gPrivate->Locked != 1 || gPrivate->Closed != 0) {
    return S3RecordOk;
  }
  if (gPrivate->Table == 0) {
    FatalStop(FatalNoTable);
    if (gPrivate->Table == 0) {
      DebugPrint(DebugLevelDriver, "KelS3Lib table allocate fail\n");
      return S3RecordFailed;
    }
  }
  if (S3TableCheck() != S3RecordOk) {
    return S3RecordFailed;
  }
  UINT8 Entry[S3EntryScratchSize];
  __builtin_memset(Entry, 0, sizeof(Entry));
  VA_LIST Args;
  VA_START(Args, Type);
  const UINTN Size = EncodeEntry(static_cast<UINT16>(Type), Args, Entry);
  VA_END(Args);
  // An unknown type appends nothing; that is a failed record, not success.
  if (Size == 0) {
    return S3RecordFailed;
  }
  S3TableHeader *H = Header();
  if (H->UsedLength + Size + sizeof(S3TableEndMarker) > H->TableSize) {
    FatalStop(FatalTableFull);
    if (H->UsedLength + Size + sizeof(S3TableEndMarker) > H->TableSize) {
      DebugPrint(DebugLevelDriver, "No enough space for s3 data save\n");
      return S3RecordFailed;
    }
  }
  __builtin_memcpy(Table() + H->UsedLength, Entry, Size);
  H->UsedLength += Size;
  return S3RecordOk;
}

EFI_STATUS S3RecordingInit() {
  S3PrivateData *Private = reinterpret_cast<S3PrivateData *>(PcdGet64(PcdTokenS3PrivateData));
  CaptureMmioBase();
  if (Private == nullptr) {
    const EFI_STATUS Status = CreateSharedState(&Private);
    if (Status != EFI_SUCCESS) {
      return Status;
    }
  }
  gPrivate = Private;
  if (PcdGet64(PcdTokenS3TableAddress) != 0) {
    return EFI_SUCCESS;
  }
  return CreateTable();
}

VOID EFIAPI S3BootScriptLockCallback(EFI_EVENT Event, VOID *) {
  VOID *Interface = nullptr;
  if (EfiError(gBS->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &Interface))) {
    return;
  }
  if (Event != nullptr) {
    gBS->CloseEvent(Event);
    if (Event == gLockEvent) {
      gLockEvent = nullptr;
    }
  }
  if (gPrivate != nullptr) {
    gPrivate->Locked = 1;
  }
}

VOID EFIAPI KelS3SaveCloseTableCallBack(EFI_EVENT Event, VOID *) {
  if (Event != nullptr) {
    gBS->CloseEvent(Event);
    if (Event == gCloseTableEvent) {
      gCloseTableEvent = nullptr;
    }
  }
  DebugPrint(DebugLevelDriver, "KelS3SaveCloseTableCallBack\n");
  if (gPrivate == nullptr || gPrivate->Table == 0) {
    DebugPrint(DebugLevelDriver, "mKelS3LibPrivateData is NULL\n");
    return;
  }
  if (S3TableCheck() != S3RecordOk) {
    return;
  }
  __builtin_memcpy(Table() + Header()->UsedLength, &S3TableEndMarker, sizeof(S3TableEndMarker));
  SendTableToSmm();
}

VOID S3RecordingTeardown() {
  CloseOrStop(gLockEvent, FatalCloseLockEvent);
  CloseOrStop(gCloseTableEvent, FatalCloseTableEvent);
}

VOID S3RecordingResetState() {
  gPrivate = nullptr;
  gLockEvent = nullptr;
  gCloseTableEvent = nullptr;
}
