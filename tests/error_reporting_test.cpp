// The AER port table with the platform hooks, the AER service with ECRC,
// and RAS control groups.
#include "tests/test_support.h"

#include <algorithm>

#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "platform/hooks.h"
#include "ras/aer_config.h"
#include "ras/aer_service.h"
#include "ras/ras_control.h"
#include "sim/catalogue.h"

namespace kel_test {
namespace {

using sim::Bdf;
namespace cat = sim::catalogue;

constexpr uint32_t kPcdEcrcSeverityFatal = 1005;
constexpr uint32_t kPcdRas456 = 456;
constexpr uint32_t kPcdRas311 = 311;

class ErrorReportingTest : public FeatureTest {
protected:
  std::vector<std::pair<uint64_t, uint64_t>> SmnWrites() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const sim::Event &e : platform.log.Of(sim::EventKind::SmnWrite)) {
      out.emplace_back(e.address, e.value);
    }
    return out;
  }
  size_t Count(const std::vector<std::string> &lines, const std::string &prefix) const {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
      return l.rfind(prefix, 0) == 0;
    }));
  }
  sim::Nbio &Nbio() { return platform.NbioAt(kHostBridge); }
};

// --- AER port table ------------------------------------------------------

// The hook protocol of a board: edits the table it is handed.
std::function<void(NbioPcieAerConfigTable &)> gEdit;
unsigned gProtocolCalls = 0;
EFI_STATUS EFIAPI EditingHook(EFI_BOOT_SERVICES *, HOOK_CALLOUT *callout, UINT32 id) {
  ++gProtocolCalls;
  if (id == HookIdNbioPcieAerConfig && gEdit) {
    gEdit(*reinterpret_cast<NbioPcieAerConfigTable *>(callout->Data));
  }
  return EFI_SUCCESS;
}

class AerTableTest : public ErrorReportingTest {
protected:
  AerTableTest() {
    gEdit = nullptr;
    gProtocolCalls = 0;
  }
  void InstallHook(std::function<void(NbioPcieAerConfigTable &)> edit) {
    gEdit = std::move(edit);
    platform.firmware.InstallProtocol(gVtrHookProtocolGuid, &hook_);
  }
  // Core 0 port 0 at 00:01.1, core 1 port 10 at 00:03.3, not ready.
  void TwoPorts() {
    sim::EngineLayout core1 = Engine(Bdf(0, 3, 3), 0, 0, 10, 1);
    core1.portStatus = 0;
    Start({{.wrapperId = 0, .engines = {Engine(Bdf(0, 1, 1), 0, 0, 0, 0)}},
           {.wrapperId = 1, .engines = {core1}}});
  }
  VTR_HOOK_PROTOCOL hook_ = {EditingHook};
};

TEST_F(AerTableTest, VerifyThatTheDefaultTableIsDumpedAndWritesNothing) {
  TwoPorts();
  NbioPcieAerInitHX(Silicon());
  const auto aer = platform.log.DebugLines(DebugLevelAer);
  EXPECT_EQ(Count(aer, "Dev"), 16u);
  EXPECT_EQ(Count(aer, "Dev1 Func1 AER - Enable\n"), 1u);
  EXPECT_EQ(Count(aer, "  AcsViolationSeverity - 0\n"), 16u);
  EXPECT_EQ(Count(aer, "Set AER feature: Dev1 Func1 ff\n"), 1u);
  EXPECT_EQ(Count(aer, "Set AER feature: Dev3 Func3 ff\n"), 1u);
  EXPECT_TRUE(SmnWrites().empty());
  EXPECT_EQ(PcieLines()[1], "Socket:0, Die:0, Instance:0, Number of ports in NBIO: 16\n");
}

