// The host glue's one reach above arch/: the host build also links the whole
// driver into a loadable module (kel_driver_image), and this table is all the
// simulator sees of it. A module keeps its own copy of every global, as a
// second driver image carrying the same code would, so tests can load two.
// Exported: the image's entry point; ArchHostBind, which points the module's
// processor interface at the simulator; ImageStateReset, since a module
// loaded once stands for many image loads; and one S3-recorded PCI write,
// the smallest thing a second driver does to the shared S3 records.
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
