// The text report, section by section.
#include "tools/kelsim/report.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include <fmt/format.h>

#include "sim/lspci.h"
#include "tools/kelsim/link_table.h"
#include "tools/kelsim/names.h"
#include "tools/kelsim/report_internal.h"

namespace kelsim {

using internal::AuditCounts;
using internal::Hex;

namespace {

std::string Changes(const std::vector<FieldChange> &changes) {
  std::string out;
  for (const FieldChange &c : changes) {
    out += (out.empty() ? "" : ", ") + c.name + " " + std::to_string(c.from) + "->" +
           std::to_string(c.to);
  }
  return out;
}

void WriteAccessRow(std::ostream &out, const std::string &step, const std::string &name,
                    const sim::AccessCounts &c) {
  char line[160];
  std::snprintf(line, sizeof line, "%-5s %-28s %7llu %7llu %6llu %6llu %7llu %5llu %5llu %5llu\n",
                step.c_str(), name.c_str(), static_cast<unsigned long long>(c.configReads),
                static_cast<unsigned long long>(c.configWrites),
                static_cast<unsigned long long>(c.smnReads),
                static_cast<unsigned long long>(c.smnWrites),
                static_cast<unsigned long long>(c.smnPairAccesses),
                static_cast<unsigned long long>(c.portWrites),
                static_cast<unsigned long long>(c.s3Records),
                static_cast<unsigned long long>(c.pcdReads));
  out << line;
}

void WriteAccessText(const std::vector<sim::StepAccesses> &steps, std::ostream &out) {
  out << "\n-- accesses of the pass --\n";
  if (steps.empty()) {
    out << "no pass ran\n";
    return;
  }
  out << "step  function                      cfg rd  cfg wr smn rd smn wr   pair  port    s3   pcd\n";
  for (const sim::StepAccesses &s : steps) {
    WriteAccessRow(out, std::to_string(s.step), sim::StepName(s.step), s.counts);
  }
  const sim::AccessCounts total = sim::Total(steps);
  WriteAccessRow(out, "total", "", total);
  out << "configuration accesses: " << total.ConfigurationAccesses()
      << " (SMN index/data included); at 1 us each the pass takes about "
      << total.EstimatedMicroseconds() << " us on hardware, retrain and handshake polls "
      << "included as the simulated platform answered them\n";
}

std::string FindingLine(const audit::Finding &f) {
  std::string line = fmt::format("  {:<7} {}  {}", audit::SeverityName(f.severity), f.id, f.message);
  if (!f.section.empty()) {
    line += " [" + f.section + "]";
  }
  return line;
}

void WriteAuditText(const std::vector<audit::Finding> &findings, const std::string &when,
                    std::ostream &out, const std::vector<std::string> &notChecked = {},
                    bool checkedAnything = true) {
  out << "\n-- audit (" << when << ") --\n";
  if (!checkedAnything) {
    out << "nothing checked: the platform has no PCI Express function\n";
  } else if (findings.empty()) {
    out << (notChecked.empty() ? "nothing to report\n"
                               : "nothing to report in what could be checked\n");
  } else {
    out << AuditCounts(findings) << "\n";
  }
  for (const std::string &note : notChecked) {
    out << "not checked: " << note << "\n";
  }
  // Grouped by the first function each finding names; the groups in the
  // order of their most severe finding.
  std::vector<std::string> order;
  std::map<std::string, std::vector<const audit::Finding *>> groups;
  for (const audit::Finding &f : findings) {
    const std::string key = f.functions.empty() ? "platform" : sim::BdfText(f.functions.front());
    if (groups.count(key) == 0) {
      order.push_back(key);
    }
    groups[key].push_back(&f);
  }
  for (const std::string &key : order) {
    out << key << "\n";
    for (const audit::Finding *f : groups[key]) {
      out << FindingLine(*f) << "\n";
      for (const audit::RegisterValue &v : f->registers) {
        out << fmt::format("          {} {} +0x{:03x} = 0x{:08x}\n", sim::BdfText(v.function),
                           v.name, v.offset, v.value);
      }
    }
  }
}

// The decoded target of a script address, as the run resolved it.
std::string ScriptTarget(const RunResult &r, uint64_t address) {
  for (const ScriptWrite &w : r.script) {
    if (w.address == address) {
      return w.target;
    }
  }
  return "";
}

std::string Names(const std::vector<std::string> &names) {
  std::string out;
  for (const std::string &n : names) {
    out += (out.empty() ? "" : " ") + n;
  }
  return out.empty() ? "-" : out;
}

std::string AerEnableText(int enable) {
  switch (enable) {
  case 0:
    return "off";
  case 1:
    return "program";
  default:
    return "leave";
  }
}

// A request as it stands, or as the pass narrowed it and why.
std::string Narrowing(const std::string &before, const std::string &after, const char *why) {
  return before == after ? after : before + " -> " + after + " (narrowed by the pass: " + why + ")";
}

// The engines' requests; after a pass also what it wrote to the NBIO by
// purpose: straps, root-port indirect registers, the CLKREQ# map, the AER
// port table and the RAS groups.
// A function at this device and function number on some silicon's bus.
bool HasPortAt(const RunResult &r, int device, int function) {
  return std::any_of(r.devices.begin(), r.devices.end(), [&](const DeviceReport &d) {
    return static_cast<int>((d.bdf >> 15) & 0x1F) == device &&
           static_cast<int>((d.bdf >> 12) & 7) == function &&
           std::any_of(r.features.engines.begin(), r.features.engines.end(),
                       [&](const EngineReport &e) { return ((e.silicon ^ d.bdf) & 0x0FF00000) == 0; });
  });
}

void WriteFeatureText(const RunResult &r, bool rasGroups, std::ostream &out) {
  const FeatureView &v = r.features;
  const bool passRan = r.passRan;
  out << (passRan ? "\n-- engines (requests as the pass left them) --\n"
                  : "\n-- engines (requests as the platform gives them) --\n");
  for (const EngineReport &e : v.engines) {
    char head[160];
    std::snprintf(head, sizeof head, "[%s] port %s wrapper %d PortId %d core %d %s%s CLKREQ# %d%s\n",
                  sim::BdfText(e.silicon).c_str(), sim::BdfText(e.port).c_str(), e.wrapperId,
                  e.portId, e.coreId, e.active ? "active" : "inactive", e.ready ? " ready" : "",
                  e.clkReq, e.sris ? " SRIS" : "");
    out << head;
    out << "    PortAspm      "
        << Narrowing(PortAspmText(e.portAspmBefore), PortAspmText(e.portAspmAfter),
                     ClearedBySris(e) ? "SRIS" : "ASPM blacklist")
        << "\n";
    out << "    PortPmOptions "
        << Narrowing(PortPmOptionsText(e.portPmOptionsBefore),
                     PortPmOptionsText(e.portPmOptionsAfter),
                     "L1 substates blacklist, or not enabled on the link below")
        << "\n";
  }
  if (!passRan) {
    return;
  }
  out << "\n-- straps (" << v.straps.size() << ") --\n";
  for (const StrapWrite &st : v.straps) {
    out << "[" << sim::BdfText(st.silicon) << "] " << StrapText(st) << "\n";
  }
  out << "\n-- root-port indirect registers (" << v.indirect.size() << ") --\n";
  for (const IndirectWrite &w : v.indirect) {
    out << sim::BdfText(w.port) << " index " << Hex(w.index, 2) << ": " << Hex(w.before) << " -> "
        << Hex(w.after) << "\n";
  }
  out << "\n-- CLKREQ# map --\n";
  if (v.clkReqMaps.empty()) {
    out << "not programmed\n";
  }
  for (const ClkReqMap &m : v.clkReqMaps) {
    out << "[" << sim::BdfText(m.silicon) << "] core " << m.core << ":";
    for (size_t k = 0; k < m.portOfSignal.size(); ++k) {
      out << " CLKREQB_" << k << "->port " << m.portOfSignal[k];
    }
    out << "\n";
  }
  out << "\n-- AER port table as the hooks left it (NumberOfPorts " << v.aerNumberOfPorts
      << ") --\n";
  // Rows name a device and function on each silicon's bus; a row no silicon
  // has a port for is counted, not listed.
  size_t absent = 0;
  for (const AerRow &row : v.aerTable) {
    if (!HasPortAt(r, row.device, row.function)) {
      ++absent;
      continue;
    }
    std::string line = fmt::format("Dev{} Func{} {}", row.device, row.function,
                                   AerEnableText(row.aerEnable));
    if (row.aerEnable == 1) {
      line += fmt::format("  CE [{}] UE [{}] Sev [{}]", Names(AerBitNames(row.correctableMask, true)),
                          Names(AerBitNames(row.uncorrectableMask, false)),
                          Names(AerBitNames(row.uncorrectableSeverity, false)));
    }
    out << line << "\n";
  }
  if (absent != 0) {
    out << absent << " rows name a port no silicon has\n";
  }
  out << "\n-- RAS groups (" << v.rasGroups.size() << ") --\n";
  if (!rasGroups) {
    if (!v.rasGroups.empty()) {
      out << v.rasGroups.size() << " group writes (--full lists each)\n";
    }
    return;
  }
  if (!v.rasGroups.empty()) {
    out << "silicon   unit bit action typesel\n";
  }
  for (const RasGroupWrite &g : v.rasGroups) {
    char line[96];
    std::snprintf(line, sizeof line, "%-9s %4u %3u %6u %7d%s\n", sim::BdfText(g.silicon).c_str(),
                  g.unitId, g.unitBit, g.actionBits, g.typeSel ? 1 : 0,
                  g.second ? "  (second write)" : "");
    out << line;
  }
}

// One line: what the run came to.
void WriteHeader(const RunResult &r, const TextOptions &o, std::ostream &out) {
  out << "== " << r.name << " ==\n";
  std::string line;
  if (!r.passRan) {
    line = "no pass: the platform as it stands";
  } else if (!r.fatalStops.empty()) {
    line = "fatal stop " + Hex(r.fatalStops.front());
  } else {
    line = "pass complete";
  }
  if (r.passRan) {
    line += fmt::format(", {} writes, {} S3 records; S3 resume check: ", r.writes.size(),
                        r.saveState.size() + r.table.size());
    line += r.resume.Clean() ? "clean"
                             : fmt::format("{} not restored, {} differing",
                                           r.resume.notRestored.size(), r.resume.differing.size());
  }
  line += r.audit ? "; audit: " + AuditCounts(*r.audit) : "; no audit";
  if (o.exitStatus) {
    line += fmt::format("; exit status {}", *o.exitStatus);
  }
  out << line << "\n";
}

void WriteSettings(const RunResult &r, std::ostream &out) {
  const bool allDefaulted = std::all_of(r.settings.begin(), r.settings.end(),
                                        [](const SettingUsed &s) { return s.defaulted; });
  if (allDefaulted && !r.settings.empty()) {
    out << "platform settings (PCD): kelsim's defaults for every token the driver reads "
           "(docs/kelsim.md)\n";
  } else {
    out << "-- platform settings (PCD) --\n";
    for (const SettingUsed &s : r.settings) {
      out << fmt::format("  {:>4} = {:<6} {}{}\n", s.token,
                         s.value ? fmt::format("0x{:x}", *s.value) : std::string("unset"),
                         s.meaning, s.defaulted ? " (default: the platform file leaves it out)" : "");
    }
  }
  for (const std::string &w : r.warnings) {
    out << "warning: " << w << "\n";
  }
}

// Columns padded to their widest cell, two spaces apart.
void WriteTable(const std::vector<std::vector<std::string>> &rows, std::ostream &out) {
  std::vector<size_t> widths;
  for (const auto &row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  for (const auto &row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c] + (c + 1 < row.size() ? std::string(widths[c] - row[c].size() + 2, ' ') : "");
    }
    out << line.substr(0, line.find_last_not_of(' ') + 1) << "\n";
  }
}

// One row per link: both ends, what the link can do and does, each feature
// with its change, the audit's verdict and what held a state back.
void WriteLinks(const RunResult &r, std::ostream &out) {
  const std::vector<LinkRow> links = LinkTable(r);
  out << "\n-- links (" << links.size() << ") --\n";
  if (links.empty()) {
    out << "no root port or switch downstream port\n";
    return;
  }
  std::vector<std::string> features; // every feature any link has, in the rows' order
  for (const LinkRow &l : links) {
    for (const LinkFeature &f : l.features) {
      if (std::find(features.begin(), features.end(), f.name) == features.end()) {
        features.push_back(f.name);
      }
    }
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"Port", "Device", "", "LnkCap", "LnkSta"});
  rows.back().insert(rows.back().end(), features.begin(), features.end());
  rows.back().insert(rows.back().end(), {"Audit", "Held back"});
  for (const LinkRow &l : links) {
    std::vector<std::string> row = {sim::BdfText(l.port),
                                    l.below.empty() ? "-" : sim::BdfText(l.below.front()),
                                    l.below.empty() ? "nothing attached" : l.belowName.substr(0, 32),
                                    l.capability, l.status + (l.downgraded ? " (downgraded)" : "")};
    for (const std::string &name : features) {
      const auto f = std::find_if(l.features.begin(), l.features.end(),
                                  [&](const LinkFeature &x) { return x.name == name; });
      row.push_back(f == l.features.end() ? "" : FeatureText(*f));
    }
    row.push_back(!r.audit ? "-"
                  : l.findings == 0
                      ? "ok"
                      : fmt::format("{} {}", l.findings, audit::SeverityName(*l.worst)));
    std::string held;
    for (const std::string &why : l.heldBack) {
      held += (held.empty() ? "" : "; ") + why;
    }
    row.push_back(held);
    rows.push_back(std::move(row));
  }
  WriteTable(rows, out);
  out << "before -> after where the pass changed a feature; port|device where the ends differ; "
         "MaxPayload and MaxReadReq in bytes; the audit's findings on each link are below\n";
}

