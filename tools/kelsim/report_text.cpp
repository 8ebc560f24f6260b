#include "tools/kelsim/report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "sim/lspci.h"
#include "tools/kelsim/names.h"

namespace kelsim {

using nlohmann::json;

namespace {

std::string Hex(uint64_t v, int digits = 8) {
  return fmt::format(FMT_COMPILE("0x{:0{}x}"), v, digits);
}

std::string Changes(const std::vector<FieldChange> &changes) {
  std::string out;
  for (const FieldChange &c : changes) {
    out += (out.empty() ? "" : ", ") + c.name + " " + std::to_string(c.from) + "->" +
           std::to_string(c.to);
  }
  return out;
}

const char *LevelName(uint64_t level) {
  switch (level) {
  case 0x100000:
    return "PCIE";
  case 0x200000:
    return "AER";
  case 0x2000000:
    return "SERVICE";
  case 0x4000000000000ULL:
    return "DRIVER";
  case 0x20000000000000ULL:
    return "HOOK";
  default:
    return "OTHER";
  }
}

json StateJson(const FunctionState &s) {
  json j;
  j["port_type"] = s.portType < 0 ? json(nullptr) : json(PortTypeName(s.portType));
  auto orNull = [](int v) { return v < 0 ? json(nullptr) : json(v); };
  j["mps"] = orNull(s.mps);
  j["mrrs"] = orNull(s.mrrs);
  j["ext_tag"] = s.portType < 0 ? json(nullptr) : json(s.extTag);
  j["aspm"] = s.aspm < 0 ? json(nullptr) : json(AspmName(s.aspm));
  j["ccc"] = !s.hasLink ? json(nullptr) : json(s.ccc);
  j["clkpm"] = !s.hasLink ? json(nullptr) : json(s.clkpm);
  j["l1ss"] = s.l1ss < 0 ? json(nullptr) : json(L1ssName(s.l1ss));
  j["ltr"] = s.portType < 0 ? json(nullptr)
                            : json{{"enable", s.hasControl2 ? json(s.ltr.enabled) : json(nullptr)},
                                   {"max_snoop", orNull(s.ltr.maxSnoop)},
                                   {"max_no_snoop", orNull(s.ltr.maxNoSnoop)},
                                   {"max_snoop_ns", s.ltr.maxSnoopNs < 0 ? json(nullptr) : json(s.ltr.maxSnoopNs)},
                                   {"max_no_snoop_ns",
                                    s.ltr.maxNoSnoopNs < 0 ? json(nullptr) : json(s.ltr.maxNoSnoopNs)},
                                   {"threshold_ns", orNull(s.ltr.threshold)},
                                   {"t_power_on_us", orNull(s.ltr.tPowerOnUs)},
                                   {"common_mode_restore_us", orNull(s.ltr.commonModeRestoreUs)}};
  if (s.aer) {
    j["aer"] = {{"uncorrectable_mask", s.aer->uncorrectableMask},
                {"uncorrectable_severity", s.aer->uncorrectableSeverity},
                {"correctable_mask", s.aer->correctableMask},
                {"names",
                 {{"uncorrectable_mask", AerBitNames(s.aer->uncorrectableMask, false)},
                  {"uncorrectable_severity", AerBitNames(s.aer->uncorrectableSeverity, false)},
                  {"correctable_mask", AerBitNames(s.aer->correctableMask, true)}}}};
    j["ecrc"] = {{"generation", s.aer->ecrcGeneration}, {"check", s.aer->ecrcCheck}};
  } else {
    j["aer"] = nullptr;
    j["ecrc"] = nullptr;
  }
  j["slot_power"] = s.slotPower.empty() ? json(nullptr) : json(s.slotPower);
  return j;
}

json FindingJson(const ResumeFinding &f) {
  json fields = json::array();
  for (const FieldChange &c : f.fields) {
    fields.push_back({{"field", c.name}, {"resumed", c.from}, {"after", c.to}});
  }
  return {{"location", f.location}, {"register", f.registerName}, {"before", f.before},
          {"after", f.after},       {"replayed", f.replayed},     {"fields", fields}};
}

// The decoded target of a script address, as the run resolved it.
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

std::string AuditCounts(const std::vector<audit::Finding> &findings) {
  size_t counts[3] = {0, 0, 0};
  for (const audit::Finding &f : findings) {
    ++counts[static_cast<int>(f.severity)];
  }
  return std::to_string(counts[0]) + " errors, " + std::to_string(counts[1]) + " warnings, " +
         std::to_string(counts[2]) + " info";
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

nlohmann::json AuditJson(const std::vector<audit::Finding> &findings) {
  nlohmann::json all = nlohmann::json::array();
  for (const audit::Finding &f : findings) {
    nlohmann::json functions = nlohmann::json::array();
    for (const uint32_t b : f.functions) {
      functions.push_back(sim::BdfText(b));
    }
    nlohmann::json registers = nlohmann::json::array();
    for (const audit::RegisterValue &v : f.registers) {
      registers.push_back({{"function", sim::BdfText(v.function)},
                           {"register", v.name},
                           {"offset", v.offset},
                           {"value", v.value}});
    }
    all.push_back({{"id", f.id},
                   {"severity", audit::SeverityName(f.severity)},
                   {"functions", functions},
                   {"registers", registers},
                   {"message", f.message},
                   {"section", f.section}});
  }
  return all;
}

// One entry per logged event, in order: every access the driver made, each
// trace line and each pass step at its place among them.
nlohmann::json EventJson(const sim::Event &e) {
  using sim::EventKind;
  auto access = [&e](const char *kind, const char *space) {
    nlohmann::json j = {{"kind", kind}, {"space", space}, {"address", e.address},
                        {"width", e.width}, {"value", e.value}};
    if (e.kind == EventKind::SmnRead || e.kind == EventKind::SmnWrite) {
      j["silicon"] = sim::BdfText(e.silicon);
    }
    return j;
  };
  switch (e.kind) {
  case EventKind::CfgRead:
    return access("read", "config");
  case EventKind::CfgWrite:
    return access("write", "config");
  case EventKind::SmnRead:
    return access("read", "smn");
  case EventKind::SmnWrite:
    return access("write", "smn");
  case EventKind::IoWrite:
    return {{"kind", "io"}, {"address", e.address}, {"width", e.width}, {"value", e.value}};
  case EventKind::Debug:
    return {{"kind", "trace"}, {"level", e.level}, {"text", e.text}};
  case EventKind::PassStep:
    return {{"kind", "step"}, {"step", e.value}, {"function", sim::StepName(static_cast<unsigned>(e.value))}};
  case EventKind::S3Record:
    return {{"kind", "s3_record"}, {"address", e.address}, {"width", e.width}, {"value", e.value}};
  case EventKind::MsrRead:
    return {{"kind", "msr_read"}, {"address", e.address}, {"value", e.value}};
  case EventKind::MsrWrite:
    return {{"kind", "msr_write"}, {"address", e.address}, {"value", e.value}};
  case EventKind::Cpuid:
    return {{"kind", "cpuid"}, {"address", e.address}, {"value", e.value}};
  case EventKind::PcdGet:
    return {{"kind", "pcd_get"}, {"address", e.address}, {"value", e.value}};
  case EventKind::PcdSet:
    return {{"kind", "pcd_set"}, {"address", e.address}, {"value", e.value}};
  case EventKind::FatalStop:
    return {{"kind", "fatal_stop"}, {"value", e.value}};
  case EventKind::Fault:
    return {{"kind", "fault"}, {"address", e.address}, {"text", e.text}};
  case EventKind::Locate:
    return {{"kind", "locate"}, {"text", e.text}, {"value", e.value}};
  }
  return {{"kind", "unknown"}};
}

nlohmann::json AccessJson(const sim::AccessCounts &c) {
  return {{"config_reads", c.configReads},   {"config_writes", c.configWrites},
          {"smn_reads", c.smnReads},         {"smn_writes", c.smnWrites},
          {"smn_pair_accesses", c.smnPairAccesses}, {"port_writes", c.portWrites},
          {"s3_records", c.s3Records},       {"pcd_reads", c.pcdReads}};
}

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

nlohmann::json FeatureJson(const FeatureView &v) {
  json j;
  j["engines"] = json::array();
  for (const EngineReport &e : v.engines) {
    j["engines"].push_back({{"silicon", sim::BdfText(e.silicon)},
                            {"port", sim::BdfText(e.port)},
                            {"wrapper_id", e.wrapperId},
                            {"port_id", e.portId},
                            {"core_id", e.coreId},
                            {"active", e.active},
                            {"ready", e.ready},
                            {"clkreq", e.clkReq},
                            {"sris", e.sris},
                            {"port_aspm", {{"before", e.portAspmBefore}, {"after", e.portAspmAfter}}},
                            {"port_pm_options",
                             {{"before", e.portPmOptionsBefore}, {"after", e.portPmOptionsAfter}}}});
  }
  j["straps"] = json::array();
  for (const StrapWrite &st : v.straps) {
    j["straps"].push_back({{"silicon", sim::BdfText(st.silicon)},
                           {"core", st.core},
                           {"strap", st.strap},
                           {"port", st.port < 0 ? json(nullptr) : json(st.port)},
                           {"purpose", st.purpose},
                           {"value", st.value}});
  }
  j["indirect"] = json::array();
  for (const IndirectWrite &w : v.indirect) {
    j["indirect"].push_back({{"port", sim::BdfText(w.port)},
                             {"index", w.index},
                             {"before", w.before},
                             {"after", w.after}});
  }
  j["clkreq_maps"] = json::array();
  for (const ClkReqMap &m : v.clkReqMaps) {
    j["clkreq_maps"].push_back(
        {{"silicon", sim::BdfText(m.silicon)}, {"core", m.core}, {"port_of_signal", m.portOfSignal}});
  }
  j["aer_table"] = {{"number_of_ports", v.aerNumberOfPorts}, {"rows", json::array()}};
  for (const AerRow &row : v.aerTable) {
    j["aer_table"]["rows"].push_back({{"device", row.device},
                                      {"function", row.function},
                                      {"aer_enable", row.aerEnable},
                                      {"correctable_mask", AerBitNames(row.correctableMask, true)},
                                      {"uncorrectable_mask", AerBitNames(row.uncorrectableMask, false)},
                                      {"uncorrectable_severity",
                                       AerBitNames(row.uncorrectableSeverity, false)}});
  }
  j["ras_groups"] = json::array();
  for (const RasGroupWrite &g : v.rasGroups) {
    j["ras_groups"].push_back({{"silicon", sim::BdfText(g.silicon)},
                               {"unit_id", g.unitId},
                               {"unit_bit", g.unitBit},
                               {"action_bits", g.actionBits},
                               {"type_sel", g.typeSel},
                               {"second", g.second}});
  }
  return j;
}

} // namespace

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

void WriteText(const RunResult &r, const TextOptions &o, std::ostream &out) {
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
  if (o.trace) {
    out << "\n-- driver trace --\n";
    std::string pending;
    for (const sim::Event &e : r.events) {
      if (e.kind == sim::EventKind::Debug && (e.level & o.traceLevels) != 0) {
        out << e.text;
      }
    }
    out << "\n";
  }
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
  if (o.writes) {
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
  if (o.script) {
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
  if (o.devices) {
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
}

json ToJson(const RunResult &r) {
  json j;
  j["name"] = r.name;
  j["warnings"] = r.warnings;
  j["trace"] = json::array();
  for (const sim::Event &e : r.events) {
    if (e.kind == sim::EventKind::Debug) {
      j["trace"].push_back({{"level", e.level}, {"level_name", LevelName(e.level)}, {"text", e.text}});
    }
  }
  j["post_codes"] = r.postCodes;
  j["fatal_stop"] = r.fatalStops.empty() ? json(nullptr) : json(r.fatalStops.front());
  j["halted"] = r.halted;
  j["platform_notes"] = r.notes;
  j["pools"] = json::array();
  for (const PoolRecord &p : r.pools) {
    j["pools"].push_back({{"size", p.size}, {"runtime", p.runtime}});
  }
  j["writes"] = json::array();
  for (const WriteRecord &w : r.writes) {
    json x = {{"kind", w.kind}, {"address", w.address}, {"width", w.width}, {"value", w.value}};
    if (w.kind != "io") {
      x["before"] = w.before;
      x["target"] = w.target;
      x["register"] = w.registerName;
      json changes = json::array();
      for (const FieldChange &c : w.changes) {
        changes.push_back({{"field", c.name}, {"from", c.from}, {"to", c.to}});
      }
      x["changes"] = changes;
    }
    if (w.kind == "smn") {
      x["silicon"] = sim::BdfText(w.silicon);
    }
    j["writes"].push_back(x);
  }
  json script;
  script["save_state"] = json::array();
  for (const ScriptWrite &w : r.saveState) {
    script["save_state"].push_back({{"opcode", 2}, {"width", w.width}, {"address", w.address},
                                    {"value", w.value}, {"target", w.target}});
  }
  script["table"] = json::array();
  for (const TableEntry &e : r.table) {
    json entry = {{"type", e.type}, {"arguments", e.arguments}};
    if (e.type == 3 && e.arguments.size() == 3) {
      entry["width"] = e.arguments[0] < 4 ? 1u << e.arguments[0] : 0u;
      entry["address"] = e.arguments[1];
      entry["value"] = e.arguments[2];
    }
    script["table"].push_back(entry);
  }
  script["table_available"] = r.tableAvailable;
  script["handed_to_smm"] = r.handedToSmm;
  j["s3"] = script;
  j["devices"] = json::object();
  for (const DeviceReport &d : r.devices) {
    json diff = json::array();
    for (const FieldChange &c : d.diff) {
      diff.push_back({{"field", c.name}, {"from", c.from}, {"to", c.to}});
    }
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", d.after.vendor, d.after.device);
    j["devices"][sim::BdfText(d.bdf)] = {
        {"id", ids},       {"name", DeviceName(d.after.vendor, d.after.device)},
        {"before", StateJson(d.before)}, {"after", StateJson(d.after)}, {"diff", diff},
        {"unknown_registers", d.unknown}};
  }
  json resume;
  resume["replayed_writes"] = r.resume.replayedWrites;
  resume["clean"] = r.resume.Clean();
  resume["not_restored"] = json::array();
  for (const ResumeFinding &f : r.resume.notRestored) {
    resume["not_restored"].push_back(FindingJson(f));
  }
  resume["differing"] = json::array();
  for (const ResumeFinding &f : r.resume.differing) {
    resume["differing"].push_back(FindingJson(f));
  }
  resume["notes"] = r.resume.notes;
  j["s3_resume"] = resume;
  j["features"] = FeatureJson(r.features);
  json accesses = {{"steps", json::array()}};
  for (const sim::StepAccesses &s : r.accesses) {
    json row = AccessJson(s.counts);
    row["step"] = s.step;
    row["function"] = sim::StepName(s.step);
    accesses["steps"].push_back(row);
  }
  const sim::AccessCounts total = sim::Total(r.accesses);
  accesses["total"] = AccessJson(total);
  accesses["estimated_microseconds"] = total.EstimatedMicroseconds();
  j["accesses"] = accesses;
  j["pass_ran"] = r.passRan;
  j["settings"] = json::array();
  for (const SettingUsed &s : r.settings) {
    j["settings"].push_back({{"token", s.token},
                             {"value", s.value ? json(*s.value) : json(nullptr)},
                             {"default", s.defaulted},
                             {"meaning", s.meaning}});
  }
  j["events"] = json::array();
  for (const sim::Event &e : r.events) {
    j["events"].push_back(EventJson(e));
  }
  if (r.audit) {
    j["audit"] = AuditJson(*r.audit);
    j["audit_not_checked"] = r.auditNotChecked;
  }
  if (r.auditAfterResume) {
    j["audit_after_resume"] = AuditJson(*r.auditAfterResume);
  }
  return j;
}

namespace {

std::string DotText(std::string text) {
  std::replace(text.begin(), text.end(), '"', '\'');
  return text;
}

// One setting, with its change when the pass made one: "ASPM Disabled->L1".
void Setting(std::vector<std::string> &lines, const std::string &name, const std::string &before,
             const std::string &after) {
  lines.push_back(name + " " + (before == after ? after : before + "->" + after));
}

std::string PlusMinus(bool on) { return on ? "on" : "off"; }

// The link-level settings of a function, before -> after where they changed.
std::string LinkSettings(const FunctionState &b, const FunctionState &a) {
  std::vector<std::string> lines;
  if (a.portType < 0) {
    return "";
  }
  Setting(lines, "MPS", std::to_string(b.mps), std::to_string(a.mps));
  Setting(lines, "MRRS", std::to_string(b.mrrs), std::to_string(a.mrrs));
  if (a.hasLink) {
    Setting(lines, "ASPM", AspmName(b.aspm), AspmName(a.aspm));
    Setting(lines, "CCC", PlusMinus(b.ccc), PlusMinus(a.ccc));
    Setting(lines, "ClkPM", PlusMinus(b.clkpm), PlusMinus(a.clkpm));
  }
  if (a.l1ss >= 0) {
    Setting(lines, "L1SS", L1ssName(b.l1ss), L1ssName(a.l1ss));
  }
  if (a.hasControl2) {
    Setting(lines, "LTR", PlusMinus(b.ltr.enabled), PlusMinus(a.ltr.enabled));
  }
  if (!a.slotPower.empty()) {
    Setting(lines, "slot", b.slotPower, a.slotPower);
  }
  std::string out;
  for (const std::string &l : lines) {
    out += "\\n" + l;
  }
  return out;
}

std::string FunctionLine(const DeviceReport &d) {
  const std::string name = DeviceName(d.after.vendor, d.after.device);
  return fmt::format("{} {:04x}:{:04x} {}{}", sim::BdfText(d.bdf), d.after.vendor, d.after.device,
                     PortTypeName(d.after.portType), name.empty() ? "" : "\\n" + DotText(name));
}

bool IsBridgeType(int portType) { return portType == 4 || portType == 5 || portType == 6 || portType == 7; }

} // namespace

// The PCI Express hierarchy only: each silicon's host bridge, its root ports
// and what lies below them. Bridges are nodes of their own, carrying their
// settings; the functions of one device below a link share one node; each
// link's edge shows what the pass changed on the device's side.
void WriteDot(const RunResult &r, std::ostream &out) {
  out << "digraph pcie {\n  rankdir=LR;\n  node [shape=box, fontname=\"monospace\"];\n";
  std::map<uint32_t, const DeviceReport *> byBdf;
  for (const DeviceReport &d : r.devices) {
    byBdf[d.bdf] = &d;
  }
  std::map<uint32_t, uint32_t> hostBridgeOfPort;
  for (const EngineReport &e : r.features.engines) {
    hostBridgeOfPort[e.port & 0x0FFFF000] = e.silicon;
  }
  std::map<std::string, std::vector<uint32_t>> below; // upstream node -> functions
  for (const Link &l : r.links) {
    below[l.upstream].push_back(l.downstream);
  }
  // Node of a function: bridges by their address, other functions by their
  // device ("01:00"), so a multi-function device is one node.
  auto nodeOf = [&](uint32_t bdf) {
    const auto it = byBdf.find(bdf);
    const bool bridge = it != byBdf.end() && IsBridgeType(it->second->after.portType);
    return bridge ? sim::BdfText(bdf) : sim::BdfText(bdf).substr(0, 5);
  };
  std::map<std::string, std::vector<const DeviceReport *>> nodes;
  std::set<std::pair<std::string, std::string>> edges;
  std::vector<std::string> pending;
  for (const auto &[upstream, functions] : below) {
    if (upstream.rfind("silicon", 0) == 0) {
      pending.push_back(upstream);
    }
  }
  std::set<std::string> visited;
  while (!pending.empty()) {
    const std::string up = pending.back();
    pending.pop_back();
    if (!visited.insert(up).second) {
      continue;
    }
    for (const uint32_t bdf : below[up]) {
      const auto it = byBdf.find(bdf);
      if (it == byBdf.end()) {
        continue;
      }
      const std::string node = nodeOf(bdf);
      nodes[node].push_back(it->second);
      edges.insert({up, node});
      pending.push_back(sim::BdfText(bdf));
    }
  }
  for (const std::string &silicon : visited) {
    if (silicon.rfind("silicon", 0) != 0) {
      continue;
    }
    std::string hostBridge;
    for (const uint32_t port : below[silicon]) {
      if (hostBridgeOfPort.count(port) != 0) {
        hostBridge = "\\nhost bridge " + sim::BdfText(hostBridgeOfPort[port]);
        break;
      }
    }
    out << "  \"" << silicon << "\" [shape=ellipse, label=\"" << silicon << hostBridge << "\"];\n";
  }
  for (const auto &[node, functions] : nodes) {
    std::string label;
    for (const DeviceReport *d : functions) {
      label += (label.empty() ? "" : "\\n") + FunctionLine(*d);
    }
    const DeviceReport &first = *functions.front();
    if (IsBridgeType(first.after.portType)) {
      label += LinkSettings(first.before, first.after); // the port's own settings
    }
    out << "  \"" << node << "\" [label=\"" << label << "\"];\n";
  }
  for (const auto &[up, node] : edges) {
    const DeviceReport &d = *nodes[node].front();
    std::string label;
    if (!IsBridgeType(d.after.portType) && up.rfind("silicon", 0) != 0) {
      label = LinkSettings(d.before, d.after);
      label.erase(0, std::min<size_t>(2, label.size())); // the leading line break
    }
    out << "  \"" << up << "\" -> \"" << node << "\"" << (label.empty() ? "" : " [label=\"" + label + "\"]")
        << ";\n";
  }
  out << "}\n";
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
