// The ways to a scenario other than a platform file: a capture, a running
// machine's sysfs, the built-in platforms; --port edits; defaults.
#include <regex>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "sim/input_file.h"
#include "tools/kelsim/scenario_internal.h"

namespace kelsim {

namespace internal {

// The functions of PCI domain 0; the others are counted and named.
std::vector<sim::CapturedFunction> KeepDomainZero(std::vector<sim::CapturedFunction> all,
                                                  const std::string &name, Scenario &s) {
  std::vector<std::string> &warnings = s.warnings;
  std::vector<sim::CapturedFunction> kept;
  for (auto &f : all) {
    for (const std::string &w : f.warnings) {
      warnings.push_back(name + ": " + w);
    }
    if (f.domain != 0) {
      ++s.leftOutDomains[f.domain];
      warnings.push_back(name + ": line " + std::to_string(f.line) + ": " +
                         sim::BdfText(f.bdf) + " is in PCI domain " + std::to_string(f.domain) +
                         "; the platform has one configuration segment, so it is left out");
      continue;
    }
    kept.push_back(std::move(f));
  }
  return kept;
}

std::vector<sim::CapturedFunction> LoadCapture(const std::string &path, Scenario &s) {
  const std::string name = sim::InputName(path);
  std::istringstream in(sim::ReadInputFile(path));
  std::vector<std::string> skipped;
  std::vector<sim::CapturedFunction> all = sim::ParseLspci(in, name, &skipped);
  for (const std::string &w : skipped) {
    s.warnings.push_back(name + ": " + w);
  }
  return KeepDomainZero(std::move(all), name, s);
}

} // namespace internal

using namespace internal;

std::string EventName(EventKind kind) {
  switch (kind) {
  case EventKind::PciIoInstall:
    return "PciIoInstall";
  case EventKind::SmmReadyToLock:
    return "SmmReadyToLock";
  case EventKind::ReadyToBoot:
    return "ReadyToBoot";
  case EventKind::AerService:
    return "AerService";
  case EventKind::HookEdit:
    return "HookEdit";
  case EventKind::CorruptS3Table:
    return "CorruptS3Table";
  case EventKind::AerServiceExtended:
    return "AerServiceExtended";
  }
  return "?";
}

std::vector<PlatformEvent> DefaultEvents() {
  // As a platform's boot manager does: SMM is locked at the end of DXE,
  // devices are connected (the PCI bus driver installs PCI I/O), then boot.
  return {{EventKind::SmmReadyToLock, json()},
          {EventKind::PciIoInstall, json()},
          {EventKind::ReadyToBoot, json()}};
}

const std::vector<PcdSetting> &PcdSettings() {
  static const std::vector<PcdSetting> settings = {
      {67, "program Max Payload Size below each port (and the completion payload)", 1, 1},
      {205, "Max Read Request Size code for every port, 0-5 = 128-4096 bytes, above 5: "
            "leave devices alone", 2, 0xFF},
      {311, "RAS word written to NBIO 0x13B20434 for package types 2, 16 and 128", 0, 0xFFFFFFFF},
      {418, "ASPM blacklist and device fixes inside the ASPM link pass", 1, 1},
      {456, "RAS word written to NBIO 0x13B20430 for package types 2, 16 and 128", 0, 0xFFFFFFFF},
      {588, "run RAS control", 0, 1},
      {665, "x1 slots advertise 10 W", 0, 1},
      {1005, "ECRC errors are fatal where the AER service enables ECRC", 0, 1},
      {1128, "fourth argument word of the SMU request", 0, 1},
  };
  return settings;
}

// Settings the file leaves out take the values a platform commonly has:
// payload programming and the blacklist on, read requests at their 512-byte
// reset value, the optional behaviours off.
void internal::DefaultPcdSettings(Scenario &s) {
  for (const PcdSetting &setting : PcdSettings()) {
    if (s.pcd.emplace(setting.token, setting.defaultValue).second) {
      s.pcdDefaulted.insert(setting.token);
    }
  }
}

namespace {

// The NBIO's index/data pair needs a host bridge: 00:00.0 as on the real
// platform, unless the capture has a root port there, then function 0 of
// the first free device of bus 0.
uint32_t HostBridgeForCapture(const std::vector<sim::CapturedFunction> &captured) {
  auto find = [&](uint32_t bdf) {
    return std::find_if(captured.begin(), captured.end(),
                        [bdf](const auto &c) { return c.bdf == bdf; });
  };
  const auto at0 = find(sim::Bdf(0, 0, 0));
  if (at0 == captured.end() || !IsRootPort(*at0)) {
    return sim::Bdf(0, 0, 0);
  }
  for (uint32_t device = 1; device <= 31; ++device) {
    if (find(sim::Bdf(0, device, 0)) == captured.end()) {
      return sim::Bdf(0, device, 0);
    }
  }
  return sim::Bdf(0, 0, 7);
}

// One silicon whose engines are the captured root ports, numbered in
// address order, with fields a capture cannot tell left at 0 (see
// docs/kelsim.md; --port sets them).
Scenario WithCapturedRootPorts(Scenario s, const std::string &path) {
  s.fromCapture = true;
  SiliconEntry silicon;
  silicon.hostBridgeAddress = HostBridgeForCapture(s.captured);
  WrapperEntry core0{.wrapperId = 0};
  WrapperEntry core1{.wrapperId = 1};
  uint8_t portId = 0;
  uint16_t lane = 0;
  for (const auto &c : s.captured) {
    if (!IsRootPort(c) || c.bdf == silicon.hostBridgeAddress) {
      continue;
    }
    const sim::ConfigFunction f = sim::FunctionFromCapture(c);
    const uint16_t width = static_cast<uint16_t>(std::max<uint32_t>((f.Peek(f.pcieCap + 0x12, 2) >> 4) & 0x3F, 1));
    EngineEntry e;
    e.path = path + " " + sim::BdfText(c.bdf);
    e.engine.portPciAddress = c.bdf;
    e.engine.portDeviceFunction = static_cast<uint8_t>((((c.bdf >> 15) & 0x1F) << 3) | ((c.bdf >> 12) & 7));
    e.engine.startLane = lane;
    e.engine.endLane = static_cast<uint16_t>(lane + width - 1);
    e.engine.portLocation = static_cast<uint8_t>((portId << 4) | (portId < 8 ? 0 : 1));
    e.engine.maxPayloadSize = 5;
    e.engine.portAspm = static_cast<uint8_t>(((f.Peek(f.pcieCap + 0x0C, 4) >> 10) & 3) << 4);
    e.clkReqKnown = false;
    s.clkReqUnknown.insert(c.bdf);
    lane = static_cast<uint16_t>(lane + width);
    (portId < 8 ? core0 : core1).engines.push_back(std::move(e));
    if (++portId == 16) {
      s.warnings.push_back(path + ": more than 16 root ports; the rest are left out");
      break;
    }
  }
  silicon.wrappers.push_back(std::move(core0));
  if (!core1.engines.empty()) {
    silicon.wrappers.push_back(std::move(core1));
  }
  if (portId == 0) {
    s.warnings.push_back(path + ": no root port (PCI Express port type 4) in the capture; the "
                                "pass has no port to program");
  }
  s.silicons.push_back(std::move(silicon));
  DefaultPcdSettings(s);
  s.events = DefaultEvents();
  Validate(s, path);
  return s;
}

} // namespace

Scenario ScenarioFromCapture(const std::string &path) {
  Scenario s;
  s.name = sim::InputName(path);
  if (path != "-") {
    s.inputFiles.push_back(path);
  }
  s.captured = LoadCapture(path, s);
  const std::string name = s.name;
  return WithCapturedRootPorts(std::move(s), name);
}

json EngineFields(const sim::EngineLayout &e) {
  auto hex = [](uint64_t v) { return fmt::format("0x{:x}", v); };
  return {{"Active", e.active},
          {"StartLane", e.startLane},
          {"EndLane", e.endLane},
          {"PortStatus", hex(e.portStatus)},
          {"PortDeviceFunction", hex(e.portDeviceFunction)},
          {"PortAspm", hex(e.portAspm)},
          {"PortControl", hex(e.portControl)},
          {"PortLocation", hex(e.portLocation)},
          {"PortPciAddress", sim::BdfText(e.portPciAddress)},
          {"SlotPowerLimitValue", e.slotPowerLimitValue},
          {"MaxPayloadSize", e.maxPayloadSize},
          {"ClkReqMap", hex(e.clkReqMap)},
          {"SrisOptions", hex(e.srisOptions)},
          {"PortPmOptions", hex(e.portPmOptions)}};
}

namespace {

// The engine fields a --port edit may set, by their platform-file names.
const std::set<std::string> &EditableEngineFields() {
  static const std::set<std::string> fields = {
      "Active",      "StartLane",  "EndLane",          "PortStatus",     "PortDeviceFunction",
      "PortAspm",    "PortControl", "PortLocation",    "SlotPowerLimitValue", "MaxPayloadSize",
      "ClkReqMap",   "SrisOptions", "PortPmOptions"};
  return fields;
}


} // namespace

void ApplyPortEdit(Scenario &s, const std::string &edit) {
  static const std::regex form(R"(^([0-9a-fA-F]{1,2}:[0-9a-fA-F]{1,2}\.[0-7]):(.+)$)");
  const std::string where = "--port " + sim::Excerpt(edit, 60);
  std::smatch m;
  uint32_t bdf = 0;
  if (!std::regex_match(edit, m, form) || !sim::ParseBdf(m[1].str(), bdf)) {
    throw sim::InputError("command line", where, "expected bb:dd.f:FIELD=VALUE[,FIELD=VALUE]");
  }
  SiliconEntry *silicon = nullptr;
  EngineEntry *target = nullptr;
  std::string ports;
  for (SiliconEntry &si : s.silicons) {
    for (WrapperEntry &w : si.wrappers) {
      for (EngineEntry &e : w.engines) {
        ports += (ports.empty() ? "" : " ") + sim::BdfText(e.engine.portPciAddress);
        if (e.engine.portPciAddress == bdf) {
          silicon = &si;
          target = &e;
        }
      }
    }
  }
  if (target == nullptr) {
    throw sim::InputError("command line", where,
                          "no engine at " + sim::BdfText(bdf) + " (engines at: " + ports + ")");
  }
  json fields = EngineFields(target->engine);
  bool clkReq = false;
  std::stringstream list(m[2].str());
  std::string item;
  while (std::getline(list, item, ',')) {
    const size_t eq = item.find('=');
    const std::string field = item.substr(0, eq);
    if (eq == std::string::npos || EditableEngineFields().count(field) == 0) {
      std::string names;
      for (const std::string &f : EditableEngineFields()) {
        names += (names.empty() ? "" : ", ") + f;
      }
      throw sim::InputError("command line", where,
                            "'" + sim::Excerpt(item) + "' is no FIELD=VALUE of an engine field (" +
                                names + ")");
    }
    const std::string value = item.substr(eq + 1);
    fields[field] = field == "Active" ? json(value == "true" || value == "1") : json(value);
    clkReq |= field == "ClkReqMap";
  }
  const EngineEntry edited = ReadEngine(Reader(fields, "--port " + m[1].str(), "command line"));
  target->engine = edited.engine;
  if (clkReq) {
    target->clkReqKnown = true;
    s.clkReqUnknown.erase(bdf);
  }
  CheckLanes(*silicon, "command line");
  std::vector<std::string> warnings;
  CheckPortNumbers(*silicon, "command line", warnings);
  for (const std::string &w : warnings) {
    if (std::find(s.warnings.begin(), s.warnings.end(), w) == s.warnings.end()) {
      s.warnings.push_back(w);
    }
  }
}

Scenario ScenarioFromSysfs(const std::string &root) {
  Scenario s;
  s.name = "sysfs " + root;
  s.captured = KeepDomainZero(sim::ReadSysfs(root), s.name, s);
  const std::string name = s.name;
  return WithCapturedRootPorts(std::move(s), name);
}

// The reference board's hook programs the NVMe port's AER masks and turns
// AER off on the port whose link is left alone; after the pass a driver
// asks the AER service for the switch port, which enables ECRC below it.
Scenario ReferenceScenario() {
  Scenario s;
  s.name = "reference platform";
  s.reference = true;
  s.events = {
      {EventKind::HookEdit, json::parse(R"([
        {"Row": 1, "AerEnable": 1, "CorrectableMask": "0x2000",
         "UncorrectableMask": "0x100000", "UncorrectableSeverity": "0x40000"},
        {"Row": 9, "AerEnable": 0}])")},
      {EventKind::SmmReadyToLock, json()},
      {EventKind::PciIoInstall, json()},
      {EventKind::AerService, json::parse(R"({"PciBus": 0, "PciDevice": 3, "PciFunction": 1,
        "CorrectableMask": "0x10", "UncorrectableMask": "0x40"})")},
      {EventKind::ReadyToBoot, json()},
  };
  return s;
}

Scenario LargeScenario() {
  Scenario s;
  s.name = "large platform";
  s.large = true;
  s.events = {{EventKind::SmmReadyToLock, json()},
              {EventKind::PciIoInstall, json()},
              {EventKind::ReadyToBoot, json()}};
  return s;
}

} // namespace kelsim
