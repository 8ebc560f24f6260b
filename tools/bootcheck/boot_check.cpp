#include "tools/bootcheck/boot_check.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <regex>
#include <sstream>

#include <fmt/format.h>

namespace kel::bootcheck {

namespace {

constexpr uint16_t FatalMarkerPort = 0xE0;
constexpr uint16_t PostCodePort = 0x80;
constexpr uint16_t FatalMarker = 0xDEAD;
constexpr size_t WritesShownOnFault = 24;

std::string Describe(const PortWrite &w) {
  return fmt::format("{:2}-bit write 0x{:0{}X} to port 0x{:02X}", w.bits, w.value, w.bits / 4,
                     w.port);
}

uint64_t RotateLeft(uint64_t value, unsigned bits) {
  return (value << bits) | (value >> (64 - bits));
}

std::vector<PortWrite> ExpectedStart(uint32_t code) {
  return {{FatalMarkerPort, 16, FatalMarker}, {PostCodePort, 32, code}};
}

bool SameWrite(const PortWrite &a, const PortWrite &b) {
  return a.port == b.port && a.bits == b.bits && a.value == b.value;
}

} // namespace

void Verdict::Fail(const std::string &line) {
  passed = false;
  lines.push_back("FAIL: " + line);
}

std::vector<PortAccess> ParsePortTrace(std::istream &trace) {
  // memory_region_ops_write cpu 0 mr 0x... addr 0x80 value 0x67 size 1 name 'ioport80'
  static const std::regex access(
      R"(memory_region_ops_write\b.*\baddr 0x([0-9a-fA-F]+) value 0x([0-9a-fA-F]+) size (\d+))");
  std::vector<PortAccess> out;
  std::string line;
  std::smatch m;
  while (std::getline(trace, line)) {
    if (!std::regex_search(line, m, access)) {
      continue;
    }
    const uint64_t address = std::stoull(m[1].str(), nullptr, 16);
    if (address > 0xFFFF) {
      continue; // memory-mapped, not a port
    }
    out.push_back({static_cast<uint16_t>(address), std::stoull(m[2].str(), nullptr, 16),
                   static_cast<unsigned>(std::stoul(m[3].str()))});
  }
  return out;
}

std::vector<PortWrite> AssembleWrites(const std::vector<PortAccess> &accesses,
                                      const std::vector<uint16_t> &basePorts) {
  std::vector<PortWrite> out;
  std::optional<PortWrite> run; // byte accesses from a base port, growing
  auto close = [&] {
    if (run) {
      out.push_back(*run);
      run.reset();
    }
  };
  for (const PortAccess &a : accesses) {
    const bool isBase =
        std::find(basePorts.begin(), basePorts.end(), a.port) != basePorts.end();
    const bool continuesRun =
        run && a.size == 1 && run->bits < 32 && a.port == run->port + run->bits / 8;
    if (continuesRun) {
      run->value |= static_cast<uint32_t>(a.value & 0xFF) << run->bits;
      run->bits += 8;
      continue;
    }
    close();
    if (a.size == 1 && isBase) {
      run = PortWrite{a.port, 8, static_cast<uint32_t>(a.value & 0xFF)};
      continue;
    }
    out.push_back({a.port, a.size * 8, static_cast<uint32_t>(a.value)});
  }
  // A run is complete at 32 bits; a shorter one at the very end may be the
  // write QEMU was stopped in, and is left out rather than misread.
  if (run && run->bits == 32) {
    close();
  }
  return out;
}

std::vector<uint32_t> FatalDisplay(uint32_t code) {
  // The 64-bit display word holds the marker in its top 16 bits and the
  // code below it; it turns one byte per shown value, and two more bytes
  // after every six so the marker comes round again.
  uint64_t display = (uint64_t{FatalMarker} << 48) | (uint64_t{code} << 16);
  std::vector<uint32_t> values;
  for (int step = 0; step < 6; ++step) {
    display = RotateLeft(display, 8);
    values.push_back(static_cast<uint32_t>(display));
  }
  return values;
}

Verdict CheckFatalStopWrites(const std::vector<PortWrite> &writes, uint32_t code,
                             unsigned turns) {
  Verdict v;
  std::vector<PortWrite> expected = ExpectedStart(code);
  const std::vector<uint32_t> display = FatalDisplay(code);
  for (size_t i = 0; i < writes.size(); ++i) {
    if (i >= expected.size()) {
      expected.push_back({PostCodePort, 32, display[(i - 2) % display.size()]});
    }
  }
  v.Note(fmt::format("port writes seen on 0x80-0x83 and 0xE0-0xE3: {}", writes.size()));
  for (size_t i = 0; i < std::min(writes.size(), WritesShownOnFault); ++i) {
    v.Note(fmt::format("  {:3}: {}", i, Describe(writes[i])));
  }
  for (size_t i = 0; i < writes.size(); ++i) {
    if (!SameWrite(writes[i], expected[i])) {
      v.Fail(fmt::format("write {} is a {}, expected a {}", i, Describe(writes[i]),
                         Describe(expected[i])));
      return v;
    }
  }
  const size_t needed = 2 + size_t{turns} * display.size();
  if (writes.size() < needed) {
    v.Fail(fmt::format("{} writes, expected the marker, the code and {} turns of the "
                       "display: at least {}",
                       writes.size(), turns, needed));
    return v;
  }
  v.Note(fmt::format("marker 0x{:04X} on port 0xE0, code 0x{:08X} on port 0x80, then {} full "
                     "turns of the display",
                     FatalMarker, code, (writes.size() - 2) / display.size()));
  return v;
}

Verdict CheckSerialConsole(const std::string &console, const std::string &imageName) {
  Verdict v;
  const std::string command = "load fs0:\\" + imageName;
  const size_t at = console.find(command);
  if (at == std::string::npos) {
    v.Fail("the shell never ran \"" + command + "\" from startup.nsh");
  } else {
    v.Note("the shell ran \"" + command + "\"");
  }
  // UEFI Shell's load command reports a refused image as "load: ...", and
  // the firmware's exception handler prints "!!!! X64 Exception Type ...".
  static const std::vector<std::string> faults = {"X64 Exception Type", "load: "};
  for (const std::string &fault : faults) {
    const size_t f = console.find(fault, at == std::string::npos ? 0 : at);
    if (f != std::string::npos) {
      const size_t end = console.find_first_of("\r\n", f);
      v.Fail("the console reports: " + console.substr(f, end == std::string::npos
                                                              ? std::string::npos
                                                              : end - f));
    }
  }
  return v;
}

namespace {

// Offset of the image inside the dump: a page whose PE headers carry the
// file's signature, time stamp, entry point and size.
std::optional<size_t> FindImage(const pe::Image &file, const std::vector<uint8_t> &dump) {
  const size_t pe = file.PeHeaderOffset();
  for (size_t page = 0; page + file.SizeOfImage() <= dump.size(); page += 0x1000) {
    pe::Image candidate(
        std::vector<uint8_t>(dump.begin() + page, dump.begin() + page + file.SizeOfHeaders()));
    if (candidate.Valid() && candidate.PeHeaderOffset() == pe &&
        candidate.TimeDateStamp() == file.TimeDateStamp() &&
        candidate.EntryPoint() == file.EntryPoint() &&
        candidate.SizeOfImage() == file.SizeOfImage()) {
      return page;
    }
  }
  return std::nullopt;
}

uint64_t Qword(const std::vector<uint8_t> &b, size_t at) {
  uint64_t v = 0;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

// What the loader should have made of the file: each section at its RVA,
// zero-filled past its raw data, with every DIR64 relocation applied.
std::vector<uint8_t> ExpectedMemory(const pe::Image &file, uint64_t delta) {
  std::vector<uint8_t> image(file.SizeOfImage(), 0);
  for (const pe::Section &s : file.Sections()) {
    const size_t n = std::min({s.rawSize, s.virtualSize,
                               static_cast<uint32_t>(file.Bytes().size() - s.rawOffset)});
    if (s.virtualAddress + n <= image.size()) {
      std::memcpy(image.data() + s.virtualAddress, file.Bytes().data() + s.rawOffset, n);
    }
  }
  for (const pe::Relocation &r : file.Relocations()) {
    if (r.type == pe::RelBasedDir64 && r.rva + 8 <= image.size()) {
      const uint64_t v = Qword(image, r.rva) + delta;
      std::memcpy(image.data() + r.rva, &v, sizeof v);
    }
  }
  return image;
}

} // namespace

Verdict CheckLoadedImage(const pe::Image &file, const std::vector<uint8_t> &dump,
                         uint64_t dumpAddress, uint64_t rip) {
  Verdict v;
  const std::optional<size_t> at = FindImage(file, dump);
  if (!at) {
    v.Fail(fmt::format("no copy of the image in memory 0x{:X}-0x{:X} around RIP 0x{:X}",
                       dumpAddress, dumpAddress + dump.size(), rip));
    return v;
  }
  const uint64_t base = dumpAddress + *at;
  const uint64_t delta = base - file.ImageBase();
  v.Note(fmt::format("image loaded at 0x{:X}, preferred base 0x{:X}", base, file.ImageBase()));
  if (delta == 0) {
    v.Fail("the image sits at its preferred base, so its relocations were not exercised");
  }
  const std::vector<uint8_t> expected = ExpectedMemory(file, delta);
  const std::vector<uint8_t> loaded(dump.begin() + *at, dump.begin() + *at + file.SizeOfImage());
  size_t relocations = 0;
  for (const pe::Relocation &r : file.Relocations()) {
    if (r.type != pe::RelBasedDir64) {
      continue;
    }
    ++relocations;
    if (Qword(loaded, r.rva) != Qword(expected, r.rva)) {
      v.Fail(fmt::format("relocation at RVA 0x{:X} holds 0x{:X}, expected 0x{:X}", r.rva,
                         Qword(loaded, r.rva), Qword(expected, r.rva)));
    }
  }
  v.Note(fmt::format("{} DIR64 relocations applied", relocations));
  for (const pe::Section &s : file.Sections()) {
    if (s.Writable() || s.name == ".reloc") {
      continue; // data the driver may have changed since it started
    }
    for (uint32_t o = 0; o < s.virtualSize; ++o) {
      const uint32_t rva = s.virtualAddress + o;
      if (loaded[rva] != expected[rva]) {
        v.Fail(fmt::format("{} differs from the file at RVA 0x{:X}", s.name, rva));
        break;
      }
    }
  }
  // A pointer still aimed at the preferred range is a relocation the file
  // does not carry: the loaded image is elsewhere.
  for (const pe::Section &s : file.Sections()) {
    if (s.name == ".text" || s.name == ".reloc") {
      continue;
    }
    for (uint32_t o = 0; o + 8 <= s.virtualSize; o += 8) {
      const uint64_t q = Qword(loaded, s.virtualAddress + o);
      if (q >= file.ImageBase() && q <= file.ImageBase() + file.SizeOfImage()) {
        v.Fail(fmt::format("{} RVA 0x{:X} holds 0x{:X}, a pointer into the preferred range "
                           "that no relocation moved",
                           s.name, s.virtualAddress + o, q));
      }
    }
  }
  const pe::Section *text = file.SectionAt(static_cast<uint32_t>(rip - base));
  if (rip < base || text == nullptr || text->name != ".text") {
    v.Fail(fmt::format("RIP 0x{:X} is outside the image's code", rip));
  } else {
    v.Note(fmt::format("RIP 0x{:X} is in the image's code at RVA 0x{:X}", rip, rip - base));
  }
  return v;
}

std::optional<Break> ParseBreak(const std::string &name) {
  if (name == "entry") {
    return Break::Entry;
  }
  if (name == "relocation") {
    return Break::Relocation;
  }
  if (name == "width") {
    return Break::Width;
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> BreakImage(const pe::Image &file, Break kind) {
  std::vector<uint8_t> bytes = file.Bytes();
  const pe::Section *text = nullptr;
  for (const pe::Section &s : file.Sections()) {
    if (s.name == ".text") {
      text = &s;
    }
  }
  switch (kind) {
  case Break::Entry: {
    // Start at the first function of the code instead of the entry.
    if (text == nullptr || text->virtualAddress == file.EntryPoint()) {
      return std::nullopt;
    }
    std::memcpy(bytes.data() + file.EntryPointOffset(), &text->virtualAddress, 4);
    return bytes;
  }
  case Break::Relocation: {
    // Turn the first DIR64 entry that patches read-only data into padding.
    for (const pe::Relocation &r : file.Relocations()) {
      const pe::Section *s = file.SectionAt(r.rva);
      if (r.type == pe::RelBasedDir64 && s != nullptr && !s->Writable()) {
        bytes[r.entryOffset] = 0;
        bytes[r.entryOffset + 1] = 0;
        return bytes;
      }
    }
    return std::nullopt;
  }
  case Break::Width: {
    // The only 16-bit OUT (66 EF, "out dx, ax") becomes "nop; out dx, al".
    if (text == nullptr) {
      return std::nullopt;
    }
    const auto begin = bytes.begin() + text->rawOffset;
    const auto end = begin + std::min(text->rawSize, text->virtualSize);
    const std::vector<uint8_t> outw = {0x66, 0xEF};
    const auto first = std::search(begin, end, outw.begin(), outw.end());
    if (first == end || std::search(first + 1, end, outw.begin(), outw.end()) != end) {
      return std::nullopt;
    }
    first[0] = 0x90;
    first[1] = 0xEE;
    return bytes;
  }
  }
  return std::nullopt;
}

} // namespace kel::bootcheck
