// Formats EDK II PrintLib format strings against a Microsoft x64 argument
// list, as the platform's debug-print receiver does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "uefi/uefi.h"

namespace sim {

std::string FormatEdk2(const char *format, VA_LIST args);

// A trace line kept to be formatted later, when a report asks for it.
// The kinds of argument a format's directives take, in order: 'w' a
// number's 8-byte slot (a '*' width too), 'a' an ASCII string, 's' a UCS-2
// string, 'g' a GUID. The same format always gives the same kinds.
std::string Edk2ArgumentKinds(const char *format);
// Appends arguments of those kinds, taken from `args`, to `record`:
// numbers as their slots, strings and GUIDs copied, since the caller's
// buffers do not outlive the call. The format must outlive the record
// (the driver's formats are literals).
void KeepEdk2Arguments(std::string_view kinds, VA_LIST args, std::vector<uint64_t> &record);
// Appends `text` as the argument of a %a directive, as
// KeepEdk2Arguments keeps one; the text need not end in a zero.
void KeepEdk2String(std::string_view text, std::vector<uint64_t> &record);
// The line KeepEdk2Arguments kept, from the first word it appended.
std::string FormatEdk2Kept(const char *format, const uint64_t *record);

} // namespace sim
