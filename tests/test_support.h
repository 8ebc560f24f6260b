// Shared set-up for driver tests: a simulated platform with the driver's
// library state initialised as its constructor chain leaves it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/driver_state.h"
#include "base/topology.h"
#include "driver/image_entry.h"
#include "sim/platform.h"

namespace kel_test {

class DriverUnitTest : public ::testing::Test {
protected:
  explicit DriverUnitTest(sim::PlatformModules modules = {}) : platform(modules) {
    ImageStateReset();
    ConstructorChain(nullptr, platform.firmware.SystemTable());
    platform.log.Clear();
  }

  std::vector<sim::Event> Of(sim::EventKind kind) const { return platform.log.Of(kind); }
  std::vector<uint64_t> FatalStops() const {
    std::vector<uint64_t> codes;
    for (const sim::Event &e : Of(sim::EventKind::FatalStop)) {
      codes.push_back(e.value);
    }
    return codes;
  }
  // Every write of any kind, in order.
  std::vector<sim::Event> Writes() const {
    std::vector<sim::Event> out;
    for (const sim::Event &e : platform.log.Events()) {
      if (e.kind == sim::EventKind::CfgWrite || e.kind == sim::EventKind::SmnWrite ||
          e.kind == sim::EventKind::IoWrite || e.kind == sim::EventKind::MsrWrite) {
        out.push_back(e);
      }
    }
    return out;
  }

  sim::Platform platform;
};

// A silicon at host bridge 00:00.0 with its NBIO.
inline constexpr uint32_t kHostBridge = sim::Bdf(0, 0, 0);

} // namespace kel_test

namespace kel_test {

// A platform with one silicon whose engines and devices a test lays out,
// with the driver started and the steps called directly.
class FeatureTest : public ::testing::Test {
protected:
  FeatureTest() { platform.AddSilicon(kHostBridge); }

  // A root port with its device's dummy function 0, its link trained to
  // `width` lanes, its secondary bus `secondary`.
  void AddRootPort(uint32_t bdf, uint8_t secondary, uint8_t subordinate, uint8_t width = 4);
  void Add(uint32_t bdf, const sim::DeviceBuilder &device) {
    platform.AddFunction(bdf, device.Build());
  }
  static sim::EngineLayout Engine(uint32_t port, uint16_t startLane, uint16_t endLane,
                                uint8_t portId = 0, uint8_t coreId = 0);

  // Publishes the topology, starts the driver and clears the log.
  void Start(std::vector<sim::WrapperLayout> wrappers);
  SiliconDescriptor *Silicon() {
    return reinterpret_cast<SiliconDescriptor *>(platform.TopologyBytes().data() +
                                                 built.siliconOffsets[0]);
  }
  uint8_t EngineField(size_t engine, size_t field) {
    return platform.TopologyBytes()[built.engineOffsets[0].at(engine) + field];
  }
  uint32_t Cfg(uint32_t bdf, uint16_t offset, unsigned bytes = 4) {
    return platform.config.Find(bdf)->Peek(offset, bytes);
  }
  uint16_t PcieCapOf(uint32_t bdf) { return platform.config.Find(bdf)->pcieCap; }
  uint32_t DeviceControl(uint32_t bdf) { return Cfg(bdf, PcieCapOf(bdf) + 8, 2); }
  std::vector<sim::Event> CfgWrites() const { return platform.log.Of(sim::EventKind::CfgWrite); }
  std::vector<std::string> PcieLines() const;

  sim::Platform platform;
  sim::BuiltTopology built;
};

} // namespace kel_test
