// ASPM and its blacklist, L1 substates and their blacklist, L1 exit latency
// and SRIS on simulated links.
#include "tests/test_support.h"

#include <algorithm>

#include "driver/sequencer.h"
#include "features/aspm.h"
#include "features/l1_exit_latency.h"
#include "features/l1_substates.h"
#include "features/sris.h"
#include "platform/diagnostics.h"
#include "platform/platform_data.h"
#include "sim/catalogue.h"

namespace kel_test {
namespace {

using sim::Bdf;
namespace cat = sim::catalogue;

constexpr uint32_t kRoot = Bdf(0, 1, 3); // PortId 2 of core 0
constexpr uint32_t kEp = Bdf(1, 0, 0);
constexpr uint32_t kPcdAspmBlacklist = 418;
constexpr uint32_t kPcdL1ExitLatencyFound = 1085;
constexpr uint32_t kAspmL0sL1 = 0x0C00;
constexpr uint32_t kOptionality = 1u << 22;

uint32_t LinkCaps(uint32_t aspm, bool optional = false) {
  return 0x00012011 | (aspm << 10) | (optional ? kOptionality : 0);
}

sim::DeviceBuilder Endpoint(uint16_t vendor, uint16_t device, uint32_t linkCaps,
                            std::optional<uint32_t> l1ss = std::nullopt) {
  sim::PcieCapabilityFields s;
  s.linkCapabilities = linkCaps;
  sim::DeviceBuilder b;
  b.Ids(vendor, device).ClassCode(0x020000).PciExpress(s);
  if (l1ss) {
    b.L1Substates({.capabilities = *l1ss});
  }
  return b;
}

class AspmFamilyTest : public FeatureTest {
protected:
  void RootPortWith(uint32_t bdf, uint8_t secondary, uint32_t linkAspm, uint32_t l1ssCaps = 0x1F) {
    AddRootPort(bdf, secondary, secondary);
    sim::ConfigFunction &f = *platform.config.Find(bdf);
    const uint16_t c = f.pcieCap;
    f.Poke(c + 0x0C, 4, (f.Peek(c + 0x0C, 4) & ~0x0C00u) | (linkAspm << 10));
    const uint16_t l1 = L1ssOf(bdf);
    f.Poke(l1 + 4, 4, l1ssCaps);
  }
  uint16_t L1ssOf(uint32_t bdf) {
    const sim::ConfigFunction &f = *platform.config.Find(bdf);
    for (uint16_t at = 0x100; at != 0;) {
      const uint32_t h = f.Peek(at, 4);
      if ((h & 0xFFFF) == 0x1E) {
        return at;
      }
      at = static_cast<uint16_t>(h >> 20);
    }
    return 0;
  }
  uint32_t Aspm(uint32_t bdf) { return Cfg(bdf, PcieCapOf(bdf) + 0x10, 1) & 3; }
  uint32_t L1ssControl(uint32_t bdf) { return Cfg(bdf, L1ssOf(bdf) + 8); }
  sim::EngineLayout Port(uint32_t bdf, uint8_t portId, uint8_t aspm, uint8_t core = 0) {
    sim::EngineLayout e = Engine(bdf, 0, 3, portId, core);
    e.portAspm = aspm;
    return e;
  }
  // (address, width, value) of every configuration write below the host
  // bridge, which leaves out the SMN index/data traffic.
  std::vector<std::tuple<uint64_t, unsigned, uint64_t>> DeviceWrites() const {
    std::vector<std::tuple<uint64_t, unsigned, uint64_t>> out;
    for (const sim::Event &e : CfgWrites()) {
      if ((e.address & 0x0FFFF000) != kHostBridge) {
        out.emplace_back(e.address, e.width, e.value);
      }
    }
    return out;
  }
  std::vector<std::pair<uint64_t, uint64_t>> SmnWrites() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const sim::Event &e : platform.log.Of(sim::EventKind::SmnWrite)) {
      out.emplace_back(e.address, e.value);
    }
    return out;
  }
  std::vector<uint64_t> RecordedAddresses() const {
    std::vector<uint64_t> out;
    for (const sim::SaveStateRecord &r : platform.saveState) {
      out.push_back(r.address - 0xF0000000);
    }
    return out;
  }
};

