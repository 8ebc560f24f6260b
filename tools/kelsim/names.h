// Vendor and device names from the pci.ids database through libpci.
#pragma once

#include <cstdint>
#include <string>

namespace kelsim {

// "Samsung Electronics Co Ltd NVMe SSD Controller SM981/PM981/PM983", the vendor alone
// when the device is not listed, or "" when the database is missing or
// lists neither.
std::string DeviceName(uint16_t vendor, uint16_t device);

// Reads names from this file instead of the system's pci.ids (tests).
void UsePciIds(const std::string &path);

} // namespace kelsim