// Verify that each dumped line names its own register bit: a row with
// alternate bits set, every line checked.
TEST_F(AerTableTest, VerifyThatTheDumpNamesEveryBitItsOwnWay) {
  const PcieAerPortConfig row = {.AerEnable = 0, .PciDevice = 2, .PciFunction = 3,
                                 .CorrectableMask = 0x2140,       // bits 6, 8, 13
                                 .UncorrectableMask = 0x294010,   // bits 4, 14, 16, 19, 21
                                 .UncorrectableSeverity = 0x149000}; // bits 12, 15, 18, 20
  Start({});
  PcieAerPortConfigDump(&row);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelAer),
            (std::vector<std::string>{
                "Dev2 Func3 AER - Disable\n", "  BadTLPMask - 1\n", "  BadDLLPMask - 0\n",
                "  ReplayNumberRolloverMask - 1\n", "  ReplayTimerTimeoutMask - 0\n",
                "  AdvisoryNonFatalErrorMask - 1\n", "  DataLinkProtocolErrorMask - 1\n",
                "  PoisonedTLPMask - 0\n", "  CompletionTimeoutMask - 1\n",
                "  CompleterAbortMask - 0\n", "  UnexpectedCompletionMask - 1\n",
                "  MalTlpMask - 0\n", "  ECRCErrorMask - 1\n",
                "  UnsupportedRequestErrorMask - 0\n", "  AcsViolationMask - 1\n",
                "  DataLinkProtocolErrorSeverity - 0\n", "  PoisonedTLPSeverity - 1\n",
                "  CompletionTimeoutSeverity - 0\n", "  CompleterAbortSeverity - 1\n",
                "  UnexpectedCompletionSeverity - 0\n", "  MalTlpSeverity - 1\n",
                "  ECRCErrorSeverity - 0\n", "  UnsupportedRequestErrorSeverity - 1\n",
                "  AcsViolationSeverity - 0\n"}));
}

TEST_F(AerTableTest, VerifyThatHookRowsProgramMasksAndTurnAerOffInTheirBlocks) {
  InstallHook([](NbioPcieAerConfigTable &t) {
    t.Ports[0].AerEnable = 1;
    t.Ports[0].CorrectableMask = 0x00001040;     // BadTLP, ReplayTimerTimeout
    t.Ports[0].UncorrectableMask = 0x00080010;   // DataLinkProtocol, ECRC
    t.Ports[0].UncorrectableSeverity = 0xFFFFFFFF;
    t.Ports[10].AerEnable = 0;                   // Dev3 Func3
  });
  TwoPorts();
  Nbio().Seed(0x11100164, 0x000031C0 | 0x1);
  Nbio().Seed(0x11100158, 0x00000001);
  Nbio().Seed(0x1110015C, 0x00462030);
  Nbio().Seed(0x112421A8, 0x80000000);
  NbioPcieAerInitHX(Silicon());
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(SmnWrites(), (std::vector<P>{{0x11100164, 0x00001041},
                                         {0x11100158, 0x00080011},
                                         {0x1110015C, 0x003DD010 | 0x00462030},
                                         {0x112421A8, 0x80000001}}));
  // Each write is recorded (index and data), none of the reads.
  EXPECT_EQ(platform.saveState.size(), 8u);
  EXPECT_EQ(gProtocolCalls, 1u);
}

TEST_F(AerTableTest, VerifyThatAProgramRowWithZeroWordsClearsEveryListedBitOnly) {
  InstallHook([](NbioPcieAerConfigTable &t) { t.Ports[0].AerEnable = 1; });
  TwoPorts();
  for (uint32_t r : {0x11100164u, 0x11100158u, 0x1110015Cu}) {
    Nbio().Seed(r, 0xFFFFFFFF);
  }
  NbioPcieAerInitHX(Silicon());
  EXPECT_EQ(Nbio().Peek(0x11100164), ~0x000031C0u);
  EXPECT_EQ(Nbio().Peek(0x11100158), ~0x003DD010u);
  EXPECT_EQ(Nbio().Peek(0x1110015C), ~0x003DD010u);
}

