// What kelsim tells a reader about registers and functions.
#include <gtest/gtest.h>

#include "sim/catalogue.h"
#include "tools/kelsim/feature_view.h"
#include "tools/kelsim/describe.h"

namespace {

TEST(KelsimDescribeTest, ConfigurationRegistersAreNamedByCapability) {
  const sim::ConfigFunction nvme = sim::catalogue::NvmeSsd().Build();
  const uint16_t c = nvme.pcieCap;
  struct Case {
    uint16_t offset;
    const char *name;
  };
  for (const Case k : {Case{0x04, "Command/Status"}, Case{static_cast<uint16_t>(c + 8), "CAP_EXP+0x08 Device Control"},
                       Case{static_cast<uint16_t>(c + 0x10), "CAP_EXP+0x10 Link Control"},
                       Case{static_cast<uint16_t>(c + 0x28), "CAP_EXP+0x28 Device Control 2"},
                       Case{0x108, "ECAP_AER+0x08 Uncorrectable Error Mask"}, Case{0x118, "ECAP_AER+0x18 Advanced Error Capabilities and Control"},
                       Case{0x14C, "ECAP_LTR+0x04 Max Snoop/No-Snoop Latency"}, Case{0x158, "ECAP_L1PM+0x08 L1 PM Substates Control 1"},
                       Case{0x15C, "ECAP_L1PM+0x0c L1 PM Substates Control 2"}}) {
    EXPECT_EQ(kelsim::DescribeConfigWrite(&nvme, k.offset, 4, 0, 0).name, k.name) << k.offset;
  }
}

TEST(KelsimDescribeTest, FieldChangesAreDecoded) {
  const sim::ConfigFunction nvme = sim::catalogue::NvmeSsd().Build();
  const auto info = kelsim::DescribeConfigWrite(&nvme, nvme.pcieCap + 8, 4, 0x00002810, 0x00005930);
  ASSERT_EQ(info.changes.size(), 3u);
  EXPECT_EQ(info.changes[0].name, "MaxPayloadSize");
  EXPECT_EQ(info.changes[0].from, 0u);
  EXPECT_EQ(info.changes[0].to, 1u);
  EXPECT_EQ(info.changes[1].name, "ExtendedTagFieldEnable");
  EXPECT_EQ(info.changes[2].name, "MaxReadRequestSize");
  EXPECT_EQ(info.changes[2].from, 2u);
  EXPECT_EQ(info.changes[2].to, 5u);
}

TEST(KelsimDescribeTest, NbioRegistersAreNamedByBlock) {
  EXPECT_EQ(kelsim::DescribeSmn(0x03B10528), "SMU message");
  EXPECT_EQ(kelsim::DescribeSmn(0x03B105A0), "SMU argument 2");
  EXPECT_EQ(kelsim::DescribeSmn(0x11280460), "PCIe core 1 register 0x460");
  EXPECT_EQ(kelsim::DescribeSmn(0x11103068), "PCIe core 0 port 3 register 0x068");
  EXPECT_EQ(kelsim::DescribeSmn(0x13B20004), "RAS group control");
}

TEST(KelsimDescribeTest, SummaryReadsTheProgrammedFields) {
  sim::ConfigFunction wifi = sim::catalogue::WifiCard().Build();
  const uint16_t c = wifi.pcieCap;
  wifi.Poke(c + 8, 2, 0x5930);           // MPS 256, ext tags, MRRS 4096
  wifi.Poke(c + 0x10, 2, 0x0142);        // ASPM L1, CCC, Clock PM
  wifi.Poke(c + 0x28, 2, 0x0400);        // LTR enable
  const kelsim::FunctionState s = kelsim::Summarize(wifi);
  EXPECT_EQ(s.mps, 256);
  EXPECT_EQ(s.mrrs, 4096);
  EXPECT_TRUE(s.extTag);
  EXPECT_EQ(kelsim::AspmName(s.aspm), "L1");
  EXPECT_TRUE(s.ccc);
  EXPECT_TRUE(s.clkpm);
  EXPECT_TRUE(s.ltr.enabled);
  EXPECT_EQ(s.l1ss, 0);
  const kelsim::FunctionState conventional = kelsim::Summarize(sim::catalogue::ConventionalPciDevice().Build());
  EXPECT_EQ(conventional.portType, -1);
  EXPECT_EQ(kelsim::StateLine(conventional), "no PCI Express capability");
  const auto diff = kelsim::StateDiff(kelsim::Summarize(sim::catalogue::WifiCard().Build()), s);
  std::vector<std::string> fields;
  for (const auto &d : diff) {
    fields.push_back(d.name);
  }
  EXPECT_EQ(fields, (std::vector<std::string>{"mps", "mrrs", "ext_tag", "aspm", "ccc", "clkpm",
                                              "ltr.enable"}));
}

} // namespace

