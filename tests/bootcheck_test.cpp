// The firmware boot test's judge: the port writes, console and loaded image
// it accepts, and the faults it must catch. Runs on the built image; QEMU is
// needed only by scripts/firmware-boot.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "tools/bootcheck/boot_check.h"

namespace {

using kel::bootcheck::PortAccess;
using kel::bootcheck::PortWrite;

constexpr uint32_t Code = 0xA0867;

kel::pe::Image BuiltImage() {
  auto image = kel::pe::Image::Load(KEL_EFI_IMAGE);
  return image ? *image : kel::pe::Image({});
}

// The fatal stop as the processor writes it: the marker, the code, then
// `turns` turns of the display, with the 32-bit writes split into bytes as
// the byte-wide port 0x80 device receives them.
std::vector<PortAccess> FatalStopAccesses(unsigned turns) {
  std::vector<PortAccess> out = {{0xE0, 0xDEAD, 2}};
  auto write32 = [&](uint32_t v) {
    for (unsigned b = 0; b < 4; ++b) {
      out.push_back({static_cast<uint16_t>(0x80 + b), (v >> (8 * b)) & 0xFF, 1});
    }
  };
  write32(Code);
  for (unsigned t = 0; t < turns; ++t) {
    for (uint32_t v : kel::bootcheck::FatalDisplay(Code)) {
      write32(v);
    }
  }
  return out;
}

std::vector<PortWrite> Assemble(const std::vector<PortAccess> &accesses) {
  return kel::bootcheck::AssembleWrites(accesses, {0x80, 0xE0});
}

// Verify that the display turns through the six values a post-code display
// shows for code 0xA0867, in this order.
TEST(BootCheckTest, FatalDisplayShowsTheMarkerAndCodeScrolling) {
  EXPECT_EQ(kel::bootcheck::FatalDisplay(Code),
            (std::vector<uint32_t>{0x670000DE, 0x0000DEAD, 0x00DEAD00, 0xDEAD000A, 0xAD000A08,
                                   0x000A0867}));
}

TEST(BootCheckTest, ParsesQemuTraceLinesAndSkipsMemoryAccesses) {
  std::istringstream trace(
      "memory_region_ops_write cpu 0 mr 0x55 addr 0xe0 value 0xdead size 2 name 'io'\n"
      "1234@1.5:memory_region_ops_write cpu 0 mr 0x55 addr 0x83 value 0x0 size 1 name 'p80'\n"
      "memory_region_ops_write cpu 0 mr 0x55 addr 0xfed00000 value 0x1 size 4 name 'hpet'\n"
      "memory_region_ops_read cpu 0 mr 0x55 addr 0x80 value 0x1 size 1 name 'p80'\n");
  const auto accesses = kel::bootcheck::ParsePortTrace(trace);
  ASSERT_EQ(accesses.size(), 2u);
  EXPECT_EQ(accesses[0].port, 0xE0);
  EXPECT_EQ(accesses[0].value, 0xDEADu);
  EXPECT_EQ(accesses[0].size, 2u);
  EXPECT_EQ(accesses[1].port, 0x83);
}

TEST(BootCheckTest, ReassemblesByteWritesIntoTheProcessorsWrites) {
  struct Case {
    const char *name;
    std::vector<PortAccess> accesses;
    std::vector<PortWrite> writes;
  };
  const std::vector<Case> cases = {
      {"four bytes from the base port are one 32-bit write",
       {{0x80, 0x67, 1}, {0x81, 0x08, 1}, {0x82, 0x0A, 1}, {0x83, 0x00, 1}},
       {{0x80, 32, 0x000A0867}}},
      {"two bytes, then the base port again: a 16-bit write and a new one",
       {{0x80, 0xAD, 1}, {0x81, 0xDE, 1}, {0x80, 1, 1}, {0x81, 0, 1}, {0x82, 0, 1}, {0x83, 0, 1}},
       {{0x80, 16, 0xDEAD}, {0x80, 32, 1}}},
      {"a whole access is taken as it comes",
       {{0xE0, 0xDEAD, 2}, {0x80, 0x12345678, 4}},
       {{0xE0, 16, 0xDEAD}, {0x80, 32, 0x12345678}}},
      {"a byte not at a base port stands alone", {{0x82, 0x11, 1}}, {{0x82, 8, 0x11}}},
      {"a write cut short by the stop is dropped",
       {{0x80, 0x67, 1}, {0x81, 0x08, 1}, {0x80, 0xDE, 1}, {0x81, 0, 1}},
       {{0x80, 16, 0x0867}}},
  };
  for (const Case &c : cases) {
    const auto writes = Assemble(c.accesses);
    ASSERT_EQ(writes.size(), c.writes.size()) << c.name;
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].port, c.writes[i].port) << c.name << " #" << i;
      EXPECT_EQ(writes[i].bits, c.writes[i].bits) << c.name << " #" << i;
      EXPECT_EQ(writes[i].value, c.writes[i].value) << c.name << " #" << i;
    }
  }
}

