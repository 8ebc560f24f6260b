// The JSON report: every section of the text report as data, and every
// logged event in order. Written as it is walked (RapidJSON's writer), not
// built as a document first: a report with the events holds some 100,000
// values.
#include "tools/kelsim/report.h"

#include <concepts>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "sim/lspci.h"
#include "tools/kelsim/link_table.h"
#include "tools/kelsim/names.h"

namespace kelsim {

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

// -1 is how the device view says "not there"; the report says null.
std::optional<long long> OrNull(long long v) { return v < 0 ? std::nullopt : std::optional(v); }

template <typename T> std::optional<T> If(bool present, T v) {
  return present ? std::optional<T>(std::move(v)) : std::nullopt;
}

// Values as JSON, through either RapidJSON writer.
template <typename W> class Out {
public:
  explicit Out(W &w) : w_(w) {}

  void Put(std::nullptr_t) { w_.Null(); }
  void Put(bool v) { w_.Bool(v); }
  void Put(std::string_view v) { w_.String(v.data(), static_cast<rapidjson::SizeType>(v.size())); }
  void Put(const char *v) { Put(std::string_view(v)); }
  void Put(const std::string &v) { Put(std::string_view(v)); }
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  void Put(T v) {
    if constexpr (std::is_signed_v<T>) {
      w_.Int64(v);
    } else {
      w_.Uint64(v);
    }
  }
  template <typename T> void Put(const std::optional<T> &v) {
    if (v) {
      Put(*v);
    } else {
      w_.Null();
    }
  }
  template <typename T> void Put(const std::vector<T> &v) {
    w_.StartArray();
    for (const T &x : v) {
      Put(x);
    }
    w_.EndArray();
  }

  template <typename T> void Field(const char *key, const T &v) {
    w_.Key(key);
    Put(v);
  }
  void Key(std::string_view key) { w_.Key(key.data(), static_cast<rapidjson::SizeType>(key.size())); }
  template <typename F> void Object(F body) {
    w_.StartObject();
    body();
    w_.EndObject();
  }
  template <typename F> void Object(const char *key, F body) {
    w_.Key(key);
    Object(body);
  }
  // An array of one object per element.
  template <typename C, typename F> void Array(const char *key, const C &items, F each) {
    w_.Key(key);
    w_.StartArray();
    for (const auto &x : items) {
      Object([&] { each(x); });
    }
    w_.EndArray();
  }

  // Functions by their bus, device and function, "01:00.0".
  void Bdfs(const char *key, const std::vector<uint32_t> &functions) {
    w_.Key(key);
    w_.StartArray();
    for (const uint32_t f : functions) {
      Put(sim::BdfText(f));
    }
    w_.EndArray();
  }

  template <typename T> void BeforeAfter(const char *key, const T &before, const T &after) {
    Object(key, [&] {
      Field("before", before);
      Field("after", after);
    });
  }

  void Changes(const char *key, const std::vector<FieldChange> &changes, const char *from,
               const char *to) {
    Array(key, changes, [&](const FieldChange &c) {
      Field("field", c.name);
      Field(from, c.from);
      Field(to, c.to);
    });
  }

  void State(const FunctionState &s) {
    const bool pcie = s.portType >= 0;
    Field("port_type", If(pcie, PortTypeName(s.portType)));
    Field("mps", OrNull(s.mps));
    Field("mrrs", OrNull(s.mrrs));
    Field("ext_tag", If(pcie, s.extTag));
    Field("aspm", If(s.aspm >= 0, AspmName(s.aspm)));
    Field("ccc", If(s.hasLink, s.ccc));
    Field("clkpm", If(s.hasLink, s.clkpm));
    Field("l1ss", If(s.l1ss >= 0, L1ssName(s.l1ss)));
    w_.Key("ltr");
    if (pcie) {
      Object([&] {
        Field("enable", If(s.hasControl2, s.ltr.enabled));
        Field("max_snoop", OrNull(s.ltr.maxSnoop));
        Field("max_no_snoop", OrNull(s.ltr.maxNoSnoop));
        Field("max_snoop_ns", OrNull(s.ltr.maxSnoopNs));
        Field("max_no_snoop_ns", OrNull(s.ltr.maxNoSnoopNs));
        Field("threshold_ns", OrNull(s.ltr.threshold));
        Field("t_power_on_us", OrNull(s.ltr.tPowerOnUs));
        Field("common_mode_restore_us", OrNull(s.ltr.commonModeRestoreUs));
      });
    } else {
      w_.Null();
    }
    if (s.aer) {
      Object("aer", [&] {
        Field("uncorrectable_mask", s.aer->uncorrectableMask);
        Field("uncorrectable_severity", s.aer->uncorrectableSeverity);
        Field("correctable_mask", s.aer->correctableMask);
        Object("names", [&] {
          Field("uncorrectable_mask", AerBitNames(s.aer->uncorrectableMask, false));
          Field("uncorrectable_severity", AerBitNames(s.aer->uncorrectableSeverity, false));
          Field("correctable_mask", AerBitNames(s.aer->correctableMask, true));
        });
      });
      Object("ecrc", [&] {
        Field("generation", s.aer->ecrcGeneration);
        Field("check", s.aer->ecrcCheck);
      });
    } else {
      Field("aer", nullptr);
      Field("ecrc", nullptr);
    }
    Field("slot_power", If(!s.slotPower.empty(), s.slotPower));
    Field("link_capability", If(s.hasLink, LinkSpeedWidth(s.linkCapabilities)));
    Field("link_status", If(s.hasLink, LinkSpeedWidth(s.linkStatus)));
  }

  void Links(const RunResult &r) {
    Array("links", LinkTable(r), [&](const LinkRow &l) {
      Field("port", sim::BdfText(l.port));
      Bdfs("below", l.below);
      Field("device", l.belowName);
      Field("capability", l.capability);
      Field("status", l.status);
      Field("downgraded", l.downgraded);
      Array("features", l.features, [&](const LinkFeature &f) {
        Field("name", f.name);
        Field("before", f.before);
        Field("after", f.after);
      });
      Field("held_back", l.heldBack);
      if (r.audit) {
        Object("audit", [&] {
          Field("findings", l.findings);
          Field("worst", If(l.worst.has_value(), audit::SeverityName(l.worst.value_or(audit::Severity::Info))));
          Field("worst_id", If(l.worst.has_value(), l.worstId));
        });
      } else {
        Field("audit", nullptr);
      }
    });
  }

  void ResumeFindings(const char *key, const std::vector<ResumeFinding> &findings) {
    Array(key, findings, [&](const ResumeFinding &f) {
      Field("location", f.location);
      Field("register", f.registerName);
      Field("before", f.before);
      Field("after", f.after);
      Field("replayed", f.replayed);
      Changes("fields", f.fields, "resumed", "after");
    });
  }

  void Audit(const char *key, const std::vector<audit::Finding> &findings) {
    Array(key, findings, [&](const audit::Finding &f) {
      Field("id", f.id);
      Field("severity", audit::SeverityName(f.severity));
      Bdfs("functions", f.functions);
      Array("registers", f.registers, [&](const audit::RegisterValue &v) {
        Field("function", sim::BdfText(v.function));
        Field("register", v.name);
        Field("offset", v.offset);
        Field("value", v.value);
      });
      Field("message", f.message);
      Field("section", f.section);
    });
  }

  // One entry per logged event, in order: every access the driver made,
  // each trace line and each pass step at its place among them.
  void Event(const sim::Log &log, const sim::Event &e) {
    using sim::EventKind;
    auto access = [&](const char *kind, const char *space) {
      Field("kind", kind);
      Field("space", space);
      Field("address", e.address);
      Field("width", e.width);
      Field("value", e.value);
      if (e.kind == EventKind::SmnRead || e.kind == EventKind::SmnWrite) {
        Field("silicon", sim::BdfText(e.silicon));
      }
    };
    auto record = [&](const char *kind) {
      Field("kind", kind);
      Field("address", e.address);
      Field("width", e.width);
      Field("value", e.value);
    };
    auto addressValue = [&](const char *kind) {
      Field("kind", kind);
      Field("address", e.address);
      Field("value", e.value);
    };
    Object([&] {
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
        return record("io");
      case EventKind::S3Record:
        return record("s3_record");
      case EventKind::Debug:
        Field("kind", "trace");
        Field("level", e.level);
        return Field("text", log.Text(e));
      case EventKind::PassStep:
        Field("kind", "step");
        Field("step", e.value);
        return Field("function", sim::StepName(static_cast<unsigned>(e.value)));
      case EventKind::MsrRead:
        return addressValue("msr_read");
      case EventKind::MsrWrite:
        return addressValue("msr_write");
      case EventKind::Cpuid:
        return addressValue("cpuid");
      case EventKind::PcdGet:
        return addressValue("pcd_get");
      case EventKind::PcdSet:
        return addressValue("pcd_set");
      case EventKind::FatalStop:
        Field("kind", "fatal_stop");
        return Field("value", e.value);
      case EventKind::Fault:
        Field("kind", "fault");
        Field("address", e.address);
        return Field("text", log.Text(e));
      case EventKind::Locate:
        Field("kind", "locate");
        Field("text", sim::LocateGuid(e));
        return Field("value", e.value);
      }
      Field("kind", "unknown");
    });
  }