namespace {

struct SlotCase {
  uint32_t value, scale;
  const char *text;
};

class SlotPowerTextTest : public ::testing::TestWithParam<SlotCase> {};

TEST_P(SlotPowerTextTest, VerifyThatTheLimitIsShownInWattsAsValueAndScaleGiveIt) {
  const SlotCase c = GetParam();
  const sim::ConfigFunction port =
      sim::catalogue::RootPort(1, 4, true, (c.value << 7) | (c.scale << 15)).Build();
  EXPECT_EQ(kelsim::Summarize(port).slotPower, c.text);
}

INSTANTIATE_TEST_SUITE_P(Limits, SlotPowerTextTest,
                         ::testing::Values(SlotCase{75, 0, "75 W"}, SlotCase{25, 1, "2.5 W"},
                                           SlotCase{250, 2, "2.5 W"}, SlotCase{10, 3, "0.01 W"},
                                           SlotCase{0xF0, 0, "250 W"}, SlotCase{0xF2, 0, "300 W"},
                                           SlotCase{0xF3, 0, "over 300 W"},
                                           SlotCase{0xF3, 1, "24.3 W"}));

TEST(KelsimDescribeTest, LatenciesAndSubstateTimesAreDecodedIntoUnits) {
  sim::ConfigFunction ssd = sim::catalogue::NvmeSsd().Build();
  uint16_t ltr = 0, l1ss = 0;
  for (uint16_t at = 0x100; at != 0; at = static_cast<uint16_t>(ssd.Peek(at, 4) >> 20)) {
    const uint32_t id = ssd.Peek(at, 4) & 0xFFFF;
    ltr = id == 0x18 ? at : ltr;
    l1ss = id == 0x1E ? at : l1ss;
  }
  ssd.Poke(ltr + 4, 4, 0x0C0A1001);      // snoop 1 x 2^20 ns, no-snoop 10 x 2^15 ns... scale 3
  ssd.Poke(l1ss + 8, 4, 0x60013C00);     // threshold 32768 ns, restore 60 us
  ssd.Poke(l1ss + 0xC, 4, 0x00000029);   // T_POWER_ON 5 x 10 us
  const kelsim::FunctionState s = kelsim::Summarize(ssd);
  EXPECT_EQ(s.ltr.maxSnoopNs, 1048576);
  EXPECT_EQ(s.ltr.maxNoSnoopNs, 10LL * 32768);
  EXPECT_EQ(s.ltr.threshold, 32768);
  EXPECT_EQ(s.ltr.commonModeRestoreUs, 60);
  EXPECT_EQ(s.ltr.tPowerOnUs, 50);
  EXPECT_NE(kelsim::StateLine(s).find("T_CommonMode=60us LTR1.2_Threshold=32768ns; L1SubCtl2: T_PwrOn=50us"),
            std::string::npos);
  EXPECT_NE(kelsim::StateLine(s).find("Max snoop latency: 1048576ns"), std::string::npos);
}

TEST(KelsimDescribeTest, AerBitsAreNamedAsLspciNamesThem) {
  EXPECT_EQ(kelsim::AerBitNames(0x00080010, false), (std::vector<std::string>{"DLP", "ECRC"}));
  EXPECT_EQ(kelsim::AerBitNames(0x00100000, false), (std::vector<std::string>{"UnsupReq"}));
  EXPECT_EQ(kelsim::AerBitNames(0x00002040, true),
            (std::vector<std::string>{"BadTLP", "AdvNonFatalErr"}));
  EXPECT_TRUE(kelsim::AerBitNames(0, true).empty());
}

TEST(KelsimDescribeTest, FeatureRegistersAreNamed) {
  EXPECT_EQ(kelsim::DescribeSmn(0x0004A3C8), "PCIe strap index (core 1)");
  EXPECT_EQ(kelsim::DescribeSmn(0x11280190), "PCIe core 1 CLKREQ# map");
  EXPECT_EQ(kelsim::DescribeSmn(0x112412EC), "PCIe core 1 port 1 SRIS control");
  EXPECT_EQ(kelsim::DescribeSmn(0x11202158), "PCIe core 1 port 2 root port Uncorrectable Error Mask");
}

} // namespace

namespace {

// Verify that registers a function does not have are reported absent, not
// read from filler bytes: Device Control 2 (LTR) of a version 1 capability,
// the link of a root-complex integrated endpoint.
TEST(KelsimDescribeTest, AbsentRegistersAreReportedAbsent) {
  sim::ConfigFunction v1 = sim::catalogue::NvmeSsd().Build();
  v1.Poke(v1.pcieCap + 2, 1, (v1.Peek(v1.pcieCap + 2, 1) & 0xF0) | 1);
  v1.Poke(v1.pcieCap + 0x28, 2, 0x0400); // filler that reads like LTR enable
  const kelsim::FunctionState a = kelsim::Summarize(v1);
  EXPECT_FALSE(a.hasControl2);
  EXPECT_FALSE(a.ltr.enabled);
  EXPECT_NE(kelsim::StateLine(a).find("LTR absent"), std::string::npos);

  sim::PcieCapabilityFields f;
  f.type = sim::PortType::RootComplexIntegratedEndpoint;
  f.linkControl = 0x0143;
  sim::DeviceBuilder b;
  b.Ids(0x1234, 1).PciExpress(f);
  const kelsim::FunctionState r = kelsim::Summarize(b.Build());
  EXPECT_FALSE(r.hasLink);
  EXPECT_EQ(r.aspm, -1);
  EXPECT_FALSE(r.ccc);
  EXPECT_NE(kelsim::StateLine(r).find("no link"), std::string::npos);
  EXPECT_EQ(kelsim::StateLine(r).find("ASPM"), std::string::npos);
}

} // namespace