// --- ASPM link programming ---------------------------------------------

struct OptionalityCase {
  const char *name;
  uint32_t rootSupport, epSupport;
  bool epOptional;
  uint8_t request;
  uint32_t rootAfter, epAfter;
};

class AspmOptionalityTest : public AspmFamilyTest,
                            public ::testing::WithParamInterface<OptionalityCase> {};

TEST_P(AspmOptionalityTest, VerifyThatEachEndGetsTheAgreedStatesInTheFixedOrder) {
  const OptionalityCase c = GetParam();
  RootPortWith(kRoot, 1, c.rootSupport);
  Add(kEp, Endpoint(0x1234, 0x0001, LinkCaps(c.epSupport, c.epOptional)));
  Start({{.wrapperId = 0, .engines = {Port(kRoot, 2, static_cast<uint8_t>(c.request << 4))}}});
  PcieAspmInterface(Silicon());
  EXPECT_EQ(Aspm(kRoot), c.rootAfter);
  EXPECT_EQ(Aspm(kEp), c.epAfter);
  const uint16_t rootLc = PcieCapOf(kRoot) + 0x10;
  const uint16_t epLc = PcieCapOf(kEp) + 0x10;
  // Downstream off, upstream on, downstream on: three recorded byte writes.
  using W = std::tuple<uint64_t, unsigned, uint64_t>;
  ASSERT_EQ(DeviceWrites().size(), 3u);
  EXPECT_EQ(DeviceWrites()[0], (W{kEp | epLc, 1, 0}));
  EXPECT_EQ(std::get<0>(DeviceWrites()[1]), kRoot | rootLc);
  EXPECT_EQ(std::get<2>(DeviceWrites()[1]) & 3, c.rootAfter);
  EXPECT_EQ(std::get<2>(DeviceWrites()[2]) & 3, c.epAfter);
  EXPECT_EQ(RecordedAddresses(),
            (std::vector<uint64_t>{kEp | epLc, kRoot | rootLc, kEp | epLc}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AspmOptionalityTest,
    ::testing::Values(OptionalityCase{"BothWithCompliance", 3, 3, true, 3, 3, 3},
                      OptionalityCase{"BothWithoutCompliance", 3, 3, false, 3, 3, 3},
                      OptionalityCase{"L1OnlyEndpointNoCompliance", 3, 2, false, 3, 3, 2},
                      OptionalityCase{"L1OnlyEndpointCompliant", 3, 2, true, 3, 2, 2},
                      OptionalityCase{"RequestL1NeverGivesL0s", 3, 3, false, 2, 2, 2},
                      OptionalityCase{"RequestL1CompliantNeverGivesL0s", 3, 3, true, 2, 2, 2},
                      OptionalityCase{"L0sOnlyRequestWithoutCompliance", 1, 3, false, 1, 1, 1},
                      OptionalityCase{"EndpointWithoutAspm", 3, 0, false, 3, 1, 0}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(AspmFamilyTest, VerifyThatARow28DeviceNarrowsThePortWritesTheStrapAndShutsL0sOff) {
  platform.pcd[kPcdAspmBlacklist] = 1;
  RootPortWith(kRoot, 1, 3);
  Add(kEp, Endpoint(0x1969, 0x1083, LinkCaps(3)));
  platform.RootPortIndirect(kRoot)[0xA0] = 0x00000F55;
  Start({{.wrapperId = 0, .engines = {Port(kRoot, 2, 0x35)}}});

  PcieAspmBlackListInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortAspm), 0x25);
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x4A348, 0xFFFE0165}, {0x4A34C, 2}}));
  EXPECT_EQ((platform.NbioAt(kHostBridge).Straps().at({0, 0x165})), 2u);
  EXPECT_EQ(PcieLines()[1], "  ASPM Black List: US(0x5a01fff0) DN(0x10831969) ASPM=0x0001 AspmCap=0\n");
  EXPECT_EQ(PcieLines()[2], " - writing strap 0x165 to ASPM 2\n");
  EXPECT_EQ(platform.saveState.size(), 4u) << "index and data writes of the strap, recorded";

  platform.log.Clear();
  PcieAspmInterface(Silicon());
  EXPECT_EQ(Aspm(kRoot), 2u);
  EXPECT_EQ(Aspm(kEp), 2u);
  // Device fix 1 on function 1 register 0x2F8 between the decision and
  // the Link Control writes.
  // Function 1 is absent, so the register reads all ones: bits 11 and 19
  // cleared, live and in the boot script.
  ASSERT_EQ(DeviceWrites().size(), 7u);
  EXPECT_EQ(DeviceWrites()[0], (std::tuple<uint64_t, unsigned, uint64_t>{kEp | 0x12F8, 4, 0xFFF7F7FF}));
  const auto fix = std::find_if(platform.saveState.begin(), platform.saveState.end(),
                                [](const sim::SaveStateRecord &r) {
                                  return r.address == 0xF0000000u + (kEp | 0x12F8);
                                });
  ASSERT_NE(fix, platform.saveState.end());
  EXPECT_EQ(fix->value, 0xFFF7F7FFu);
  EXPECT_EQ(platform.RootPortIndirect(kRoot)[0xA0], 0x00000055u);
  const auto lines = PcieLines();
  EXPECT_EQ(lines.end()[-2], "  Black List L0s disabled = 0:1:3\n");
}