void WriteTrace(const RunResult &r, uint64_t levels, std::ostream &out) {
  out << "\n-- driver trace --\n";
  for (const sim::Event &e : r.log.Events()) {
    if (e.kind == sim::EventKind::Debug && (e.level & levels) != 0) {
      out << r.log.Text(e);
    }
  }
  out << "\n";
}

// Post codes, the fatal stop and the pool memory left behind.
void WriteOutcome(const RunResult &r, std::ostream &out) {
  out << "-- post codes --\n";
  for (const uint64_t code : r.postCodes) {
    out << Hex(code) << "\n";
  }
  if (!r.fatalStops.empty()) {
    out << "FATAL STOP " << Hex(r.fatalStops.front())
        << (r.halted ? " (the machine is held in the fatal-stop display)" : "") << "\n";
  }
  for (const std::string &n : r.notes) {
    out << "platform: " << n << "\n";
  }
  out << "pool memory still allocated: " << r.pools.size() << " buffers";
  size_t runtime = 0;
  for (const PoolRecord &p : r.pools) {
    runtime += p.runtime ? 1 : 0;
  }
  out << " (" << runtime << " runtime-services data)\n";
}

void WriteHardwareWrites(const RunResult &r, bool smnTraffic, std::ostream &out) {
  out << "\n-- hardware writes (" << r.writes.size() << ") --\n";
  if (!smnTraffic) {
    out << "each SMN write once, without its index/data pair's configuration writes "
           "(--smn-traffic shows them)\n";
  }
  for (const WriteRecord &w : r.writes) {
    if (!smnTraffic && (w.registerName == "SMN_INDEX" || w.registerName == "SMN_DATA")) {
      continue;
    }
    out << w.kind << "  " << w.target;
    if (w.kind == "io") {
      out << " w" << w.width * 8 << " = " << Hex(w.value, w.width * 2) << "\n";
      continue;
    }
    out << " " << w.registerName << " w" << w.width * 8 << ": " << Hex(w.before, w.width * 2)
        << " -> " << Hex(w.value, w.width * 2);
    if (!w.changes.empty()) {
      out << "  [" << Changes(w.changes) << "]";
    }
    out << "\n";
  }
}

