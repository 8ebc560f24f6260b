#include "tests/test_support.h"

#include "base/debug_print.h"
#include "sim/catalogue.h"

namespace kel_test {

void FeatureTest::AddRootPort(uint32_t bdf, uint8_t secondary, uint8_t subordinate,
                              uint8_t width) {
  sim::ConfigFunction f = sim::catalogue::RootPort(secondary, width).Build();
  f.Poke(0x1A, 1, subordinate);
  platform.AddRootPort(bdf, f);
}

sim::EngineLayout FeatureTest::Engine(uint32_t port, uint16_t startLane, uint16_t endLane,
                                    uint8_t portId, uint8_t coreId) {
  sim::EngineLayout e;
  e.portPciAddress = port;
  e.startLane = startLane;
  e.endLane = endLane;
  e.portDeviceFunction = static_cast<uint8_t>(((port >> 15) & 0x1F) << 3 | ((port >> 12) & 7));
  e.portLocation = static_cast<uint8_t>(portId << 4 | coreId);
  return e;
}

void FeatureTest::Start(std::vector<sim::WrapperLayout> wrappers) {
  sim::SiliconLayout s{.hostBridgeAddress = kHostBridge};
  s.wrappers = std::move(wrappers);
  built = sim::BuildTopology({.silicons = {s}});
  platform.PublishTopology(built.bytes);
  ASSERT_EQ(platform.LoadDriver(), EFI_SUCCESS);
  platform.log.Clear();
  platform.saveState.clear();
}

std::vector<std::string> FeatureTest::PcieLines() const {
  return platform.log.DebugLines(DebugLevelPcie);
}

} // namespace kel_test
