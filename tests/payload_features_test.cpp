// Max read request size, max payload size and max completion payload on
// simulated trees below root ports.
#include "tests/test_support.h"

#include "base/debug_print.h"
#include "features/max_cpl_payload.h"
#include "features/max_payload.h"
#include "features/max_read_request.h"
#include "sim/catalogue.h"

namespace kel_test {
namespace {

using sim::Bdf;
namespace cat = sim::catalogue;

constexpr uint32_t kRoot = Bdf(0, 1, 1);
constexpr uint32_t kPcdMaxPayloadEnable = 67;
constexpr uint32_t kPcdMaxReadRequest = 205;

uint32_t MpsOf(uint32_t devctl) { return (devctl >> 5) & 7; }
uint32_t MrrsOf(uint32_t devctl) { return (devctl >> 12) & 7; }

class PayloadTest : public FeatureTest {
protected:
  PayloadTest() { platform.pcd[kPcdMaxPayloadEnable] = 1; }

  // Root port, one switch with two downstream ports, an endpoint below each.
  std::vector<uint32_t> SwitchTree(uint8_t secondEndpointMps = 5) {
    AddRootPort(kRoot, 1, 4);
    Add(Bdf(1, 0, 0), cat::SwitchUpstreamPort(1, 2, 4));
    Add(Bdf(2, 1, 0), cat::SwitchDownstreamPort(2, 3, 3));
    Add(Bdf(2, 2, 0), cat::SwitchDownstreamPort(2, 4, 4));
    Add(Bdf(3, 0, 0), cat::PcieEndpoint(0x1234, 1, 5, true));
    Add(Bdf(4, 0, 0), cat::PcieEndpoint(0x1234, 2, secondEndpointMps, true));
    return {kRoot, Bdf(1, 0, 0), Bdf(2, 1, 0), Bdf(3, 0, 0), Bdf(2, 2, 0), Bdf(4, 0, 0)};
  }
};

struct CapCase {
  uint16_t startLane, endLane;
  uint8_t requested;
  uint8_t expected;
};

class LinkWidthCapTest : public PayloadTest, public ::testing::WithParamInterface<CapCase> {};

TEST_P(LinkWidthCapTest, CapsTheRequestAndProgramsTheTree) {
  const CapCase c = GetParam();
  AddRootPort(kRoot, 1, 1);
  Add(Bdf(1, 0, 0), cat::PcieEndpoint(0x1234, 1, 5, true));
  sim::EngineLayout e = Engine(kRoot, c.startLane, c.endLane);
  e.maxPayloadSize = c.requested;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kMaxPayloadSize), c.expected);
  EXPECT_EQ(MpsOf(DeviceControl(kRoot)), c.expected);
  EXPECT_EQ(MpsOf(DeviceControl(Bdf(1, 0, 0))), c.expected);
  const uint16_t width = static_cast<uint16_t>(
      (c.endLane > c.startLane ? c.endLane - c.startLane : c.startLane - c.endLane) + 1);
  const auto driver = platform.log.DebugLines(DebugLevelDriver);
  ASSERT_EQ(driver.size(), 1u);
  EXPECT_EQ(driver[0], "PcieMaxPayloadInterfaceHX: Device(0:1:1) linkwidth = " +
                           std::to_string(width) + " MaxPayloadSize = " +
                           std::to_string(c.expected) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Widths, LinkWidthCapTest,
                         ::testing::Values(CapCase{0, 0, 2, 0}, CapCase{0, 1, 3, 1},
                                           CapCase{15, 0, 5, 2}, CapCase{4, 7, 1, 1},
                                           CapCase{0, 2, 4, 4}, CapCase{8, 6, 5, 5}));

TEST_F(PayloadTest, SmallestEndpointBelowASwitchSetsTheWholeTree) {
  const auto tree = SwitchTree(/*secondEndpointMps=*/0);
  sim::EngineLayout e = Engine(kRoot, 0, 15);
  e.maxPayloadSize = 5;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  for (uint32_t f : tree) {
    EXPECT_EQ(MpsOf(DeviceControl(f)), 0u) << std::hex << f;
  }
  EXPECT_TRUE(platform.saveState.empty()) << "Max Payload Size is not recorded for S3";
}

TEST_F(PayloadTest, OverrideDevicesAreTreatedAsTheTableSays) {
  struct Case {
    uint16_t vendor, device;
    uint8_t reported;
    uint32_t expected;
  };
  for (const Case c : {Case{0x1969, 0x1083, 2, 0}, Case{0x1AF2, 0xA001, 0, 1},
                       Case{0x1AF2, 0xA002, 0, 0}}) {
    sim::Platform &p = platform;
    p.config = sim::ConfigSpace();
    AddRootPort(kRoot, 1, 1);
    Add(Bdf(1, 0, 0), cat::PcieEndpoint(c.vendor, c.device, c.reported, true));
    sim::EngineLayout e = Engine(kRoot, 0, 7);
    e.maxPayloadSize = 5;
    Start({{.wrapperId = 0, .engines = {e}}});
    PcieMaxPayloadInterface(Silicon());
    EXPECT_EQ(MpsOf(DeviceControl(Bdf(1, 0, 0))), c.expected) << std::hex << c.vendor;
  }
}

TEST_F(PayloadTest, ExtendedTagsOnlyWithFullSupportAndNeverCleared) {
  AddRootPort(kRoot, 1, 1);
  Add(Bdf(1, 0, 0), cat::PcieEndpoint(0x1234, 1, 5, false));
  platform.config.Find(kRoot)->Poke(PcieCapOf(kRoot) + 8, 2, 0x0100);
  sim::EngineLayout e = Engine(kRoot, 0, 3);
  e.maxPayloadSize = 2;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  EXPECT_EQ(DeviceControl(kRoot) & 0x100, 0x100u) << "left as it was";
  EXPECT_EQ(DeviceControl(Bdf(1, 0, 0)) & 0x100, 0u);
  for (const auto &line : PcieLines()) {
    EXPECT_EQ(line.find("EXTEND_TAG_EN"), std::string::npos);
  }
}

TEST_F(PayloadTest, ExtendedTagsEverywhereWithFullSupport) {
  const auto tree = SwitchTree();
  Start({{.wrapperId = 0, .engines = {Engine(kRoot, 0, 3)}}});
  PcieMaxPayloadInterface(Silicon());
  for (uint32_t f : tree) {
    EXPECT_EQ(DeviceControl(f) & 0x100, 0x100u) << std::hex << f;
  }
}

TEST_F(PayloadTest, TokenOffStillCapsButTouchesNoDevice) {
  platform.pcd[kPcdMaxPayloadEnable] = 0;
  AddRootPort(kRoot, 1, 1);
  sim::EngineLayout e = Engine(kRoot, 0, 0);
  e.maxPayloadSize = 3;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kMaxPayloadSize), 0);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelDriver).size(), 1u);
  EXPECT_TRUE(CfgWrites().empty());
  EXPECT_EQ(PcieLines(), (std::vector<std::string>{"PcieMaxPayloadInterface Enter\n",
                                                   "PcieMaxPayloadInterface Exit\n"}));
}

