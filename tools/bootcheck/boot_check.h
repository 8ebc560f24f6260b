// Checks what the EFI image did when real firmware (OVMF under QEMU) loaded
// and started it: the port writes QEMU traced, the firmware's serial console
// and the image as the loader placed it in memory.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/bootcheck/pe_image.h"

namespace kel::bootcheck {

// One device access as QEMU's memory_region_ops_write trace event shows it.
struct PortAccess {
  uint16_t port = 0;
  uint64_t value = 0;
  unsigned size = 0;
};

// A processor write put back together: devices that take only bytes (the
// port 0x80 display) receive a 32-bit OUT as four byte accesses at
// consecutive ports.
struct PortWrite {
  uint16_t port = 0;
  unsigned bits = 0;
  uint32_t value = 0;
};

struct Verdict {
  bool passed = true;
  std::vector<std::string> lines; // what was seen, decoded, and each fault
  void Fail(const std::string &line);
  void Note(const std::string &line) { lines.push_back(line); }
};

std::vector<PortAccess> ParsePortTrace(std::istream &trace);

// Puts byte runs at base, base+1, ... back together, up to four bytes. A
// run that the end of the trace cut short is dropped: QEMU was stopped
// in the middle of that write.
std::vector<PortWrite> AssembleWrites(const std::vector<PortAccess> &accesses,
                                      const std::vector<uint16_t> &basePorts);

// The six values a fatal stop's rotating display shows, in order.
std::vector<uint32_t> FatalDisplay(uint32_t code);

// The fatal stop's writes: the 16-bit marker on port 0xE0, the 32-bit code on
// port 0x80, then at least `turns` full turns of the display, and nothing
// else on either port.
Verdict CheckFatalStopWrites(const std::vector<PortWrite> &writes, uint32_t code,
                             unsigned turns);

// The shell ran the start-up script's load command and the firmware reported
// no processor exception.
Verdict CheckSerialConsole(const std::string &console, const std::string &imageName);

// Finds the image in a dump of physical memory taken around the instruction
// pointer and checks that the loader placed it away from its preferred base,
// copied every read-only section, applied every relocation and left no
// pointer into the preferred range, and that the processor runs its code.
Verdict CheckLoadedImage(const pe::Image &file, const std::vector<uint8_t> &dump,
                         uint64_t dumpAddress, uint64_t rip);

enum class Break { Entry, Relocation, Width };
std::optional<Break> ParseBreak(const std::string &name);
// A copy of the image with one fault put in, for showing that the boot test
// notices it; nothing when the image offers no place for that fault.
std::optional<std::vector<uint8_t>> BreakImage(const pe::Image &file, Break kind);

} // namespace kel::bootcheck