TEST_F(AerTableTest, VerifyThatTheCountIsReReadAndResetPerSiliconWhileRowEditsPersist) {
  unsigned calls = 0;
  InstallHook([&calls](NbioPcieAerConfigTable &t) {
    if (calls++ == 0) {
      t.NumberOfPorts = 3;
      t.Ports[5].AerEnable = 0;
    }
  });
  TwoPorts();
  NbioPcieAerInitHX(Silicon());
  EXPECT_EQ(Count(platform.log.DebugLines(DebugLevelAer), "Dev"), 3u);
  platform.log.Clear();
  NbioPcieAerInitHX(Silicon());
  const auto aer = platform.log.DebugLines(DebugLevelAer);
  EXPECT_EQ(Count(aer, "Dev"), 16u);
  EXPECT_EQ(Count(aer, "Dev1 Func6 AER - Disable\n"), 1u) << "the first hook's edit stays";
}

TEST_F(AerTableTest, VerifyThatACountAboveSixteenStopsAtTheLastRow) {
  InstallHook([](NbioPcieAerConfigTable &t) { t.NumberOfPorts = 200; });
  TwoPorts();
  NbioPcieAerInitHX(Silicon());
  EXPECT_EQ(Count(platform.log.DebugLines(DebugLevelAer), "Dev"), 16u);
}

struct HookResultCase {
  uint32_t result;
  bool protocolCalled;
};

class HookResultTest : public AerTableTest, public ::testing::WithParamInterface<HookResultCase> {};

UINT32 gHookResult = 0;
UINT32 TableHook(UINT32, UINT64, VOID *data) {
  static_cast<NbioPcieAerConfigTable *>(data)->Ports[0].AerEnable = 0;
  return gHookResult;
}

TEST_P(HookResultTest, VerifyThatOnlyResultOneOffersTheTableToTheHookProtocol) {
  gHookResult = GetParam().result;
  static const HookEntry entries[] = {{0xB0000009, 0, TableHook}, {HookIdEndOfList, 0, nullptr}};
  static const HookTable board = {HookTableSignature, HookTableVersion, {}, entries};
  InstallHook(nullptr);
  TwoPorts();
  gVtrHookTable = &board;
  NbioPcieAerInitHX(Silicon());
  EXPECT_EQ(gProtocolCalls, GetParam().protocolCalled ? 1u : 0u);
  EXPECT_EQ(Count(platform.log.DebugLines(DebugLevelHook), "VtrHookFunc HookId b0000009\n"), 1u);
  EXPECT_EQ(SmnWrites().size(), 1u) << "the table hook's edit applies: AER off on 00:01.1";
}

INSTANTIATE_TEST_SUITE_P(Results, HookResultTest,
                         ::testing::Values(HookResultCase{0, false}, HookResultCase{1, true},
                                           HookResultCase{7, false}));

TEST_F(AerTableTest, VerifyThatABrokenBoardTableIsAFatalStop) {
  static const HookEntry entries[] = {{HookIdEndOfList, 0, nullptr}};
  static const HookTable broken = {0x12345678, HookTableVersion, {}, entries};
  TwoPorts();
  gVtrHookTable = &broken;
  NbioPcieAerInitHX(Silicon());
  const auto stops = platform.log.Of(sim::EventKind::FatalStop);
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].value, 0x20800133u);
}

// --- AER service ------------------------------------------------------------

