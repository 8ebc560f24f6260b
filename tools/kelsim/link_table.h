// The links of a run, one row each: a root or switch downstream port and the
// device below it, speed and width, each link feature before and after the
// pass, what held a state back, and the audit's verdict on the link.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/kelsim/run.h"

namespace kelsim {

struct LinkFeature {
  std::string name; // lspci's word: "ASPM", "L1SS", "CommClk", "ClockPM", "LTR", "MaxPayload", ...
  std::string before;
  std::string after;
  bool Changed() const { return before != after; }
};

struct LinkRow {
  uint32_t port = 0;
  std::vector<uint32_t> below; // the functions below the port; none: nothing attached
  std::string belowName;       // "GA102 [GeForce RTX 3090]", or the IDs
  std::string status;          // the port's Link Status: "8GT/s x4"
  std::string capability;      // what both ends can do: "8GT/s x4" (the port's alone if nothing is below)
  bool downgraded = false;     // the status is below the capability
  std::vector<LinkFeature> features;
  std::vector<std::string> heldBack; // "L0s: PortAspm 0x20", "L1SS: blacklist row 3" ...
  size_t findings = 0;               // audit findings naming either end
  std::optional<audit::Severity> worst;
  std::string worstId;
};

std::vector<LinkRow> LinkTable(const RunResult &r);

// One feature's cell: the value, or "before -> after".
std::string FeatureText(const LinkFeature &f);

} // namespace kelsim
