// The AER service other drivers call: masks and severities of one port's
// AER capability, then ECRC generation and checking below it (PCI Express
// Base r5.0, 6.2.4 and 7.8.4.7).
#pragma once

#include "uefi/protocols.h"

struct PcieAerRequest {
  UINT8 AerEnable;
  UINT8 PciBus;
  UINT8 PciDevice;
  UINT8 PciFunction;
  UINT32 CorrectableMask;       // packed from bit 0
  UINT32 UncorrectableMask;     // packed from bit 0
  UINT32 UncorrectableSeverity; // packed from bit 0
};
static_assert(offsetof(PcieAerRequest, CorrectableMask) == 4);
static_assert(offsetof(PcieAerRequest, UncorrectableMask) == 8);
static_assert(offsetof(PcieAerRequest, UncorrectableSeverity) == 12);
static_assert(sizeof(PcieAerRequest) == 16);

struct NBIO_PCIE_AER_PROTOCOL;
using NBIO_SET_PCIE_AER_FEATURE = EFI_STATUS(EFIAPI *)(NBIO_PCIE_AER_PROTOCOL *This,
                                                       PcieAerRequest *Request);
using NBIO_SET_PCIE_AER_FEATURE_EXTENDED = EFI_STATUS(EFIAPI *)(NBIO_PCIE_AER_PROTOCOL *This, ...);

struct NBIO_PCIE_AER_PROTOCOL {
  NBIO_SET_PCIE_AER_FEATURE NbioSetPcieAerFeature;
  NBIO_SET_PCIE_AER_FEATURE_EXTENDED NbioSetPcieAerFeatureExtended;
};
static_assert(offsetof(NBIO_PCIE_AER_PROTOCOL, NbioSetPcieAerFeatureExtended) == 8);
static_assert(sizeof(NBIO_PCIE_AER_PROTOCOL) == 16);

extern NBIO_PCIE_AER_PROTOCOL NbioPcieAerProtocol;

EFI_STATUS EFIAPI NbioSetPcieAerFeature(NBIO_PCIE_AER_PROTOCOL *This, PcieAerRequest *Request);
EFI_STATUS EFIAPI NbioSetPcieAerFeatureExtended(NBIO_PCIE_AER_PROTOCOL *This, ...);

// Enables ECRC on every capable function below a bridge, depth first, and
// on the bridge once something below it was enabled. Returns 1 then. One
// call walks each bus at most once.
UINT8 PcieEcrcEnable(UINT32 Bridge);

// Driver entry step: publishes the service on a new handle.
VOID NbioPcieAerProtocolInstall();
