// Reads the built EFI image and fails if it stops being a loadable UEFI
// boot-service driver (PE/COFF r11, UEFI 2.10 section 2.1.1).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>
#include <algorithm>

namespace {

std::vector<uint8_t> ReadFile(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T> T At(const std::vector<uint8_t> &b, size_t offset) {
  T v{};
  if (offset + sizeof(T) > b.size()) {
    ADD_FAILURE() << "read past the end of the image at " << offset;
    return v;
  }
  std::memcpy(&v, b.data() + offset, sizeof(T));
  return v;
}

struct PeImage {
  std::vector<uint8_t> bytes;
  size_t coff = 0;     // COFF file header
  size_t optional = 0; // optional header
  uint16_t sections = 0;

  explicit PeImage(const char *path) : bytes(ReadFile(path)) {
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
      return;
    }
    const uint32_t pe = At<uint32_t>(bytes, 0x3C);
    if (At<uint32_t>(bytes, pe) != 0x00004550) { // "PE\0\0"
      return;
    }
    coff = pe + 4;
    optional = coff + 20;
    sections = At<uint16_t>(bytes, coff + 2);
  }
  bool Valid() const { return coff != 0; }
  uint16_t Machine() const { return At<uint16_t>(bytes, coff); }
  uint16_t Magic() const { return At<uint16_t>(bytes, optional); }
  uint32_t EntryPoint() const { return At<uint32_t>(bytes, optional + 16); }
  uint16_t Subsystem() const { return At<uint16_t>(bytes, optional + 68); }
  uint64_t ImageBase() const { return At<uint64_t>(bytes, optional + 24); }
  // PE32+ data directories start at optional header + 112, 8 bytes each.
  std::pair<uint32_t, uint32_t> Directory(unsigned index) const {
    const size_t at = optional + 112 + 8 * index;
    return {At<uint32_t>(bytes, at), At<uint32_t>(bytes, at + 4)};
  }
  std::vector<std::string> SectionNames() const {
    std::vector<std::string> names;
    const size_t table = optional + At<uint16_t>(bytes, coff + 16);
    for (uint16_t i = 0; i < sections; ++i) {
      char name[9] = {};
      std::memcpy(name, bytes.data() + table + 40 * i, 8);
      names.emplace_back(name);
    }
    return names;
  }
  // File offset of a relative virtual address, through the section table.
  size_t FileOffset(uint32_t rva) const {
    const size_t table = optional + At<uint16_t>(bytes, coff + 16);
    for (uint16_t i = 0; i < sections; ++i) {
      const size_t h = table + 40 * i;
      const uint32_t va = At<uint32_t>(bytes, h + 12);
      const uint32_t raw = At<uint32_t>(bytes, h + 16);
      if (rva >= va && rva < va + raw) {
        return At<uint32_t>(bytes, h + 20) + (rva - va);
      }
    }
    return 0;
  }
};

uint64_t MapAddress(const std::string &symbol) {
  std::ifstream map(KEL_EFI_MAP);
  std::stringstream text;
  text << map.rdbuf();
  const std::string s = text.str();
  const size_t at = s.find(symbol);
  if (at == std::string::npos) {
    return 0;
  }
  std::smatch m;
  const std::string rest = s.substr(at + symbol.size(), 40);
  if (!std::regex_search(rest, m, std::regex(R"(([0-9a-fA-F]{16}))"))) {
    return 0;
  }
  return std::stoull(m[1].str(), nullptr, 16);
}

constexpr unsigned kImportDirectory = 1;
constexpr unsigned kBaseRelocationDirectory = 5;
constexpr unsigned kDelayImportDirectory = 13;

TEST(EfiImageTest, IsAnX64BootServiceDriverWithoutImports) {
  PeImage image(KEL_EFI_IMAGE);
  ASSERT_TRUE(image.Valid()) << "not a PE image: " << KEL_EFI_IMAGE;
  EXPECT_EQ(image.Magic(), 0x20B) << "PE32+";
  EXPECT_EQ(image.Machine(), 0x8664);
  EXPECT_EQ(image.Subsystem(), 11) << "EFI boot service driver";
  EXPECT_EQ(image.Directory(kImportDirectory), std::make_pair(0u, 0u));
  EXPECT_EQ(image.Directory(kDelayImportDirectory), std::make_pair(0u, 0u));
  EXPECT_GT(image.Directory(kBaseRelocationDirectory).second, 0u)
      << "the loader must be able to relocate the image";
}

TEST(EfiImageTest, EntryPointIsTheImageEntry) {
  PeImage image(KEL_EFI_IMAGE);
  ASSERT_TRUE(image.Valid());
  std::ifstream map(KEL_EFI_MAP);
  std::stringstream text;
  text << map.rdbuf();
  std::smatch m;
  const std::string s = text.str();
  const std::regex line(R"(\sKelNbioPcieHXDxeEntryPoint\s+([0-9a-fA-F]{16})\s)");
  ASSERT_TRUE(std::regex_search(s, m, line)) << "entry symbol missing from the link map";
  const uint64_t address = std::stoull(m[1].str(), nullptr, 16);
  EXPECT_EQ(image.EntryPoint(), address - image.ImageBase());
}

TEST(EfiImageTest, CarriesNoStaticConstructorsOrThreadLocalData) {
  PeImage image(KEL_EFI_IMAGE);
  ASSERT_TRUE(image.Valid());
  for (const std::string &name : image.SectionNames()) {
    EXPECT_EQ(name.find(".CRT"), std::string::npos) << name;
    EXPECT_NE(name, ".tls");
    EXPECT_NE(name, ".idata");
  }
}

// Verify that the simulator query keeps the caller's flags, RBX, RCX, RDX
// and RSI: they are pushed before the CPUID and popped after it, in
// reverse order, before the function returns.
TEST(EfiImageTest, SimulatorQueryPreservesTheCallersRegisters) {
  PeImage image(KEL_EFI_IMAGE);
  ASSERT_TRUE(image.Valid());
  const uint64_t address = MapAddress("?ArchSimulatorQuery@@YAGI@Z");
  ASSERT_NE(address, 0u) << "symbol missing from the link map";
  const size_t at = image.FileOffset(static_cast<uint32_t>(address - image.ImageBase()));
  ASSERT_NE(at, 0u);
  std::vector<uint8_t> code;
  for (size_t i = at; i < image.bytes.size() && image.bytes[i] != 0xC3 && code.size() < 96; ++i) {
    code.push_back(image.bytes[i]);
  }
  const std::vector<uint8_t> query = {0x0F, 0xA2};
  const auto cpuid = std::search(code.begin(), code.end(), query.begin(), query.end());
  ASSERT_NE(cpuid, code.end());
  const std::vector<uint8_t> pushes = {0x9C, 0x53, 0x51, 0x52, 0x56};
  const std::vector<uint8_t> pops = {0x5E, 0x5A, 0x59, 0x5B, 0x9D};
  EXPECT_NE(std::search(code.begin(), cpuid, pushes.begin(), pushes.end()), cpuid)
      << "pushfq; push rbx, rcx, rdx, rsi before the query";
  EXPECT_NE(std::search(cpuid, code.end(), pops.begin(), pops.end()), code.end())
      << "pop rsi, rdx, rcx, rbx; popfq after it";
}

} // namespace
