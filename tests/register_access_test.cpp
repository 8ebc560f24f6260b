// Register access: ECAM accesses of exact width, S3 recording of flagged
// writes, the SMN pair, capability searches and the fatal-stop checks.
#include "tests/test_support.h"

#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "platform/register_access.h"
#include "sim/catalogue.h"

namespace kel_test {
namespace {

constexpr uint32_t kEndpoint = sim::Bdf(1, 0, 0);

class RegisterAccessTest : public DriverUnitTest {
protected:
  RegisterAccessTest() {
    platform.AddSilicon(kHostBridge);
    platform.AddFunction(kEndpoint, sim::catalogue::NvmeSsd().Build());
    silicon.HostBridgeAddress = kHostBridge;
    platform.log.Clear();
  }
  SiliconDescriptor silicon{};
};

TEST_F(RegisterAccessTest, RecordedWriteGoesToBootScriptThenTraceThenHardware) {
  gS3MmioBase = 0xE0000000;
  const uint32_t address = kEndpoint | 0x3C;
  const UINT32 value = 0x0000005A;
  PciWrite(address, AccessWidth32 | S3Save, &value);

  ASSERT_EQ(platform.saveState.size(), 1u);
  EXPECT_EQ(platform.saveState[0].opcode, EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE);
  EXPECT_EQ(platform.saveState[0].width, 2u);
  EXPECT_EQ(platform.saveState[0].address, 0xE0000000ULL + address);
  EXPECT_EQ(platform.saveState[0].count, 1u);
  EXPECT_EQ(platform.saveState[0].value, 0x5Au);
  const auto lines = platform.log.DebugLines(DebugLevelService);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "  R S3 SAVE Script: Address 0x0010003c, Width 0x00000083 \n");
  const auto writes = Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].address, address);
  EXPECT_EQ(writes[0].width, 4u);
  EXPECT_EQ(platform.config.Find(kEndpoint)->Peek(0x3C, 1), 0x5Au);
}

TEST_F(RegisterAccessTest, UnflaggedWriteIsNeitherRecordedNorTraced) {
  const UINT32 value = 0x33;
  PciWrite(kEndpoint | 0x3C, AccessWidth32, &value);
  EXPECT_TRUE(platform.saveState.empty());
  EXPECT_TRUE(platform.log.DebugLines().empty());
  EXPECT_EQ(Writes().size(), 1u);
}

TEST_F(RegisterAccessTest, NarrowReadsFillOnlyTheirBytes) {
  UINT32 buffer = 0xAAAAAAAA;
  PciRead(kEndpoint, AccessWidth8, &buffer);
  EXPECT_EQ(buffer, 0xAAAAAA4Du);
  buffer = 0xAAAAAAAA;
  PciRead(kEndpoint, AccessWidth16 | S3Save, &buffer);
  EXPECT_EQ(buffer, 0xAAAA144Du);
  const auto reads = Of(sim::EventKind::CfgRead);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].width, 1u);
  EXPECT_EQ(reads[1].width, 2u);
}

struct WidthCase {
  const char *operation;
  AccessWidth width;
  uint32_t fatalCode;
};

class InvalidWidthTest : public RegisterAccessTest,
                         public ::testing::WithParamInterface<WidthCase> {};

TEST_P(InvalidWidthTest, StopsWithTheCheckCodeAndTouchesNoHardware) {
  const WidthCase &c = GetParam();
  UINT64 buffer = 0;
  const std::string op = c.operation;
  if (op == "PciRead") {
    PciRead(kEndpoint, c.width, &buffer);
  } else if (op == "PciWrite") {
    PciWrite(kEndpoint | 0x3C, c.width, &buffer);
  } else if (op == "IoWrite") {
    IoWrite(c.width, 0x80, &buffer);
  } else {
    EXPECT_EQ(AccessWidthSize(c.width), 0u);
  }
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{c.fatalCode});
  EXPECT_TRUE(Of(sim::EventKind::CfgRead).empty());
  EXPECT_TRUE(Of(sim::EventKind::CfgWrite).empty());
  // Only the fatal-stop display itself reaches the ports.
  EXPECT_EQ(platform.log.PortWrites(0x80), std::vector<uint64_t>{c.fatalCode});
}

