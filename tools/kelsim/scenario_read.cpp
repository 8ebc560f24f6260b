// The platform file: JSON read field by field, each complaint naming the
// file and the JSON path, with the captures it names.
#include <filesystem>
#include <map>
#include <set>

#include "sim/input_file.h"
#include "tools/kelsim/scenario_internal.h"

namespace kelsim {

const std::map<std::string, std::vector<std::string>> &PlatformFileObjects() {
  static const std::map<std::string, std::vector<std::string>> kObjects = {
      {"Platform",
       {"Silicons", "Captures", "Pcd", "Processor", "Events", "Description", "PlatformData",
        "HookTable", "TopologyBytes", "Absent", "FailPoolAllocations", "PowerOn"}},
      {"PlatformData",
       {"PlatformVendorId", "L1ExitLatencyDeviceIds", "SecondPlatformVendorId",
        "SecondPlatformAspmDeviceId"}},
      {"HookTableEntry", {"HookId", "Result", "Edit"}},
      {"Silicon",
       {"SocketId", "DieId", "InstanceId", "HostBridgeAddress", "Smn", "Smu", "Ras", "Wrappers"}},
      {"Smu", {"Response", "PollsBeforeAnswer", "Answers", "Results"}},
      {"Ras", {"PollsBeforeReady", "BecomesReady"}},
      {"Wrapper", {"WrapperId", "WrapperFeatures", "Engines"}},
      {"Engine",
       {"Active", "StartLane", "EndLane", "PortStatus", "PortDeviceFunction", "PortAspm",
        "PortControl", "PortLocation", "PortPciAddress", "SlotPowerLimitValue", "MaxPayloadSize",
        "ClkReqMap", "SrisOptions", "PortPmOptions", "RootPort", "Devices"}},
      {"RootPort",
       {"SecondaryBus", "SubordinateBus", "LinkWidth", "Slot", "SlotCapabilities", "Overrides",
        "Indirect"}},
      {"Device", {"Address", "Model", "SecondaryBus", "SubordinateBus", "Overrides"}},
      {"Overrides",
       {"VendorId", "DeviceId", "MaxPayloadSupported", "ExtendedTags", "AspmSupport", "ClockPm",
        "SlotClock", "LinkWidth", "LinkSpeed", "DeviceControl", "LinkControl", "L1Substates",
        "LtrSupported", "LinkTrainingReads", "TrainsForever", "VanishesOnRetrain",
        "AccessesBeforeRemoval"}},
      {"Processor", {"PackageType", "Msrs", "SimulatorQuery", "TscStep"}},
      {"Event", {"AerService", "AerServiceExtended", "HookEdit", "CorruptS3Table"}},
      {"AerServiceExtended", {}},
      {"CorruptS3Table", {"Offset", "Value"}},
      {"AerService",
       {"AerEnable", "PciBus", "PciDevice", "PciFunction", "CorrectableMask", "UncorrectableMask",
        "UncorrectableSeverity"}},
      {"HookEditRow",
       {"Row", "NumberOfPorts", "AerEnable", "PciDevice", "PciFunction", "CorrectableMask",
        "UncorrectableMask", "UncorrectableSeverity"}},
  };
  return kObjects;
}

namespace internal {

namespace {

void CheckOverrides(const Reader &r) {
  r.RequireObject("Overrides");
  r.Ranges({{"VendorId", 0xFFFF}, {"DeviceId", 0xFFFF}, {"MaxPayloadSupported", 5},
            {"AspmSupport", 3}, {"LinkWidth", 32}, {"LinkSpeed", 6}, {"DeviceControl", 0xFFFF},
            {"LinkControl", 0xFFFF}, {"L1Substates", 0xFFFFFFFF}, {"LinkTrainingReads", 1000000},
            {"AccessesBeforeRemoval", 1000000}});
  r.Bools({"ExtendedTags", "ClockPm", "SlotClock", "LtrSupported", "TrainsForever",
           "VanishesOnRetrain"});
}

DeviceEntry ReadDevice(const Reader &r) {
  r.RequireObject("Device");
  DeviceEntry d;
  d.path = r.Path();
  if (!r.Has("Address") || !r.Has("Model")) {
    r.Fail("a device needs \"Address\" and \"Model\"");
  }
  d.address = r.At("Address").Bdf();
  d.model = r.At("Model").String();
  const Model *model = FindModel(d.model);
  if (model == nullptr) {
    r.At("Model").Fail("unknown device model '" + d.model + "'");
  }
  r.Optional("SecondaryBus", d.secondaryBus, 255);
  r.Optional("SubordinateBus", d.subordinateBus, 255);
  if (model->bridge && d.secondaryBus < 0) {
    r.Fail("a " + d.model + " needs \"SecondaryBus\"");
  }
  if (!model->bridge && d.secondaryBus >= 0) {
    r.At("SecondaryBus").Fail("a " + d.model + " is not a bridge");
  }
  if (r.Has("Overrides")) {
    CheckOverrides(r.At("Overrides"));
    d.overrides = r.At("Overrides").Node();
  }
  return d;
}

// An object of hex or decimal address to 32-bit value: SMN seeds, a root
// port's indirect registers.
std::map<uint32_t, uint32_t> AddressValueMap(const Reader &r, const std::string &what) {
  if (!r.Node().is_object()) {
    r.Fail("expected an object of " + what + " to value");
  }
  std::map<uint32_t, uint32_t> out;
  for (const auto &[key, value] : r.Node().items()) {
    const json keyNode(key);
    const Reader address(keyNode, r.Path() + "." + key, r.File());
    const Reader v(value, r.Path() + "." + key, r.File());
    out[static_cast<uint32_t>(address.Unsigned(0xFFFFFFFF))] =
        static_cast<uint32_t>(v.Unsigned(0xFFFFFFFF));
  }
  return out;
}

// The NBIO numbers its ports by the root port's address: device 1
// functions 1-7 are core 0 ports 0-6 and device 2 function 1 its port 7;
// devices 3 and 4 the same for core 1, whose ports count from 8. Other
// addresses have no number of their own (0, as the topology producer's
// zeroed field).
uint8_t PortLocationOf(uint32_t bdf) {
  const uint32_t device = (bdf >> 15) & 0x1F;
  const uint32_t function = (bdf >> 12) & 7;
  uint32_t port = 0;
  if ((device == 1 || device == 3) && function >= 1) {
    port = function - 1;
  } else if ((device == 2 || device == 4) && function == 1) {
    port = 7;
  } else {
    return 0;
  }
  const uint32_t core = device >= 3 ? 1 : 0;
  return static_cast<uint8_t>(((port + 8 * core) << 4) | core);
}

} // namespace

EngineEntry ReadEngine(const Reader &r) {
  r.RequireObject("Engine");
  EngineEntry e;
  e.path = r.Path();
  sim::EngineLayout &s = e.engine;
  r.OptionalBool("Active", s.active);
  r.Optional("StartLane", s.startLane, 0xFFFF);
  r.Optional("EndLane", s.endLane, 0xFFFF);
  r.Optional("PortStatus", s.portStatus, 0xFF);
  r.Optional("PortAspm", s.portAspm, 0xFF);
  if ((s.portAspm >> 4) > 3) {
    r.At("PortAspm").Fail("bits 7:4 request ASPM states as Link Control encodes them: 0-3");
  }
  r.Optional("PortControl", s.portControl, 0xFF);
  r.Optional("PortLocation", s.portLocation, 0xFF);
  r.Optional("SlotPowerLimitValue", s.slotPowerLimitValue, 0xFF);
  // PCI Express Base r5.0, 7.5.3.4: codes 0-5 are 128 to 4096 bytes.
  r.Optional("MaxPayloadSize", s.maxPayloadSize, 5);
  // null: the board's CLKREQ# wiring is not known (an emitted capture).
  if (r.Has("ClkReqMap") && r.At("ClkReqMap").Node().is_null()) {
    e.clkReqKnown = false;
  } else {
    r.Optional("ClkReqMap", s.clkReqMap, 0xFF);
  }
  r.Optional("SrisOptions", s.srisOptions, 0xFF);
  r.Optional("PortPmOptions", s.portPmOptions, 0xFF);
  s.portPciAddress = r.Required("PortPciAddress", "an engine").Bdf();
  s.portDeviceFunction =
      static_cast<uint8_t>((((s.portPciAddress >> 15) & 0x1F) << 3) | ((s.portPciAddress >> 12) & 7));
  r.Optional("PortDeviceFunction", s.portDeviceFunction, 0xFF);
  if (!r.Has("PortLocation")) {
    s.portLocation = PortLocationOf(s.portPciAddress);
  }
  if (r.Has("RootPort")) {
    const Reader rp = r.At("RootPort");
    rp.RequireObject("RootPort");
    rp.Optional("SecondaryBus", e.rootPort.secondaryBus, 255);
    rp.Optional("SubordinateBus", e.rootPort.subordinateBus, 255);
    rp.Optional("LinkWidth", e.rootPort.linkWidth, 32);
    rp.OptionalBool("Slot", e.rootPort.slot);
    rp.Optional("SlotCapabilities", e.rootPort.slotCapabilities, 0xFFFFFFFF);
    if (rp.Has("Overrides")) {
      CheckOverrides(rp.At("Overrides"));
      e.rootPort.overrides = rp.At("Overrides").Node();
    }
    if (rp.Has("Indirect")) {
      e.rootPort.indirect = AddressValueMap(rp.At("Indirect"), "indirect register index");
    }
  }
  if (r.Has("Devices")) {
    const Reader devices = r.At("Devices");
    for (size_t i = 0; i < devices.ArraySize(); ++i) {
      e.devices.push_back(ReadDevice(devices.At(i)));
    }
  }
  return e;
}

namespace {

SiliconEntry ReadSilicon(const Reader &r) {
  r.RequireObject("Silicon");
  SiliconEntry s;
  r.Optional("SocketId", s.socketId, 0xFF);
  r.Optional("DieId", s.dieId, 0xFF);
  r.Optional("InstanceId", s.instanceId, 0xFF);
  s.hostBridgeAddress = r.Required("HostBridgeAddress", "a silicon").Bdf();
  if (r.Has("Smn")) {
    s.smn = AddressValueMap(r.At("Smn"), "SMN address");
  }
  if (r.Has("Smu")) {
    const Reader smu = r.At("Smu");
    smu.RequireObject("Smu");
    smu.Optional("Response", s.smu.response, 0xFFFFFFFF);
    smu.Optional("PollsBeforeAnswer", s.smu.pollsBeforeAnswer, 1000000);
    smu.OptionalBool("Answers", s.smu.answers);
    if (smu.Has("Results")) {
      const Reader results = smu.At("Results");
      if (results.ArraySize() != 6) {
        results.Fail("the SMU answers with exactly six result words");
      }
      for (size_t i = 0; i < 6; ++i) {
        s.smu.results[i] = results.At(i).Get<uint32_t>();
      }
    }
  }
  if (r.Has("Ras")) {
    const Reader ras = r.At("Ras");
    ras.RequireObject("Ras");
    ras.Optional("PollsBeforeReady", s.ras.pollsBeforeReady, 1000000);
    ras.OptionalBool("BecomesReady", s.ras.becomesReady);
  }
  if (r.Has("Wrappers")) {
    const Reader wrappers = r.At("Wrappers");
    for (size_t i = 0; i < wrappers.ArraySize(); ++i) {
      const Reader w = wrappers.At(i);
      w.RequireObject("Wrapper");
      WrapperEntry entry;
      w.Optional("WrapperId", entry.wrapperId, 0xFF);
      w.Optional("WrapperFeatures", entry.wrapperFeatures, 0xFF);
      if (w.Has("Engines")) {
        const Reader engines = w.At("Engines");
        for (size_t j = 0; j < engines.ArraySize(); ++j) {
          entry.engines.push_back(ReadEngine(engines.At(j)));
        }
      }
      s.wrappers.push_back(std::move(entry));
    }
  }
  return s;
}

// Rows to edit on every call, or (an array of such arrays) the rows of each
// call in turn, the last repeated for further calls: a hook called once per
// silicon that edits each silicon's table its own way.
void CheckHookEditRows(const Reader &h) {
  const size_t rows = h.ArraySize();
  for (size_t i = 0; i < rows; ++i) {
    const Reader row = h.At(i);
    if (row.Node().is_array()) {
      for (size_t j = 0; j < row.ArraySize(); ++j) {
        row.At(j).RequireObject("HookEditRow");
      }
      CheckHookEditRows(row);
      continue;
    }
    row.RequireObject("HookEditRow");
    row.Ranges({{"Row", 15}, {"NumberOfPorts", 0xFF}, {"AerEnable", 0xFF}, {"PciDevice", 0x1F},
                {"PciFunction", 7}, {"CorrectableMask", 0xFFFFFFFF},
                {"UncorrectableMask", 0xFFFFFFFF}, {"UncorrectableSeverity", 0xFFFFFFFF}});
  }
}

PlatformDataTable ReadPlatformData(const Reader &r) {
  r.RequireObject("PlatformData");
  PlatformDataTable t = PlatformDataDefaults;
  r.Optional("PlatformVendorId", t.PlatformVendorId, 0xFFFF);
  r.Optional("SecondPlatformVendorId", t.SecondPlatformVendorId, 0xFFFF);
  r.Optional("SecondPlatformAspmDeviceId", t.SecondPlatformAspmDeviceId, 0xFFFF);
  if (r.Has("L1ExitLatencyDeviceIds")) {
    const Reader ids = r.At("L1ExitLatencyDeviceIds");
    if (ids.ArraySize() > L1ExitLatencyDeviceCount) {
      ids.Fail("at most " + std::to_string(L1ExitLatencyDeviceCount) + " device IDs");
    }
    for (size_t i = 0; i < ids.ArraySize(); ++i) {
      t.L1ExitLatencyDeviceIds[i] = ids.At(i).Get<uint16_t>(0xFFFF);
    }
  }
  return t;
}

// Hex digits, spaces allowed between them: the published topology as
// bytes, for layouts the fields cannot describe (intermediate records,
// hostile offsets). They are published followed by zeros as far as the
// driver's bounded walks can reach (sim::kTopologyReach), so even a hostile
// layout is read inside the buffer, as a real producer's memory.
std::vector<uint8_t> ReadHexBytes(const Reader &r) {
  const std::string text = r.String();
  std::vector<uint8_t> bytes;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == '\n' || c == '\t') {
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      r.Fail(std::string("'") + c + "' is not a hex digit");
    }
    const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) {
    r.Fail("an odd number of hex digits");
  }
  if (bytes.size() < 24) {
    r.Fail("a topology starts with its 24-byte platform descriptor");
  }
  if (bytes.size() > 65536) {
    r.Fail("at most 65536 bytes");
  }
  return bytes;
}

std::vector<HookTableEntry> ReadHookTable(const Reader &r) {
  std::vector<HookTableEntry> out;
  if (r.ArraySize() > kMaxHookTableEntries) {
    r.Fail("at most " + std::to_string(kMaxHookTableEntries) + " hook table entries");
  }
  for (size_t i = 0; i < r.ArraySize(); ++i) {
    const Reader e = r.At(i);
    e.RequireObject("HookTableEntry");
    HookTableEntry entry;
    entry.hookId = e.Required("HookId", "a hook table entry").Get<uint32_t>(0xFFFFFFFE);
    e.Optional("Result", entry.result, 0xFFFFFFFF);
    if (e.Has("Edit")) {
      CheckHookEditRows(e.At("Edit"));
      entry.edits = e.At("Edit").Node();
    }
    out.push_back(std::move(entry));
  }
  return out;
}

PlatformEvent ReadEvent(const Reader &r) {
  if (r.Node().is_string()) {
    const std::string name = r.String();
    for (EventKind k : {EventKind::PciIoInstall, EventKind::SmmReadyToLock, EventKind::ReadyToBoot}) {
      if (name == EventName(k)) {
        return {k, json()};
      }
    }
    r.Fail("unknown event '" + name + "'");
  }
  r.RequireObject("Event");
  if (r.Node().size() != 1) {
    r.Fail("an event object holds exactly one of \"AerService\", \"AerServiceExtended\", "
           "\"HookEdit\" or \"CorruptS3Table\"");
  }
  if (r.Has("AerServiceExtended")) {
    r.At("AerServiceExtended").RequireObject("AerServiceExtended");
    return {EventKind::AerServiceExtended, r.At("AerServiceExtended").Node()};
  }
  if (r.Has("CorruptS3Table")) {
    const Reader c = r.At("CorruptS3Table");
    c.RequireObject("CorruptS3Table");
    if (!c.Has("Offset") || !c.Has("Value")) {
      c.Fail("a table corruption needs \"Offset\" and \"Value\"");
    }
    c.Ranges({{"Offset", 0x3FFF}, {"Value", 0xFF}});
    return {EventKind::CorruptS3Table, c.Node()};
  }
  if (r.Has("AerService")) {
    const Reader a = r.At("AerService");
    a.RequireObject("AerService");
    a.Ranges({{"AerEnable", 0xFF}, {"PciBus", 0xFF}, {"PciDevice", 0x1F}, {"PciFunction", 7},
              {"CorrectableMask", 0xFFFFFFFF}, {"UncorrectableMask", 0xFFFFFFFF},
              {"UncorrectableSeverity", 0xFFFFFFFF}});
    return {EventKind::AerService, a.Node()};
  }
  const Reader h = r.At("HookEdit");
  CheckHookEditRows(h);
  return {EventKind::HookEdit, h.Node()};
}

void ReadProcessor(const Reader &r, sim::ProcessorState &cpu) {
  r.RequireObject("Processor");
  if (r.Has("PackageType")) {
    const uint64_t type = r.At("PackageType").Unsigned(1u << 15);
    if (type == 0 || (type & (type - 1)) != 0) {
      r.At("PackageType").Fail("a package type is a power of two from 1 to 32768");
    }
    cpu.packageTypeBits = static_cast<uint32_t>(__builtin_ctzll(type));
  }
  if (r.Has("Msrs")) {
    const Reader msrs = r.At("Msrs");
    if (!msrs.Node().is_object()) {
      msrs.Fail("expected an object of MSR number to value");
    }
    for (const auto &[key, value] : msrs.Node().items()) {
      const json keyNode(key);
      const Reader index(keyNode, msrs.Path() + "." + key, msrs.File());
      const Reader v(value, msrs.Path() + "." + key, msrs.File());
      cpu.msrs[static_cast<uint32_t>(index.Unsigned(0xFFFFFFFF))] = v.Unsigned(~0ULL);
    }
  }
  r.OptionalBool("SimulatorQuery", cpu.answersSimulatorQuery);
  if (r.Has("TscStep")) {
    cpu.tscStep = r.At("TscStep").Unsigned(1000000000);
    if (cpu.tscStep == 0) {
      r.At("TscStep").Fail("the time-stamp counter must advance");
    }
  }
}

} // namespace

} // namespace internal