void WriteS3Script(const RunResult &r, std::ostream &out) {
  out << "\n-- S3 boot script --\n";
  out << "save-state protocol records: " << r.saveState.size() << "\n";
  for (const ScriptWrite &w : r.saveState) {
    out << "  mem write w" << w.width * 8 << " " << Hex(w.address, 10) << " = "
        << Hex(w.value, w.width * 2) << (w.target.empty() ? "" : "  (" + w.target + ")") << "\n";
  }
  if (!r.tableAvailable) {
    out << "private table: none\n";
  } else {
    out << "private table entries: " << r.table.size()
        << (r.handedToSmm ? " (handed to SMM)" : " (not handed to SMM)") << "\n";
    for (const TableEntry &e : r.table) {
      if (e.type == 3 && e.arguments.size() == 3 && e.arguments[0] < 4) {
        const unsigned bytes = 1u << e.arguments[0];
        out << "  mem write w" << bytes * 8 << " " << Hex(e.arguments[1], 10) << " = "
            << Hex(e.arguments[2], static_cast<int>(bytes * 2));
        const std::string target = ScriptTarget(r, e.arguments[1]);
        out << (target.empty() ? "" : "  (" + target + ")") << "\n";
        continue;
      }
      out << "  type " << e.type;
      for (const uint64_t a : e.arguments) {
        out << " " << Hex(a, 1);
      }
      out << "\n";
    }
  }
}

