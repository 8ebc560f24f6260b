// The HOB list handed over by the earlier boot phase and the shared list of
// heap buffers imported from it.
#pragma once

#include "uefi/protocols.h"

inline constexpr UINT32 HeapSignature = 0x50414548; // "HEAP"
inline constexpr UINT8 HeapPersistRuntime = 8;
inline constexpr UINT8 HeapValidForImport = 1;

// The bookkeeping at the start of every heap buffer.
struct __attribute__((packed)) HeapBufferHeader {
  UINT32 Signature;
  UINT32 BufferHandle;
  UINT32 BufferSize;
  UINT8 Persist;
  UINT8 Valid;
  UINT8 Reserved[2];
};
static_assert(offsetof(HeapBufferHeader, BufferHandle) == 4);
static_assert(offsetof(HeapBufferHeader, BufferSize) == 8);
static_assert(offsetof(HeapBufferHeader, Persist) == 12);
static_assert(offsetof(HeapBufferHeader, Valid) == 13);
static_assert(sizeof(HeapBufferHeader) == 16);

// One node on the heap list: links, a copy of the header, then the data.
struct HeapNode {
  LIST_ENTRY Link;
  HeapBufferHeader Header;
  // BufferSize bytes of data follow.
};
static_assert(offsetof(HeapNode, Header) == 16);
static_assert(sizeof(HeapNode) == 32);

// PI 1.8 Vol. 3, 5.3: generic HOB header and the GUID extension HOB.
struct __attribute__((packed)) HobGenericHeader {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
static_assert(sizeof(HobGenericHeader) == 8);
inline constexpr UINT16 HobTypeGuidExtension = 0x0004;
inline constexpr UINT16 HobTypeEndOfList = 0xFFFF;
inline constexpr UINTN HobGuidOffset = 8;
inline constexpr UINTN HobGuidDataOffset = 24;

inline constexpr EFI_GUID gHeapHobGuid = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};

// The HOB list from the configuration table, found once and kept; null if
// the platform published none.
VOID *HobListGet();

// Copies every valid heap buffer of the HOB list onto the heap list.
VOID HeapImport();

// Allocates one node for the header, links it at the tail of the heap list.
EFI_STATUS HeapNodeCreate(const HeapBufferHeader *Header, HeapNode **Node);

// Finds the shared heap list or publishes the driver's own.
VOID HeapListInit();

VOID HeapResetState();
