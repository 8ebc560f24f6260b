// Hostile platforms and the field's recurring failures: each ends as the
// driver's rules say, with nothing written where nothing may be.
#include "tests/test_support.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "sim/catalogue.h"
#include "sim/input_error.h"
#include "sim/reference_platform.h"
#include "tools/kelsim/run.h"
#include "tools/kelsim/scenario.h"

namespace kel_test {
namespace {

using nlohmann::json;
using sim::Bdf;
namespace cat = sim::catalogue;

std::vector<std::string> Lines(const sim::Platform &p, uint64_t level) {
  return p.log.DebugLines(level);
}

// Verify that a child chain longer than any real topology ends the pass at
// its bound, with the line naming it and the event closed.
TEST(HostileTopologyTest, VerifyThatAnEndlessChildChainEndsAtItsBound) {
  sim::Platform p;
  p.AddSilicon(Bdf(0, 0, 0));
  sim::TopologyLayout t{.recordsBeforeSilicon = 70};
  t.silicons.push_back({.hostBridgeAddress = Bdf(0, 0, 0)});
  p.PublishTopology(sim::BuildTopology(t).bytes);
  p.LoadDriver();
  p.InstallPciIo();
  const auto driver = Lines(p, DebugLevelDriver);
  EXPECT_NE(std::find(driver.begin(), driver.end(),
                      "topology child chain: walk stopped at its bound of 64\n"),
            driver.end());
  EXPECT_EQ(driver.back(), "TORVU_TP:[b000a95b]\n");
  EXPECT_TRUE(Lines(p, DebugLevelPcie).empty()) << "no step ran";
}

// Verify that a silicon whose child chain holds no wrapper record runs
// every step over no engine and ends: only the closing writes reach the NBIO.
TEST(HostileTopologyTest, VerifyThatAChildChainWithoutWrappersProgramsNoPort) {
  sim::Platform p;
  p.AddSilicon(Bdf(0, 0, 0));
  sim::TopologyLayout t;
  sim::SiliconLayout s{.hostBridgeAddress = Bdf(0, 0, 0), .recordsBeforeWrappers = 2};
  sim::EngineLayout e;
  e.portPciAddress = Bdf(0, 1, 1);
  e.portAspm = 0x30;
  s.wrappers.push_back({.wrapperId = 0, .engines = {e}});
  t.silicons.push_back(s);
  sim::BuiltTopology built = sim::BuildTopology(t);
  // The wrapper record loses its flag: the chain runs out without one.
  for (size_t at = built.siliconOffsets[0] + 18; at + 4 <= built.bytes.size(); ++at) {
    uint32_t flags = 0;
    std::memcpy(&flags, built.bytes.data() + at, 4);
    if ((flags & 0x01000000) != 0 && (flags & 0x02800000) == 0) {
      flags &= ~0x01000000u;
      std::memcpy(built.bytes.data() + at, &flags, 4);
      break;
    }
  }
  p.PublishTopology(built.bytes);
  p.LoadDriver();
  p.InstallPciIo();
  std::vector<uint64_t> smn;
  for (const sim::Event &ev : p.log.Of(sim::EventKind::SmnWrite)) {
    smn.push_back(ev.address);
  }
  EXPECT_EQ(smn, (std::vector<uint64_t>{0x11180040, 0x11280040}));
  EXPECT_EQ(p.log.DebugLines(DebugLevelDriver).back(), "TORVU_TP:[b000a95b]\n");
}

class HotRemovalTest : public FeatureTest, public ::testing::WithParamInterface<int> {};

// Verify that a device that leaves the bus at any point of the pass (every
// access from then on reads all ones) never stops the pass: it ends with its
// closing trace and no fatal stop.
TEST_P(HotRemovalTest, VerifyThatThePassEndsWhateverTheMomentOfRemoval) {
  platform.pcd[67] = 1;
  platform.pcd[205] = 2;
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  sim::ConfigFunction ssd = cat::NvmeSsd().Build();
  ssd.accessesBeforeRemoval = GetParam();
  platform.AddFunction(Bdf(1, 0, 0), ssd);
  sim::EngineLayout e = Engine(Bdf(0, 1, 1), 0, 3);
  e.portAspm = 0x30;
  e.portPmOptions = 0x30;
  e.clkReqMap = 1;
  e.portControl = PortClockPm;
  Start({{.wrapperId = 0, .engines = {e}}});
  platform.InstallPciIo();
  EXPECT_TRUE(platform.log.Of(sim::EventKind::FatalStop).empty());
  const auto driver = platform.log.DebugLines(DebugLevelDriver);
  ASSERT_FALSE(driver.empty());
  EXPECT_EQ(driver.back(), "TORVU_TP:[b000a95b]\n");
  EXPECT_TRUE(platform.config.Find(Bdf(1, 0, 0))->gone) << "removed during the pass";
}

INSTANTIATE_TEST_SUITE_P(Moments, HotRemovalTest,
                         ::testing::Values(0, 1, 3, 8, 20, 50, 100, 150));

class FieldFailureTest : public FeatureTest {
protected:
  uint16_t ExtCap(uint32_t bdf, uint16_t id) {
    const sim::ConfigFunction &f = *platform.config.Find(bdf);
    for (uint16_t at = 0x100; at != 0; at = static_cast<uint16_t>(f.Peek(at, 4) >> 20)) {
      if ((f.Peek(at, 4) & 0xFFFF) == id) {
        return at;
      }
    }
    return 0;
  }
};

// Verify that L1.2 which earlier firmware left enabled on a device the L1
// substates blacklist names ends disabled on both ends, L1.1 kept.
TEST_F(FieldFailureTest, VerifyThatPreEnabledL12OnABlacklistedDeviceIsTurnedOff) {
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  sim::PcieCapabilityFields s;
  s.linkControl = 0x0002; // L1 on, as the OS left it
  sim::DeviceBuilder b;
  b.Ids(0x8086, 0xF1A6).ClassCode(0x010802).PciExpress(s).L1Substates({.capabilities = 0x1F,
                                                                        .control1 = 0xF});
  Add(Bdf(1, 0, 0), b);
  const uint16_t rootL1ss = ExtCap(Bdf(0, 1, 1), 0x1E);
  platform.config.Find(Bdf(0, 1, 1))->Poke(rootL1ss + 8, 4, 0xF);
  sim::EngineLayout e = Engine(Bdf(0, 1, 1), 0, 3);
  e.portAspm = 0x20;
  e.portPmOptions = L11Enable | L12Enable;
  e.clkReqMap = 1;
  Start({{.wrapperId = 0, .engines = {e}}});
  platform.InstallPciIo();
  EXPECT_EQ(Cfg(Bdf(1, 0, 0), ExtCap(Bdf(1, 0, 0), 0x1E) + 8) & 0xF, 0xAu);
  EXPECT_EQ(Cfg(Bdf(0, 1, 1), rootL1ss + 8) & 0xF, 0xAu);
  EXPECT_EQ(EngineField(0, sim::engine_field::kPortPmOptions), L11Enable);
}

// Verify that L0s which earlier firmware left enabled on a controller whose
// L0s the ASPM blacklist removes ends off on both ends, with L1 kept.
TEST_F(FieldFailureTest, VerifyThatPreEnabledL0sOnABlacklistedDeviceIsTurnedOff) {
  platform.pcd[418] = 1;
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  platform.config.Find(Bdf(0, 1, 1))->Poke(PcieCapOf(Bdf(0, 1, 1)) + 0x10, 1, 0x3);
  sim::ConfigFunction nic = cat::GigabitNicL0sBroken().Build();
  nic.Poke(nic.pcieCap + 0x10, 1, 0x3);
  platform.AddFunction(Bdf(1, 0, 0), nic);
  sim::EngineLayout e = Engine(Bdf(0, 1, 1), 0, 0, 2);
  e.portAspm = 0x30;
  Start({{.wrapperId = 0, .engines = {e}}});
  platform.InstallPciIo();
  EXPECT_EQ(Cfg(Bdf(0, 1, 1), PcieCapOf(Bdf(0, 1, 1)) + 0x10, 1) & 3, 2u);
  EXPECT_EQ(Cfg(Bdf(1, 0, 0), PcieCapOf(Bdf(1, 0, 0)) + 0x10, 1) & 3, 2u);
}

// Verify that a partner reporting T_POWER_ON 0 us takes the port's time,
// and nothing shorter than the port needs is agreed.
TEST_F(FieldFailureTest, VerifyThatAZeroTPowerOnPartnerTakesThePortsTime) {
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  sim::DeviceBuilder b;
  b.Ids(0x1234, 1).ClassCode(0x010802).PciExpress({}).Ltr().L1Substates({.capabilities = 0x1F});
  Add(Bdf(1, 0, 0), b);
  sim::EngineLayout e = Engine(Bdf(0, 1, 1), 0, 3);
  e.portPmOptions = L12Enable;
  Start({{.wrapperId = 0, .engines = {e}}});
  platform.InstallPciIo();
  // The catalogue root port: scale 0 value 5 (10 us).
  EXPECT_EQ(Cfg(Bdf(1, 0, 0), ExtCap(Bdf(1, 0, 0), 0x1E) + 0xC) & 0xFF, 0x28u);
}

// Verify that a raw topology in a platform file runs: a silicon without the
// last-silicon flag and with PeerOffset 0 is handled once, and bad hex is
// refused with its place.
TEST(HostileTopologyTest, VerifyThatRawTopologyBytesAreRunAndCheckedInPlatformFiles) {
  sim::TopologyLayout t;
  t.silicons.push_back({.hostBridgeAddress = 0, .omitLastSiliconFlag = true,
                        .zeroPeerOffset = true});
  const auto bytes = sim::BuildTopology(t).bytes;
  std::string hex;
  for (uint8_t b : bytes) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", b);
    hex += buf;
  }
  json doc = json::parse(R"({"Silicons": [{"HostBridgeAddress": "00:00.0", "Wrappers": []}]})");
  doc["TopologyBytes"] = hex;
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_TRUE(r.fatalStops.empty());
  EXPECT_EQ(std::ranges::count(r.log.DebugLines(), "PcieSlotPowerLimitInterface Enter\n"), 1);
  doc["TopologyBytes"] = "00 11 zz";
  try {
    kelsim::ScenarioFromJson(doc, "p.json", ".");
    ADD_FAILURE() << "bad hex accepted";
  } catch (const sim::InputError &e) {
    EXPECT_NE(e.Message().find("'z' is not a hex digit"), std::string::npos) << e.Message();
  }
}

} // namespace
} // namespace kel_test