TEST(BootCheckTest, FatalStopWritesPassOnlyInTheirOrderAndWidths) {
  struct Case {
    const char *name;
    std::vector<PortAccess> accesses;
    bool passes;
  };
  auto with = [](std::vector<PortAccess> a, size_t at, PortAccess x) {
    a.insert(a.begin() + static_cast<long>(at), x);
    return a;
  };
  auto without = [](std::vector<PortAccess> a, size_t at) {
    a.erase(a.begin() + static_cast<long>(at));
    return a;
  };
  std::vector<PortAccess> byteMarker = FatalStopAccesses(2);
  byteMarker[0] = {0xE0, 0xAD, 1};
  std::vector<PortAccess> wrongCode = FatalStopAccesses(2);
  wrongCode[1].value = 0x68;
  const std::vector<Case> cases = {
      {"marker, code and two turns", FatalStopAccesses(2), true},
      {"marker, code and five turns", FatalStopAccesses(5), true},
      {"one turn is not enough", FatalStopAccesses(1), false},
      {"the marker written as a byte", byteMarker, false},
      {"another code", wrongCode, false},
      {"no marker", without(FatalStopAccesses(2), 0), false},
      {"a stray write between two display values",
       with(FatalStopAccesses(2), 13, {0x80, 0x55, 1}), false},
      {"something else on port 0xE0 before the marker",
       with(FatalStopAccesses(2), 0, {0xE0, 0x1, 2}), false},
      {"nothing at all", {}, false},
  };
  for (const Case &c : cases) {
    const auto v = kel::bootcheck::CheckFatalStopWrites(Assemble(c.accesses), Code, 2);
    EXPECT_EQ(v.passed, c.passes) << c.name;
  }
}