INSTANTIATE_TEST_SUITE_P(
    Codes, InvalidWidthTest,
    ::testing::Values(WidthCase{"PciRead", AccessWidth64, 0xA10D0196},
                      WidthCase{"PciRead", 0, 0xA10D0196},
                      WidthCase{"PciRead", AccessWidth64 | S3Save, 0xA10D0196},
                      WidthCase{"PciWrite", AccessWidth64, 0xA10D0158},
                      WidthCase{"PciWrite", 5, 0xA10D0158},
                      WidthCase{"IoWrite", AccessWidth64, 0x10195},
                      WidthCase{"IoWrite", 0x81 + 0x100, 0x10195},
                      WidthCase{"AccessWidthSize", 5, 0x10737},
                      WidthCase{"AccessWidthSize", 0x85, 0x10737}));

TEST_F(RegisterAccessTest, RecordedSixtyFourBitWriteIsRecordedThenRefused) {
  UINT64 value = 0x1122334455667788ULL;
  PciWrite(kEndpoint | 0x3C, AccessWidth64 | S3Save, &value);
  ASSERT_EQ(platform.saveState.size(), 1u);
  EXPECT_EQ(platform.saveState[0].width, 3u);
  EXPECT_EQ(platform.saveState[0].value, value);
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA10D0158});
  EXPECT_TRUE(Of(sim::EventKind::CfgWrite).empty());
}

TEST_F(RegisterAccessTest, UnalignedSmnReadSpansTwoDwords) {
  auto &nbio = platform.NbioAt(kHostBridge);
  nbio.Seed(0x11100060, 0x44332211);
  nbio.Seed(0x11100064, 0x88776655);
  UINT32 value = 0;
  NbioRegisterRead(&silicon, 0x11100062, &value, NbioNoS3Save);
  EXPECT_EQ(value, 0x66554433u);
  const auto smn = Of(sim::EventKind::SmnRead);
  ASSERT_EQ(smn.size(), 2u);
  EXPECT_EQ(smn[0].address, 0x11100060u);
  EXPECT_EQ(smn[1].address, 0x11100064u);

  platform.log.Clear();
  NbioRegisterRead(&silicon, 0x11100060, &value, NbioNoS3Save);
  EXPECT_EQ(value, 0x44332211u);
  EXPECT_EQ(Of(sim::EventKind::SmnRead).size(), 1u);
}

TEST_F(RegisterAccessTest, RecordedRmwRecordsReadIndexThenWriteIndexAndData) {
  auto &nbio = platform.NbioAt(kHostBridge);
  nbio.Seed(0x11180040, 0xF0);
  NbioRegisterRmw(&silicon, 0x11180040, 0xFFFFFFEF, 0x1, NbioS3Save);
  EXPECT_EQ(nbio.Peek(0x11180040), 0xE1u);
  ASSERT_EQ(platform.saveState.size(), 3u);
  EXPECT_EQ(platform.saveState[0].address, 0xF0000000u | kHostBridge | 0xB8u);
  EXPECT_EQ(platform.saveState[0].value, 0x11180040u);
  EXPECT_EQ(platform.saveState[1].address, 0xF0000000u | kHostBridge | 0xB8u);
  EXPECT_EQ(platform.saveState[1].value, 0x11180040u);
  EXPECT_EQ(platform.saveState[2].address, 0xF0000000u | kHostBridge | 0xBCu);
  EXPECT_EQ(platform.saveState[2].value, 0xE1u);
}