  void Access(const sim::AccessCounts &c) {
    Field("config_reads", c.configReads);
    Field("config_writes", c.configWrites);
    Field("smn_reads", c.smnReads);
    Field("smn_writes", c.smnWrites);
    Field("smn_pair_accesses", c.smnPairAccesses);
    Field("port_writes", c.portWrites);
    Field("s3_records", c.s3Records);
    Field("pcd_reads", c.pcdReads);
  }

  void Features(const FeatureView &v) {
    Object("features", [&] {
      Array("engines", v.engines, [&](const EngineReport &e) {
        Field("silicon", sim::BdfText(e.silicon));
        Field("port", sim::BdfText(e.port));
        Field("wrapper_id", e.wrapperId);
        Field("port_id", e.portId);
        Field("core_id", e.coreId);
        Field("active", e.active);
        Field("ready", e.ready);
        Field("clkreq", e.clkReq);
        Field("sris", e.sris);
        BeforeAfter("port_aspm", e.portAspmBefore, e.portAspmAfter);
        BeforeAfter("port_pm_options", e.portPmOptionsBefore, e.portPmOptionsAfter);
      });
      Array("straps", v.straps, [&](const StrapWrite &st) {
        Field("silicon", sim::BdfText(st.silicon));
        Field("core", st.core);
        Field("strap", st.strap);
        Field("port", OrNull(st.port));
        Field("purpose", st.purpose);
        Field("value", st.value);
      });
      Array("indirect", v.indirect, [&](const IndirectWrite &w) {
        Field("port", sim::BdfText(w.port));
        Field("index", w.index);
        Field("before", w.before);
        Field("after", w.after);
      });
      Array("clkreq_maps", v.clkReqMaps, [&](const ClkReqMap &m) {
        Field("silicon", sim::BdfText(m.silicon));
        Field("core", m.core);
        Field("port_of_signal", m.portOfSignal);
      });
      Object("aer_table", [&] {
        Field("number_of_ports", v.aerNumberOfPorts);
        Array("rows", v.aerTable, [&](const AerRow &row) {
          Field("device", row.device);
          Field("function", row.function);
          Field("aer_enable", row.aerEnable);
          Field("correctable_mask", AerBitNames(row.correctableMask, true));
          Field("uncorrectable_mask", AerBitNames(row.uncorrectableMask, false));
          Field("uncorrectable_severity", AerBitNames(row.uncorrectableSeverity, false));
        });
      });
      Array("ras_groups", v.rasGroups, [&](const RasGroupWrite &g) {
        Field("silicon", sim::BdfText(g.silicon));
        Field("unit_id", g.unitId);
        Field("unit_bit", g.unitBit);
        Field("action_bits", g.actionBits);
        Field("type_sel", g.typeSel);
        Field("second", g.second);
      });
    });
  }