TEST_F(PayloadTest, PortNotReadyIsNeitherCappedNorProgrammed) {
  AddRootPort(kRoot, 1, 1);
  sim::EngineLayout e = Engine(kRoot, 0, 0);
  e.maxPayloadSize = 3;
  e.portStatus = 0;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  EXPECT_EQ(EngineField(0, sim::engine_field::kMaxPayloadSize), 3);
  EXPECT_TRUE(CfgWrites().empty());
  EXPECT_TRUE(platform.log.DebugLines(DebugLevelDriver).empty());
}

TEST_F(PayloadTest, BridgeWithSecondaryBusZeroIsProgrammedButNotEntered) {
  AddRootPort(kRoot, 1, 1);
  Add(Bdf(1, 0, 0), cat::SwitchUpstreamPort(1, 0, 0));
  Add(Bdf(2, 0, 0), cat::PcieEndpoint(0x1234, 1, 0, true)); // unreachable
  sim::EngineLayout e = Engine(kRoot, 0, 3);
  e.maxPayloadSize = 2;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  EXPECT_EQ(MpsOf(DeviceControl(Bdf(1, 0, 0))), 2u);
  EXPECT_EQ(MpsOf(DeviceControl(Bdf(2, 0, 0))), 0u);
  for (const auto &w : CfgWrites()) {
    EXPECT_NE(w.address & 0x0FF00000u, Bdf(2, 0, 0)) << "nothing below the bridge";
  }
}

