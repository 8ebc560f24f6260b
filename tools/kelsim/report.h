// The simulator's outputs: the text report, the JSON report and the
// Graphviz device tree.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/kelsim/run.h"

namespace kelsim {

// Which sections the text report holds; the default is everything.
struct TextOptions {
  uint64_t traceLevels = ~0ULL; // debug levels shown
  bool trace = true;
  bool writes = true;
  bool smnTraffic = true; // the SMN index/data pair's own writes among the writes
  bool script = true;
  bool devices = true;
  bool features = true;
  bool rasGroups = true; // each RAS group write, not only their count
  bool accesses = true;
  bool resume = true;
  bool resumeDetail = true; // each register, also when the audit lists them
  std::optional<int> exitStatus; // said in the header when known
};

// What a person reads first: the header, the links, the audit, the engines
// and NBIO writes by purpose, the devices and the S3 resume check. The
// trace, every write, the S3 script and the accesses only when asked for.
TextOptions SummaryTextOptions();

void WriteText(const RunResult &r, const TextOptions &options, std::ostream &out);
struct JsonOptions {
  bool events = false; // every logged event in order (most of the size: every access)
  bool pretty = false; // indented two spaces a level
};
// The JSON report as text, written as it is walked.
std::string JsonText(const RunResult &r, const JsonOptions &options);
// The same report as a document (tests, --compare).
nlohmann::json ToJson(const RunResult &r, bool events = true);
void WriteDot(const RunResult &r, std::ostream &out);

// Exit status of a run: 1 for a fatal stop, 4 for an audit finding at
// failOn or worse, 3 for an S3 resume difference when strict, else 0.
int ExitStatus(const RunResult &r, bool strictS3,
               std::optional<audit::Severity> failOn = std::nullopt);
// The more serious of two exit statuses: 2, then 1, then 4, then 3, then 0.
int WorseStatus(int a, int b);
// "error", "warning" or "info" to a severity; nothing if unknown.
std::optional<audit::Severity> ParseSeverity(const std::string &text);
// "S3 resume check: N registers not restored, M differing".
std::string ResumeSummary(const RunResult &r);
// One line for the batch summary.
std::string SummaryLine(const RunResult &r);
// Which findings reach --fail-on's severity, by rule, with their count;
// empty when none does.
std::string FailOnReason(const RunResult &r, audit::Severity failOn);

// "pcie,aer" or "0x100000" to a level mask; false if unknown.
bool ParseLevels(const std::string &text, uint64_t &mask);

} // namespace kelsim