TEST_F(AspmFamilyTest, VerifyThatAnAspmCapRowNarrowsWithoutAStrapAndKeepsLaterStrapsAlone) {
  RootPortWith(kRoot, 1, 3);
  Add(kEp, Endpoint(0x8086, 0x1563, LinkCaps(3)));
  constexpr uint32_t kRoot2 = Bdf(0, 1, 4);
  RootPortWith(kRoot2, 2, 3);
  Add(Bdf(2, 0, 0), Endpoint(0x1180, 0xE823, LinkCaps(3)));
  Start({{.wrapperId = 0, .engines = {Port(kRoot, 2, 0x30), Port(kRoot2, 3, 0x30)}}});
  PcieAspmBlackListInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortAspm), 0x10);
  // The StrapSkip of the first match lives on; the second port's row says
  // 0 and that match sets it, so its strap is written.
  EXPECT_EQ(EngineField(1, sim::engine_field::kPortAspm), 0x20);
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x4A348, 0xFFFE0000 | (0xC3 + 3 * 0x51)}, {0x4A34C, 2}}));
}

TEST_F(AspmFamilyTest, VerifyThatTheBlacklistMatchesAcrossEndsAndUsesTheCorePair) {
  // Vendor from the switch upstream port's own end; device of the port.
  AddRootPort(Bdf(0, 3, 1), 1, 2);
  Add(Bdf(1, 0, 0), cat::SwitchUpstreamPort(1, 2, 2));
  Start({{.wrapperId = 1, .engines = {Port(Bdf(0, 3, 1), 9, 0x30, 1)}}});
  PcieAspmBlackListInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortAspm), 0x00);
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x4A3C8, 0xFFFE0000 | (0xC3 + 1 * 0x51)}, {0x4A3CC, 0}}));
}

TEST_F(AspmFamilyTest, VerifyThatWithToken418OffTheLinkPassAppliesNoTableAndNoFix) {
  RootPortWith(kRoot, 1, 3);
  Add(kEp, Endpoint(0x1969, 0x1083, LinkCaps(3)));
  platform.RootPortIndirect(kRoot)[0xA0] = 0x00000F00;
  Start({{.wrapperId = 0, .engines = {Port(kRoot, 2, 0x30)}}});
  PcieAspmInterface(Silicon());
  EXPECT_EQ(Aspm(kRoot), 3u);
  EXPECT_EQ(Aspm(kEp), 3u);
  EXPECT_EQ(DeviceWrites().size(), 3u);
  EXPECT_EQ(platform.RootPortIndirect(kRoot)[0xA0], 0x00000F00u);
}

