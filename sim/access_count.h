// What one pass of the driver costs the hardware: its accesses counted from
// the simulator's log, per step of the pass.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <vector>

#include "sim/log.h"

namespace sim {

struct AccessCounts {
  uint64_t configReads = 0;  // configuration space, the SMN pair left out
  uint64_t configWrites = 0;
  uint64_t smnReads = 0;     // each one index write and one data read
  uint64_t smnWrites = 0;    // each one index write and one data write
  uint64_t smnPairAccesses = 0; // the configuration accesses SMN reads and writes make
  uint64_t portWrites = 0;
  uint64_t s3Records = 0;
  uint64_t pcdReads = 0;

  uint64_t ConfigurationAccesses() const { return configReads + configWrites + smnPairAccesses; }
  // At 1 us per configuration access. Waits for a retrain or an SMU or RAS
  // handshake are polls, so they are in the count for as many polls as the
  // simulated link or unit needed.
  uint64_t EstimatedMicroseconds() const { return ConfigurationAccesses(); }
  AccessCounts &operator+=(const AccessCounts &o);
  bool operator==(const AccessCounts &) const = default;
};

struct StepAccesses {
  unsigned step = 0; // 1-18; 0 for what the pass does outside its steps
  AccessCounts counts;
};

// Counts the events in [from, to), summed over silicons per step. The SMN
// pair is the index/data register pair of each silicon's host bridge.
std::vector<StepAccesses> CountAccessesPerStep(std::span<const Event> events, size_t from,
                                               size_t to, const std::set<uint32_t> &hostBridges);

// The function that runs the step, or "outside the steps" for 0.
const char *StepName(unsigned step);

AccessCounts Total(const std::vector<StepAccesses> &steps);

} // namespace sim
