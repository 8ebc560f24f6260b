// Debug print, test points, the fatal stop on a simulator and on hardware,
// the TSC rate and the hardware-debugger back-end.
#include "tests/test_support.h"

#include "base/debug_print.h"
#include "platform/diagnostics.h"

namespace kel_test {
namespace {

class DiagnosticsTest : public DriverUnitTest {};

TEST_F(DiagnosticsTest, TestPointWritesPostCodeThenEchoesIt) {
  TestPoint(0xA906);
  std::vector<sim::Event> events;
  for (const sim::Event &e : platform.log.Events()) {
    if (e.kind != sim::EventKind::Locate) {
      events.push_back(e);
    }
  }
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, sim::EventKind::IoWrite);
  EXPECT_EQ(events[0].address, 0x80u);
  EXPECT_EQ(events[0].width, 4u);
  EXPECT_EQ(events[0].value, 0xB000A906u);
  EXPECT_EQ(events[1].kind, sim::EventKind::Debug);
  EXPECT_EQ(events[1].level, DebugLevelDriver);
  EXPECT_EQ(platform.log.Text(events[1]), "TORVU_TP:[b000a906]\n");
}

TEST_F(DiagnosticsTest, DebugPrintPassesTheNativeArgumentList) {
  DebugPrint(DebugLevelPcie, "%a %d %x %02d %02X %03X %08x %lx\n", "str", -5, 0xBEEFu, 7, 0xA,
             0x1F, 0x1234u, 0x123456789AULL);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelPcie),
            std::vector<std::string>{"str -5 beef 07 0A 01F 00001234 123456789a\n"});
}

class NoDebugProtocolTest : public DriverUnitTest {
protected:
  NoDebugProtocolTest() : DriverUnitTest(sim::PlatformModules{.debugPrint = false}) {}
};

TEST_F(NoDebugProtocolTest, DebugPrintFailsQuietly) {
  const EFI_STATUS status = DebugPrint(DebugLevelDriver, "lost %d\n", 1);
  EXPECT_TRUE(EfiError(status));
  ASSERT_EQ(platform.log.Events().size(), 1u) << "the failed locate, nothing else";
  EXPECT_EQ(platform.log.Events()[0].kind, sim::EventKind::Locate);
}

TEST_F(DiagnosticsTest, FatalStopOnSimulatorShowsCodeAndReturns) {
  FatalStop(0xA0867);
  const auto &events = platform.log.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].address, 0xE0u);
  EXPECT_EQ(events[0].width, 2u);
  EXPECT_EQ(events[0].value, 0xDEADu);
  EXPECT_EQ(events[1].address, 0x80u);
  EXPECT_EQ(events[1].value, 0xA0867u);
  EXPECT_EQ(events[2].kind, sim::EventKind::FatalStop);
  EXPECT_EQ(events[2].value, 0xA0867u);
}

TEST_F(DiagnosticsTest, FatalStopOnHardwareScrollsTheCodeEveryTwoAndAHalfSeconds) {
  platform.cpu.answersSimulatorQuery = false;
  platform.cpu.fatalDisplayWritesBeforeHalt = 13;
  EXPECT_THROW(FatalStop(0xA10D0158), sim::Halted);
  const std::vector<uint64_t> expected = {0xA10D0158, 0x580000DE, 0x0000DEAD, 0x00DEADA1,
                                          0xDEADA10D, 0xADA10D01, 0xA10D0158, 0x580000DE,
                                          0x0000DEAD, 0x00DEADA1, 0xDEADA10D, 0xADA10D01,
                                          0xA10D0158, 0x580000DE};
  EXPECT_EQ(platform.log.PortWrites(0x80), expected);
  EXPECT_EQ(platform.log.PortWrites(0xE0), std::vector<uint64_t>{0xDEAD});
  // 2.5 s at the simulated 2.5 GHz: every display value is held that long.
  EXPECT_GE(platform.cpu.tsc, 12ULL * 2500000000ULL * 25 / 10);
}

struct TscCase {
  const char *name;
  std::vector<std::pair<uint32_t, uint64_t>> pstates;
  uint64_t expected;
  bool cached;
};

class TscFrequencyTest : public DiagnosticsTest, public ::testing::WithParamInterface<TscCase> {};

