// Any bytes as the published topology: the pass walks them and ends, never
// reading outside the bounds its walks keep. The bytes are published with
// zeros up to the furthest record the bounded walks can reach
// (sim::kTopologyReach), so a read past it is a fault of the walk, not of
// the test; the zeros cost only the pages the walks touch.
#include <cstddef>
#include <cstdint>

#include "sim/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 64 * 1024) {
    return 0;
  }
  sim::Platform p;
  p.AddSilicon(sim::Bdf(0, 0, 0));
  p.PublishTopology({data, size}, sim::kTopologyReach);
  p.LoadDriver();
  p.InstallPciIo();
  // The pass ends and closes its event: a second installation runs nothing.
  const size_t events = p.log.Events().size();
  p.InstallPciIo();
  if (p.log.Events().size() != events) {
    __builtin_trap();
  }
  return 0;
}