using namespace internal;

Scenario ScenarioFromJson(const json &doc, const std::string &name, const std::string &baseDirectory) {
  Scenario s;
  s.name = name;
  const Reader root(doc, "$", name);
  root.RequireObject("Platform");
  if (root.Has("Captures")) {
    const Reader captures = root.At("Captures");
    for (size_t i = 0; i < captures.ArraySize(); ++i) {
      const Reader entry = captures.At(i);
      std::filesystem::path p = entry.String();
      if (p.is_relative()) {
        p = std::filesystem::path(baseDirectory) / p;
      }
      std::error_code error;
      if (std::filesystem::is_directory(p, error)) {
        entry.Fail("capture " + p.string() + " is a directory, not a capture");
      }
      if (!std::filesystem::exists(p, error)) {
        entry.Fail("capture " + p.string() + " does not exist");
      }
      s.inputFiles.push_back(p.string());
      for (auto &f : LoadCapture(p.string(), s)) {
        s.captured.push_back(std::move(f));
      }
    }
  }
  const Reader silicons = root.Required("Silicons", "a platform");
  if (silicons.ArraySize() == 0) {
    silicons.Fail("a platform has at least one silicon");
  }
  for (size_t i = 0; i < silicons.ArraySize(); ++i) {
    s.silicons.push_back(ReadSilicon(silicons.At(i)));
    for (const WrapperEntry &w : s.silicons.back().wrappers) {
      for (const EngineEntry &e : w.engines) {
        if (!e.clkReqKnown) {
          s.clkReqUnknown.insert(e.engine.portPciAddress);
        }
      }
    }
  }
  if (root.Has("Pcd")) {
    const Reader pcd = root.At("Pcd");
    if (!pcd.Node().is_object()) {
      pcd.Fail("expected an object of token number to value");
    }
    for (const auto &[key, value] : pcd.Node().items()) {
      const json keyNode(key);
      const Reader token(keyNode, pcd.Path() + "." + key, name);
      const Reader v(value, pcd.Path() + "." + key, name);
      const uint64_t number = token.Unsigned(0xFFFFFFFF);
      const uint64_t setting = value.is_boolean() ? (v.Bool() ? 1 : 0) : v.Unsigned(~0ULL);
      for (const PcdSetting &known : PcdSettings()) {
        if (known.token == number && setting > known.maxValue) {
          v.Fail(known.maxValue == 1
                     ? "a boolean setting (" + std::string(known.meaning) + "): true, false, 0 or 1"
                     : "at most " + std::to_string(known.maxValue) + " (" + known.meaning + ")");
        }
      }
      s.pcd[number] = setting;
    }
  }
  if (root.Has("Processor")) {
    ReadProcessor(root.At("Processor"), s.cpu);
  }
  if (root.Has("Description")) {
    root.At("Description").String();
  }
  if (root.Has("PlatformData")) {
    s.platformData = ReadPlatformData(root.At("PlatformData"));
  }
  if (root.Has("HookTable")) {
    s.hookTable = ReadHookTable(root.At("HookTable"));
  }
  if (root.Has("PowerOn")) {
    s.powerOn = root.At("PowerOn").Bool();
  }
  if (root.Has("FailPoolAllocations")) {
    const Reader fails = root.At("FailPoolAllocations");
    for (size_t i = 0; i < fails.ArraySize(); ++i) {
      s.failPoolAllocations.push_back(fails.At(i).Unsigned(1000000));
    }
  }
  if (root.Has("Absent")) {
    const Reader absent = root.At("Absent");
    for (size_t i = 0; i < absent.ArraySize(); ++i) {
      const Reader item = absent.At(i);
      const std::string module = item.String();
      if (module == "Pcd") {
        s.modules.pcd = false;
      } else if (module == "DebugPrint") {
        s.modules.debugPrint = false;
      } else if (module == "S3SaveState") {
        s.modules.s3SaveState = false;
      } else if (module == "SmmCommunication") {
        s.modules.smmCommunication = false;
      } else if (module == "Topology") {
        s.modules.topology = false;
      } else {
        item.Fail("unknown module '" + module +
                  "' (Pcd, DebugPrint, S3SaveState, SmmCommunication or Topology)");
      }
    }
  }
  if (root.Has("TopologyBytes")) {
    s.topologyBytes = ReadHexBytes(root.At("TopologyBytes"));
  }
  if (root.Has("Events")) {
    const Reader events = root.At("Events");
    for (size_t i = 0; i < events.ArraySize(); ++i) {
      s.events.push_back(ReadEvent(events.At(i)));
    }
  } else {
    s.events = DefaultEvents();
  }
  DefaultPcdSettings(s);
  Validate(s, name);
  return s;
}

