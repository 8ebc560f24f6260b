// PCI scan: presence tests, multi-function handling, the scan-control word
// and descent below bridges.
#include "tests/test_support.h"

#include <map>

#include "base/debug_print.h"
#include "platform/pci_scan.h"
#include "platform/register_access.h"
#include "sim/catalogue.h"

namespace kel_test {
namespace {

using sim::Bdf;
namespace cat = sim::catalogue;

struct RecordingScan {
  PciScanData Header;
  std::vector<uint32_t> *Visits;
  const std::map<uint32_t, uint32_t> *Returns;
  bool Descend;
};

UINT32 Record(UINT32 Address, PciScanData *Data) {
  auto *scan = reinterpret_cast<RecordingScan *>(Data);
  scan->Visits->push_back(Address);
  const UINT8 type = PcieGetPortType(Address);
  if (scan->Descend && (type == 4 || type == 5 || type == 6)) {
    PciScanSecondaryBus(Address, Data);
  }
  auto it = scan->Returns->find(Address);
  return it == scan->Returns->end() ? 0 : it->second;
}

class PciScanTest : public DriverUnitTest {
protected:
  std::vector<uint32_t> Scan(uint32_t start, uint32_t end, bool descend = false) {
    std::vector<uint32_t> visits;
    RecordingScan scan{{Record, 0}, &visits, &returns, descend};
    PciScan(start, end, &scan.Header);
    return visits;
  }
  void Endpoint(uint32_t bdf) { platform.AddFunction(bdf, cat::NvmeSsd().Build()); }
  void MultiFunction(uint32_t bus, uint32_t device, std::initializer_list<uint32_t> functions) {
    for (uint32_t f : functions) {
      platform.AddFunction(Bdf(bus, device, f), cat::MultiFunctionEndpoint(f).Build());
    }
  }
  std::map<uint32_t, uint32_t> returns;
};

TEST_F(PciScanTest, ScanOfAFunctionToItselfVisitsItOnce) {
  Endpoint(Bdf(1, 0, 0));
  EXPECT_EQ(Scan(Bdf(1, 0, 0), Bdf(1, 0, 0)), std::vector<uint32_t>{Bdf(1, 0, 0)});
  MultiFunction(2, 0, {0, 3});
  EXPECT_EQ(Scan(Bdf(2, 0, 3), Bdf(2, 0, 3)), std::vector<uint32_t>{Bdf(2, 0, 3)});
}

TEST_F(PciScanTest, SingleFunctionDeviceAtNonZeroStartFunctionIsNotVisited) {
  Endpoint(Bdf(1, 0, 2));
  EXPECT_TRUE(Scan(Bdf(1, 0, 2), Bdf(1, 0, 2)).empty());
}

TEST_F(PciScanTest, DeviceWithoutFunctionZeroIsSkippedWhole) {
  platform.AddFunction(Bdf(1, 4, 1), cat::MultiFunctionEndpoint(1).Build());
  Endpoint(Bdf(1, 5, 0));
  EXPECT_EQ(Scan(Bdf(1, 0, 0), Bdf(1, 31, 7)), std::vector<uint32_t>{Bdf(1, 5, 0)});
}

TEST_F(PciScanTest, SecondaryBusScanCoversDevice31Function7) {
  platform.AddFunction(Bdf(0, 1, 1), cat::RootPort(3, 4).Build());
  MultiFunction(3, 31, {0, 7});
  Endpoint(Bdf(3, 0, 0));
  std::vector<uint32_t> visits;
  RecordingScan scan{{Record, 0}, &visits, &returns, false};
  PciScanSecondaryBus(Bdf(0, 1, 1), &scan.Header);
  EXPECT_EQ(visits, (std::vector<uint32_t>{Bdf(3, 0, 0), Bdf(3, 31, 0), Bdf(3, 31, 7)}));
}

TEST_F(PciScanTest, ControlWordSkipsAsTheBitsSay) {
  MultiFunction(1, 0, {0, 1, 2});
  MultiFunction(1, 1, {0, 1});
  Endpoint(Bdf(2, 0, 0));
  const uint32_t start = Bdf(1, 0, 0);
  const uint32_t end = Bdf(2, 31, 7);

  returns = {{Bdf(1, 0, 0), 1}};
  EXPECT_EQ(Scan(start, end), (std::vector<uint32_t>{Bdf(1, 0, 0), Bdf(1, 1, 0), Bdf(1, 1, 1),
                                                     Bdf(2, 0, 0)}));
  returns = {{Bdf(1, 0, 0), 2}};
  EXPECT_EQ(Scan(start, end).size(), 6u) << "a 2 replaced before it is examined is forgotten";
  returns = {{Bdf(1, 0, 2), 2}};
  EXPECT_EQ(Scan(start, end), (std::vector<uint32_t>{Bdf(1, 0, 0), Bdf(1, 0, 1), Bdf(1, 0, 2),
                                                     Bdf(2, 0, 0)}));
  returns = {{Bdf(1, 0, 1), 7}};
  EXPECT_EQ(Scan(start, end), (std::vector<uint32_t>{Bdf(1, 0, 0), Bdf(1, 0, 1)}));
  returns = {{Bdf(1, 0, 0), 4}};
  EXPECT_EQ(Scan(start, end).size(), 6u) << "replaced by the next function's result";
  returns = {{Bdf(1, 1, 1), 4}};
  EXPECT_EQ(Scan(start, end).size(), 5u) << "bit 2 from the bus's last callback ends the range";
}

TEST_F(PciScanTest, NestedScanEndingWithSevenLetsTheOuterScanGoOn) {
  platform.AddFunction(Bdf(0, 1, 1), cat::RootPort(1, 4).Build());
  platform.AddFunction(Bdf(1, 0, 0), cat::SwitchUpstreamPort(1, 2, 3).Build());
  platform.AddFunction(Bdf(2, 1, 0), cat::SwitchDownstreamPort(2, 3, 3).Build());
  platform.AddFunction(Bdf(2, 2, 0), cat::SwitchDownstreamPort(2, 4, 4).Build());
  Endpoint(Bdf(3, 0, 0));
  Endpoint(Bdf(3, 1, 0));
  Endpoint(Bdf(4, 0, 0));
  returns = {{Bdf(3, 0, 0), 7}};
  EXPECT_EQ(Scan(Bdf(0, 1, 1), Bdf(0, 1, 1), true),
            (std::vector<uint32_t>{Bdf(0, 1, 1), Bdf(1, 0, 0), Bdf(2, 1, 0), Bdf(3, 0, 0),
                                   Bdf(2, 2, 0), Bdf(4, 0, 0)}));
}

TEST_F(PciScanTest, BridgesWithoutAValidSecondaryBusAreNotEntered) {
  // Secondary bus 0 (not configured), and a bridge pointing back at its own
  // bus, which would otherwise recurse without end.
  platform.AddFunction(Bdf(1, 0, 0), cat::SwitchDownstreamPort(1, 0, 0).Build());
  platform.AddFunction(Bdf(1, 1, 0), cat::SwitchDownstreamPort(1, 1, 1).Build());
  platform.AddFunction(Bdf(2, 0, 0), cat::SwitchDownstreamPort(2, 1, 1).Build());
  EXPECT_EQ(Scan(Bdf(1, 0, 0), Bdf(1, 31, 7), true),
            (std::vector<uint32_t>{Bdf(1, 0, 0), Bdf(1, 1, 0)}));
  EXPECT_EQ(Scan(Bdf(2, 0, 0), Bdf(2, 0, 0), true), std::vector<uint32_t>{Bdf(2, 0, 0)});
}

// Verify that bridges which claim the same secondary bus do not multiply the
// work: two such bridges on each of 14 levels would make the walk visit
// 2^15 - 1 functions; each bus is scanned once and the refusal is said.
TEST_F(PciScanTest, SharedSecondaryBusesAreScannedOncePerWalk) {
  constexpr uint32_t kLevels = 14;
  for (uint32_t bus = 1; bus <= kLevels; ++bus) {
    for (uint32_t d = 0; d < 2; ++d) {
      platform.AddFunction(Bdf(bus, d, 0),
                           cat::SwitchDownstreamPort(static_cast<uint8_t>(bus),
                                                     static_cast<uint8_t>(bus + 1),
                                                     static_cast<uint8_t>(kLevels + 1))
                               .Build());
    }
  }
  Endpoint(Bdf(kLevels + 1, 0, 0));
  const auto visits = Scan(Bdf(1, 0, 0), Bdf(1, 31, 7), true);
  EXPECT_EQ(visits.size(), 2 * kLevels + 1);
  const auto lines = platform.log.DebugLines(DebugLevelPcie);
  EXPECT_EQ(lines.size(), kLevels);
  EXPECT_EQ(lines[0], "PciScan: bus 15 already scanned in this walk, 14:1:0 not entered\n");
  // A new walk starts afresh.
  EXPECT_EQ(Scan(Bdf(1, 0, 0), Bdf(1, 31, 7), true).size(), visits.size());
}

TEST_F(PciScanTest, RangeEndingAtBus255Terminates) {
  Endpoint(Bdf(255, 31, 0));
  EXPECT_EQ(Scan(Bdf(254, 0, 0), Bdf(255, 31, 7)), std::vector<uint32_t>{Bdf(255, 31, 0)});
}

TEST_F(PciScanTest, ScanReadsOnlyConfigurationSpaceAndRecordsNothing) {
  Endpoint(Bdf(1, 0, 0));
  Scan(Bdf(1, 0, 0), Bdf(1, 31, 7));
  EXPECT_TRUE(Writes().empty());
  EXPECT_TRUE(platform.saveState.empty());
  // One presence read per device, plus the header type and the function's
  // own presence read where one answers.
  EXPECT_EQ(Of(sim::EventKind::CfgRead).size(), 32u + 2u + 6u);
}

} // namespace
} // namespace kel_test
