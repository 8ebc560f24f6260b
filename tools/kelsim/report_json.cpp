// The JSON report: every section of the text report as data, and every
// logged event in order.
#include "tools/kelsim/report.h"

#include <cstdio>
#include <utility>

#include "sim/lspci.h"
#include "tools/kelsim/link_table.h"
#include "tools/kelsim/names.h"

namespace kelsim {

using nlohmann::json;

namespace {

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
  j["link_capability"] = s.hasLink ? json(LinkSpeedWidth(s.linkCapabilities)) : json(nullptr);
  j["link_status"] = s.hasLink ? json(LinkSpeedWidth(s.linkStatus)) : json(nullptr);
  return j;
}

json LinksJson(const RunResult &r) {
  json all = json::array();
  for (const LinkRow &l : LinkTable(r)) {
    json below = json::array();
    for (const uint32_t b : l.below) {
      below.push_back(sim::BdfText(b));
    }
    json features = json::array();
    for (const LinkFeature &f : l.features) {
      features.push_back({{"name", f.name}, {"before", f.before}, {"after", f.after}});
    }
    json verdict = nullptr;
    if (r.audit) {
      verdict = {{"findings", l.findings},
                 {"worst", l.worst ? json(audit::SeverityName(*l.worst)) : json(nullptr)},
                 {"worst_id", l.worst ? json(l.worstId) : json(nullptr)}};
    }
    all.push_back({{"port", sim::BdfText(l.port)},
                   {"below", std::move(below)},
                   {"device", l.belowName},
                   {"capability", l.capability},
                   {"status", l.status},
                   {"downgraded", l.downgraded},
                   {"features", std::move(features)},
                   {"held_back", l.heldBack},
                   {"audit", std::move(verdict)}});
  }
  return all;
}

json FindingJson(const ResumeFinding &f) {
  json fields = json::array();
  for (const FieldChange &c : f.fields) {
    fields.push_back({{"field", c.name}, {"resumed", c.from}, {"after", c.to}});
  }
  return {{"location", f.location}, {"register", f.registerName}, {"before", f.before},
          {"after", f.after},       {"replayed", f.replayed},     {"fields", std::move(fields)}};
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
                   {"functions", std::move(functions)},
                   {"registers", std::move(registers)},
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

json ToJson(const RunResult &r, bool events) {
  json j;
  j["name"] = r.name;
  j["warnings"] = r.warnings;
  json trace = json::array();
  for (const sim::Event &e : r.events) {
    if (e.kind == sim::EventKind::Debug) {
      trace.push_back({{"level", e.level}, {"level_name", LevelName(e.level)}, {"text", e.text}});
    }
  }
  j["trace"] = std::move(trace);
  j["post_codes"] = r.postCodes;
  j["fatal_stop"] = r.fatalStops.empty() ? json(nullptr) : json(r.fatalStops.front());
  j["halted"] = r.halted;
  j["platform_notes"] = r.notes;
  j["pools"] = json::array();
  for (const PoolRecord &p : r.pools) {
    j["pools"].push_back({{"size", p.size}, {"runtime", p.runtime}});
  }
  json writes = json::array();
  writes.get_ref<json::array_t &>().reserve(r.writes.size());
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
      x["changes"] = std::move(changes);
    }
    if (w.kind == "smn") {
      x["silicon"] = sim::BdfText(w.silicon);
    }
    writes.push_back(std::move(x));
  }
  j["writes"] = std::move(writes);
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
    script["table"].push_back(std::move(entry));
  }
  script["table_available"] = r.tableAvailable;
  script["handed_to_smm"] = r.handedToSmm;
  j["s3"] = std::move(script);
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
        {"before", StateJson(d.before)}, {"after", StateJson(d.after)}, {"diff", std::move(diff)},
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
  j["s3_resume"] = std::move(resume);
  j["features"] = FeatureJson(r.features);
  j["links"] = LinksJson(r);
  json accesses = {{"steps", json::array()}};
  for (const sim::StepAccesses &s : r.accesses) {
    json row = AccessJson(s.counts);
    row["step"] = s.step;
    row["function"] = sim::StepName(s.step);
    accesses["steps"].push_back(std::move(row));
  }
  const sim::AccessCounts total = sim::Total(r.accesses);
  accesses["total"] = AccessJson(total);
  accesses["estimated_microseconds"] = total.EstimatedMicroseconds();
  j["accesses"] = std::move(accesses);
  j["pass_ran"] = r.passRan;
  j["settings"] = json::array();
  for (const SettingUsed &s : r.settings) {
    j["settings"].push_back({{"token", s.token},
                             {"value", s.value ? json(*s.value) : json(nullptr)},
                             {"default", s.defaulted},
                             {"meaning", s.meaning}});
  }
  if (events) {
    json all = json::array();
    all.get_ref<json::array_t &>().reserve(r.events.size());
    for (const sim::Event &e : r.events) {
      all.push_back(EventJson(e));
    }
    j["events"] = std::move(all);
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

} // namespace kelsim