// One changed field of a function's state in lspci's words, with its unit:
// "ASPM Disabled -> L1", "MaxPayload 128 -> 256 bytes", "UEMsk 0x00000000 ->
// 0x00080000 (ECRC+)".
std::string StateChangeText(const FunctionState &a, const FunctionState &b, const FieldChange &c) {
  if (c.name == "aspm") {
    return "ASPM " + AspmName(a.aspm) + " -> " + AspmName(b.aspm);
  }
  if (c.name == "l1ss") {
    return "L1SS " + L1ssStates(a.l1ss) + " -> " + L1ssStates(b.l1ss);
  }
  if (c.name == "ltr.max_snoop") {
    return fmt::format("Max snoop latency {} -> {} ns", a.ltr.maxSnoopNs, b.ltr.maxSnoopNs);
  }
  if (c.name == "ltr.max_no_snoop") {
    return fmt::format("Max no snoop latency {} -> {} ns", a.ltr.maxNoSnoopNs, b.ltr.maxNoSnoopNs);
  }
  if (c.name == "slot_power_limit") {
    return "PowerLimit " + a.slotPower + " -> " + b.slotPower;
  }
  enum class Shape { Flag, Number, Mask, CorrectableMask };
  struct Named {
    const char *field;
    Shape shape;
    const char *label; // lspci's word
    const char *unit;
  };
  static constexpr Named kNamed[] = {
      {"mps", Shape::Number, "MaxPayload", "bytes"},
      {"mrrs", Shape::Number, "MaxReadReq", "bytes"},
      {"ext_tag", Shape::Flag, "ExtTag", ""},
      {"ccc", Shape::Flag, "CommClk", ""},
      {"clkpm", Shape::Flag, "ClockPM", ""},
      {"ltr.enable", Shape::Flag, "LTR", ""},
      {"ltr.threshold_ns", Shape::Number, "LTR1.2_Threshold", "ns"},
      {"l1ss.t_power_on_us", Shape::Number, "T_PwrOn", "us"},
      {"l1ss.common_mode_restore_us", Shape::Number, "T_CommonMode", "us"},
      {"aer.uncorrectable_mask", Shape::Mask, "UEMsk", ""},
      {"aer.uncorrectable_severity", Shape::Mask, "UESvrt", ""},
      {"aer.correctable_mask", Shape::CorrectableMask, "CEMsk", ""},
      {"ecrc.generation", Shape::Flag, "ECRCGenEn", ""},
      {"ecrc.check", Shape::Flag, "ECRCChkEn", ""},
  };
  for (const Named &n : kNamed) {
    if (c.name != n.field) {
      continue;
    }
    switch (n.shape) {
    case Shape::Flag:
      return fmt::format("{}{} -> {}", n.label, c.from ? '+' : '-', c.to ? '+' : '-');
    case Shape::Number:
      return fmt::format("{} {} -> {} {}", n.label, c.from, c.to, n.unit);
    case Shape::Mask:
    case Shape::CorrectableMask: {
      const bool correctable = n.shape == Shape::CorrectableMask;
      std::string bits;
      for (const std::string &name : AerBitNames(c.to & ~c.from, correctable)) {
        bits += (bits.empty() ? "" : " ") + name + "+";
      }
      for (const std::string &name : AerBitNames(c.from & ~c.to, correctable)) {
        bits += (bits.empty() ? "" : " ") + name + "-";
      }
      return fmt::format("{} {} -> {} ({})", n.label, Hex(c.from), Hex(c.to), bits);
    }
    }
  }
  return fmt::format("{} {} -> {}", c.name, c.from, c.to);
}

