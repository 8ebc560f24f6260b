// Simulated configuration space: the write behaviour of the standard
// registers, absent functions, Link Training after a retrain, index/data.
#include <gtest/gtest.h>

#include "sim/catalogue.h"
#include "sim/config_space.h"
#include "sim/platform.h"

namespace {

using sim::Bdf;

class ConfigSpaceTest : public ::testing::Test {
protected:
  ConfigSpaceTest() {
    space.Add(Bdf(0, 1, 1), sim::catalogue::RootPort(1, 4, true, 0x00060000).Build());
    space.Add(Bdf(1, 0, 0), sim::catalogue::NvmeSsd().Build());
  }
  uint16_t Cap(uint32_t bdf) { return space.Find(bdf)->pcieCap; }
  sim::ConfigSpace space;
};

TEST_F(ConfigSpaceTest, AbsentFunctionReadsAllOnesAndDropsWrites) {
  EXPECT_EQ(space.Read(Bdf(2, 0, 0), 4), 0xFFFFFFFFu);
  EXPECT_EQ(space.Read(Bdf(2, 0, 0) | 0x0E, 1), 0xFFu);
  EXPECT_EQ(space.Read(Bdf(2, 0, 0) | 0x06, 2), 0xFFFFu);
  space.Write(Bdf(2, 0, 0) | 0x04, 2, 0x0006);
  EXPECT_EQ(space.Find(Bdf(2, 0, 0)), nullptr);
  // One removed through the map is absent too; a moved space keeps the rest.
  space.Functions().erase(Bdf(1, 0, 0));
  EXPECT_EQ(space.Read(Bdf(1, 0, 0), 4), 0xFFFFFFFFu);
  const sim::ConfigSpace moved = std::move(space);
  EXPECT_EQ(moved.Find(Bdf(0, 1, 1)), &moved.Functions().at(Bdf(0, 1, 1)));
}

TEST_F(ConfigSpaceTest, IdentityAndCapabilitiesAreReadOnly) {
  const uint32_t ep = Bdf(1, 0, 0);
  space.Write(ep, 4, 0x12345678);
  EXPECT_EQ(space.Read(ep, 4), 0xA808144Du);
  const uint16_t c = Cap(ep);
  const uint32_t devcap = space.Read(ep | (c + 4), 4);
  space.Write(ep | (c + 4), 4, ~devcap);
  EXPECT_EQ(space.Read(ep | (c + 4), 4), devcap);
}

TEST_F(ConfigSpaceTest, StatusBitsClearOnOneAndControlBitsStick) {
  const uint32_t ep = Bdf(1, 0, 0);
  const uint16_t c = Cap(ep);
  space.Find(ep)->Poke(c + 0x0A, 2, 0x000F); // all four error-detected bits
  // Device Control and Status as one dword: writing the status back as read
  // clears it, the control half takes its new value.
  space.Write(ep | (c + 8), 4, 0x000500E0);
  EXPECT_EQ(space.Read(ep | (c + 8), 4), 0x000A00E0u);
  space.Find(ep)->Poke(0x06, 2, 0x4010);
  space.Write(ep | 0x04, 4, 0x40000006);
  EXPECT_EQ(space.Read(ep | 0x04, 4), 0x00100006u);
}

TEST_F(ConfigSpaceTest, SlotPowerLimitIsTheOnlyWritableSlotCapabilityField) {
  const uint32_t rp = Bdf(0, 1, 1);
  const uint16_t c = Cap(rp);
  space.Write(rp | (c + 0x14), 4, 0xFFFFFFFF);
  EXPECT_EQ(space.Read(rp | (c + 0x14), 4), 0x0007FF80u | 0x00060000u);
  const uint32_t ep = Bdf(1, 0, 0);
  space.Write(ep | (Cap(ep) + 0x14), 4, 0xFFFFFFFF);
  EXPECT_EQ(space.Read(ep | (Cap(ep) + 0x14), 4), 0u) << "no slot, nothing to program";
}

TEST_F(ConfigSpaceTest, RetrainShowsLinkTrainingForConfiguredReads) {
  const uint32_t rp = Bdf(0, 1, 1);
  const uint16_t c = Cap(rp);
  space.Find(rp)->linkTrainingReads = 3;
  space.Write(rp | (c + 0x10), 4, 0x00000060);
  const uint32_t control = space.Read(rp | (c + 0x10), 4);
  EXPECT_EQ(control & 0x20, 0u) << "Retrain Link always reads 0";
  EXPECT_EQ(control & 0x40, 0x40u);
  EXPECT_NE(control & 0x08000000, 0u);
  EXPECT_NE(space.Read(rp | (c + 0x12), 2) & 0x0800, 0u);
  EXPECT_NE(space.Read(rp | (c + 0x10), 4) & 0x08000000, 0u);
  EXPECT_EQ(space.Read(rp | (c + 0x10), 4) & 0x08000000, 0u);
  EXPECT_EQ(space.Find(rp)->retrainCount, 1u);
}

TEST(LinkTrainingTest, VerifyThatBothEndsReportTheLowerSpeedAndWidthUnlessKeptAsFound) {
  auto linkStatus = [](sim::ConfigSpace &space, uint32_t bdf) {
    return space.Read(bdf | (space.Find(bdf)->pcieCap + 0x12), 2) & 0x3FF;
  };
  for (const bool captured : {false, true}) {
    sim::ConfigSpace space;
    space.Add(Bdf(0, 1, 1), sim::catalogue::RootPort(1, 8).Build()); // 16 GT/s x8
    space.Add(Bdf(1, 0, 0), sim::catalogue::NvmeSsd().Build());      // 8 GT/s x4
    const uint32_t portBefore = linkStatus(space, Bdf(0, 1, 1));
    sim::TrainLinks(space, captured ? std::set<uint32_t>{Bdf(1, 0, 0)} : std::set<uint32_t>{});
    EXPECT_EQ(linkStatus(space, Bdf(0, 1, 1)), captured ? portBefore : 0x43u) << captured;
    EXPECT_EQ(linkStatus(space, Bdf(1, 0, 0)), 0x43u) << captured;
  }
}

TEST_F(ConfigSpaceTest, BridgeBusNumbersAreWritable) {
  const uint32_t rp = Bdf(0, 1, 1);
  EXPECT_EQ(space.Read(rp | 0x19, 1), 1u);
  space.Write(rp | 0x18, 4, 0x00050400);
  EXPECT_EQ(space.Read(rp | 0x19, 1), 4u);
  EXPECT_EQ(space.Read(rp | 0x1A, 1), 5u);
}

TEST_F(ConfigSpaceTest, IndexDataPairReachesItsRegisterFile) {
  std::map<uint32_t, uint32_t> regs{{0x1000, 0x11223344}};
  sim::ConfigFunction f = sim::DeviceBuilder().Ids(0xFFF0, 1).Build();
  f.pairs.push_back({0xB8, [&regs](uint32_t i) { return regs[i]; },
                     [&regs](uint32_t i, uint32_t v) { regs[i] = v; }});
  space.Add(Bdf(0, 0, 0), f);
  space.Write(0xB8, 4, 0x1000);
  EXPECT_EQ(space.Read(0xBC, 4), 0x11223344u);
  EXPECT_EQ(space.Read(0xBE, 2), 0x1122u);
  space.Write(0xBD, 1, 0xAA);
  EXPECT_EQ(regs[0x1000], 0x1122AA44u);
}

TEST_F(ConfigSpaceTest, ExtendedCapabilitiesChainFrom0x100) {
  const uint32_t ep = Bdf(1, 0, 0);
  std::vector<uint16_t> ids;
  for (uint32_t at = 0x100; at != 0; at = space.Read(ep | at, 4) >> 20) {
    ids.push_back(static_cast<uint16_t>(space.Read(ep | at, 4)));
  }
  EXPECT_EQ(ids, (std::vector<uint16_t>{0x0001, 0x0018, 0x001E}));
}

struct DevCtlCase {
  const char *name;
  sim::DeviceBuilder (*make)();
  bool bit15Sticks;
  unsigned resets;
};

class DeviceControlBit15Test : public ::testing::TestWithParam<DevCtlCase> {};

// Verify that Device Control bit 15 behaves by function type: Bridge
// Configuration Retry Enable on a PCI Express-to-PCI bridge, Initiate
// Function Level Reset (reads 0, counted) on an endpoint, reserved elsewhere.
TEST_P(DeviceControlBit15Test, VerifyThatBit15FollowsTheFunctionType) {
  const DevCtlCase c = GetParam();
  sim::ConfigSpace space;
  sim::ConfigFunction &f = space.Add(Bdf(1, 0, 0), c.make().Build());
  space.Write(Bdf(1, 0, 0) | (f.pcieCap + 8u), 2, 0x8000 | f.Peek(f.pcieCap + 8, 2));
  EXPECT_EQ((space.Read(Bdf(1, 0, 0) | (f.pcieCap + 8u), 2) & 0x8000) != 0, c.bit15Sticks);
  EXPECT_EQ(f.functionLevelResets, c.resets);
}

INSTANTIATE_TEST_SUITE_P(
    Types, DeviceControlBit15Test,
    ::testing::Values(
        DevCtlCase{"Endpoint", [] { return sim::catalogue::NvmeSsd(); }, false, 1},
        DevCtlCase{"PcieToPciBridge", [] { return sim::catalogue::PcieToPciBridge(1, 2); }, true, 0},
        DevCtlCase{"DownstreamPort", [] { return sim::catalogue::SwitchDownstreamPort(1, 2, 2); },
                   false, 0}),
    [](const auto &p) { return std::string(p.param.name); });

// Verify that the platform flags a configuration access the hardware would
// not carry out as given: not naturally aligned, or across a dword.
TEST(PlatformFidelityTest, VerifyThatMisalignedConfigurationAccessesAreFlagged) {
  sim::Platform p;
  p.AddFunction(Bdf(1, 0, 0), sim::catalogue::NvmeSsd().Build());
  p.MmioRead(0xF0000000 + (Bdf(1, 0, 0) | 0x4), 4);
  p.MmioRead(0xF0000000 + (Bdf(1, 0, 0) | 0x6), 2);
  EXPECT_TRUE(p.log.Faults().empty());
  p.MmioRead(0xF0000000 + (Bdf(1, 0, 0) | 0x5), 2);
  p.MmioWrite(0xF0000000 + (Bdf(1, 0, 0) | 0x2), 4, 0);
  ASSERT_EQ(p.log.Faults().size(), 2u);
  EXPECT_EQ(p.log.Text(p.log.Faults()[0]), "configuration access not naturally aligned");
}

// Verify that an access past a function's 4 KiB reaches the next function,
// as the linear ECAM window decodes it, and is flagged; and that a captured
// capability running past the end loads, its missing bytes reading as ones.
TEST(PlatformFidelityTest, VerifyThatAccessesPastAFunctionReachTheNextAndAreFlagged) {
  sim::Platform p;
  sim::ConfigFunction f = sim::catalogue::RootPort(1, 4).Build();
  f.Poke(0x100, 4, (f.Peek(0x100, 4) & 0x000FFFFF) | 0xFF000000); // AER's next: 0xFF0
  f.Poke(0xFF0, 4, 0x0001001E);                                   // L1 PM Substates there
  EXPECT_NO_THROW(sim::ApplyRegisterBehaviour(f));
  EXPECT_EQ(f.Peek(0xFFE, 4), 0xFFFF0000u);
  f.Poke(0xFFC, 4, 0xAABBCCDD);
  p.AddFunction(Bdf(1, 0, 0), f);
  p.AddFunction(Bdf(1, 0, 1), sim::catalogue::NvmeSsd().Build());
  EXPECT_EQ(p.MmioRead(0xF0000000 + (Bdf(1, 0, 0) | 0xFFE), 4), 0x144DAABBu);
  p.MmioWrite(0xF0000000 + (Bdf(1, 0, 0) | 0xFFF), 2, 0);
  ASSERT_EQ(p.log.Faults().size(), 2u);
  EXPECT_EQ(p.log.Text(p.log.Faults()[1]), "configuration access past the end of its function");
}

} // namespace
