// Exit statuses, summary lines and the option values they are judged by.
#include "tools/kelsim/report.h"

#include <cctype>
#include <map>
#include <sstream>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "tools/kelsim/report_internal.h"

namespace kelsim {

std::string internal::Hex(uint64_t v, int digits) {
  return fmt::format(FMT_COMPILE("0x{:0{}x}"), v, digits);
}

std::string internal::AuditCounts(const std::vector<audit::Finding> &findings) {
  size_t counts[3] = {0, 0, 0};
  for (const audit::Finding &f : findings) {
    ++counts[static_cast<int>(f.severity)];
  }
  return std::to_string(counts[0]) + " errors, " + std::to_string(counts[1]) + " warnings, " +
         std::to_string(counts[2]) + " info";
}

using internal::AuditCounts;
using internal::Hex;

constexpr uint64_t kDefinedLevels =
    0x100000 | 0x200000 | 0x2000000 | 0x4000000000000ULL | 0x20000000000000ULL;

bool ParseLevels(const std::string &text, uint64_t &mask) {
  mask = 0;
  std::stringstream in(text);
  std::string raw;
  while (std::getline(in, raw, ',')) {
    // Names in any case, with spaces around them: "PCIE", " driver".
    std::string item;
    for (const char c : raw) {
      if (c != ' ' && c != '\t') {
        item += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    if (item == "pcie") {
      mask |= 0x100000;
    } else if (item == "aer") {
      mask |= 0x200000;
    } else if (item == "service") {
      mask |= 0x2000000;
    } else if (item == "driver") {
      mask |= 0x4000000000000ULL;
    } else if (item == "hook") {
      mask |= 0x20000000000000ULL;
    } else if (item == "all") {
      mask = ~0ULL;
    } else {
      try {
        size_t used = 0;
        const uint64_t bits = std::stoull(item, &used, 0);
        // A mask must name at least one level the driver prints at.
        if (used != item.size() || (bits & kDefinedLevels) == 0) {
          return false;
        }
        mask |= bits;
      } catch (const std::exception &) {
        return false;
      }
    }
  }
  return mask != 0;
}

int WorseStatus(int a, int b) {
  // Bad input (2) outranks a fatal stop (1), which outranks an audit
  // finding (4), which outranks an S3 resume difference (3), which outranks
  // success (0).
  auto rank = [](int status) {
    switch (status) {
    case 2:
      return 4;
    case 1:
      return 3;
    case 4:
      return 2;
    case 3:
      return 1;
    default:
      return 0;
    }
  };
  return rank(a) >= rank(b) ? a : b;
}

std::string ResumeSummary(const RunResult &r) {
  return "S3 resume check: " + std::to_string(r.resume.notRestored.size()) +
         " registers not restored, " + std::to_string(r.resume.differing.size()) + " differing";
}

std::optional<audit::Severity> ParseSeverity(const std::string &text) {
  for (const audit::Severity s :
       {audit::Severity::Error, audit::Severity::Warning, audit::Severity::Info}) {
    if (text == audit::SeverityName(s)) {
      return s;
    }
  }
  return std::nullopt;
}

int ExitStatus(const RunResult &r, bool strictS3, std::optional<audit::Severity> failOn) {
  if (!r.fatalStops.empty()) {
    return 1;
  }
  if (failOn && r.audit) {
    for (const audit::Finding &f : *r.audit) {
      if (f.severity <= *failOn) {
        return 4;
      }
    }
  }
  if (strictS3 && !r.resume.Clean()) {
    return 3;
  }
  return 0;
}

std::string FailOnReason(const RunResult &r, audit::Severity failOn) {
  if (!r.audit) {
    return "";
  }
  std::map<std::string, std::pair<audit::Severity, size_t>> tripped;
  size_t count = 0;
  for (const audit::Finding &f : *r.audit) {
    if (f.severity <= failOn) {
      auto &[severity, n] = tripped.try_emplace(f.id, f.severity, 0).first->second;
      ++n;
      ++count;
    }
  }
  if (count == 0) {
    return "";
  }
  std::string out = "--fail-on " + std::string(audit::SeverityName(failOn)) + ": " +
                    std::to_string(count) + (count == 1 ? " finding" : " findings") + " (";
  const char *separator = "";
  for (const auto &[id, what] : tripped) {
    out += separator + id + " " + audit::SeverityName(what.first) + " x" + std::to_string(what.second);
    separator = ", ";
  }
  return out + ")";
}


std::string SummaryLine(const RunResult &r) {
  std::string out = r.name + ": ";
  out += r.fatalStops.empty() ? "ran to the end" : "fatal stop " + Hex(r.fatalStops.front());
  out += ", " + std::to_string(r.writes.size()) + " writes, " +
         std::to_string(r.saveState.size() + r.table.size()) + " S3 records, S3 resume ";
  out += r.resume.Clean() ? "clean"
                          : std::to_string(r.resume.notRestored.size()) + " not restored, " +
                                std::to_string(r.resume.differing.size()) + " differing";
  if (r.audit) {
    out += ", audit " + AuditCounts(*r.audit);
  }
  return out;
}

} // namespace kelsim