void WriteDevices(const RunResult &r, std::ostream &out) {
  out << "\n-- devices --\n";
  for (const DeviceReport &d : r.devices) {
    char head[64];
    std::snprintf(head, sizeof head, "%s %04x:%04x ", sim::BdfText(d.bdf).c_str(),
                  d.after.vendor, d.after.device);
    out << head << PortTypeName(d.after.portType);
    const std::string name = DeviceName(d.after.vendor, d.after.device);
    out << (name.empty() ? "" : "  " + name) << "\n";
    const std::string before = StateLine(d.before), after = StateLine(d.after);
    if (before == after) {
      out << "    state:  " << after << "\n";
    } else {
      out << "    before: " << before << "\n";
      out << "    after:  " << after << "\n";
    }
    if (d.after.aer) {
      out << "    UEMsk:  " << AerFlags(d.after.aer->uncorrectableMask, false) << "\n";
      out << "    UESvrt: " << AerFlags(d.after.aer->uncorrectableSeverity, false) << "\n";
      out << "    CEMsk:  " << AerFlags(d.after.aer->correctableMask, true) << "\n";
    }
    if (!d.diff.empty()) {
      std::string diff;
      for (const FieldChange &c : d.diff) {
        diff += (diff.empty() ? "" : ", ") + StateChangeText(d.before, d.after, c);
      }
      out << "    diff:   " << diff << "\n";
    }
    if (!d.unknown.empty()) {
      std::string names;
      for (const std::string &u : d.unknown) {
        names += (names.empty() ? "" : ", ") + u;
      }
      out << "    unknown: " << names << ": not in the capture, shown as read (0)\n";
    }
  }
}

