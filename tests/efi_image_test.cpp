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

#include "tools/bootcheck/pe_image.h"

namespace {

kel::pe::Image LoadImage() {
  auto image = kel::pe::Image::Load(KEL_EFI_IMAGE);
  return image ? *image : kel::pe::Image({});
}

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
constexpr unsigned kDelayImportDirectory = 13;

TEST(EfiImageTest, IsAnX64BootServiceDriverWithoutImports) {
  const kel::pe::Image image = LoadImage();
  ASSERT_TRUE(image.Valid()) << "not a PE image: " << KEL_EFI_IMAGE;
  EXPECT_EQ(image.Magic(), 0x20B) << "PE32+";
  EXPECT_EQ(image.Machine(), 0x8664);
  EXPECT_EQ(image.Subsystem(), 11) << "EFI boot service driver";
  EXPECT_EQ(image.Directory(kImportDirectory), std::make_pair(0u, 0u));
  EXPECT_EQ(image.Directory(kDelayImportDirectory), std::make_pair(0u, 0u));
  EXPECT_GT(image.Directory(kel::pe::BaseRelocationDirectory).second, 0u)
      << "the loader must be able to relocate the image";
}

TEST(EfiImageTest, EntryPointIsTheImageEntry) {
  const kel::pe::Image image = LoadImage();
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
  const kel::pe::Image image = LoadImage();
  ASSERT_TRUE(image.Valid());
  for (const kel::pe::Section &section : image.Sections()) {
    const std::string &name = section.name;
    EXPECT_EQ(name.find(".CRT"), std::string::npos) << name;
    EXPECT_NE(name, ".tls");
    EXPECT_NE(name, ".idata");
  }
}

// Verify that the simulator query keeps the caller's flags, RBX, RCX, RDX
// and RSI: they are pushed before the CPUID and popped after it, in
// reverse order, before the function returns.
TEST(EfiImageTest, SimulatorQueryPreservesTheCallersRegisters) {
  const kel::pe::Image image = LoadImage();
  ASSERT_TRUE(image.Valid());
  const uint64_t address = MapAddress("?ArchSimulatorQuery@@YAGI@Z");
  ASSERT_NE(address, 0u) << "symbol missing from the link map";
  const auto offset = image.FileOffset(static_cast<uint32_t>(address - image.ImageBase()));
  ASSERT_TRUE(offset.has_value());
  const size_t at = *offset;
  const std::vector<uint8_t> &bytes = image.Bytes();
  std::vector<uint8_t> code;
  for (size_t i = at; i < bytes.size() && bytes[i] != 0xC3 && code.size() < 96; ++i) {
    code.push_back(bytes[i]);
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