  void Writes(const std::vector<WriteRecord> &writes) {
    Array("writes", writes, [&](const WriteRecord &w) {
      Field("kind", w.kind);
      Field("address", w.address);
      Field("width", w.width);
      Field("value", w.value);
      if (w.kind != "io") {
        Field("before", w.before);
        Field("target", w.target);
        Field("register", w.registerName);
        Changes("changes", w.changes, "from", "to");
      }
      if (w.kind == "smn") {
        Field("silicon", sim::BdfText(w.silicon));
      }
    });
  }

  void S3(const RunResult &r) {
    Object("s3", [&] {
      Array("save_state", r.saveState, [&](const ScriptWrite &w) {
        Field("opcode", 2);
        Field("width", w.width);
        Field("address", w.address);
        Field("value", w.value);
        Field("target", w.target);
      });
      Array("table", r.table, [&](const TableEntry &e) {
        Field("type", e.type);
        Field("arguments", e.arguments);
        if (e.type == 3 && e.arguments.size() == 3) {
          Field("width", e.arguments[0] < 4 ? 1u << e.arguments[0] : 0u);
          Field("address", e.arguments[1]);
          Field("value", e.arguments[2]);
        }
      });
      Field("table_available", r.tableAvailable);
      Field("handed_to_smm", r.handedToSmm);
    });
  }