TEST_F(AspmFamilyTest, VerifyThatDeviceFix2SetsTheRootPortIndirectFieldOnlyWhenL1IsRequested) {
  platform.pcd[kPcdAspmBlacklist] = 1;
  RootPortWith(kRoot, 1, 3);
  Add(kEp, Endpoint(0x14E4, 0x1639, LinkCaps(3)));
  platform.RootPortIndirect(kRoot)[0xA1] = 0x00C00001;
  Start({{.wrapperId = 0, .engines = {Port(kRoot, 2, 0x10)}}});
  PcieAspmInterface(Silicon());
  EXPECT_EQ(platform.RootPortIndirect(kRoot)[0xA1], 0x00C00001u);
  platform.pcd[kPcdAspmBlacklist] = 1;
  Silicon();
  // Same link asked for L1.
  reinterpret_cast<EngineDescriptor *>(platform.TopologyBytes().data() +
                                       built.engineOffsets[0][0])
      ->PortAspm = 0x20;
  PcieAspmInterface(Silicon());
  EXPECT_EQ(platform.RootPortIndirect(kRoot)[0xA1], 0x00400001u);
}

TEST_F(AspmFamilyTest, VerifyThatASwitchIsProgrammedLinkByLinkAndSkipsAreHonoured) {
  AddRootPort(kRoot, 1, 3);
  Add(Bdf(1, 0, 0), Endpoint(0x1234, 0x0100, LinkCaps(3)).Bridge(1, 2, 3));
  platform.config.Find(Bdf(1, 0, 0))->Poke(PcieCapOf(Bdf(1, 0, 0)) + 2, 1, 0x52);
  Add(Bdf(2, 1, 0), Endpoint(0x1234, 0x0101, LinkCaps(3)).Bridge(2, 3, 3));
  platform.config.Find(Bdf(2, 1, 0))->Poke(PcieCapOf(Bdf(2, 1, 0)) + 2, 1, 0x62);
  Add(Bdf(3, 0, 0), Endpoint(0x1234, 0x0102, LinkCaps(2)));
  constexpr uint32_t kSkipped = Bdf(0, 1, 4);
  AddRootPort(kSkipped, 4, 4);
  Add(Bdf(4, 0, 0), Endpoint(0x1234, 0x0103, LinkCaps(3)));
  sim::EngineLayout skip = Port(kSkipped, 3, 0x30);
  skip.portControl = 0x01;
  Start({{.wrapperId = 0, .engines = {Port(kRoot, 2, 0x30), skip, Port(kSkipped, 4, 0x0F)}}});
  PcieAspmInterface(Silicon());
  std::vector<uint64_t> order;
  for (const auto &[address, width, value] : DeviceWrites()) {
    order.push_back(address & 0x0FFFF000);
  }
  EXPECT_EQ(order, (std::vector<uint64_t>{Bdf(1, 0, 0), kRoot, Bdf(1, 0, 0), Bdf(3, 0, 0),
                                          Bdf(2, 1, 0), Bdf(3, 0, 0)}));
  EXPECT_EQ(Aspm(Bdf(2, 1, 0)), 3u);
  EXPECT_EQ(Aspm(Bdf(3, 0, 0)), 2u);
  EXPECT_EQ(Aspm(Bdf(4, 0, 0)), 0u);
}

// --- L1 substates --------------------------------------------------------

struct L1ssCase {
  const char *name;
  uint8_t pmOptions;
  uint8_t clkReq;
  std::optional<uint32_t> epCaps;
  uint32_t control;       // both ends' Control 1 enables afterwards
  uint8_t pmOptionsAfter; // request bits left in the engine
  size_t writes;
};

class L1ssTest : public AspmFamilyTest, public ::testing::WithParamInterface<L1ssCase> {};