TEST_P(TscFrequencyTest, ComesFromTheFirstEnabledPstate) {
  for (uint32_t i = 0; i < 8; ++i) {
    platform.cpu.msrs[0xC0010064 + i] = 0;
  }
  for (const auto &[index, value] : GetParam().pstates) {
    platform.cpu.msrs[0xC0010064 + index] = value;
  }
  EXPECT_EQ(GetTscFrequency(), GetParam().expected);
  platform.log.Clear();
  EXPECT_EQ(GetTscFrequency(), GetParam().expected);
  EXPECT_EQ(Of(sim::EventKind::MsrRead).empty(), GetParam().cached);
}

constexpr uint64_t kEnabled = 1ULL << 63;

INSTANTIATE_TEST_SUITE_P(
    Pstates, TscFrequencyTest,
    ::testing::Values(
        TscCase{"P1WhenP0Disabled", {{0, 0x0864}, {1, kEnabled | 0x0864}}, 2500000000ULL, true},
        TscCase{"DidZeroGivesZero", {{0, kEnabled | 0x0064}}, 0, false},
        TscCase{"SmallDidMultipliesBy25", {{0, kEnabled | 0x0428}}, 1000000000ULL, true},
        TscCase{"LargeDidMultipliesBy25", {{0, kEnabled | 0x3D28}}, 1000000000ULL, true},
        TscCase{"NoneEnabledIsNotCached", {}, 256, false}),
    [](const auto &param) { return std::string(param.param.name); });

TEST_F(DiagnosticsTest, DebuggerBackEndArmsTheBreakpointOnlyWhenAnnounced) {
  const DebugBackEnd *debugger = DebugBackEndTable[1];
  platform.cpu.dr2 = 0;
  EXPECT_FALSE(debugger->IsPresent());
  debugger->Initialize();
  EXPECT_TRUE(Of(sim::EventKind::MsrWrite).empty());

  platform.cpu.dr2 = 0x99CC;
  platform.cpu.cr4 = 0x20;
  EXPECT_TRUE(debugger->IsPresent());
  debugger->Initialize();
  EXPECT_EQ(platform.cpu.msrs[0xC001100A] & 1, 1u);
  EXPECT_EQ(platform.cpu.dr7, 0x02000420u);
  EXPECT_EQ(platform.cpu.cr4, 0x28u);

  platform.log.Clear();
  debugger->Initialize();
  EXPECT_TRUE(Writes().empty()) << "an armed channel is left as it is";
}

TEST_F(DiagnosticsTest, OnlyTheDebuggerBackEndCanBePresent) {
  platform.cpu.dr2 = 0x99CC;
  size_t count = 0;
  for (const DebugBackEnd *const *e = DebugBackEndTable; *e != nullptr; ++e, ++count) {
    EXPECT_EQ((*e)->IsPresent(), count == 1 ? TRUE : FALSE);
  }
  EXPECT_EQ(count, 3u);
}

} // namespace
} // namespace kel_test

namespace kel_test {
namespace {

int gAsked[3];
int gInitialized[3];
template <int N, bool Present> BOOLEAN CountedPresence() {
  ++gAsked[N];
  return Present ? TRUE : FALSE;
}
template <int N> VOID CountedInitialize() { ++gInitialized[N]; }
BOOLEAN AllLevels(UINT64) { return TRUE; }
VOID Discard(const CHAR8 *, UINTN) {}

// Verify that start-up asks every back-end whether it is present, also after
// one has answered yes, and initialises only those that answer yes.
TEST(DebugBackEndStartTest, EveryEntryIsAskedAndOnlyPresentOnesInitialised) {
  static constexpr DebugBackEnd first = {CountedPresence<0, true>, CountedInitialize<0>, AllLevels,
                                         Discard};
  static constexpr DebugBackEnd second = {CountedPresence<1, false>, CountedInitialize<1>,
                                          AllLevels, Discard};
  static constexpr DebugBackEnd third = {CountedPresence<2, true>, CountedInitialize<2>, AllLevels,
                                         Discard};
  const DebugBackEnd *const table[] = {&first, &second, &third, nullptr};
  InitializeDebugBackEnds(table);
  EXPECT_EQ((std::vector<int>{gAsked[0], gAsked[1], gAsked[2]}), (std::vector<int>{2, 2, 2}));
  EXPECT_EQ((std::vector<int>{gInitialized[0], gInitialized[1], gInitialized[2]}),
            (std::vector<int>{1, 0, 1}));
}

} // namespace
} // namespace kel_test
