// Start-up and the feature pass as a firmware core drives them: entry trace
// and test points, the pass on the first PCI I/O install and never again.
#include "tests/test_support.h"

#include "base/debug_print.h"
#include "sim/catalogue.h"

namespace kel_test {
namespace {

using sim::EventKind;

sim::TopologyLayout OneSiliconTwoWrappers() {
  sim::SiliconLayout s{.socketId = 0, .dieId = 0, .instanceId = 0, .hostBridgeAddress = kHostBridge};
  sim::WrapperLayout w0{.wrapperId = 0, .wrapperFeatures = 0x0C};
  sim::EngineLayout e;
  e.startLane = 0;
  e.endLane = 3;
  e.portPciAddress = sim::Bdf(0, 1, 1);
  w0.engines.push_back(e);
  sim::WrapperLayout w1{.wrapperId = 1, .wrapperFeatures = 0x00};
  e.portPciAddress = sim::Bdf(0, 3, 1);
  e.portLocation = 0x81;
  w1.engines.push_back(e);
  s.wrappers = {w0, w1};
  return {.silicons = {s}};
}

class DriverBootTest : public ::testing::Test {
protected:
  explicit DriverBootTest(sim::PlatformModules modules = {}) : platform(modules) {}

  void Boot(const sim::TopologyLayout &topology, bool publish = true) {
    for (const auto &s : topology.silicons) {
      platform.AddSilicon(s.hostBridgeAddress);
    }
    if (publish) {
      platform.PublishTopology(sim::BuildTopology(topology).bytes);
    }
    EXPECT_EQ(platform.LoadDriver(), EFI_SUCCESS);
  }
  std::vector<std::string> DriverLines() const {
    return platform.log.DebugLines(DebugLevelDriver);
  }
  std::vector<sim::Event> SmnWrites() const { return platform.log.Of(EventKind::SmnWrite); }

