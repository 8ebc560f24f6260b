#include "tools/bootcheck/pe_image.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace kel::pe {

namespace {
template <typename T> T ReadAt(const std::vector<uint8_t> &b, size_t offset) {
  T v{};
  if (offset <= b.size() && sizeof(T) <= b.size() - offset) {
    std::memcpy(&v, b.data() + offset, sizeof(T));
  }
  return v;
}
} // namespace

Image::Image(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() < 0x40 || bytes_[0] != 'M' || bytes_[1] != 'Z') {
    return;
  }
  const uint32_t pe = ReadAt<uint32_t>(bytes_, 0x3C);
  if (ReadAt<uint32_t>(bytes_, pe) != 0x00004550) { // "PE\0\0"
    return;
  }
  coff_ = pe + 4;
  optional_ = coff_ + 20;
  const size_t table = optional_ + U16(coff_ + 16);
  for (uint16_t i = 0; i < U16(coff_ + 2); ++i) {
    const size_t h = table + 40 * i;
    if (h + 40 > bytes_.size()) {
      break;
    }
    Section s;
    char name[9] = {};
    std::memcpy(name, bytes_.data() + h, 8);
    s.name = name;
    s.virtualSize = U32(h + 8);
    s.virtualAddress = U32(h + 12);
    s.rawSize = U32(h + 16);
    s.rawOffset = U32(h + 20);
    s.characteristics = U32(h + 36);
    sections_.push_back(s);
  }
}

std::optional<Image> Image::Load(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return Image({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
}

uint16_t Image::U16(size_t offset) const { return ReadAt<uint16_t>(bytes_, offset); }
uint32_t Image::U32(size_t offset) const { return ReadAt<uint32_t>(bytes_, offset); }
uint64_t Image::U64(size_t offset) const { return ReadAt<uint64_t>(bytes_, offset); }

std::pair<uint32_t, uint32_t> Image::Directory(unsigned index) const {
  const size_t at = optional_ + 112 + 8 * index;
  return {U32(at), U32(at + 4)};
}

const Section *Image::SectionAt(uint32_t rva) const {
  for (const Section &s : sections_) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.virtualSize) {
      return &s;
    }
  }
  return nullptr;
}

std::optional<size_t> Image::FileOffset(uint32_t rva) const {
  const Section *s = SectionAt(rva);
  if (s == nullptr || rva - s->virtualAddress >= s->rawSize) {
    return std::nullopt;
  }
  return size_t{s->rawOffset} + (rva - s->virtualAddress);
}

std::vector<Relocation> Image::Relocations() const {
  std::vector<Relocation> out;
  const auto [rva, size] = Directory(BaseRelocationDirectory);
  const std::optional<size_t> start = FileOffset(rva);
  if (!start) {
    return out;
  }
  // Blocks of (page RVA, block size) followed by 16-bit entries: type in the
  // top four bits, offset within the page in the low twelve.
  size_t at = *start;
  const size_t end = *start + size;
  while (at + 8 <= end && end <= bytes_.size()) {
    const uint32_t page = U32(at);
    const uint32_t blockSize = U32(at + 4);
    if (blockSize < 8 || at + blockSize > end) {
      break;
    }
    for (size_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      const uint16_t entry = U16(e);
      out.push_back({static_cast<uint8_t>(entry >> 12), page + (entry & 0xFFFu), e});
    }
    at += blockSize;
  }
  return out;
}

} // namespace kel::pe