class AerServiceTest : public ErrorReportingTest {
protected:
  static uint16_t AerOf(const sim::ConfigFunction &f) {
    for (uint16_t at = 0x100; at != 0;) {
      const uint32_t h = f.Peek(at, 4);
      if ((h & 0xFFFF) == 1) {
        return at;
      }
      at = static_cast<uint16_t>(h >> 20);
    }
    return 0;
  }
  uint32_t AerReg(uint32_t bdf, uint16_t reg) {
    const sim::ConfigFunction &f = *platform.config.Find(bdf);
    return f.Peek(AerOf(f) + reg, 4);
  }
  void SetEcrcBits(uint32_t bdf, uint32_t bits) {
    sim::ConfigFunction &f = *platform.config.Find(bdf);
    f.Poke(AerOf(f) + 0x18, 4, bits);
  }
  EFI_STATUS Call(PcieAerRequest r) { return NbioSetPcieAerFeature(&NbioPcieAerProtocol, &r); }
  std::vector<std::string> EcrcLines() const {
    std::vector<std::string> out;
    for (const std::string &l : platform.log.DebugLines(DebugLevelAer)) {
      out.push_back(l.substr(0, l.find(" Reg=")));
    }
    return out;
  }
  // Root port, switch, NVMe SSD behind the switch's downstream port.
  void SwitchTree() {
    AddRootPort(Bdf(0, 1, 1), 1, 3);
    Add(Bdf(1, 0, 0), cat::SwitchUpstreamPort(1, 2, 3));
    Add(Bdf(2, 1, 0), cat::SwitchDownstreamPort(2, 3, 3));
    Add(Bdf(3, 0, 0), cat::NvmeSsd().Aer({.capabilitiesControl = 0x20}));
    Start({});
  }
};

TEST_F(AerServiceTest, VerifyThatRefusalsTouchNoConfigurationSpace) {
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  Add(Bdf(1, 0, 0), cat::ConventionalPciDevice());
  Start({});
  for (uint8_t enable : {0, 2, 0xFF}) {
    EXPECT_EQ(Call({.AerEnable = enable, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}),
              EFI_UNSUPPORTED);
  }
  EXPECT_TRUE(platform.log.Of(sim::EventKind::CfgRead).empty());
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 1}), EFI_UNSUPPORTED) << "no AER capability";
  EXPECT_TRUE(CfgWrites().empty());
}

TEST_F(AerServiceTest, VerifyThatZeroWordsRewriteTheThreeRegistersThenWalk) {
  SwitchTree();
  const uint32_t port = Bdf(0, 1, 1);
  const uint16_t a = AerOf(*platform.config.Find(port));
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_SUCCESS);
  ASSERT_GE(CfgWrites().size(), 3u);
  EXPECT_EQ(CfgWrites()[0].address, port | (a + 0x08u));
  EXPECT_EQ(CfgWrites()[1].address, port | (a + 0x0Cu));
  EXPECT_EQ(CfgWrites()[2].address, port | (a + 0x14u));
  EXPECT_EQ(CfgWrites()[1].value, 0x00462030u) << "unchanged";
}

struct MapCase {
  int word; // 0 correctable, 1 uncorrectable mask, 2 severity
  uint32_t requestBit;
  uint32_t registerBit;
};

class AerMappingTest : public AerServiceTest, public ::testing::WithParamInterface<MapCase> {};

TEST_P(AerMappingTest, VerifyThatEachPackedRequestBitSetsItsRegisterBitOnly) {
  const MapCase c = GetParam();
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  Start({});
  sim::ConfigFunction &f = *platform.config.Find(Bdf(0, 1, 1));
  const uint16_t a = AerOf(f);
  f.Poke(a + 0x08, 4, 0);
  f.Poke(a + 0x0C, 4, 0);
  f.Poke(a + 0x14, 4, 0);
  PcieAerRequest r{.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1};
  const uint32_t bits = (1u << c.requestBit) | 0xFFFFFE00u; // higher bits ignored
  (c.word == 0 ? r.CorrectableMask : c.word == 1 ? r.UncorrectableMask : r.UncorrectableSeverity) =
      c.word == 0 ? ((1u << c.requestBit) | 0xFFFFFFE0u) : bits;
  EXPECT_EQ(NbioSetPcieAerFeature(&NbioPcieAerProtocol, &r), EFI_SUCCESS);
  const uint16_t reg = c.word == 0 ? 0x14 : c.word == 1 ? 0x08 : 0x0C;
  EXPECT_EQ(f.Peek(a + reg, 4), 1u << c.registerBit);
}