// Line and column of a byte offset, both counted from 1.
std::string LineAndColumn(const std::string &text, size_t offset) {
  size_t line = 1;
  size_t column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

Scenario LoadScenarioFile(const std::string &path) {
  const std::string text = sim::ReadInputFile(path);
  json doc;
  // The parser keeps the last of two equal keys; a platform file that
  // repeats one says two things, so it is refused.
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  const json::parser_callback_t noteKeys = [&keys, &duplicate](int, json::parse_event_t event,
                                                              json &parsed) {
    if (event == json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == json::parse_event_t::object_end && !keys.empty()) {
      keys.pop_back();
    } else if (event == json::parse_event_t::key && !keys.empty() &&
               !keys.back().insert(parsed.get<std::string>()).second && duplicate.empty()) {
      duplicate = parsed.get<std::string>();
    }
    return true;
  };
  try {
    doc = json::parse(text, noteKeys);
  } catch (const json::parse_error &e) {
    // e.byte is the position of the last character read, counted from 1.
    const size_t at = e.byte == 0 ? 0 : e.byte - 1;
    if (at >= text.size()) {
      throw sim::InputError(path, LineAndColumn(text, text.size()),
                            "the file ends inside a JSON value");
    }
    throw sim::InputError(path, LineAndColumn(text, at),
                          "not valid JSON at '" + sim::Excerpt(text.substr(at), 20) + "'");
  } catch (const json::exception &) {
    throw sim::InputError(path, "file", "holds a number too large for any register");
  }
  if (!duplicate.empty()) {
    throw sim::InputError(path, "file", "key '" + duplicate + "' appears twice in one object");
  }
  Scenario s = ScenarioFromJson(doc, path, std::filesystem::path(path).parent_path().string());
  s.inputFiles.insert(s.inputFiles.begin(), path);
  return s;
}

} // namespace kelsim