  void Devices(const std::vector<DeviceReport> &devices) {
    Object("devices", [&] {
      for (const DeviceReport &d : devices) {
        Key(sim::BdfText(d.bdf));
        Object([&] {
          char ids[16];
          std::snprintf(ids, sizeof ids, "%04x:%04x", d.after.vendor, d.after.device);
          Field("id", ids);
          Field("name", DeviceName(d.after.vendor, d.after.device));
          Object("before", [&] { State(d.before); });
          Object("after", [&] { State(d.after); });
          Changes("diff", d.diff, "from", "to");
          Field("unknown_registers", d.unknown);
        });
      }
    });
  }

  void Accesses(const std::vector<sim::StepAccesses> &steps) {
    Object("accesses", [&] {
      Array("steps", steps, [&](const sim::StepAccesses &s) {
        Access(s.counts);
        Field("step", s.step);
        Field("function", sim::StepName(s.step));
      });
      const sim::AccessCounts total = sim::Total(steps);
      Object("total", [&] { Access(total); });
      Field("estimated_microseconds", total.EstimatedMicroseconds());
    });
  }

  void Report(const RunResult &r, bool events) {
    Object([&] {
      Field("name", r.name);
      Field("warnings", r.warnings);
      w_.Key("trace");
      w_.StartArray();
      for (const sim::Event &e : r.log.Events()) {
        if (e.kind == sim::EventKind::Debug) {
          Object([&] {
            Field("level", e.level);
            Field("level_name", LevelName(e.level));
            Field("text", r.log.Text(e));
          });
        }
      }
      w_.EndArray();
      Field("post_codes", r.postCodes);
      Field("fatal_stop", If(!r.fatalStops.empty(), r.fatalStops.empty() ? 0u : r.fatalStops.front()));
      Field("halted", r.halted);
      Field("platform_notes", r.notes);
      Array("pools", r.pools, [&](const PoolRecord &p) {
        Field("size", p.size);
        Field("runtime", p.runtime);
      });
      Writes(r.writes);
      S3(r);
      Devices(r.devices);
      Object("s3_resume", [&] {
        Field("replayed_writes", r.resume.replayedWrites);
        Field("clean", r.resume.Clean());
        ResumeFindings("not_restored", r.resume.notRestored);
        ResumeFindings("differing", r.resume.differing);
        Field("notes", r.resume.notes);
      });
      Features(r.features);
      Links(r);
      Accesses(r.accesses);
      Field("pass_ran", r.passRan);
      Array("settings", r.settings, [&](const SettingUsed &s) {
        Field("token", s.token);
        Field("value", s.value);
        Field("default", s.defaulted);
        Field("meaning", s.meaning);
      });
      if (events) {
        w_.Key("events");
        w_.StartArray();
        for (const sim::Event &e : r.log.Events()) {
          Event(r.log, e);
        }
        w_.EndArray();
      }
      if (r.audit) {
        Audit("audit", *r.audit);
        Field("audit_not_checked", r.auditNotChecked);
      }
      if (r.auditAfterResume) {
        Audit("audit_after_resume", *r.auditAfterResume);
      }
    });
  }

private:
  W &w_;
};

} // namespace

std::string JsonText(const RunResult &r, const JsonOptions &options) {
  rapidjson::StringBuffer buffer;
  if (options.pretty) {
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 2);
    Out(writer).Report(r, options.events);
  } else {
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    Out(writer).Report(r, options.events);
  }
  std::string text;
  text.reserve(buffer.GetSize() + 1); // and the newline a file ends with, without a copy
  text.append(buffer.GetString(), buffer.GetSize());
  return text;
}

nlohmann::json ToJson(const RunResult &r, bool events) {
  return nlohmann::json::parse(JsonText(r, {.events = events}));
}

} // namespace kelsim