INSTANTIATE_TEST_SUITE_P(
    Bits, AerMappingTest,
    ::testing::Values(MapCase{0, 0, 6}, MapCase{0, 1, 7}, MapCase{0, 2, 8}, MapCase{0, 3, 12},
                      MapCase{0, 4, 13}, MapCase{1, 0, 4}, MapCase{1, 1, 12}, MapCase{1, 2, 14},
                      MapCase{1, 3, 15}, MapCase{1, 4, 16}, MapCase{1, 5, 18}, MapCase{1, 6, 19},
                      MapCase{1, 7, 20}, MapCase{1, 8, 21}, MapCase{2, 6, 19}, MapCase{2, 8, 21}));

TEST_F(AerServiceTest, VerifyThatEcrcIsEnabledBottomUpWithTheSeverityWhenAsked) {
  platform.pcd[kPcdEcrcSeverityFatal] = 1;
  SwitchTree();
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_SUCCESS);
  EXPECT_EQ(EcrcLines(), (std::vector<std::string>{
                             "Set EndPoint ECRC Enable Bus=03, Dev=00, Fun=00,",
                             "Set Bridget ECRC Enable Bus=02, Dev=01, Fun=00,",
                             "Set Bridget ECRC Enable Bus=01, Dev=00, Fun=00,",
                             "Set Bridget ECRC Enable Bus=00, Dev=01, Fun=01,"}));
  for (uint32_t f : {Bdf(3, 0, 0), Bdf(2, 1, 0), Bdf(1, 0, 0), Bdf(0, 1, 1)}) {
    EXPECT_EQ(AerReg(f, 0x18) & 0x140, 0x140u) << std::hex << f;
    EXPECT_EQ(AerReg(f, 0x0C) & (1u << 19), 1u << 19) << std::hex << f;
  }
  const auto lines = platform.log.DebugLines(DebugLevelAer);
  const uint16_t a = AerOf(*platform.config.Find(Bdf(3, 0, 0)));
  char reg[16];
  std::snprintf(reg, sizeof reg, "Reg=%03X\n", Bdf(3, 0, 0) | (a + 0x18u));
  EXPECT_NE(lines[0].find(reg), std::string::npos) << lines[0];
}

TEST_F(AerServiceTest, VerifyThatABridgeWithoutEcrcBitsEndsItsBranch) {
  platform.pcd[kPcdEcrcSeverityFatal] = 0;
  SwitchTree();
  SetEcrcBits(Bdf(2, 1, 0), 0);
  const uint32_t before = AerReg(Bdf(3, 0, 0), 0x0C);
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_SUCCESS);
  EXPECT_TRUE(EcrcLines().empty());
  EXPECT_EQ(AerReg(Bdf(3, 0, 0), 0x18) & 0x140, 0u);
  EXPECT_EQ(AerReg(Bdf(3, 0, 0), 0x0C), before);
}

TEST_F(AerServiceTest, VerifyThatAnEnabledEndpointBeforeAnEmptyBridgeStillEnablesThePort) {
  AddRootPort(Bdf(0, 1, 1), 1, 2);
  Add(Bdf(1, 0, 0), cat::NvmeSsd());
  Add(Bdf(1, 1, 0), cat::SwitchDownstreamPort(1, 2, 2));
  Add(Bdf(2, 0, 1), cat::NvmeSsd().MultiFunction().Aer({.capabilitiesControl = 0x80}));
  Start({});
  SetEcrcBits(Bdf(1, 1, 0), 0xA0);
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_SUCCESS);
  EXPECT_EQ(EcrcLines(), (std::vector<std::string>{
                             "Set EndPoint ECRC Enable Bus=01, Dev=00, Fun=00,",
                             "Set EndPoint ECRC Enable Bus=02, Dev=00, Fun=01,",
                             "Set Bridget ECRC Enable Bus=01, Dev=01, Fun=00,",
                             "Set Bridget ECRC Enable Bus=00, Dev=01, Fun=01,"}))
      << "function 1 found although function 0 is absent";
}

