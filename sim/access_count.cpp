#include "sim/access_count.h"

#include <algorithm>

#include "platform/register_access.h"

namespace sim {

namespace {

constexpr unsigned StepCount = 18;

bool IsSmnPair(uint64_t address, const std::set<uint32_t> &hostBridges) {
  const auto offset = static_cast<uint32_t>(address & 0xFFF);
  const auto function = static_cast<uint32_t>(address & ~uint64_t{0xFFF});
  return (offset == SmnIndexRegister || offset == SmnIndexRegister + 4) &&
         hostBridges.count(function) != 0;
}

void Count(AccessCounts &c, const Event &e, const std::set<uint32_t> &hostBridges) {
  switch (e.kind) {
  case EventKind::CfgRead:
  case EventKind::CfgWrite:
    if (IsSmnPair(e.address, hostBridges)) {
      ++c.smnPairAccesses;
    } else {
      ++(e.kind == EventKind::CfgRead ? c.configReads : c.configWrites);
    }
    return;
  case EventKind::SmnRead:
    ++c.smnReads;
    return;
  case EventKind::SmnWrite:
    ++c.smnWrites;
    return;
  case EventKind::IoWrite:
    ++c.portWrites;
    return;
  case EventKind::S3Record:
    ++c.s3Records;
    return;
  case EventKind::PcdGet:
    ++c.pcdReads;
    return;
  case EventKind::MsrRead:
  case EventKind::MsrWrite:
  case EventKind::Cpuid:
  case EventKind::PcdSet:
  case EventKind::Debug:
  case EventKind::FatalStop:
  case EventKind::Fault:
  case EventKind::Locate:
  case EventKind::PassStep:
    return;
  }
}

} // namespace

AccessCounts &AccessCounts::operator+=(const AccessCounts &o) {
  configReads += o.configReads;
  configWrites += o.configWrites;
  smnReads += o.smnReads;
  smnWrites += o.smnWrites;
  smnPairAccesses += o.smnPairAccesses;
  portWrites += o.portWrites;
  s3Records += o.s3Records;
  pcdReads += o.pcdReads;
  return *this;
}

const char *StepName(unsigned step) {
  static const char *const names[] = {
      "outside the steps",          "PcieSlotPowerLimitInterface", "PciePwrClockGating",
      "NbioPcieAerInitHX",          "PcieMaxReadRequestInterface", "PcieMaxPayloadInterface",
      "PcieMaxCplPayloadInterface", "PcieClkPmInterface",          "PcieSrisInit",
      "PcieAspmBlackListInterface", "PcieL1ExitLatencyInterface",  "PcieAspmL1SSInterface",
      "PcieLtrInterface",           "PcieClkReqInterface",         "PcieRasControl",
      "PcieAspmInterface",          "PcieCommClkCfgInterface",     "PcieSmuServiceRequest",
      "PcieClosingWrites"};
  static_assert(sizeof names / sizeof names[0] == StepCount + 1);
  return step <= StepCount ? names[step] : "?";
}

std::vector<StepAccesses> CountAccessesPerStep(std::span<const Event> events, size_t from,
                                               size_t to, const std::set<uint32_t> &hostBridges) {
  std::vector<StepAccesses> steps(StepCount + 1);
  for (unsigned i = 0; i <= StepCount; ++i) {
    steps[i].step = i;
  }
  unsigned current = 0;
  for (size_t i = from; i < std::min(to, events.size()); ++i) {
    const Event &e = events[i];
    if (e.kind == EventKind::PassStep) {
      current = e.value <= StepCount ? static_cast<unsigned>(e.value) : 0;
      continue;
    }
    Count(steps[current].counts, e, hostBridges);
  }
  return steps;
}

AccessCounts Total(const std::vector<StepAccesses> &steps) {
  AccessCounts total;
  for (const StepAccesses &s : steps) {
    total += s.counts;
  }
  return total;
}

} // namespace sim