TEST_F(RegisterAccessTest, NbioAccessWithoutSiliconStops) {
  UINT32 value = 7;
  NbioRegisterRead(nullptr, 0x11180040, &value, NbioS3Save);
  NbioRegisterWrite(nullptr, 0x11180040, &value, NbioS3Save);
  EXPECT_EQ(FatalStops(), (std::vector<uint64_t>{0xA1130253, 0xA1130253}));
  EXPECT_TRUE(Of(sim::EventKind::CfgWrite).empty());
  EXPECT_TRUE(platform.saveState.empty());
}

TEST_F(RegisterAccessTest, CapabilitySearchOnAbsentFunctionReadsOneDword) {
  EXPECT_EQ(PciFindCapability(sim::Bdf(9, 0, 0)), 0);
  EXPECT_EQ(Of(sim::EventKind::CfgRead).size(), 1u);
  EXPECT_EQ(PcieGetPortType(sim::Bdf(9, 0, 0)), PcieDeviceNoPcieCapability);
}

TEST_F(RegisterAccessTest, ConventionalFunctionHasNoPortType) {
  platform.AddFunction(sim::Bdf(2, 0, 0), sim::catalogue::ConventionalPciDevice().Build());
  EXPECT_EQ(PciFindCapability(sim::Bdf(2, 0, 0)), 0);
  EXPECT_EQ(PcieGetPortType(sim::Bdf(2, 0, 0)), PcieDeviceNoPcieCapability);
  EXPECT_EQ(PciFindExtendedCapability(sim::Bdf(2, 0, 0), 0x0001), 0);
}

TEST_F(RegisterAccessTest, CapabilitySearchFindsExpressAfterPowerManagement) {
  const uint8_t cap = PciFindCapability(kEndpoint);
  EXPECT_EQ(cap, platform.config.Find(kEndpoint)->pcieCap);
  EXPECT_NE(cap, 0x40) << "power management comes first in the catalogue device";
  EXPECT_EQ(PcieGetPortType(kEndpoint), PcieDeviceEndPoint);
}

TEST_F(RegisterAccessTest, CyclicCapabilityListEnds) {
  sim::ConfigFunction f = sim::catalogue::ConventionalPciDevice().Build();
  f.data[0x41] = 0x40; // the list points back at itself
  platform.AddFunction(sim::Bdf(3, 0, 0), f);
  EXPECT_EQ(PciFindCapability(sim::Bdf(3, 0, 0)), 0);
  EXPECT_LT(Of(sim::EventKind::CfgRead).size(), 200u);
}

TEST_F(RegisterAccessTest, ExtendedSearchPrintsEveryHeaderUpToTheMatch) {
  const uint16_t ltr = PciFindExtendedCapability(kEndpoint, 0x0018);
  EXPECT_NE(ltr, 0);
  const auto lines = platform.log.DebugLines(DebugLevelPcie);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "   - Capability at 0x100 with type 0x1\n");
  EXPECT_EQ(lines[1], "   - Capability at 0x148 with type 0x18\n");

  platform.log.Clear();
  EXPECT_EQ(PciFindExtendedCapability(kEndpoint, 0x000B), 0);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelPcie).size(), 3u);
}

TEST_F(RegisterAccessTest, ExtendedSearchStopsOnEmptyOrAbsentExtendedSpace) {
  for (uint32_t header : {0x00000000u, 0x0000FFFFu}) {
    sim::ConfigFunction f = sim::catalogue::EthernetNic().Build();
    f.Poke(0x100, 4, header);
    platform.AddFunction(sim::Bdf(4, 0, 0), f);
    platform.log.Clear();
    EXPECT_TRUE(platform.log.DebugLines().empty());
  }
}

struct HostileListCase {
  const char *name;
  std::vector<std::pair<uint16_t, uint32_t>> pokes; // offset, dword
  bool extended;
  const char *lastLine;
};

class HostileCapabilityListTest : public RegisterAccessTest,
                                  public ::testing::WithParamInterface<HostileListCase> {};

