// Boots the driver on a scenario's platform, plays its events, and collects
// everything a firmware engineer checks: trace, post codes, writes, the S3
// boot script, per-function state before and after, and whether the boot
// script restores what the pass changed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/access_count.h"
#include "sim/log.h"
#include "tools/kelsim/describe.h"
#include "tools/kelsim/feature_view.h"
#include "tools/audit/audit.h"
#include "tools/kelsim/scenario.h"

namespace kelsim {

struct WriteRecord {
  std::string kind; // "cfg", "smn", "io"
  uint64_t address = 0;
  unsigned width = 0;
  uint64_t value = 0;
  uint64_t before = 0;
  uint32_t silicon = 0;    // smn: host bridge
  std::string target;      // "01:00.0" or the NBIO register's description
  std::string registerName;
  std::vector<FieldChange> changes;
};

struct ScriptWrite {
  std::string source; // "save_state" or "table"
  unsigned width = 0; // bytes
  uint64_t address = 0;
  uint64_t value = 0;
  std::string target; // decoded configuration address, if in the window
};

struct TableEntry {
  uint16_t type = 0;
  std::vector<uint64_t> arguments;
};

struct ResumeFinding {
  std::string location;  // "01:00.0 +0x088" or "smn [00:00.0] 0x11180040"
  std::string registerName;
  uint64_t before = 0;
  uint64_t after = 0;
  uint64_t replayed = 0;
  std::vector<FieldChange> fields; // from the resumed value to the value after the pass
};

struct S3Resume {
  size_t replayedWrites = 0;
  std::vector<ResumeFinding> notRestored; // changed by the pass, not written by the script
  std::vector<ResumeFinding> differing;   // written by the script, ending unlike the pass
  std::vector<std::string> notes;
  bool Clean() const { return notRestored.empty() && differing.empty(); }
};

struct DeviceReport {
  uint32_t bdf = 0;
  FunctionState before;
  FunctionState after;
  std::vector<FieldChange> diff;
  std::vector<std::string> unknown; // registers shown that a capture does not hold
};

struct Link {
  std::string upstream;   // "silicon 0" or a bridge's address
  uint32_t downstream = 0;
};

// A pool allocation the driver left: its own data kept for runtime or for
// later phases, or a leak.
struct PoolRecord {
  size_t size = 0;
  bool runtime = false;
};

struct SettingUsed {
  uint64_t token = 0;
  std::optional<uint64_t> value; // nothing: the platform leaves the token out (it reads 0)
  bool defaulted = false;        // the platform file left it out: kelsim's default
  std::string meaning;
};

struct RunResult {
  std::string name;
  std::vector<SettingUsed> settings; // the PCD settings the driver reads
  sim::Log log; // every access, trace line and pass step, in order
  std::vector<uint64_t> postCodes;
  std::vector<uint32_t> fatalStops;
  bool halted = false; // a fatal stop held the machine
  std::vector<WriteRecord> writes;
  std::vector<ScriptWrite> saveState;
  std::vector<ScriptWrite> script; // what a resume replays: save-state records, then the table
  std::vector<TableEntry> table;
  bool tableAvailable = false;
  bool handedToSmm = false;
  std::vector<DeviceReport> devices;
  std::vector<Link> links;
  S3Resume resume;
  std::vector<std::string> warnings;
  std::vector<std::string> notes; // what the platform did with each event
  std::vector<PoolRecord> pools;
  FeatureView features;
  std::vector<sim::StepAccesses> accesses; // of the first pass, per step
  bool passRan = true;                     // false with RunOptions::pass off
  std::optional<std::vector<audit::Finding>> audit;
  // What the audit could not look at: bytes a capture does not hold, PCI
  // domains left out, links whose partner is absent.
  std::vector<std::string> auditNotChecked;
  // True when the platform has a PCI Express function for the rules to judge.
  bool auditHadSomethingToCheck = false;
  // The same rules on the state an S3 resume leaves: the pre-pass platform
  // with the boot script replayed onto it.
  std::optional<std::vector<audit::Finding>> auditAfterResume;
};

struct RunOptions {
  bool pass = true;   // false: load the platform and look at it, no driver
  bool audit = false; // audit the state the run ends with
  // false: writes keep kind, address, width and values but no target,
  // register name or field changes (a summary line shows none of them)
  bool nameWrites = true;
  // false: only what a summary line shows (fatal stops, writes, S3 records,
  // the resume check, the audit) and unnamed writes; no per-step accesses,
  // device states, links, post codes, pools, record targets, features other
  // than the engines, or audit after the resume.
  bool details = true;
};

RunResult Run(const Scenario &scenario, const RunOptions &options = {});

} // namespace kelsim
