// Configuration-space captures in the format `lspci -xxx` (256 bytes) and
// `lspci -xxxx` (4096 bytes) print: a header line per function, then hex rows.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "sim/config_space.h"

namespace sim {

struct CapturedFunction {
  uint16_t domain = 0;
  uint32_t bdf = 0; // PciAddress with register 0
  std::string description;
  std::vector<uint8_t> bytes; // 256 or 4096
  int line = 0;               // of the header line
  std::vector<std::string> warnings;
  std::vector<std::pair<uint16_t, uint16_t>> missingRows; // [first, end) read as zero
};

// Parses every function of a capture; throws InputError naming the line.
// Lines lspci's library prints on standard error are skipped, each with a
// warning when `warnings` is given.
std::vector<CapturedFunction> ParseLspci(std::istream &in, const std::string &name,
                                         std::vector<std::string> *warnings = nullptr);

// Every function's configuration space as a running Linux shows it in
// ROOT/sys/bus/pci/devices/DDDD:BB:DD.F/config, as lspci reads it on a live
// machine, in address order. Throws InputError when the folder is missing
// or, read without root, a function shows only its first 64 bytes.
std::vector<CapturedFunction> ReadSysfs(const std::string &root);

// A function that reads as captured and writes as the PCI Express registers
// it carries define; missing rows and the bytes past a 256-byte capture read
// as zero and are marked unknown.
ConfigFunction FunctionFromCapture(const CapturedFunction &captured);

std::string BdfText(uint32_t bdf);
// Parses "bb:dd.f" (hexadecimal); false if malformed.
bool ParseBdf(const std::string &text, uint32_t &bdf);

} // namespace sim
