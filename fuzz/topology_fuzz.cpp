// Any bytes as the published topology: the pass walks them and ends, never
// reading outside the bounds its walks keep. The bytes sit at the start of a
// zeroed buffer as large as the furthest record the bounded walks can reach
// (u16 offsets, at most 64 hops of each kind), so a read past it is a fault
// of the walk, not of the test.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/platform.h"

namespace {

constexpr size_t kReach = 24 + 256 * 65535 + 32 * 18 + 64 * 107 + 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 64 * 1024) {
    return 0;
  }
  sim::Platform p;
  p.AddSilicon(sim::Bdf(0, 0, 0));
  std::vector<uint8_t> bytes(kReach, 0);
  std::memcpy(bytes.data(), data, size);
  p.PublishTopology(std::move(bytes));
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
