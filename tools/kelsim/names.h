// Vendor and device names from the pci.ids database through libpci, kept
// between runs in $XDG_CACHE_HOME/kelsim/pci-names.json (~/.cache/kelsim/
// without it) while the database file is unchanged.
#pragma once

#include <cstdint>
#include <string>

namespace kelsim {

// "Samsung Electronics Co Ltd NVMe SSD Controller SM981/PM981/PM983", the vendor alone
// when the device is not listed, or "" when the database is missing or
// lists neither.
std::string DeviceName(uint16_t vendor, uint16_t device);

// Reads names from this file instead of the system's pci.ids, and keeps
// them in `cacheFile` ("": nowhere) instead of the user's cache directory
// (tests). The names looked up so far are written to the cache first.
void UsePciIds(const std::string &path, const std::string &cacheFile = "");

} // namespace kelsim
