// S3 boot-script recording of the writes flagged S3Save. Until SMM is about
// to be locked, records go to the platform's S3 save-state protocol; after
// that into a private table that is handed to SMM at ready-to-boot. The
// private data and the table are shared, through PCD tokens, by every driver
// that records this way.
#pragma once

#include "uefi/protocols.h"

inline constexpr UINT32 S3RecordOk = 0;
inline constexpr UINT32 S3RecordFailed = 7;

struct __attribute__((packed)) S3PrivateData {
  UINT8 Locked;
  UINT8 Closed;
  UINT8 Reserved[6];
  UINT64 Table;
};
static_assert(offsetof(S3PrivateData, Closed) == 1);
static_assert(offsetof(S3PrivateData, Table) == 8);
static_assert(sizeof(S3PrivateData) == 16);

inline constexpr UINT32 S3TableSignature = 0x5433534B; // "KS3T"
inline constexpr UINT32 S3TableVersion = 1;
inline constexpr UINT64 S3TableSize = 0x4000;
inline constexpr UINT32 S3TableBoundaryMarker = 0x01558844;
inline constexpr UINT16 S3TableEndMarker = 0xFFFF;

struct __attribute__((packed)) S3TableHeader {
  UINT32 Signature;
  UINT32 Version;
  UINT8 Reserved[24];
  UINT64 TableSize;
  UINT64 UsedLength;
};
static_assert(offsetof(S3TableHeader, Version) == 4);
static_assert(offsetof(S3TableHeader, TableSize) == 0x20);
static_assert(offsetof(S3TableHeader, UsedLength) == 0x28);
static_assert(sizeof(S3TableHeader) == 0x30);

// Entry types of the private table; the driver itself writes only the
// memory write.
inline constexpr UINT16 S3EntryMemWrite = 3;
inline constexpr UINT16 S3EntryTypeLast = 9;
inline constexpr UINTN S3EntryScratchSize = 96;

inline constexpr EFI_GUID gKelS3SmmMessageGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
inline constexpr UINT32 S3SmmCommandCloseTable = 1;

struct __attribute__((packed)) S3SmmMessage {
  EFI_GUID HeaderGuid;
  UINT64 MessageLength;
  UINT32 Command;
  UINT32 Reserved;
  UINT64 PrivateData;
};
static_assert(offsetof(S3SmmMessage, MessageLength) == 0x10);
static_assert(offsetof(S3SmmMessage, Command) == 0x18);
static_assert(offsetof(S3SmmMessage, PrivateData) == 0x20);
static_assert(sizeof(S3SmmMessage) == 40);

// Records one memory write of the width code (1-4) at a 64-bit MMIO address,
// the value taken from the buffer.
UINT32 S3SaveMemWrite(UINT32 Width, UINT64 Address, const VOID *Buffer);

// Appends one entry of the type (a u16, widened for the variable argument
// list) with its arguments, each passed as a UINT64, to the private table.
// 0 = appended or dropped by state, 7 = error.
UINT32 EFIAPI S3TableAppend(UINTN Type, ...);

// 0 when the table's signature and boundary marker are intact, else 7.
UINT32 S3TableCheck();

EFI_STATUS S3RecordingInit();
VOID S3RecordingTeardown();

VOID EFIAPI S3BootScriptLockCallback(EFI_EVENT Event, VOID *Context);
VOID EFIAPI KelS3SaveCloseTableCallBack(EFI_EVENT Event, VOID *Context);

VOID S3RecordingResetState();
