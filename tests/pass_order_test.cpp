// The guarantees a careless change breaks without a feature test noticing:
// the S3 record comes before the live write, only flag 1 records an NBIO
// write, and the eighteen steps of a silicon keep their order.
#include "tests/test_support.h"

#include "base/debug_print.h"
#include "platform/register_access.h"
#include "sim/catalogue.h"
#include "sim/reference_platform.h"

namespace kel_test {
namespace {

using sim::Bdf;

class S3OrderTest : public DriverUnitTest {
protected:
  S3OrderTest() { platform.AddSilicon(kHostBridge); }
  // Writes a recorded dword to 01:00.0 +0x4 and returns the position of its
  // S3 record, after checking that the live write comes after it.
  long RecordThenWrite(UINT32 value) {
    platform.AddFunction(Bdf(1, 0, 0), sim::catalogue::NvmeSsd().Build());
    PciWrite(Bdf(1, 0, 0) | 0x4, AccessWidth32 | S3Save, &value);
    const long record = IndexOf(sim::EventKind::S3Record, 0xF0000000 + (Bdf(1, 0, 0) | 0x4));
    const long live = IndexOf(sim::EventKind::CfgWrite, Bdf(1, 0, 0) | 0x4);
    EXPECT_GE(record, 0);
    EXPECT_GE(live, 0);
    EXPECT_LT(record, live);
    return record;
  }
  // Position of the first event of a kind at an address, or -1.
  long IndexOf(sim::EventKind kind, uint64_t address) const {
    const auto &events = platform.log.Events();
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i].kind == kind && events[i].address == address) {
        return static_cast<long>(i);
      }
    }
    return -1;
  }
};

// Verify that a recorded configuration write reaches the boot script before
// the hardware, so a resume replays it even if the live write is the last
// thing this boot does.
TEST_F(S3OrderTest, VerifyThatTheRecordPrecedesTheLiveWrite) { RecordThenWrite(0x1234); }

// Verify the same after the SMM lock, when records go to the private table.
TEST_F(S3OrderTest, VerifyThatATableRecordPrecedesTheLiveWrite) {
  platform.InstallSmmReadyToLock();
  platform.log.Clear();
  const long record = RecordThenWrite(0x5678);
  ASSERT_GE(record, 0);
  EXPECT_EQ(platform.log.Text(platform.log.Events()[static_cast<size_t>(record)]), "table");
  EXPECT_EQ(platform.log.Events()[static_cast<size_t>(record)].value, 0x5678u);
}

struct FlagCase {
  UINT32 flag;
  size_t records;
};

class NbioFlagTest : public S3OrderTest, public ::testing::WithParamInterface<FlagCase> {};

// Verify that exactly flag 1 records an NBIO write (its index and its data),
// and no other value does.
TEST_P(NbioFlagTest, VerifyThatOnlyFlagOneRecords) {
  UINT32 value = 5;
  SiliconDescriptor silicon{};
  silicon.HostBridgeAddress = kHostBridge;
  NbioRegisterWrite(&silicon, 0x11180040, &value, GetParam().flag);
  EXPECT_EQ(platform.saveState.size(), GetParam().records);
  EXPECT_EQ(platform.NbioAt(kHostBridge).Peek(0x11180040), 5u);
}

INSTANTIATE_TEST_SUITE_P(Flags, NbioFlagTest,
                         ::testing::Values(FlagCase{0, 0}, FlagCase{1, 2}, FlagCase{2, 0},
                                           FlagCase{0x80, 0}, FlagCase{0x81, 0},
                                           FlagCase{0xFFFFFFFF, 0}));

// Verify that on a platform where every step does something, each silicon
// runs the eighteen steps in their order: 1-16 by their trace brackets, the
// SMU request (17) after them, the two closing writes (18) last.
TEST(PassOrderTest, VerifyThatTheEighteenStepsKeepTheirOrder) {
  sim::Platform platform;
  sim::BuildReferencePlatform(platform);
  platform.LoadDriver();
  platform.log.Clear();
  platform.InstallPciIo();
  const std::vector<std::string> steps = {
      "PcieSlotPowerLimitInterface Enter\n", "PciePwrClockGating Enter\n",
      "NbioPcieAerInitHX Enter\n",           "PcieMaxReadRequestInterface Enter\n",
      "PcieMaxPayloadInterface Enter\n",     "PcieMaxCplPayloadInterface Enter\n",
      "PcieClkPmInterface Enter\n",          "PcieSrisInit Enter\n",
      "PcieAspmBlackListInterface Enter\n",  "PcieL1ExitLatencyInterface Enter\n",
      "PcieAspmL1SSInterface Enter\n",       "Pcie LTR Interface Enter\n",
      "PcieClkReqInterface Enter\n",         "NbioRASControlHX Enter\n",
      "PcieAspmInterface Enter\n",           "PcieCommClkCfgInterface Enter\n",
      "NbioSmuServiceRequestV9 Enter\n"};
  std::vector<std::string> seen;
  for (const std::string &line : platform.log.DebugLines(DebugLevelPcie)) {
    if (std::find(steps.begin(), steps.end(), line) != steps.end()) {
      seen.push_back(line);
    }
  }
  std::vector<std::string> expected = steps;
  expected.insert(expected.end(), steps.begin(), steps.end()); // two silicons
  EXPECT_EQ(seen, expected);
  // Step 18: both core registers 0x40, after the SMU request, as the last
  // NBIO writes of each silicon.
  std::vector<std::pair<uint32_t, uint64_t>> last;
  const auto smn = platform.log.Of(sim::EventKind::SmnWrite);
  for (size_t i = 0; i < smn.size(); ++i) {
    if (i + 1 == smn.size() || smn[i + 1].silicon != smn[i].silicon) {
      last.push_back({smn[i - 1].silicon, smn[i - 1].address});
      last.push_back({smn[i].silicon, smn[i].address});
    }
  }
  EXPECT_EQ(last, (std::vector<std::pair<uint32_t, uint64_t>>{{Bdf(0, 0, 0), 0x11180040},
                                                              {Bdf(0, 0, 0), 0x11280040},
                                                              {Bdf(0x80, 0, 0), 0x11180040},
                                                              {Bdf(0x80, 0, 0), 0x11280040}}));
}

} // namespace
} // namespace kel_test
