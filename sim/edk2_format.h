// Formats EDK II PrintLib format strings against a Microsoft x64 argument
// list, as the platform's debug-print receiver does.
#pragma once

#include <string>

#include "uefi/uefi.h"

namespace sim {

std::string FormatEdk2(const char *format, VA_LIST args);

} // namespace sim