TEST_F(PayloadTest, MultiFunctionEndpointGetsEveryFunctionProgrammed) {
  AddRootPort(kRoot, 1, 1);
  for (uint8_t f = 0; f < 3; ++f) {
    Add(Bdf(1, 0, f), cat::MultiFunctionEndpoint(f));
  }
  sim::EngineLayout e = Engine(kRoot, 0, 3);
  e.maxPayloadSize = 2;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  for (uint8_t f = 0; f < 3; ++f) {
    EXPECT_EQ(MpsOf(DeviceControl(Bdf(1, 0, f))), 1u) << "the functions support 256 bytes";
  }
}

TEST_F(PayloadTest, TraceOfOneRootPortAndEndpoint) {
  AddRootPort(kRoot, 1, 1);
  Add(Bdf(1, 0, 0), cat::PcieEndpoint(0x1234, 1, 1, true));
  sim::EngineLayout e = Engine(kRoot, 0, 3);
  e.maxPayloadSize = 2;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxPayloadInterface(Silicon());
  const uint32_t rootCap = Cfg(kRoot, PcieCapOf(kRoot) + 4);
  const uint32_t epCap = Cfg(Bdf(1, 0, 0), PcieCapOf(Bdf(1, 0, 0)) + 4);
  char rootFound[80], epFound[80], rootTag[64], epTag[64];
  std::snprintf(rootFound, sizeof rootFound, "  Found DeviceMaxPayload as 5 (Value = 0x%x)\n",
                rootCap);
  std::snprintf(epFound, sizeof epFound, "  Found DeviceMaxPayload as 1 (Value = 0x%x)\n", epCap);
  std::snprintf(rootTag, sizeof rootTag, "EXTEND_TAG_EN PCIE_DEVICE_CTRL=%08x\n",
                Cfg(kRoot, PcieCapOf(kRoot) + 8));
  std::snprintf(epTag, sizeof epTag, "EXTEND_TAG_EN PCIE_DEVICE_CTRL=%08x\n",
                Cfg(Bdf(1, 0, 0), PcieCapOf(Bdf(1, 0, 0)) + 8));
  EXPECT_EQ(PcieLines(),
            (std::vector<std::string>{"PcieMaxPayloadInterface Enter\n",
                                      "  PcieSetMaxPayload for Device = 0:1:1\n",
                                      "  PcieGetMaxPayloadCallback for Device = 0:1:1\n", rootFound,
                                      "  PcieGetMaxPayloadCallback for Device = 1:0:0\n", epFound,
                                      "  PcieSetMaxPayloadCallback for Device = 0:1:1 to 1\n",
                                      rootTag,
                                      "  PcieSetMaxPayloadCallback for Device = 1:0:0 to 1\n", epTag,
                                      "  PcieSetMaxPayloadExit\n",
                                      "PcieMaxPayloadInterface Exit\n"}));
}

class MaxReadRequestTest : public PayloadTest,
                           public ::testing::WithParamInterface<uint8_t> {};

