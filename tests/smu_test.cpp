// SMU service request: mailbox register order, the access-flags failure,
// the bounded wait, and the sequencer's step on package type 16 only.
#include "tests/test_support.h"

#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "platform/smu.h"

namespace kel_test {
namespace {

using sim::EventKind;

class SmuTest : public DriverUnitTest {
protected:
  SmuTest() : nbio(platform.AddSilicon(kHostBridge)) { platform.log.Clear(); }
  UINT32 Request(UINT32 *args) {
    const UINT32 hb = kHostBridge;
    return NbioSmuServiceRequestV9(&hb, 0xF, args);
  }
  sim::Nbio &nbio;
};

TEST_F(SmuTest, WritesClearArgumentsThenRequestAndReadsResultsBack) {
  nbio.smu.pollsBeforeAnswer = 3;
  nbio.smu.response = 1;
  nbio.smu.results[0] = 0xAA;
  nbio.smu.results[5] = 0xFF;
  UINT32 args[6] = {0x34, 1, 0, 1, 0, 0};
  EXPECT_EQ(Request(args), 1u);

  std::vector<std::pair<uint64_t, uint64_t>> smnWrites;
  for (const auto &e : platform.log.Of(EventKind::SmnWrite)) {
    smnWrites.emplace_back(e.address, e.value);
  }
  EXPECT_EQ(smnWrites, (std::vector<std::pair<uint64_t, uint64_t>>{
                           {0x03B10564, 0},    {0x03B10598, 0x34}, {0x03B1059C, 1},
                           {0x03B105A0, 0},    {0x03B105A4, 1},    {0x03B105A8, 0},
                           {0x03B105AC, 0},    {0x03B10528, 0xF}}));
  // Every data access is preceded by its index write.
  const auto &events = platform.log.Events();
  for (size_t i = 0; i < events.size(); ++i) {
    if ((events[i].kind == EventKind::CfgWrite || events[i].kind == EventKind::CfgRead) &&
        events[i].address == (kHostBridge | 0xBC)) {
      ASSERT_GE(i, 1u);
      EXPECT_EQ(events[i - 1].kind, EventKind::CfgWrite);
      EXPECT_EQ(events[i - 1].address, kHostBridge | 0xB8u);
    }
  }
  EXPECT_EQ(args[0], 0xAAu);
  EXPECT_EQ(args[3], 0u);
  EXPECT_EQ(args[5], 0xFFu);
  EXPECT_TRUE(platform.saveState.empty()) << "mailbox accesses are never recorded";
  const auto lines = platform.log.DebugLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "  Service Request 0xf\n");
  EXPECT_EQ(lines[1], "  Service Request Argument 0x34, 0x1, 0x0, 0x1, 0x0, 0x0\n");
  EXPECT_EQ(lines[2], "NbioSmuServiceRequestV9 Exit\n");
}

TEST_F(SmuTest, AccessFlagsAssertStopsAndLeavesTheArguments) {
  nbio.smu.response = 0xFC;
  UINT32 args[6] = {0x34, 1, 0, 1, 0, 0};
  EXPECT_EQ(Request(args), 0xFCu);
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA11A0277});
  EXPECT_EQ(args[0], 0x34u);
  EXPECT_EQ(args[3], 1u);
  const auto lines = platform.log.DebugLines(DebugLevelPcie);
  EXPECT_EQ(lines, std::vector<std::string>{"SMU Assert AccessFlags\n"});
}

TEST_F(SmuTest, SilentSmuTimesOutAfterASecond) {
  nbio.smu.answers = false;
  UINT32 args[6] = {0x34, 1, 0, 0, 0, 0};
  const uint64_t before = platform.cpu.tsc;
  EXPECT_EQ(Request(args), 0u);
  EXPECT_GE(platform.cpu.tsc - before, 2500000000ULL) << "waited a full second at 2.5 GHz";
  EXPECT_EQ(args[0], 0x34u);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelPcie),
            std::vector<std::string>{"SMU Service Request 0xf timeout: no response in 1000 ms\n"});
}