void WriteResumeCheck(const RunResult &r, bool detail, std::ostream &out) {
  out << "\n-- S3 resume check --\n";
  out << "replayed " << r.resume.replayedWrites << " script writes onto the platform as it "
      << "stood before the pass\n";
  for (const std::string &n : r.resume.notes) {
    out << "  note: " << n << "\n";
  }
  if (r.resume.Clean()) {
    out << "every register the pass changed is restored\n";
  }
  if (!detail && !r.resume.Clean()) {
    out << r.resume.notRestored.size() << " registers changed by the pass are not written by the "
        << "script, " << r.resume.differing.size() << " the script writes end unlike the pass: "
        << "each is an S3-NOT-RESTORED or S3-RESTORED-DIFFERENTLY finding of the audit above "
           "(--full lists them here)\n";
    return;
  }
  if (!r.resume.notRestored.empty()) {
    out << r.resume.notRestored.size()
        << " registers changed by the pass are not written by the script:\n";
    for (const ResumeFinding &f : r.resume.notRestored) {
      out << "  " << f.location << " " << f.registerName << ": before " << Hex(f.before)
          << " after " << Hex(f.after) << " resumed " << Hex(f.replayed) << "\n";
    }
  }
  if (!r.resume.differing.empty()) {
    out << r.resume.differing.size() << " registers the script writes end unlike the pass:\n";
    for (const ResumeFinding &f : r.resume.differing) {
      out << "  " << f.location << " " << f.registerName << ": after pass " << Hex(f.after)
          << " after resume " << Hex(f.replayed);
      if (!f.fields.empty()) {
        out << "  [resume->pass: " << Changes(f.fields) << "]";
      }
      out << "\n";
    }
  }
}

} // namespace

TextOptions SummaryTextOptions() {
  TextOptions o;
  o.trace = false;
  o.writes = false;
  o.smnTraffic = false;
  o.script = false;
  o.rasGroups = false;
  o.accesses = false;
  o.resumeDetail = false;
  return o;
}

void WriteText(const RunResult &r, const TextOptions &o, std::ostream &out) {
  WriteHeader(r, o, out);
  WriteSettings(r, out);
  WriteLinks(r, out);
  if (r.audit) {
    WriteAuditText(*r.audit, r.passRan ? "after the pass" : "as the platform stands, no pass",
                   out, r.auditNotChecked, r.auditHadSomethingToCheck);
  }
  if (r.auditAfterResume) {
    WriteAuditText(*r.auditAfterResume, "after S3 resume: the boot script replayed", out);
  }
  if (o.features) {
    WriteFeatureText(r, o.rasGroups, out);
  }
  if (o.devices) {
    WriteDevices(r, out);
  }
  if (r.passRan) {
    out << "\n";
    WriteOutcome(r, out);
  }
  if (o.resume && r.passRan) {
    WriteResumeCheck(r, o.resumeDetail || !r.audit, out);
  }
  if (o.trace && r.passRan) {
    WriteTrace(r, o.traceLevels, out);
  }
  if (o.writes && r.passRan) {
    WriteHardwareWrites(r, o.smnTraffic, out);
  }
  if (o.script && r.passRan) {
    WriteS3Script(r, out);
  }
  if (o.accesses && r.passRan) {
    WriteAccessText(r.accesses, out);
  }
}

} // namespace kelsim