TEST_F(AerServiceTest, VerifyThatUnconfiguredBridgesAndType0PortsAreNotWalked) {
  AddRootPort(Bdf(0, 1, 1), 0, 0); // secondary bus never assigned
  Add(Bdf(1, 0, 0), cat::NvmeSsd());
  Add(Bdf(2, 0, 0), cat::NvmeSsd());
  Start({});
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_SUCCESS);
  EXPECT_TRUE(EcrcLines().empty());
  EXPECT_EQ(CfgWrites().size(), 3u) << "only the three mask and severity writes";
  platform.log.Clear();
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 2}), EFI_SUCCESS) << "a type 0 function";
  EXPECT_EQ(CfgWrites().size(), 3u);
  EXPECT_EQ(AerReg(Bdf(2, 0, 0), 0x18) & 0x140, 0u);
}

// Verify that one call walks each bus once: with two bridges on every bus
// naming the next one, the walk stays linear in the depth, the endpoint is
// enabled and recorded once, each bridge not entered is named, and a bridge
// naming a bus above its own is passed over without a line.
TEST_F(AerServiceTest, VerifyThatEachBusIsWalkedOncePerCall) {
  constexpr uint8_t kDepth = 10;
  constexpr uint8_t kLast = kDepth + 1;
  AddRootPort(Bdf(0, 1, 1), 1, kLast);
  for (uint8_t bus = 1; bus <= kDepth; ++bus) {
    for (uint8_t device : {0, 1}) {
      Add(Bdf(bus, device, 0), cat::SwitchDownstreamPort(bus, bus + 1, kLast));
    }
  }
  Add(Bdf(kLast, 0, 0), cat::NvmeSsd());
  Add(Bdf(kLast, 1, 0), cat::SwitchDownstreamPort(kLast, 2, 2)); // points back up
  Start({});
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_SUCCESS);
  const auto lines = EcrcLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Set EndPoint ECRC Enable Bus=0B, Dev=00, Fun=00,"),
            1);
  EXPECT_EQ(lines.size(), kDepth + 2u) << "the endpoint, the first bridge on each bus, the port";
  std::vector<std::string> notEntered;
  for (uint8_t bus = kDepth; bus >= 1; --bus) { // depth first: deepest bus first
    notEntered.push_back("PcieEcrcEnable: bus " + std::to_string(bus + 1) +
                         " already scanned in this walk, " + std::to_string(bus) + ":1:0 not entered\n");
  }
  std::vector<std::string> printed;
  for (const std::string &l : PcieLines()) {
    if (l.rfind("PcieEcrcEnable: ", 0) == 0) {
      printed.push_back(l);
    }
  }
  EXPECT_EQ(printed, notEntered);
  EXPECT_EQ(platform.saveState.size(), CfgWrites().size()) << "each write recorded once";
  EXPECT_LT(platform.log.Of(sim::EventKind::CfgRead).size(), 20000u);
}

// Verify that every present function of a multi-function endpoint is
// visited: function 0 cannot do ECRC, function 1 can.
TEST_F(AerServiceTest, VerifyThatALaterFunctionOfAnEndpointIsEnabled) {
  platform.pcd[kPcdEcrcSeverityFatal] = 0;
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  Add(Bdf(1, 0, 0), cat::MultiFunctionEndpoint(0));
  Add(Bdf(1, 0, 1), cat::MultiFunctionEndpoint(1));
  Start({});
  SetEcrcBits(Bdf(1, 0, 0), 0);
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_SUCCESS);
  EXPECT_EQ(EcrcLines(), (std::vector<std::string>{
                             "Set EndPoint ECRC Enable Bus=01, Dev=00, Fun=01,",
                             "Set Bridget ECRC Enable Bus=00, Dev=01, Fun=01,"}));
  EXPECT_EQ(AerReg(Bdf(1, 0, 0), 0x18) & 0x140, 0u);
}

