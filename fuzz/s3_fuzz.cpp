// Any sequence of recorded writes, SMM lock, ready-to-boot, table appends of
// any type and corruptions of the private table. Checked:
//  - after every step, the used length of a table whose header was not
//    itself corrupted never passes the table's size (and AddressSanitizer
//    watches that nothing is written outside the pool);
//  - when nothing but recorded writes, the lock and the hand-off happened,
//    no recorded write is lost without a word: before the lock each is a
//    save-state record, after it each is a table entry or a table-full stop.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz/fuzz_input.h"
#include "platform/register_access.h"
#include "platform/s3_recording.h"
#include "sim/platform.h"

namespace {

constexpr uint64_t kPcdTable = 0x34F;
constexpr uint32_t kFatalTableFull = 0xA0744;
constexpr uint64_t kMemWriteEntrySize = 24;

[[noreturn]] void Broken(const char *invariant) {
  std::fprintf(stderr, "invariant broken: %s\n", invariant);
  __builtin_trap();
}

uint64_t Used(const uint8_t *table) {
  uint64_t v;
  std::memcpy(&v, table + 0x28, sizeof v);
  return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  sim::Platform p;
  p.AddSilicon(sim::Bdf(0, 0, 0));
  p.LoadDriver();
  auto *table = reinterpret_cast<uint8_t *>(p.pcd[kPcdTable]);
  if (table == nullptr) {
    return 0;
  }
  bool locked = false;
  bool handedOff = false;
  bool headerCorrupted = false;
  bool otherEntries = false;
  size_t beforeLock = 0;
  size_t afterLock = 0;
  for (size_t step = 0; step < 2000 && in.Remaining() > 0; ++step) {
    const uint8_t op = in.InRange<uint8_t>(0, 5);
    size_t writes = 0;
    if (op == 0) {
      static constexpr AccessWidth kWidths[] = {AccessWidth8 | S3Save, AccessWidth16 | S3Save,
                                                AccessWidth32 | S3Save};
      const AccessWidth width = in.Pick(kWidths);
      const UINT32 value = in.Integral<UINT32>();
      PciWrite(0x3C, width, &value);
      writes = 1;
    } else if (op == 1) {
      const UINT32 value = in.Integral<UINT32>();
      const UINT32 address = in.Integral<UINT32>();
      SiliconDescriptor silicon{};
      NbioRegisterWrite(&silicon, address, &value, NbioS3Save);
      writes = 2; // its index and its data write
    } else if (op == 2) {
      p.InstallSmmReadyToLock();
      locked = true;
    } else if (op == 3) {
      p.SignalReadyToBoot();
      handedOff = true;
    } else if (op == 4) {
      const UINTN type = in.InRange<UINTN>(0, 12);
      const UINT64 a = in.Integral<UINT64>();
      const UINT64 b = in.Integral<UINT64>();
      const UINT64 c = in.Integral<UINT64>();
      S3TableAppend(type, a, b, c, a, b, c);
      otherEntries = true;
    } else if (!handedOff) {
      // The table is memory other drivers share, until the hand-off frees
      // it: any byte may go wrong.
      const size_t at = in.InRange<size_t>(0, S3TableSize - 1);
      table[at] = in.Integral<uint8_t>();
      headerCorrupted |= at < sizeof(S3TableHeader);
      otherEntries = true;
    }
    if (!handedOff) {
      (locked ? afterLock : beforeLock) += writes;
    }
    if (!headerCorrupted && !handedOff && Used(table) > S3TableSize) {
      Broken("the used length stays within the table");
    }
  }
  if (otherEntries || handedOff) {
    return 0;
  }
  size_t fullStops = 0;
  for (const sim::Event &e : p.log.Of(sim::EventKind::FatalStop)) {
    fullStops += e.value == kFatalTableFull;
  }
  if (p.saveState.size() != beforeLock) {
    Broken("every write before the lock is a save-state record");
  }
  const uint64_t entries = (Used(table) - sizeof(S3TableHeader)) / kMemWriteEntrySize;
  if (locked && entries + fullStops != afterLock) {
    Broken("every write after the lock is a table entry or a table-full stop");
  }
  return 0;
}
