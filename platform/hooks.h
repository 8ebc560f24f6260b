// Platform hooks: the driver's hook table and the hook protocol through
// which platform code may inspect or replace driver data before it is used.
#pragma once

#include "uefi/protocols.h"

inline constexpr UINT32 HookIdNbioPcieAerConfig = 0xB0000009;
inline constexpr UINT32 HookIdEndOfList = 0xFFFFFFFF;

using HookFunction = UINT32 (*)(UINT32 HookId, UINT64 Reserved, VOID *Data);

struct __attribute__((packed)) HookEntry {
  UINT32 HookId;
  UINT32 Reserved;
  HookFunction Function;
};
static_assert(offsetof(HookEntry, Function) == 8);
static_assert(sizeof(HookEntry) == 16);

struct __attribute__((packed)) HookTable {
  UINT32 Signature;
  UINT32 Version;
  UINT8 Reserved[24];
  const HookEntry *Hooks;
};
static_assert(offsetof(HookTable, Version) == 4);
static_assert(offsetof(HookTable, Hooks) == 0x20);
static_assert(sizeof(HookTable) == 0x28);

inline constexpr UINT32 HookTableSignature = 0x52545624; // "$VTR"
inline constexpr UINT32 HookTableVersion = 1;

extern const HookTable VtrHookTable;
// The table the driver walks: its own, unless a platform simulation puts a
// board's table in its place.
extern const HookTable *gVtrHookTable;
VOID HooksResetState();

// Results of walking a hook table for one hook id.
inline constexpr UINT32 HookDispatchNoHandler = 1;
inline constexpr UINT32 HookDispatchAllSucceeded = 4;

// Calls every entry of the table registered for the hook id, in order.
// Returns HookDispatchNoHandler when none is, else the last non-zero result
// of a handler, else HookDispatchAllSucceeded. A table with a wrong
// signature or version stops with 0x20800133 and counts as having no handler.
UINT32 VtrHookDispatch(const HookTable *Table, UINT32 HookId, VOID *Data);

// Offers the data to the platform's hook protocol, if one is installed.
VOID VtrHookProtocolCall(UINT32 HookId, VOID *Data);