// Verify that a request that is not there, or a port whose AER capability
// would run past the end of its configuration space, is refused with
// nothing written.
TEST_F(AerServiceTest, VerifyThatAMissingRequestOrACapabilityAtTheTopWritesNothing) {
  AddRootPort(Bdf(0, 1, 1), 1, 1);
  Start({});
  EXPECT_EQ(NbioSetPcieAerFeature(&NbioPcieAerProtocol, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(platform.log.Events().empty());
  sim::ConfigFunction &port = *platform.config.Find(Bdf(0, 1, 1));
  const uint16_t aer = AerOf(port);
  port.Poke(0xFF0, 4, port.Peek(aer, 4) & 0x000FFFFF); // AER moved to 0xFF0
  port.Poke(0x100, 4, 0xFF000000 | 0x0000000B);          // the list starts elsewhere
  EXPECT_EQ(Call({.AerEnable = 1, .PciBus = 0, .PciDevice = 1, .PciFunction = 1}), EFI_UNSUPPORTED);
  EXPECT_TRUE(CfgWrites().empty());
}

TEST_F(AerServiceTest, VerifyThatTheServiceIsPublishedAndItsExtendedMemberSaysNotYet) {
  Start({});
  const auto interfaces = platform.firmware.Interfaces(gNbioPcieAerProtocolGuid);
  ASSERT_EQ(interfaces.size(), 1u);
  auto *protocol = static_cast<NBIO_PCIE_AER_PROTOCOL *>(interfaces[0]);
  EXPECT_EQ(protocol->NbioSetPcieAerFeature, &NbioSetPcieAerFeature);
  EXPECT_EQ(protocol->NbioSetPcieAerFeatureExtended(protocol, 1, 2), EFI_NOT_AVAILABLE_YET);
  EXPECT_EQ(PcieLines(), (std::vector<std::string>{
                             "NbioSetPcieAerFeatureExtended Not implemented for this architecture\n"}));
  EXPECT_TRUE(platform.log.Of(sim::EventKind::CfgRead).empty());
}

// --- RAS control ---------------------------------------------------------------

struct RasCase {
  const char *name;
  uint32_t packageBits; // CPUID EBX[31:28]
  bool core0, core1;
  size_t groups;
};

class RasGroupTest : public ErrorReportingTest, public ::testing::WithParamInterface<RasCase> {};

TEST_P(RasGroupTest, VerifyThatRowsAreSkippedByCoreAndPackage) {
  const RasCase c = GetParam();
  platform.cpu.packageTypeBits = c.packageBits;
  std::vector<sim::WrapperLayout> wrappers;
  sim::EngineLayout inactive = Engine(Bdf(0, 1, 1), 0, 0);
  inactive.active = false;
  wrappers.push_back({.wrapperId = 0, .engines = {c.core0 ? Engine(Bdf(0, 1, 1), 0, 0) : inactive}});
  sim::EngineLayout e1 = Engine(Bdf(0, 3, 1), 0, 0, 8, 1);
  e1.active = c.core1;
  e1.portStatus = 0; // readiness does not matter
  wrappers.push_back({.wrapperId = 1, .engines = {e1}});
  Start(wrappers);
  NbioRASControlHX(Silicon());
  EXPECT_EQ(Count(PcieLines(), "GROUP_TYPE:"), c.groups);
  EXPECT_TRUE(platform.saveState.empty()) << "nothing of RAS control is recorded";
}

// 107 rows; unit 13's GroupType 0 rows are 11; core 0 units (0, 12, 13)
// hold 6 + 5 + 13 rows, core 1 units (1, 14, 15) 6 + 5 + 13.
INSTANTIATE_TEST_SUITE_P(
    Cases, RasGroupTest,
    ::testing::Values(RasCase{"Package16BothCores", 4, true, true, 107},
                      RasCase{"OtherPackageBothCores", 1, true, true, 96},
                      RasCase{"Package16Core0Only", 4, true, false, 83},
                      RasCase{"OtherPackageCore1Only", 0, false, true, 83},
                      RasCase{"Package16NoCore", 4, false, false, 59}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(ErrorReportingTest, VerifyThatTheFixedProgramComesFirstInItsOrder) {
  platform.cpu.packageTypeBits = 1; // package type 2: the two extra words
  platform.pcd[kPcdRas456] = 0x456;
  platform.pcd[kPcdRas311] = 0x311;
  platform.AddFunction(Bdf(0, 0, 2), cat::DummyHostBridge().Build());
  Start({{.wrapperId = 0, .engines = {Engine(Bdf(0, 1, 1), 0, 0)}}});
  Nbio().Seed(0x13B20000, 0xFFFF1234);
  NbioRASControlHX(Silicon());
  using P = std::pair<uint64_t, uint64_t>;
  const std::vector<P> expected = {
      {0x13B20000, 0x00011234}, {0x13B20008, 0xAAAAAAAA}, {0x13B20010, 0}, {0x13B20014, 0},
      {0x13B20018, 0},          {0x13B20158, 0},          {0x13B20430, 0x456}, {0x13B20434, 0x311},
      {0x13B20168, 1},          {0x13B2016C, 0x1F},       {0x13B20170, 0x1F}, {0x13B20174, 6},
      {0x13B20178, 6},          {0x14700034, 0x400},      {0x14800034, 0x400}, {0x14900034, 0x400},
      {0x14A00034, 0x400},      {0x14700038, 8},          {0x14800038, 8},     {0x14900038, 8},
      {0x14A00038, 8},          {0x15700040, 0x10},       {0x15700050, 0x10},  {0x15700060, 0x10},
      {0x13F01140, 0x10},       {0x13F01288, 6}};
  const auto writes = SmnWrites();
  ASSERT_GT(writes.size(), expected.size());
  EXPECT_EQ(std::vector<P>(writes.begin(), writes.begin() + expected.size()), expected);
  EXPECT_EQ(Cfg(Bdf(0, 0, 2), 0x04) & 0x40, 0x40u) << "Parity Error Response on function 2";
}

TEST_F(ErrorReportingTest, VerifyThatGroupType3RowsWriteTwiceWithTheShortLine) {
  platform.cpu.packageTypeBits = 4;
  Start({{.wrapperId = 0, .engines = {Engine(Bdf(0, 1, 1), 0, 0)}}});
  NbioRASControlHX(Silicon());
  const auto lines = PcieLines();
  EXPECT_EQ(Count(lines, "          :03                        12\n"), 4u);
  EXPECT_EQ(Count(lines, "GROUP_TYPE:03 TypeSel:01 - 02 - 01 - 01\n"), 1u);
  std::vector<uint64_t> group3;
  for (const auto &[address, value] : SmnWrites()) {
    if (address == 0x13B20004 && (value & 0xFF) == 2 && ((value >> 11) & 0x1F) == 1) {
      group3.push_back((value >> 16) & 0xF);
    }
  }
  EXPECT_EQ(group3, (std::vector<uint64_t>{1, 12}));
}

TEST_F(ErrorReportingTest, VerifyThatAGroupUnitThatNeverAnswersEndsTheTableWithAMessage) {
  Nbio().ras.becomesReady = false;
  Start({{.wrapperId = 0, .engines = {Engine(Bdf(0, 1, 1), 0, 0)}}});
  NbioRASControlHX(Silicon());
  EXPECT_EQ(Count(PcieLines(), "GROUP_TYPE:"), 0u);
  EXPECT_EQ(Count(PcieLines(), "NbioRASControlHX: group unit not ready at GROUP_TYPE:01 UnitId:12 "
                               "UnitBit:00, remaining groups skipped\n"),
            1u);
  EXPECT_EQ(PcieLines().back(), "NbioRASControlHX Exit\n");
}

TEST_F(ErrorReportingTest, VerifyThatToken588GatesRasControlInThePass) {
  for (uint64_t on : {0, 1}) {
    platform.pcd[588] = on;
    Start({{.wrapperId = 0, .engines = {Engine(Bdf(0, 1, 1), 0, 0)}}});
    platform.InstallPciIo();
    EXPECT_EQ(Count(PcieLines(), "NbioRASControlHX Enter"), on) << on;
  }
}

} // namespace
} // namespace kel_test
