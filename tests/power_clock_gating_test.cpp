// Power clock gating: register bank per WrapperId, the feature bits and the
// three recorded writes per wrapper.
#include "tests/test_support.h"

#include "base/debug_print.h"
#include "features/power_clock_gating.h"

namespace kel_test {
namespace {

struct GatingCase {
  const char *name;
  uint8_t wrapperId;
  uint8_t features;
  uint32_t r460, r044, r18c;             // as read
  uint32_t w460, w044, w18c;             // as written
};

constexpr uint32_t kBlockWrapper1 = 0x11180000;
constexpr uint32_t kBlockOther = 0x11280000;

class PowerClockGatingTest : public DriverUnitTest,
                             public ::testing::WithParamInterface<GatingCase> {
protected:
  std::vector<uint8_t> Topology(std::vector<std::pair<uint8_t, uint8_t>> wrappers) {
    sim::SiliconLayout s{.hostBridgeAddress = kHostBridge};
    for (auto [id, features] : wrappers) {
      s.wrappers.push_back({.wrapperId = id, .wrapperFeatures = features});
    }
    built = sim::BuildTopology({.silicons = {s}});
    return built.bytes;
  }
  SiliconDescriptor *Silicon() {
    return reinterpret_cast<SiliconDescriptor *>(built.bytes.data() + built.siliconOffsets[0]);
  }
  sim::BuiltTopology built;
};

TEST_P(PowerClockGatingTest, ProgramsTheWrapperBank) {
  const GatingCase &c = GetParam();
  sim::Nbio &nbio = platform.AddSilicon(kHostBridge);
  const uint32_t block = c.wrapperId == 1 ? kBlockWrapper1 : kBlockOther;
  nbio.Seed(block + 0x460, c.r460);
  nbio.Seed(block + 0x044, c.r044);
  nbio.Seed(block + 0x18C, c.r18c);
  Topology({{c.wrapperId, c.features}});
  platform.log.Clear();

  PciePwrClockGating(Silicon());

  const auto writes = platform.log.Of(sim::EventKind::SmnWrite);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].address, block + 0x460);
  EXPECT_EQ(writes[0].value, c.w460);
  EXPECT_EQ(writes[1].address, block + 0x044);
  EXPECT_EQ(writes[1].value, c.w044);
  EXPECT_EQ(writes[2].address, block + 0x18C);
  EXPECT_EQ(writes[2].value, c.w18c);
  // Reads are not recorded; each write is an index and a data record.
  ASSERT_EQ(platform.saveState.size(), 6u);
  EXPECT_EQ(platform.saveState[0].value, block + 0x460);
  EXPECT_EQ(platform.saveState[1].value, c.w460);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelPcie),
            (std::vector<std::string>{"PciePwrClockGating Enter\n", "PciePwrClockGating Exit\n"}));
}

INSTANTIATE_TEST_SUITE_P(
    Features, PowerClockGatingTest,
    ::testing::Values(
        GatingCase{"NoFeatureWritesBackAndSetsDelay", 0, 0x00, 0x12345678, 0x00C00000, 0xABCD,
                   0x12345678, 0x00300000, 0xABCD},
        GatingCase{"LinkGating", 1, 0x08, 0x00004000, 0, 0, 0x00000201, 0x00300000, 0},
        GatingCase{"BothOnAllOnes", 0, 0x0C, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF83FF,
                   0xFF3FFFFF, 0xFFFFFFFF},
        GatingCase{"CoreGating", 1, 0x04, 0x00003C00, 0, 0, 0x000081E6, 0x0030000F, 0x60},
        GatingCase{"OtherBitsIgnored", 2, 0xF3, 0x1, 0x1, 0x1, 0x1, 0x00300001, 0x1}),
    [](const auto &param) { return std::string(param.param.name); });

TEST_F(PowerClockGatingTest, SiliconWithBothWrappersProgramsEachBankOnce) {
  platform.AddSilicon(kHostBridge);
  Topology({{0, 0}, {1, 0}});
  platform.log.Clear();
  PciePwrClockGating(Silicon());
  std::vector<uint64_t> addresses;
  for (const auto &w : platform.log.Of(sim::EventKind::SmnWrite)) {
    addresses.push_back(w.address);
  }
  EXPECT_EQ(addresses, (std::vector<uint64_t>{0x11280460, 0x11280044, 0x1128018C, 0x11180460,
                                              0x11180044, 0x1118018C}));
}

TEST_F(PowerClockGatingTest, SiliconWithoutWrappersOnlyTraces) {
  platform.AddSilicon(kHostBridge);
  Topology({});
  platform.log.Clear();
  PciePwrClockGating(Silicon());
  EXPECT_TRUE(platform.log.Of(sim::EventKind::CfgWrite).empty());
  EXPECT_EQ(platform.log.DebugLines().size(), 2u);
}

} // namespace
} // namespace kel_test