  sim::Platform platform;
};

TEST_F(DriverBootTest, EntryTracesPackageTypeAndArmsTheNotification) {
  platform.cpu.packageTypeBits = 4;
  Boot(OneSiliconTwoWrappers());
  EXPECT_EQ(DriverLines(),
            (std::vector<std::string>{"KelS3LibPrivateData allocation\n",
                                      "KelS3LibTableHeader buffer size = 0x4000\n",
                                      "TORVU_TP:[b000a906]\n", "KelNbioPcieHXDxeEntry\n",
                                      "PackageType = 16\n", "KelNbioPcieHXDxeExit\n",
                                      "TORVU_TP:[b000a907]\n"}));
  EXPECT_EQ(platform.log.PortWrites(0x80), (std::vector<uint64_t>{0xB000A906, 0xB000A907}));
  EXPECT_EQ(gPackageType, 16u);
  EXPECT_TRUE(SmnWrites().empty()) << "start-up programs no hardware";
  EXPECT_TRUE(platform.firmware.EventIsOpen(gPciIoNotifyEvent));
}

TEST_F(DriverBootTest, WithoutAnAnnouncedDebuggerStartUpWritesNoDebugRegister) {
  Boot(OneSiliconTwoWrappers());
  EXPECT_TRUE(platform.log.Of(EventKind::MsrWrite).empty());
  EXPECT_EQ(platform.cpu.dr7, 0x400u);
}

TEST_F(DriverBootTest, AnnouncedDebuggerGetsItsBreakpointAtStartUp) {
  platform.cpu.dr2 = 0x99CC;
  Boot(OneSiliconTwoWrappers());
  EXPECT_EQ(platform.cpu.dr7, 0x02000420u);
  EXPECT_EQ(platform.cpu.msrs[0xC001100A] & 1, 1u);
  EXPECT_EQ(platform.cpu.cr4 & 8, 8u);
}

TEST_F(DriverBootTest, PackageTypeZeroBitsGiveOne) {
  platform.cpu.packageTypeBits = 0;
  Boot(OneSiliconTwoWrappers());
  EXPECT_EQ(gPackageType, 1u);
}

TEST_F(DriverBootTest, FirstPciIoInstallRunsThePassOnceAndClosesTheEvent) {
  Boot(OneSiliconTwoWrappers());
  platform.log.Clear();
  platform.InstallPciIo();

  const auto driver = DriverLines();
  ASSERT_GE(driver.size(), 4u);
  EXPECT_EQ(driver.front(), "TORVU_TP:[b000a95a]\n");
  EXPECT_EQ(driver[1], "KelPcieMiscInit Entry\n");
  EXPECT_EQ(driver[driver.size() - 2], "KelPcieMiscInit Exit\n");
  EXPECT_EQ(driver.back(), "TORVU_TP:[b000a95b]\n");
  EXPECT_EQ(platform.log.PortWrites(0x80), (std::vector<uint64_t>{0xB000A95A, 0xB000A95B}));
  EXPECT_FALSE(platform.firmware.EventIsOpen(gPciIoNotifyEvent));

  // Power clock gating: three recorded writes per wrapper, each an index and
  // a data write; then step 18 on both cores.
  std::vector<uint32_t> written;
  for (const auto &w : SmnWrites()) {
    written.push_back(static_cast<uint32_t>(w.address));
  }
  EXPECT_EQ(written, (std::vector<uint32_t>{0x11280460, 0x11280044, 0x1128018C, 0x11180460,
                                            0x11180044, 0x1118018C, 0x11180040, 0x11280040}));
  ASSERT_EQ(platform.saveState.size(), 6u * 2 + 2u * 3);
  for (size_t i = 0; i < 12; i += 2) {
    EXPECT_EQ(platform.saveState[i].address, 0xF0000000u | kHostBridge | 0xB8u);
    EXPECT_EQ(platform.saveState[i + 1].address, 0xF0000000u | kHostBridge | 0xBCu);
  }
  const auto &nbio = platform.NbioAt(kHostBridge);
  EXPECT_EQ(nbio.Peek(0x11180040) & 1, 1u);
  EXPECT_EQ(nbio.Peek(0x11280040) & 1, 1u);

  platform.log.Clear();
  platform.InstallPciIo();
  EXPECT_TRUE(platform.log.Events().empty()) << "a second install must run nothing";
  EXPECT_TRUE(platform.log.Faults().empty());
}

TEST_F(DriverBootTest, PciIoInstalledBeforeEntryDoesNotStartThePass) {
  platform.AddSilicon(kHostBridge);
  platform.PublishTopology(sim::BuildTopology(OneSiliconTwoWrappers()).bytes);
  platform.InstallPciIo();
  platform.LoadDriver();
  EXPECT_TRUE(SmnWrites().empty());
  EXPECT_EQ(platform.log.PortWrites(0x80), (std::vector<uint64_t>{0xB000A906, 0xB000A907}));
}

TEST_F(DriverBootTest, MissingTopologyGivesOnlyTheBracketsAndClosesTheEvent) {
  Boot(OneSiliconTwoWrappers(), /*publish=*/false);
  platform.log.Clear();
  platform.InstallPciIo();
  EXPECT_EQ(platform.log.DebugLines(),
            (std::vector<std::string>{"TORVU_TP:[b000a95a]\n", "KelPcieMiscInit Entry\n",
                                      "KelPcieMiscInit Exit\n", "TORVU_TP:[b000a95b]\n"}));
  EXPECT_TRUE(platform.log.Of(EventKind::CfgWrite).empty());
  EXPECT_FALSE(platform.firmware.EventIsOpen(gPciIoNotifyEvent));
}

TEST_F(DriverBootTest, NoSiliconOnTheChainEndsThePass) {
  sim::TopologyLayout t{.recordsBeforeSilicon = 2};
  platform.PublishTopology(sim::BuildTopology(t).bytes);
  EXPECT_EQ(platform.LoadDriver(), EFI_SUCCESS);
  platform.log.Clear();
  platform.InstallPciIo();
  EXPECT_EQ(platform.log.DebugLines().size(), 4u);
  EXPECT_TRUE(platform.log.Of(EventKind::CfgWrite).empty());
}

TEST_F(DriverBootTest, EverySiliconGetsAllStepsBeforeTheNext) {
  sim::TopologyLayout t = OneSiliconTwoWrappers();
  sim::SiliconLayout second = t.silicons[0];
  second.hostBridgeAddress = sim::Bdf(0x80, 0, 0);
  second.socketId = 1;
  t.silicons.push_back(second);
  Boot(t);
  platform.InstallPciIo();
  std::vector<uint32_t> bridges;
  for (const auto &w : SmnWrites()) {
    if (bridges.empty() || bridges.back() != w.silicon) {
      bridges.push_back(w.silicon);
    }
  }
  EXPECT_EQ(bridges, (std::vector<uint32_t>{kHostBridge, sim::Bdf(0x80, 0, 0)}));
  // The step brackets of the first silicon all come before the second's.
  std::vector<std::string> brackets;
  for (const std::string &line : platform.log.DebugLines(DebugLevelPcie)) {
    if (line.find(" Enter\n") != std::string::npos || line.find(" Exit\n") != std::string::npos) {
      brackets.push_back(line);
    }
  }
  ASSERT_EQ(brackets.size() % 2, 0u);
  const std::vector<std::string> firstSteps(brackets.begin(),
                                            brackets.begin() + brackets.size() / 2);
  const std::vector<std::string> secondSteps(brackets.begin() + brackets.size() / 2,
                                             brackets.end());
  EXPECT_EQ(firstSteps, secondSteps);
  EXPECT_EQ(firstSteps.front(), "PcieSlotPowerLimitInterface Enter\n");
}

TEST_F(DriverBootTest, SiliconLoopingToItselfIsVisitedOnce) {
  sim::TopologyLayout t = OneSiliconTwoWrappers();
  t.silicons[0].omitLastSiliconFlag = true;
  t.silicons[0].zeroPeerOffset = true;
  Boot(t);
  platform.InstallPciIo();
  EXPECT_EQ(SmnWrites().size(), 8u);
}

class NoSaveStateBootTest : public DriverBootTest {
protected:
  NoSaveStateBootTest() : DriverBootTest(sim::PlatformModules{.s3SaveState = false}) {}
};

TEST_F(NoSaveStateBootTest, LiveWritesHappenWhenNothingCanRecordThem) {
  Boot(OneSiliconTwoWrappers());
  platform.InstallPciIo();
  EXPECT_EQ(gS3SaveState, nullptr);
  EXPECT_EQ(SmnWrites().size(), 8u);
  EXPECT_TRUE(platform.log.Faults().empty());
}

} // namespace
} // namespace kel_test
