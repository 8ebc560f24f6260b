// Formats EDK II PrintLib format strings against a Microsoft x64 argument
// list, as the platform's debug-print receiver does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "uefi/uefi.h"

namespace sim {

std::string FormatEdk2(const char *format, VA_LIST args);

// A trace line kept to be formatted later, when a report asks for it:
// appends the arguments `format` takes from `args` to `record`, numbers as
// their 8-byte slots, strings and GUIDs copied. `format` itself must
// outlive the record (the driver's formats are literals).
void KeepEdk2Arguments(const char *format, VA_LIST args, std::vector<uint64_t> &record);
// The line KeepEdk2Arguments kept, from the first word it appended.
std::string FormatEdk2Kept(const char *format, const uint64_t *record);

} // namespace sim