TEST_P(MaxReadRequestTest, ValidSettingReachesEveryFunctionOnceRecorded) {
  const uint8_t setting = GetParam();
  platform.pcd[kPcdMaxReadRequest] = setting;
  const auto tree = SwitchTree();
  Start({{.wrapperId = 0, .engines = {Engine(kRoot, 0, 3)}}});
  PcieMaxReadRequestInterface(Silicon());
  for (uint32_t f : tree) {
    EXPECT_EQ(MrrsOf(DeviceControl(f)), setting) << std::hex << f;
  }
  ASSERT_EQ(platform.saveState.size(), tree.size());
  for (size_t i = 0; i < tree.size(); ++i) {
    EXPECT_EQ(platform.saveState[i].width, 2u);
    EXPECT_EQ(platform.saveState[i].address, 0xF0000000u + tree[i] + PcieCapOf(tree[i]) + 8);
  }
  const auto lines = PcieLines();
  EXPECT_EQ(lines[1], "Device = 0:1:1 MaxReadRequestSize = " + std::to_string(setting) + "\n");
  EXPECT_EQ(lines[2], "  PcieSetMaxReadRequestSizeCallback for Device = 0:1:1 to " +
                          std::to_string(setting) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Settings, MaxReadRequestTest, ::testing::Values(0, 2, 5));

TEST_F(PayloadTest, MaxReadRequestAboveFiveTouchesNothingAndSaysNothing) {
  for (uint64_t setting : {6, 7, 0xFF}) {
    platform.pcd[kPcdMaxReadRequest] = setting;
    platform.config = sim::ConfigSpace();
    SwitchTree();
    Start({{.wrapperId = 0, .engines = {Engine(kRoot, 0, 3)}}});
    PcieMaxReadRequestInterface(Silicon());
    EXPECT_TRUE(CfgWrites().empty());
    EXPECT_EQ(PcieLines(), (std::vector<std::string>{"PcieMaxReadRequestInterface Enter\n",
                                                     "PcieMaxReadRequestInterface Exit\n"}));
  }
}

TEST_F(PayloadTest, MaxReadRequestSkipsUnreadyAndInactiveEnginesWithoutReadingTheToken) {
  AddRootPort(kRoot, 1, 1);
  sim::EngineLayout notReady = Engine(kRoot, 0, 3);
  notReady.portStatus = 0;
  sim::EngineLayout inactive = Engine(kRoot, 4, 7);
  inactive.active = false;
  Start({{.wrapperId = 0, .engines = {notReady, inactive}}});
  PcieMaxReadRequestInterface(Silicon());
  EXPECT_TRUE(platform.log.Of(sim::EventKind::PcdGet).empty());
  EXPECT_TRUE(CfgWrites().empty());
}

class MaxCplPayloadTest : public PayloadTest {
protected:
  // Sets bit 29 of the port status register of (wrapper, port).
  void OpenGate(uint32_t statusRegister) {
    platform.NbioAt(kHostBridge).Seed(statusRegister, 0x20000000);
  }
  std::vector<sim::Event> SmnWrites() const { return platform.log.Of(sim::EventKind::SmnWrite); }
};

TEST_F(MaxCplPayloadTest, RegisterAddressesFollowCoreAndPort) {
  AddRootPort(Bdf(0, 1, 4), 1, 1);
  AddRootPort(Bdf(0, 3, 2), 2, 2);
  Add(Bdf(1, 0, 0), cat::PcieEndpoint(0x1234, 1, 5, true));
  Add(Bdf(2, 0, 0), cat::PcieEndpoint(0x1234, 1, 5, true));
  OpenGate(0x11103068);
  OpenGate(0x11201068);
  sim::EngineLayout p3 = Engine(Bdf(0, 1, 4), 0, 3, 3, 0);
  p3.maxPayloadSize = 5;
  sim::EngineLayout p9 = Engine(Bdf(0, 3, 2), 16, 19, 9, 1);
  p9.maxPayloadSize = 5;
  Start({{.wrapperId = 0, .engines = {p3}}, {.wrapperId = 1, .engines = {p9}}});
  PcieMaxCplPayloadInterface(Silicon());
  const auto reads = platform.log.Of(sim::EventKind::SmnRead);
  ASSERT_GE(reads.size(), 2u);
  EXPECT_EQ(reads[0].address, 0x11103068u);
  const auto writes = SmnWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].address, 0x11143040u);
  EXPECT_EQ(writes[1].address, 0x11241040u);
  const auto lines = PcieLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "PCIEPSMNAddress: 0x11143040\n"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "PCIEPSMNAddress: 0x11241040\n"), lines.end());
}

TEST_F(MaxCplPayloadTest, X2PortProgramsCode1WithTheLimitEnabled) {
  AddRootPort(kRoot, 1, 1, 2);
  Add(Bdf(1, 0, 0), cat::PcieEndpoint(0x1234, 1, 5, true));
  OpenGate(0x11100068);
  platform.NbioAt(kHostBridge).Seed(0x11140040, 0xFFFFFFFF);
  sim::EngineLayout e = Engine(kRoot, 0, 1);
  e.maxPayloadSize = 5;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxCplPayloadInterface(Silicon());
  const uint32_t v = platform.NbioAt(kHostBridge).Peek(0x11140040);
  EXPECT_EQ((v >> 18) & 7, 1u);
  EXPECT_EQ(v & 0x10000, 0x10000u);
  EXPECT_EQ(v & 0x20000, 0u);
  EXPECT_EQ(v | 0x1E0000, 0xFFFFFFFFu) << "other bits keep their value";
  ASSERT_EQ(platform.saveState.size(), 2u) << "one index and one data write";
  EXPECT_EQ(platform.saveState[0].address, 0xF00000B8u);
  EXPECT_EQ(platform.saveState[0].value, 0x11140040u);
  EXPECT_EQ(platform.saveState[1].address, 0xF00000BCu);
  EXPECT_EQ(platform.saveState[1].value, v);
  EXPECT_EQ(EngineField(0, sim::engine_field::kMaxPayloadSize), 5) << "descriptor not written";
}