TEST_P(L1ssTest, VerifyThatOnlyCommonSubstatesAreEnabledAndRequestsOnlyNarrow) {
  const L1ssCase c = GetParam();
  RootPortWith(kRoot, 1, 3);
  Add(kEp, Endpoint(0x1234, 1, LinkCaps(3), c.epCaps));
  sim::EngineLayout e = Port(kRoot, 2, 0);
  e.portPmOptions = c.pmOptions;
  e.clkReqMap = c.clkReq;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieAspmL1SSInterface(Silicon());
  EXPECT_EQ(L1ssControl(kRoot) & 0xF, c.control);
  if (c.epCaps) {
    EXPECT_EQ(L1ssControl(kEp) & 0xF, c.control);
  }
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortPmOptions), c.pmOptionsAfter);
  EXPECT_EQ(DeviceWrites().size(), c.writes);
  if (c.writes == 2) {
    EXPECT_EQ(std::get<0>(DeviceWrites()[0]) & 0x0FFFF000, kRoot) << "upstream end first";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, L1ssTest,
    ::testing::Values(L1ssCase{"BothFull", 0x30, 1, 0x1F, 0xF, 0x30, 2},
                      L1ssCase{"PartnerAspmL11Only", 0x30, 1, 0x18, 0x8, 0x10, 2},
                      L1ssCase{"OnlyL12Requested", 0x20, 5, 0x1F, 0x5, 0x20, 2},
                      L1ssCase{"NoCommonSubstateClearsBoth", 0x30, 2, 0x10, 0x0, 0x00, 2},
                      L1ssCase{"SupportedBitClear", 0xF0, 2, 0x0F, 0x0, 0xC0, 0},
                      L1ssCase{"PartnerWithoutCapability", 0x30, 2, std::nullopt, 0x0, 0x00, 0},
                      L1ssCase{"NoClkReqLeavesAll", 0x30, 0, 0x1F, 0x0, 0x30, 0},
                      L1ssCase{"SignalSixNamesNone", 0x30, 6, 0x1F, 0x0, 0x30, 0},
                      L1ssCase{"SignalFifteenNamesNone", 0x30, 15, 0x1F, 0x0, 0x30, 0},
                      L1ssCase{"NothingRequested", 0x00, 1, 0x1F, 0x0, 0x00, 0}),
    [](const auto &p) { return std::string(p.param.name); });

// Verify that a multi-function endpoint's link is set up once, through
// function 0: the other functions' substate enables stay as they were.
TEST_F(AspmFamilyTest, VerifyThatL1ssIsSetThroughFunctionZeroOnly) {
  RootPortWith(kRoot, 1, 3);
  for (uint32_t function : {0u, 1u}) {
    Add(kEp | (function << 12), Endpoint(0x1234, 1, LinkCaps(3), 0x1F).MultiFunction());
  }
  sim::EngineLayout e = Port(kRoot, 2, 0);
  e.portPmOptions = 0x30;
  e.clkReqMap = 1;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieAspmL1SSInterface(Silicon());
  EXPECT_EQ(L1ssControl(kEp) & 0xF, 0xFu);
  EXPECT_EQ(L1ssControl(kEp | 0x1000) & 0xF, 0x0u);
  EXPECT_EQ(DeviceWrites().size(), 2u);
}

TEST_F(AspmFamilyTest, VerifyThatTheL1ssBlacklistWithdrawsL12BetweenTheCoreRegisterWrites) {
  constexpr uint32_t kCore1Root = Bdf(0, 3, 3);
  RootPortWith(kCore1Root, 1, 3);
  Add(kEp, Endpoint(0x8086, 0xF1A6, LinkCaps(3), 0x1F));
  sim::EngineLayout e = Port(kCore1Root, 10, 0, 1);
  e.portPmOptions = 0x30;
  Start({{.wrapperId = 1, .engines = {e}}});
  platform.NbioAt(kHostBridge).Seed(0x11202374, 0x1F);
  platform.NbioAt(kHostBridge).Seed(0x11280040, 0x3);
  PcieAspmBlackListInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortPmOptions), 0x10);
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x11280040, 0x2}, {0x11202374, 0x1A}, {0x11280040, 0x3}}));
  const auto lines = PcieLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "  L1SS Black List: US_DID=0xf1a68086 DS_DID=0x5a01fff0 L1.1=1 L1.2=0 \n"),
            lines.end());
}

TEST_F(AspmFamilyTest, VerifyThatAnL12OnlyBlacklistMatchAppliesBothWithdrawMasks) {
  // Row 1 matched across ends: the vendor from the endpoint, the device ID
  // from a port model that happens to carry it.
  RootPortWith(kRoot, 1, 3);
  platform.config.Find(kRoot)->Poke(0x02, 2, 0x5410);
  Add(kEp, Endpoint(0x1344, 0x9999, LinkCaps(3), 0x1F));
  sim::EngineLayout e = Port(kRoot, 2, 0);
  e.portPmOptions = 0x20;
  Start({{.wrapperId = 0, .engines = {e}}});
  platform.NbioAt(kHostBridge).Seed(0x11102374, 0x1F);
  PcieAspmBlackListInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortPmOptions), 0x00);
  EXPECT_EQ(platform.NbioAt(kHostBridge).Peek(0x11102374), 0x10u);
  EXPECT_EQ(platform.NbioAt(kHostBridge).Peek(0x11180040), 0x1u);
}

