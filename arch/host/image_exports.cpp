#include "arch/host/image_exports.h"

#include "base/driver_state.h"
#include "driver/image_entry.h"
#include "platform/register_access.h"

namespace {

void RecordedWrite32(UINT32 PciAddress, UINT32 Value) {
  PciWrite(PciAddress, AccessWidth32 | S3Save, &Value);
}

constexpr KelHostImage kImage = {KelNbioPcieHXDxeEntryPoint, ArchHostBind, ImageStateReset,
                                 RecordedWrite32};

} // namespace

extern "C" __attribute__((visibility("default"))) const KelHostImage *KelHostImageExports() {
  return &kImage;
}
