// The AER port table: one row per possible root port, offered to the
// platform hooks and then applied to the root ports' AER mask and severity
// registers through their SMN image (PCI Express Base r5.0, 7.8.4).
#pragma once

#include "base/topology.h"

inline constexpr UINT8 AerRowCount = 16;
inline constexpr UINT8 AerEnableProgram = 1;
inline constexpr UINT8 AerEnableOff = 0;
inline constexpr UINT8 AerEnableLeave = 0xFF;

// Register bit positions of the errors, in the order the AER service packs
// them from bit 0 (PCI Express Base r5.0, 7.8.4.4-7.8.4.6).
inline constexpr UINT8 AerCorrectableRegisterBits[] = {6, 7, 8, 12, 13};
inline constexpr UINT8 AerUncorrectableRegisterBits[] = {4, 12, 14, 15, 16, 18, 19, 20, 21};
// The same bits as masks: the only bits the rows' words carry.
inline constexpr UINT32 AerCorrectableBits = 0x000031C0;
inline constexpr UINT32 AerUncorrectableBits = 0x003DD010;

struct __attribute__((packed)) PcieAerPortConfig {
  UINT8 AerEnable;
  UINT8 PciDevice;
  UINT8 PciFunction;
  UINT32 CorrectableMask;
  UINT32 UncorrectableMask;
  UINT32 UncorrectableSeverity;
};
static_assert(offsetof(PcieAerPortConfig, PciDevice) == 1);
static_assert(offsetof(PcieAerPortConfig, PciFunction) == 2);
static_assert(offsetof(PcieAerPortConfig, CorrectableMask) == 3);
static_assert(offsetof(PcieAerPortConfig, UncorrectableMask) == 7);
static_assert(offsetof(PcieAerPortConfig, UncorrectableSeverity) == 11);
static_assert(sizeof(PcieAerPortConfig) == 15);

// Handed to the hooks by address; the layout is an interface.
struct __attribute__((packed)) NbioPcieAerConfigTable {
  UINT8 NumberOfPorts;
  PcieAerPortConfig Ports[AerRowCount];
};
static_assert(offsetof(NbioPcieAerConfigTable, Ports) == 1);
static_assert(sizeof(NbioPcieAerConfigTable) == 241);

// One instance for the driver's life; hook edits persist between silicons.
extern NbioPcieAerConfigTable NbioPcieAerConfig;

VOID NbioPcieAerInitHX(SiliconDescriptor *Silicon);
VOID NbioPcieAerFeatureEnable(SiliconDescriptor *Silicon, const PcieAerPortConfig *Row);
VOID PcieAerPortConfigDump(const PcieAerPortConfig *Row);

VOID AerConfigResetState();