// --- L1 exit latency -------------------------------------------------------

using L1ExitLatencyTest = AspmFamilyTest;

TEST_F(L1ExitLatencyTest, VerifyThatAListedDeviceSetsTheFlagAndTheUnrecordedStrap) {
  RootPortWith(kRoot, 1, 3);
  Add(kEp, Endpoint(gPlatformData.PlatformVendorId, gPlatformData.L1ExitLatencyDeviceIds[3],
                    LinkCaps(3)));
  Start({{.wrapperId = 0, .engines = {Port(kRoot, 2, 0)}}});
  PcieL1ExitLatencyInterface(Silicon());
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x4A348, 0xFFFE0166}, {0x4A34C, 5}}));
  EXPECT_TRUE(platform.saveState.empty());
  const auto sets = platform.log.Of(sim::EventKind::PcdSet);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].address, kPcdL1ExitLatencyFound);
  EXPECT_EQ(sets[0].value, 1u);
  EXPECT_EQ(PcieLines().end()[-2], "   - writing strap 0xfffe0166 - 5\n");
}

TEST_F(L1ExitLatencyTest, VerifyThatTheSearchDescendsUntilTheFirstMatchAndHasNoWildcard) {
  AddRootPort(Bdf(0, 3, 4), 1, 3);
  Add(Bdf(1, 0, 0), cat::SwitchUpstreamPort(1, 2, 3));
  Add(Bdf(2, 1, 0), cat::SwitchDownstreamPort(2, 3, 3));
  Add(Bdf(3, 0, 0), Endpoint(gPlatformData.PlatformVendorId, 0x7777, LinkCaps(3)));
  constexpr uint32_t kOther = Bdf(0, 1, 2);
  AddRootPort(kOther, 4, 4);
  Add(Bdf(4, 0, 0), Endpoint(gPlatformData.PlatformVendorId, 0x7778, LinkCaps(3)));
  Start({{.wrapperId = 0, .engines = {Port(kOther, 1, 0)}},
         {.wrapperId = 1, .engines = {Port(Bdf(0, 3, 4), 11, 0, 1)}}});
  gPlatformData.L1ExitLatencyDeviceIds[7] = 0x7777; // a board's own device
  PcieL1ExitLatencyInterface(Silicon());
  // Core-1 PortId 11 reaches strap block 3 of its own core's pair.
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x4A3C8, 0xFFFE0000 | (0xC4 + 3 * 0x51)}, {0x4A3CC, 5}}));
  EXPECT_EQ(platform.log.Of(sim::EventKind::PcdSet).size(), 1u);
}

// --- SRIS -----------------------------------------------------------------

struct SrisCase {
  uint8_t device, function;
  uint32_t control, skp;
};

class SrisSlotTest : public AspmFamilyTest, public ::testing::WithParamInterface<SrisCase> {};

TEST_P(SrisSlotTest, VerifyThatTheSlotComesFromDeviceAndFunction) {
  const SrisCase c = GetParam();
  const uint32_t port = Bdf(0, c.device, c.function);
  AddRootPort(port, 1, 1);
  Add(kEp, Endpoint(0x1234, 1, LinkCaps(3)));
  platform.config.Find(port)->Poke(0x84, 4, 0x00010000);
  platform.config.Find(kEp)->Poke(PcieCapOf(kEp) + 0x2C, 4, 0x00000200);
  sim::EngineLayout e = Port(port, 0, 0x25);
  e.srisOptions = 0x30;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieSrisInit(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortAspm), 0x05);
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{c.control, 0x100}, {c.skp, 0x200}}));
  EXPECT_EQ(platform.saveState.size(), 4u) << "both writes recorded, their reads not";
}

INSTANTIATE_TEST_SUITE_P(Slots, SrisSlotTest,
                         ::testing::Values(SrisCase{3, 2, 0x112412EC, 0x11201274},
                                           SrisCase{2, 1, 0x111472EC, 0x11107274},
                                           SrisCase{1, 7, 0x111462EC, 0x11106274},
                                           SrisCase{4, 1, 0x112472EC, 0x11207274},
                                           SrisCase{5, 1, 0x111402EC, 0x11100274},
                                           SrisCase{2, 2, 0x111402EC, 0x11100274}));

