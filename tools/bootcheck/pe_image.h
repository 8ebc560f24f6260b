// A read-only view of a PE32+ image file (Microsoft PE/COFF r11): the headers,
// the section table and the base relocations, enough to check an EFI image
// and to compare it with a copy a firmware loader placed in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kel::pe {

struct Section {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
  bool Writable() const { return (characteristics & 0x80000000u) != 0; }
};

// One base relocation entry (PE/COFF r11, 6.6): its type and the RVA it patches,
// with the file offset of the entry itself so a copy can be altered.
struct Relocation {
  uint8_t type = 0;
  uint32_t rva = 0;
  size_t entryOffset = 0;
};

inline constexpr uint8_t RelBasedAbsolute = 0;
inline constexpr uint8_t RelBasedDir64 = 10;
inline constexpr unsigned BaseRelocationDirectory = 5;

class Image {
public:
  explicit Image(std::vector<uint8_t> bytes);
  static std::optional<Image> Load(const std::string &path);

  bool Valid() const { return coff_ != 0; }
  const std::vector<uint8_t> &Bytes() const { return bytes_; }
  uint16_t Machine() const { return U16(coff_); }
  uint32_t TimeDateStamp() const { return U32(coff_ + 4); }
  uint16_t Magic() const { return U16(optional_); }
  uint32_t EntryPoint() const { return U32(optional_ + 16); }
  uint64_t ImageBase() const { return U64(optional_ + 24); }
  uint32_t SizeOfImage() const { return U32(optional_ + 56); }
  uint32_t SizeOfHeaders() const { return U32(optional_ + 60); }
  uint16_t Subsystem() const { return U16(optional_ + 68); }
  size_t PeHeaderOffset() const { return coff_ - 4; }
  size_t EntryPointOffset() const { return optional_ + 16; }
  // PE32+ data directories start at optional header + 112, 8 bytes each.
  std::pair<uint32_t, uint32_t> Directory(unsigned index) const;
  const std::vector<Section> &Sections() const { return sections_; }
  const Section *SectionAt(uint32_t rva) const;
  // File offset of an RVA, or nothing when no section's raw data holds it.
  std::optional<size_t> FileOffset(uint32_t rva) const;
  std::vector<Relocation> Relocations() const;

  uint16_t U16(size_t offset) const;
  uint32_t U32(size_t offset) const;
  uint64_t U64(size_t offset) const;

private:
  std::vector<uint8_t> bytes_;
  size_t coff_ = 0;
  size_t optional_ = 0;
  std::vector<Section> sections_;
};

} // namespace kel::pe