TEST_F(MaxCplPayloadTest, SmallestTreeOf128BytesLeavesTheRegister) {
  SwitchTree(/*secondEndpointMps=*/0);
  OpenGate(0x11100068);
  Start({{.wrapperId = 0, .engines = {Engine(kRoot, 0, 3)}}});
  PcieMaxCplPayloadInterface(Silicon());
  EXPECT_TRUE(SmnWrites().empty());
  EXPECT_TRUE(platform.saveState.empty());
  for (const auto &w : CfgWrites()) {
    EXPECT_EQ(w.address, kHostBridge | 0xB8u) << "only the SMN index of the status read";
  }
}

TEST_F(MaxCplPayloadTest, ClosedGateSkipsBeforeAnyScanOrSettingRead) {
  AddRootPort(kRoot, 1, 1);
  sim::EngineLayout e = Engine(kRoot, 0, 3);
  e.maxPayloadSize = 2;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxCplPayloadInterface(Silicon());
  EXPECT_TRUE(platform.log.Of(sim::EventKind::PcdGet).empty());
  EXPECT_EQ(platform.log.Of(sim::EventKind::CfgRead).size(), 1u) << "the status read only";
  EXPECT_EQ(platform.log.Of(sim::EventKind::SmnRead).size(), 1u);
}

TEST_F(MaxCplPayloadTest, TokenOffOrSkipOrNotReadyWritesNothing) {
  struct Case {
    bool token;
    uint8_t control, status;
  };
  for (const Case c : {Case{false, 0, 8}, Case{true, 1, 8}, Case{true, 0, 0}}) {
    platform.config = sim::ConfigSpace();
    platform.AddSilicon(kHostBridge);
    AddRootPort(kRoot, 1, 1);
    OpenGate(0x11100068);
    platform.pcd[kPcdMaxPayloadEnable] = c.token;
    sim::EngineLayout e = Engine(kRoot, 0, 3);
    e.maxPayloadSize = 2;
    e.portControl = c.control;
    e.portStatus = c.status;
    Start({{.wrapperId = 0, .engines = {e}}});
    PcieMaxCplPayloadInterface(Silicon());
    EXPECT_TRUE(SmnWrites().empty());
    EXPECT_EQ(PcieLines(), (std::vector<std::string>{"PcieMaxCplPayloadInterface Enter\n",
                                                     "PcieMaxCplPayloadInterface Exit\n"}));
  }
}

TEST_F(MaxCplPayloadTest, TraceOfOneProgrammedPort) {
  AddRootPort(kRoot, 1, 1);
  Add(Bdf(1, 0, 0), cat::PcieEndpoint(0x1234, 1, 1, true));
  OpenGate(0x11100068);
  sim::EngineLayout e = Engine(kRoot, 0, 3);
  e.maxPayloadSize = 5;
  Start({{.wrapperId = 0, .engines = {e}}});
  PcieMaxCplPayloadInterface(Silicon());
  char rootFound[80], epFound[80];
  std::snprintf(rootFound, sizeof rootFound, "  Found DeviceMaxPayload as 5 (Value = %x\n",
                Cfg(kRoot, PcieCapOf(kRoot) + 4));
  std::snprintf(epFound, sizeof epFound, "  Found DeviceMaxPayload as 1 (Value = %x\n",
                Cfg(Bdf(1, 0, 0), PcieCapOf(Bdf(1, 0, 0)) + 4));
  EXPECT_EQ(PcieLines(),
            (std::vector<std::string>{
                "PcieMaxCplPayloadInterface Enter\n", "4X Device = 0:1:1 MaxPayload = 2\n",
                "  PcieSetMaxCplPayload for Device = 0:1:1\n",
                "  PcieGetMaxCplPayloadCallback for Device = 0:1:1\n", rootFound,
                "  PcieGetMaxCplPayloadCallback for Device = 1:0:0\n", epFound,
                "  PcieSetMaxCplPayload: Return from HbxLibPciScanMaxCplPayloadData.MaxCplPayload = 1\n",
                "  PcieSetMaxCplPayloadExit\n", "PcieMaxCplPayloadInitCallback, EngineMaxPayload = 1\n",
                "PCIEPSMNAddress: 0x11140040\n", "PcieMaxCplPayloadInterface Exit\n"}));
}

} // namespace
} // namespace kel_test
