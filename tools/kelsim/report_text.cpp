// The text report, section by section.
#include "tools/kelsim/report.h"

#include <cstdio>
#include <map>

#include <fmt/format.h>

#include "sim/lspci.h"
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

std::string AerLine(const AerState &a) {
  return "UEMsk [" + Names(AerBitNames(a.uncorrectableMask, false)) + "] UESvrt [" +
         Names(AerBitNames(a.uncorrectableSeverity, false)) + "] CEMsk [" +
         Names(AerBitNames(a.correctableMask, true)) + "]";
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

void WriteFeatureText(const FeatureView &v, std::ostream &out) {
  out << "\n-- engines (requests as the pass left them) --\n";
  for (const EngineReport &e : v.engines) {
    char head[160];
    std::snprintf(head, sizeof head, "[%s] port %s wrapper %d PortId %d core %d %s%s CLKREQ# %d%s\n",
                  sim::BdfText(e.silicon).c_str(), sim::BdfText(e.port).c_str(), e.wrapperId,
                  e.portId, e.coreId, e.active ? "active" : "inactive", e.ready ? " ready" : "",
                  e.clkReq, e.sris ? " SRIS" : "");
    out << head;
    out << "    PortAspm      " << PortAspmText(e.portAspmBefore) << " -> "
        << PortAspmText(e.portAspmAfter) << "\n";
    out << "    PortPmOptions " << PortPmOptionsText(e.portPmOptionsBefore) << " -> "
        << PortPmOptionsText(e.portPmOptionsAfter) << "\n";
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
  for (const AerRow &row : v.aerTable) {
    char head[64];
    std::snprintf(head, sizeof head, "Dev%d Func%d %-7s", row.device, row.function,
                  AerEnableText(row.aerEnable).c_str());
    out << head;
    if (row.aerEnable == 1) {
      out << " CE [" << Names(AerBitNames(row.correctableMask, true)) << "] UE ["
          << Names(AerBitNames(row.uncorrectableMask, false)) << "] Sev ["
          << Names(AerBitNames(row.uncorrectableSeverity, false)) << "]";
    }
    out << "\n";
  }
  out << "\n-- RAS groups (" << v.rasGroups.size() << ") --\n";
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

void WriteSettings(const RunResult &r, std::ostream &out) {
  out << "== " << r.name << " ==\n";
  out << "-- platform settings (PCD) --\n";
  for (const SettingUsed &s : r.settings) {
    out << fmt::format("  {:>4} = {:<6} {}{}\n", s.token,
                       s.value ? fmt::format("0x{:x}", *s.value) : std::string("unset"),
                       s.meaning, s.defaulted ? " (default: the platform file leaves it out)" : "");
  }
  for (const std::string &w : r.warnings) {
    out << "warning: " << w << "\n";
  }
}

void WriteTrace(const RunResult &r, uint64_t levels, std::ostream &out) {
  out << "\n-- driver trace --\n";
  for (const sim::Event &e : r.events) {
    if (e.kind == sim::EventKind::Debug && (e.level & levels) != 0) {
      out << e.text;
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

void WriteHardwareWrites(const RunResult &r, std::ostream &out) {
  out << "\n-- hardware writes (" << r.writes.size() << ") --\n";
  for (const WriteRecord &w : r.writes) {
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

void WriteDevices(const RunResult &r, std::ostream &out) {
  out << "\n-- devices --\n";
  for (const DeviceReport &d : r.devices) {
    char head[64];
    std::snprintf(head, sizeof head, "%s %04x:%04x ", sim::BdfText(d.bdf).c_str(),
                  d.after.vendor, d.after.device);
    out << head << PortTypeName(d.after.portType);
    const std::string name = DeviceName(d.after.vendor, d.after.device);
    out << (name.empty() ? "" : "  " + name) << "\n";
    out << "    before: " << StateLine(d.before) << "\n";
    out << "    after:  " << StateLine(d.after) << "\n";
    if (d.after.aer) {
      out << "    aer:    " << AerLine(*d.after.aer) << "\n";
    }
    if (!d.diff.empty()) {
      out << "    diff:   " << Changes(d.diff) << "\n";
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

void WriteResumeCheck(const RunResult &r, std::ostream &out) {
  out << "\n-- S3 resume check --\n";
  out << "replayed " << r.resume.replayedWrites << " script writes onto the platform as it "
      << "stood before the pass\n";
  for (const std::string &n : r.resume.notes) {
    out << "  note: " << n << "\n";
  }
  if (r.resume.Clean()) {
    out << "every register the pass changed is restored\n";
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

void WriteText(const RunResult &r, const TextOptions &o, std::ostream &out) {
  WriteSettings(r, out);
  if (o.trace) {
    WriteTrace(r, o.traceLevels, out);
  }
  WriteOutcome(r, out);
  if (o.writes) {
    WriteHardwareWrites(r, out);
  }
  if (o.script) {
    WriteS3Script(r, out);
  }
  if (o.devices) {
    WriteDevices(r, out);
  }
  if (o.features) {
    WriteFeatureText(r.features, out);
  }
  if (o.accesses && r.passRan) {
    WriteAccessText(r.accesses, out);
  }
  if (r.audit) {
    WriteAuditText(*r.audit, r.passRan ? "after the pass" : "as the platform stands, no pass",
                   out, r.auditNotChecked, r.auditHadSomethingToCheck);
  }
  if (r.auditAfterResume) {
    WriteAuditText(*r.auditAfterResume, "after S3 resume: the boot script replayed", out);
  }
  if (o.resume && r.passRan) {
    WriteResumeCheck(r, out);
  }
}

} // namespace kelsim
