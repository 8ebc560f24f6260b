// Shared set-up for driver tests: a simulated platform with the driver's
// library state initialised as its constructor chain leaves it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/driver_state.h"
#include "core/image_entry.h"
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
