// What one pass costs the hardware: the access counter, and the reference
// platform's accesses per step pinned so that an added redundant access, or
// one lost, is noticed.
#include "tests/test_support.h"

#include "sim/access_count.h"
#include "sim/large_platform.h"
#include "tools/kelsim/run.h"
#include "tools/kelsim/scenario.h"

namespace kel_test {
namespace {

using sim::Bdf;
using sim::Event;
using sim::EventKind;

Event At(EventKind kind, uint64_t address = 0, uint64_t value = 0) {
  return Event{.kind = kind, .address = address, .value = value};
}

// Verify that accesses fall to the step whose marker precedes them, that the
// host bridges' SMN index/data pair is told apart from other configuration
// accesses at the same offsets, and that only [from, to) is counted.
TEST(AccessCountTest, VerifyThatEachAccessIsLaidToItsStep) {
  const uint32_t hb = Bdf(0x40, 0, 0);
  const std::vector<Event> events = {
      At(EventKind::CfgRead, Bdf(1, 0, 0)),         // before `from`: not counted
      At(EventKind::IoWrite, 0x80),                 // outside the steps
      At(EventKind::PassStep, 0, 4),
      At(EventKind::CfgRead, Bdf(1, 0, 0) | 0x10),
      At(EventKind::CfgWrite, Bdf(1, 0, 0) | 0xB8), // not a host bridge: plain config
      At(EventKind::S3Record, 0xF0000000),
      At(EventKind::PcdGet, 205),
      At(EventKind::PassStep, 0, 14),
      At(EventKind::CfgWrite, hb | 0xB8),
      At(EventKind::CfgRead, hb | 0xBC),
      At(EventKind::SmnRead, 0x13B20000),
      At(EventKind::CfgWrite, hb | 0xBC),
      At(EventKind::SmnWrite, 0x13B20000),
      At(EventKind::CfgRead, hb | 0xC0),            // next to the pair: plain config
      At(EventKind::PassStep, 0, 0),
      At(EventKind::IoWrite, 0x80),
      At(EventKind::CfgRead, Bdf(1, 0, 0)),         // at `to`: not counted
  };
  const auto steps = sim::CountAccessesPerStep(events, 1, events.size() - 1, {hb});
  ASSERT_EQ(steps.size(), 19u);
  EXPECT_EQ(steps[0].counts, (sim::AccessCounts{.portWrites = 2}));
  EXPECT_EQ(steps[4].counts, (sim::AccessCounts{.configReads = 1, .configWrites = 1,
                                                .s3Records = 1, .pcdReads = 1}));
  EXPECT_EQ(steps[14].counts, (sim::AccessCounts{.configReads = 1, .smnReads = 1, .smnWrites = 1,
                                                 .smnPairAccesses = 3}));
  for (unsigned s : {1u, 2u, 3u, 5u, 13u, 15u, 18u}) {
    EXPECT_EQ(steps[s].counts, sim::AccessCounts{}) << "step " << s;
  }
  EXPECT_EQ(sim::Total(steps).ConfigurationAccesses(), 6u);
  EXPECT_STREQ(sim::StepName(15), "PcieAspmInterface");
}

// The reference platform as kelsim runs it, its hook edit included, so these
// are the numbers its report shows.
std::vector<sim::StepAccesses> ReferencePass() {
  return kelsim::Run(kelsim::ReferenceScenario()).accesses;
}

// Verify the reference platform's accesses, step by step. A change here is
// a change in what the pass costs on a board: explain it in the README's
// table before updating these numbers.
TEST(AccessCountTest, VerifyThatTheReferencePassMakesExactlyTheseAccesses) {
  struct Row {
    unsigned step;
    uint64_t cfgRd, cfgWr, smnRd, smnWr, pair, port, s3, pcd;
  };
  const std::vector<Row> expected = {
      {0, 0, 0, 0, 0, 0, 2, 0, 0},           {1, 24, 3, 0, 0, 0, 0, 3, 3},
      {2, 0, 0, 12, 12, 48, 0, 24, 0},       {3, 0, 0, 7, 7, 28, 0, 14, 0},
      {4, 812, 26, 0, 0, 0, 0, 26, 9},       {5, 1650, 26, 0, 0, 0, 0, 0, 10},
      {6, 518, 0, 18, 4, 36, 0, 8, 4},       {7, 28, 1, 0, 0, 0, 0, 1, 0},
      {8, 78, 0, 3, 3, 12, 0, 6, 0},         {9, 808, 0, 0, 4, 8, 0, 8, 0},
      {10, 676, 0, 0, 2, 4, 0, 0, 0},        {11, 268, 6, 0, 0, 0, 0, 6, 0},
      {12, 549, 27, 0, 0, 0, 0, 27, 0},      {13, 25, 1, 18, 18, 72, 0, 9, 0},
      {14, 2, 2, 474, 488, 1924, 0, 0, 6},   {15, 533, 26, 0, 0, 0, 0, 25, 6},
      {16, 646, 32, 0, 0, 0, 0, 32, 0},      {17, 0, 0, 22, 16, 76, 0, 0, 2},
      {18, 0, 0, 4, 4, 16, 0, 12, 0},
  };
  const auto steps = ReferencePass();
  ASSERT_EQ(steps.size(), expected.size());
  for (const Row &r : expected) {
    const sim::AccessCounts &c = steps[r.step].counts;
    EXPECT_EQ(c, (sim::AccessCounts{r.cfgRd, r.cfgWr, r.smnRd, r.smnWr, r.pair, r.port, r.s3,
                                    r.pcd}))
        << "step " << r.step << " " << sim::StepName(r.step) << ": " << c.configReads << " "
        << c.configWrites << " " << c.smnReads << " " << c.smnWrites << " " << c.smnPairAccesses
        << " " << c.portWrites << " " << c.s3Records << " " << c.pcdReads;
  }
  EXPECT_EQ(sim::Total(steps).ConfigurationAccesses(), 8991u);
}

// Verify that the large platform is what the benchmarks claim: four
// silicons, more than 1,000 functions, a pass that runs every step to its
// end with nothing the simulated hardware refuses.
TEST(AccessCountTest, VerifyThatTheLargePlatformRunsTheWholePass) {
  sim::Platform platform;
  const sim::LargePlatform large = sim::BuildLargePlatform(platform);
  EXPECT_EQ(large.topology.silicons.size(), 4u);
  EXPECT_GT(large.functions, 1000u);
  EXPECT_GE(platform.config.Functions().size(), large.functions);
  platform.LoadDriver();
  platform.InstallSmmReadyToLock();
  platform.InstallPciIo();
  EXPECT_TRUE(platform.log.Faults().empty());
  const auto postCodes = platform.log.PortWrites(0x80);
  ASSERT_FALSE(postCodes.empty());
  EXPECT_EQ(postCodes.back(), 0xB000A95Bu) << "the pass did not reach its end";
  unsigned stepsSeen = 0;
  for (const Event &e : platform.log.Events()) {
    stepsSeen += e.kind == EventKind::PassStep && e.value != 0;
  }
  EXPECT_EQ(stepsSeen, 4u * 18u);
}

} // namespace
} // namespace kel_test