TEST(BootCheckTest, SerialConsoleNeedsTheLoadAndNoFault) {
  const std::string load = "Shell> load fs0:\\KelNbioPcieHXDxe.efi\r\n";
  struct Case {
    const char *name;
    std::string console;
    bool passes;
  };
  const std::vector<Case> cases = {
      {"the load command ran", "Press ESC in 1 seconds\r\n" + load, true},
      {"no load command", "Press ESC in 1 seconds\r\nShell> ", false},
      {"an exception after the load",
       load + "!!!! X64 Exception Type - 0E(#PF - Page-Fault)  CPU Apic ID - 00000000 !!!!\r\n",
       false},
      {"the shell refused the image",
       load + "load: Image fs0:\\KelNbioPcieHXDxe.efi is not a valid image.\r\n", false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(kel::bootcheck::CheckSerialConsole(c.console, "KelNbioPcieHXDxe.efi").passed,
              c.passes)
        << c.name;
  }
}

// A loader of our own for the test: the file's sections at their RVAs and
// its DIR64 relocations applied, at `base`, inside a dump of `dumpSize`
// bytes starting `offset` bytes before the image.
struct Dump {
  std::vector<uint8_t> bytes;
  uint64_t address = 0;
};

Dump LoadAt(const kel::pe::Image &file, uint64_t base, size_t offset, bool relocate = true) {
  Dump d;
  d.address = base - offset;
  d.bytes.assign(offset + file.SizeOfImage() + 0x3000, 0xCC);
  uint8_t *image = d.bytes.data() + offset;
  std::memset(image, 0, file.SizeOfImage());
  std::memcpy(image, file.Bytes().data(), file.SizeOfHeaders());
  for (const kel::pe::Section &s : file.Sections()) {
    std::memcpy(image + s.virtualAddress, file.Bytes().data() + s.rawOffset,
                std::min(s.rawSize, s.virtualSize));
  }
  for (const kel::pe::Relocation &r : file.Relocations()) {
    if (relocate && r.type == kel::pe::RelBasedDir64) {
      uint64_t v;
      std::memcpy(&v, image + r.rva, 8);
      v += base - file.ImageBase();
      std::memcpy(image + r.rva, &v, 8);
    }
  }
  return d;
}

constexpr uint64_t LoadBase = 0xE20C000;

uint64_t RipInCode(const kel::pe::Image &file, uint64_t base) {
  return base + file.EntryPoint();
}

TEST(BootCheckTest, LoadedImageIsFoundAndPassesWhenRelocatedAway) {
  const kel::pe::Image file = BuiltImage();
  ASSERT_TRUE(file.Valid());
  const Dump d = LoadAt(file, LoadBase, 0x5000);
  const auto v = kel::bootcheck::CheckLoadedImage(file, d.bytes, d.address,
                                                  RipInCode(file, LoadBase));
  std::string seen;
  for (const std::string &line : v.lines) {
    seen += line + "\n";
  }
  EXPECT_TRUE(v.passed) << seen;
  EXPECT_NE(seen.find("image loaded at 0xE20C000"), std::string::npos) << seen;
}

TEST(BootCheckTest, LoadedImageFaultsAreCaught) {
  const kel::pe::Image file = BuiltImage();
  ASSERT_TRUE(file.Valid());
  const auto relocations = file.Relocations();
  ASSERT_FALSE(relocations.empty());
  struct Case {
    const char *name;
    Dump dump;
    uint64_t rip;
  };
  Dump oneMissed = LoadAt(file, LoadBase, 0x5000);
  {
    // Undo the last DIR64 relocation, as a loader that skipped it would.
    uint32_t rva = 0;
    for (const auto &r : relocations) {
      rva = r.type == kel::pe::RelBasedDir64 ? r.rva : rva;
    }
    uint64_t v;
    std::memcpy(&v, oneMissed.bytes.data() + 0x5000 + rva, 8);
    v -= LoadBase - file.ImageBase();
    std::memcpy(oneMissed.bytes.data() + 0x5000 + rva, &v, 8);
  }
  Dump codeChanged = LoadAt(file, LoadBase, 0x5000);
  codeChanged.bytes[0x5000 + file.EntryPoint()] ^= 0xFF;
  std::vector<Case> cases;
  cases.push_back({"at its preferred base", LoadAt(file, file.ImageBase(), 0x5000),
                   RipInCode(file, file.ImageBase())});
  cases.push_back({"no relocation applied", LoadAt(file, LoadBase, 0x5000, false),
                   RipInCode(file, LoadBase)});
  cases.push_back({"one relocation missed", oneMissed, RipInCode(file, LoadBase)});
  cases.push_back({"code differs from the file", codeChanged, RipInCode(file, LoadBase)});
  cases.push_back({"the processor runs elsewhere", LoadAt(file, LoadBase, 0x5000), LoadBase - 4});
  cases.push_back({"the image is not in the dump", Dump{std::vector<uint8_t>(0x20000, 0), LoadBase},
                   RipInCode(file, LoadBase)});
  for (const Case &c : cases) {
    EXPECT_FALSE(kel::bootcheck::CheckLoadedImage(file, c.dump.bytes, c.dump.address, c.rip)
                     .passed)
        << c.name;
  }
}

// Verify that each broken copy carries its fault and nothing else changed.
TEST(BootCheckTest, BrokenCopiesCarryExactlyTheirFault) {
  using kel::bootcheck::Break;
  const kel::pe::Image file = BuiltImage();
  ASSERT_TRUE(file.Valid());
  auto changedBytes = [&](const std::vector<uint8_t> &copy) {
    size_t n = 0;
    for (size_t i = 0; i < copy.size(); ++i) {
      n += copy[i] != file.Bytes()[i];
    }
    return n;
  };
  auto dir64 = [](const kel::pe::Image &image) {
    size_t n = 0;
    for (const auto &r : image.Relocations()) {
      n += r.type == kel::pe::RelBasedDir64;
    }
    return n;
  };

  const auto entry = kel::bootcheck::BreakImage(file, Break::Entry);
  ASSERT_TRUE(entry.has_value());
  const kel::pe::Image entryImage(*entry);
  EXPECT_NE(entryImage.EntryPoint(), file.EntryPoint());
  EXPECT_EQ(file.SectionAt(entryImage.EntryPoint())->name, ".text");

  const auto relocation = kel::bootcheck::BreakImage(file, Break::Relocation);
  ASSERT_TRUE(relocation.has_value());
  EXPECT_EQ(dir64(kel::pe::Image(*relocation)), dir64(file) - 1);
  EXPECT_LE(changedBytes(*relocation), 2u);

  const auto width = kel::bootcheck::BreakImage(file, Break::Width);
  ASSERT_TRUE(width.has_value());
  EXPECT_EQ(changedBytes(*width), 2u);
  const std::vector<uint8_t> outw = {0x66, 0xEF};
  EXPECT_EQ(std::search(width->begin(), width->end(), outw.begin(), outw.end()), width->end());

  EXPECT_EQ(kel::bootcheck::ParseBreak("entry"), Break::Entry);
  EXPECT_FALSE(kel::bootcheck::ParseBreak("stack").has_value());
}

} // namespace