TEST_F(AspmFamilyTest, VerifyThatTheSkpCheckUsesTheLinkPartner) {
  AddRootPort(kRoot, 1, 1);
  constexpr uint32_t kEmpty = Bdf(0, 1, 4);
  AddRootPort(kEmpty, 2, 2);
  Add(kEp, Endpoint(0x1234, 1, LinkCaps(3)));
  // Both ports could do it alone; only the one whose partner agrees does.
  platform.config.Find(kRoot)->Poke(0x84, 4, 0x00010200);
  platform.config.Find(kEmpty)->Poke(0x84, 4, 0x00010200);
  // The endpoint's Link Capabilities 2 is not at 0x84: what lies there
  // would agree.
  platform.config.Find(kEp)->Poke(PcieCapOf(kEp) + 0x2C, 4, 0x00000000);
  platform.config.Find(kEp)->Poke(0x84, 4, 0x00010200);
  sim::EngineLayout a = Port(kRoot, 2, 0x20);
  a.srisOptions = 0x30;
  sim::EngineLayout b = Port(kEmpty, 3, 0x20);
  b.srisOptions = 0x30;
  sim::EngineLayout notReady = Port(Bdf(0, 1, 5), 4, 0x20);
  notReady.srisOptions = 0x10;
  notReady.portStatus = 0;
  Start({{.wrapperId = 0, .engines = {a, b, notReady}}});
  PcieSrisInit(Silicon());
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x111422EC, 0x100}, {0x111432EC, 0x100}}));
  EXPECT_EQ(EngineField(2, sim::engine_field::kPortAspm), 0x20) << "not ready: untouched";
}

// Verify that a partner with a version 1 PCI Express capability has no
// vectors, whatever its capability's offset 0x2C holds.
TEST_F(AspmFamilyTest, VerifyThatAVersionOnePartnerHasNoSkpVectors) {
  AddRootPort(kRoot, 1, 1);
  Add(kEp, Endpoint(0x1234, 1, LinkCaps(3)));
  platform.config.Find(kRoot)->Poke(0x84, 4, 0x00010000);
  sim::ConfigFunction &ep = *platform.config.Find(kEp);
  ep.Poke(ep.pcieCap + 0x2C, 4, 0x00000200);
  ep.Poke(ep.pcieCap + 2, 1, (ep.Peek(ep.pcieCap + 2, 1) & 0xF0) | 1);
  sim::EngineLayout e = Port(kRoot, 2, 0x20);
  e.srisOptions = 0x30;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieSrisInit(Silicon());
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x111422EC, 0x100}}));
}

// --- Order inside the pass ---------------------------------------------------

TEST_F(AspmFamilyTest, VerifyThatSrisWithdrawsAspmBeforeTheAspmStepOfThePass) {
  RootPortWith(kRoot, 1, 3);
  Add(kEp, Endpoint(0x1234, 1, LinkCaps(3), 0x1F));
  sim::EngineLayout e = Port(kRoot, 2, 0x20);
  e.srisOptions = 0x10;
  Start({{.wrapperId = 0, .engines = {e}}});
  platform.InstallPciIo();
  EXPECT_EQ(Aspm(kRoot), 0u);
  EXPECT_EQ(Aspm(kEp), 0u);
  const auto lines = PcieLines();
  const auto at = [&](const std::string &s) {
    return std::find(lines.begin(), lines.end(), s) - lines.begin();
  };
  EXPECT_LT(at("PcieSrisInit Enter\n"), at("PcieAspmBlackListInterface Enter\n"));
  EXPECT_LT(at("PcieAspmBlackListInterface Exit\n"), at("PcieL1ExitLatencyInterface Enter\n"));
  EXPECT_LT(at("PcieL1ExitLatencyInterface Exit\n"), at("PcieAspmL1SSInterface Enter\n"));
  EXPECT_LT(at("PcieAspmL1SSInterface Exit\n"), at("PcieAspmInterface Enter\n"));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  PcieAspmCallback for Device = 0:1:3\n"), 0);
}

} // namespace
} // namespace kel_test
