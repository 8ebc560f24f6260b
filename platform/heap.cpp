#include "platform/heap.h"

#include "base/debug_print.h"
#include "base/driver_state.h"
#include "platform/diagnostics.h"

namespace {

inline constexpr UINT32 FatalHeapNodeRuntimePool = 0x80202;
inline constexpr UINT32 FatalHeapNodeBootPool = 0x80205;
inline constexpr UINT32 FatalHeapListInstall = 0x80293;
inline constexpr UINT64 HeapListRevision = 1;

// A HOB list is a few KiB; a walk that has not met the end marker after
// this many HOBs is reading something that is not a HOB list.
inline constexpr UINT32 MaxHobs = 65536;

VOID *gHobList = nullptr;
HEAP_LIST_PROTOCOL gHeapListRecord = {0, {nullptr, nullptr}};

bool GuidMatches(const VOID *Candidate, const EFI_GUID &Wanted) {
  UINT64 A[2];
  UINT64 B[2];
  __builtin_memcpy(A, Candidate, sizeof(A));
  __builtin_memcpy(B, &Wanted, sizeof(B));
  return A[0] == B[0] && A[1] == B[1];
}

VOID ImportHeapHob(const UINT8 *Hob) {
  HeapBufferHeader Header;
  __builtin_memcpy(&Header, Hob + HobGuidDataOffset, sizeof(Header));
  if (Header.Signature != HeapSignature || Header.Valid != HeapValidForImport) {
    return;
  }
  HeapNode *Node = nullptr;
  if (EfiError(HeapNodeCreate(&Header, &Node))) {
    return;
  }
  if (Header.BufferSize != 0) {
    __builtin_memcpy(reinterpret_cast<UINT8 *>(Node) + sizeof(HeapNode),
                     Hob + HobGuidDataOffset + sizeof(HeapBufferHeader), Header.BufferSize);
  }
}

} // namespace

VOID *HobListGet() {
  if (gHobList != nullptr) {
    return gHobList;
  }
  for (UINTN I = 0; I < gST->NumberOfTableEntries; ++I) {
    if (GuidMatches(&gST->ConfigurationTable[I].VendorGuid, gEfiHobListGuid)) {
      gHobList = gST->ConfigurationTable[I].VendorTable;
      return gHobList;
    }
  }
  return nullptr;
}

VOID HeapImport() {
  const UINT8 *Hob = static_cast<const UINT8 *>(HobListGet());
  for (UINT32 Count = 0; Hob != nullptr && Count < MaxHobs; ++Count) {
    HobGenericHeader Header;
    __builtin_memcpy(&Header, Hob, sizeof(Header));
    if (Header.HobType == HobTypeEndOfList) {
      return;
    }
    // A length shorter than the header would never advance the walk.
    if (Header.HobLength < sizeof(HobGenericHeader)) {
      return;
    }
    if (Header.HobType == HobTypeGuidExtension &&
        Header.HobLength >= HobGuidDataOffset + sizeof(HeapBufferHeader) &&
        GuidMatches(Hob + HobGuidOffset, gHeapHobGuid)) {
      ImportHeapHob(Hob);
    }
    Hob += Header.HobLength;
  }
  if (Hob != nullptr) {
    ReportWalkBound("HOB list", MaxHobs);
  }
}

EFI_STATUS HeapNodeCreate(const HeapBufferHeader *Header, HeapNode **Node) {
  const bool Runtime = Header->Persist == HeapPersistRuntime;
  VOID *Buffer = nullptr;
  if (EfiError(gBS->AllocatePool(Runtime ? EfiRuntimeServicesData : EfiBootServicesData,
                                 static_cast<UINTN>(Header->BufferSize) + sizeof(HeapNode),
                                 &Buffer)) ||
      Buffer == nullptr) {
    FatalStop(Runtime ? FatalHeapNodeRuntimePool : FatalHeapNodeBootPool);
    return EFI_UNSUPPORTED;
  }
  HeapNode *New = static_cast<HeapNode *>(Buffer);
  __builtin_memcpy(&New->Header, Header, sizeof(HeapBufferHeader));
  LIST_ENTRY *Head = gHeapList;
  New->Link.ForwardLink = Head;
  New->Link.BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = &New->Link;
  Head->BackLink = &New->Link;
  *Node = New;
  return EFI_SUCCESS;
}

VOID HeapListInit() {
  HEAP_LIST_PROTOCOL *Shared = nullptr;
  if (!EfiError(gBS->LocateProtocol(&gHeapListProtocolGuid, nullptr,
                                    reinterpret_cast<VOID **>(&Shared)))) {
    gHeapList = &Shared->List;
    return;
  }
  gHeapListRecord.Revision = HeapListRevision;
  gHeapListRecord.List.ForwardLink = &gHeapListRecord.List;
  gHeapListRecord.List.BackLink = &gHeapListRecord.List;
  gHeapList = &gHeapListRecord.List;
  HeapImport();
  EFI_HANDLE Handle = nullptr;
  if (gBS->InstallProtocolInterface(&Handle, &gHeapListProtocolGuid, EFI_NATIVE_INTERFACE,
                                    &gHeapListRecord) != EFI_SUCCESS) {
    FatalStop(FatalHeapListInstall);
  }
}

VOID HeapResetState() {
  gHobList = nullptr;
  gHeapListRecord = {0, {nullptr, nullptr}};
}