// Verify that with the counter's rate unknown (no P-state enabled, or a
// divisor of 0) the wait still lasts a second of polls: a SMU answering
// after 20,000 polls (some 40 ms on hardware) is not reported as a timeout.
class UnknownTscRateTest : public SmuTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(UnknownTscRateTest, ASlowSmuIsWaitedForAsLongAsWithAKnownRate) {
  for (uint32_t i = 0; i < 8; ++i) {
    platform.cpu.msrs[0xC0010064 + i] = 0;
  }
  platform.cpu.msrs[0xC0010064] = GetParam();
  nbio.smu.pollsBeforeAnswer = 20000;
  UINT32 args[6] = {};
  EXPECT_EQ(Request(args), 1u);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelPcie),
            std::vector<std::string>{"NbioSmuServiceRequestV9 Exit\n"});
}

INSTANTIATE_TEST_SUITE_P(Rates, UnknownTscRateTest,
                         ::testing::Values(0ULL,                          // no P-state: 256 Hz
                                           (1ULL << 63) | 0x64));         // DID 0: 0 Hz

class SmuStepTest : public ::testing::Test {
protected:
  void Boot(uint32_t packageBits) {
    platform.cpu.packageTypeBits = packageBits;
    for (uint32_t hb : {kHostBridge, sim::Bdf(0x80, 0, 0)}) {
      platform.AddSilicon(hb);
      layout.silicons.push_back({.hostBridgeAddress = hb});
    }
    platform.PublishTopology(sim::BuildTopology(layout).bytes);
    platform.LoadDriver();
    platform.log.Clear();
    platform.InstallPciIo();
  }
  sim::Platform platform;
  sim::TopologyLayout layout;
};

TEST_F(SmuStepTest, PackageType16SendsOneRequestPerSiliconBeforeTheClosingWrites) {
  platform.pcd[1128] = 1;
  Boot(4);
  for (const auto &[hb, nbio] : platform.Silicons()) {
    EXPECT_EQ(nbio->smuRequests, 1u) << std::hex << hb;
  }
  std::vector<uint64_t> words;
  for (const auto &e : platform.log.Of(EventKind::SmnWrite)) {
    if (e.address >= 0x03B10598 && e.address <= 0x03B105AC && e.silicon == kHostBridge) {
      words.push_back(e.value);
    }
  }
  EXPECT_EQ(words, (std::vector<uint64_t>{0x34, 1, 0, 1, 0, 0})) << "word 3 carries token 1128";
  const auto lines = platform.log.DebugLines(DebugLevelPcie);
  const auto enter = std::find(lines.begin(), lines.end(), "NbioSmuServiceRequestV9 Enter\n");
  ASSERT_NE(enter, lines.end());
  const auto ret = std::find_if(lines.begin(), lines.end(), [](const std::string &l) {
    return l.rfind("Return Args = ", 0) == 0;
  });
  ASSERT_NE(ret, lines.end());
  EXPECT_EQ(*ret, "Return Args = 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, ");
  // The SMU request comes before the closing write of the same silicon.
  std::vector<uint64_t> order;
  for (const auto &e : platform.log.Of(EventKind::SmnWrite)) {
    if (e.address == 0x03B10528 || e.address == 0x11180040) {
      order.push_back(e.address);
    }
  }
  EXPECT_EQ(order, (std::vector<uint64_t>{0x03B10528, 0x11180040, 0x03B10528, 0x11180040}));
}

TEST_F(SmuStepTest, OtherPackageTypesSendNothing) {
  Boot(1);
  for (const auto &[hb, nbio] : platform.Silicons()) {
    EXPECT_EQ(nbio->smuRequests, 0u);
  }
  for (const auto &e : platform.log.Of(EventKind::PcdGet)) {
    EXPECT_NE(e.address, 1128u) << "the token is read only for the request";
  }
}

} // namespace
} // namespace kel_test
