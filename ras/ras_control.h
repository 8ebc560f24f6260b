// NBIO RAS control: the fixed error-handling register program of a
// silicon and its error groups, fed one by one through the group handshake.
#pragma once

#include "base/topology.h"

struct NbioRasGroupRow {
  UINT32 GroupType;
  UINT32 UnitId;
  UINT32 UnitBit;
  UINT32 ActionBits;
};

inline constexpr UINT32 NbioRasGroupRows = 107;

struct NbioRasGroupTableData {
  NbioRasGroupRow Rows[NbioRasGroupRows];
};
extern const NbioRasGroupTableData NbioRasGroupTable;

// How long the group unit may take to show ready.
inline constexpr UINT64 NbioRasHandshakeTimeoutUs = 1000000;

VOID NbioRASControlHX(SiliconDescriptor *Silicon);