// Verify that a broken capability list ends the search with nothing found
// and one line naming the cut, however it is broken.
TEST_P(HostileCapabilityListTest, VerifyThatTheSearchEndsAndSaysWhy) {
  const HostileListCase c = GetParam();
  sim::ConfigFunction f = sim::catalogue::EthernetNic().Build();
  if (!c.extended) {
    f.Poke(0x34, 1, 0x40);
  }
  for (const auto &[offset, value] : c.pokes) {
    f.Poke(offset, 4, value);
  }
  platform.AddFunction(sim::Bdf(4, 0, 0), f);
  if (c.extended) {
    EXPECT_EQ(PciFindExtendedCapability(sim::Bdf(4, 0, 0), 0x0018), 0);
  } else {
    EXPECT_EQ(PciFindCapability(sim::Bdf(4, 0, 0)), 0);
  }
  const auto lines = platform.log.DebugLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), c.lastLine);
  EXPECT_LE(lines.size(), 961u);
}

// Verify that a capability whose registers end exactly at the end of its
// space is still found: the cut in the cases above is not one dword early.
TEST_F(RegisterAccessTest, VerifyThatCapabilitiesEndingAtTheSpaceEndAreFound) {
  sim::ConfigFunction f = sim::catalogue::EthernetNic().Build();
  f.Poke(0x34, 1, 0x40);
  f.Poke(0x40, 4, 0x0000E801);
  f.Poke(0xE8, 4, 0x00010010); // version 1: no version 2 registers needed
  f.Poke(0x100, 4, 0xFF810001);
  f.Poke(0xFF8, 4, 0x00010018); // LTR: its one register ends at 0x1000
  platform.AddFunction(sim::Bdf(4, 0, 0), f);
  EXPECT_EQ(PciFindCapability(sim::Bdf(4, 0, 0)), 0xE8);
  EXPECT_EQ(PciFindExtendedCapability(sim::Bdf(4, 0, 0), 0x0018), 0xFF8);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, HostileCapabilityListTest,
    ::testing::Values(
        HostileListCase{"ExtendedSelf", {{0x100, 0x10010001}}, true,
                        "extended capability list: walk stopped at its bound of 960\n"},
        HostileListCase{"ExtendedTwoStep", {{0x100, 0x14010001}, {0x140, 0x10010003}}, true,
                        "extended capability list: walk stopped at its bound of 960\n"},
        HostileListCase{"ExtendedThreeStep",
                        {{0x100, 0x14010001}, {0x140, 0x18010003}, {0x180, 0x10010004}}, true,
                        "extended capability list: walk stopped at its bound of 960\n"},
        HostileListCase{"ExtendedIntoHeader", {{0x100, 0x04010001}}, true,
                        "extended capability list with a misplaced pointer: walk stopped at "
                        "pointer 0x40\n"},
        HostileListCase{"ExtendedMisaligned", {{0x100, 0x14210001}}, true,
                        "extended capability list with a misplaced pointer: walk stopped at "
                        "pointer 0x142\n"},
        // Capability registers past the end of the space: an LTR capability
        // ends exactly at 0x1000 and is found, see the test below.
        HostileListCase{"ExtendedAtTheTop", {{0x100, 0xFFC10001}, {0xFFC, 0x00010018}}, true,
                        "extended capability not fitting below 0x1000: walk stopped at pointer "
                        "0xffc\n"},
        HostileListCase{"StandardSelf", {{0x40, 0x00004001}}, false,
                        "capability list: walk stopped at its bound of 48\n"},
        HostileListCase{"StandardTwoStep", {{0x40, 0x00005001}, {0x50, 0x00004005}}, false,
                        "capability list: walk stopped at its bound of 48\n"},
        HostileListCase{"StandardIntoHeader", {{0x40, 0x00000801}}, false,
                        "capability list pointing into the header: walk stopped at pointer 0x8\n"},
        HostileListCase{"StandardAtTheTop", {{0x40, 0x0000EC01}, {0xEC, 0x00020010}}, false,
                        "PCI Express capability not fitting below 0x100: walk stopped at pointer "
                        "0xec\n"}),
    [](const auto &p) { return std::string(p.param.name); });

} // namespace
} // namespace kel_test
