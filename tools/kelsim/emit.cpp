#include "tools/kelsim/emit.h"

#include <filesystem>
#include <set>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "sim/input_error.h"
#include "sim/lspci.h"
#include "sim/platform.h"
#include "tools/kelsim/names.h"
#include "tools/kelsim/output.h"

namespace kelsim {

namespace {

using nlohmann::json;

std::string Hex(uint64_t v) { return fmt::format("0x{:x}", v); }

json AddressValues(const std::map<uint32_t, uint32_t> &values) {
  json out = json::object();
  for (const auto &[address, value] : values) {
    out[fmt::format("0x{:x}", address)] = Hex(value);
  }
  return out;
}

std::string CaptureText(const sim::Platform &p) {
  std::ostringstream out;
  for (const auto &[bdf, f] : p.config.Functions()) {
    const std::string name = DeviceName(static_cast<uint16_t>(f.Peek(0, 2)),
                                        static_cast<uint16_t>(f.Peek(2, 2)));
    out << sim::BdfText(bdf) << " " << (name.empty() ? "function" : name) << "\n";
    for (unsigned row = 0; row < 256; ++row) {
      // Rows a capture did not hold stay out, so the file knows no more
      // than the capture did (a 256-byte capture stays one).
      if (!f.Known(static_cast<uint16_t>(row * 16), 16)) {
        continue;
      }
      out << fmt::format("{:03x}:", row * 16);
      for (unsigned i = 0; i < 16; ++i) {
        out << fmt::format(" {:02x}", f.data[row * 16 + i]);
      }
      out << "\n";
    }
    out << "\n";
  }
  return out.str();
}

json Engine(const sim::EngineLayout &e, const sim::Platform &p) {
  json j = EngineFields(e);
  const auto indirect = p.RootPortIndirectFiles().find(e.portPciAddress & 0x0FFFF000);
  if (indirect != p.RootPortIndirectFiles().end() && !indirect->second.empty()) {
    j["RootPort"] = {{"Indirect", AddressValues(indirect->second)}};
  }
  return j;
}

json Silicon(const sim::SiliconLayout &s, const sim::Platform &p,
            const std::set<uint32_t> &clkReqUnknown) {
  json wrappers = json::array();
  for (const sim::WrapperLayout &w : s.wrappers) {
    json engines = json::array();
    for (const sim::EngineLayout &e : w.engines) {
      engines.push_back(Engine(e, p));
      if (clkReqUnknown.count(e.portPciAddress) != 0) {
        engines.back()["ClkReqMap"] = nullptr; // the wiring stays unknown
      }
    }
    wrappers.push_back({{"WrapperId", w.wrapperId},
                        {"WrapperFeatures", Hex(w.wrapperFeatures)},
                        {"Engines", engines}});
  }
  json j = {{"SocketId", s.socketId},
            {"DieId", s.dieId},
            {"InstanceId", s.instanceId},
            {"HostBridgeAddress", sim::BdfText(s.hostBridgeAddress)},
            {"Wrappers", wrappers}};
  const auto nbio = p.Silicons().find(s.hostBridgeAddress);
  if (nbio != p.Silicons().end()) {
    j["Smn"] = AddressValues(nbio->second->Registers());
  }
  return j;
}

json Event(const PlatformEvent &e) {
  switch (e.kind) {
  case EventKind::PciIoInstall:
  case EventKind::SmmReadyToLock:
  case EventKind::ReadyToBoot:
    return EventName(e.kind);
  case EventKind::AerService:
  case EventKind::AerServiceExtended:
  case EventKind::HookEdit:
  case EventKind::CorruptS3Table:
    return {{EventName(e.kind), e.payload}};
  }
  return nullptr;
}

json Processor(const sim::ProcessorState &cpu) {
  json msrs = json::object();
  for (const auto &[index, value] : cpu.msrs) {
    msrs[fmt::format("0x{:x}", index)] = Hex(value);
  }
  return {{"PackageType", 1u << cpu.packageTypeBits},
          {"Msrs", msrs},
          {"SimulatorQuery", cpu.answersSimulatorQuery},
          {"TscStep", cpu.tscStep}};
}

} // namespace

std::string EmitPlatform(const Scenario &scenario, const std::string &jsonPath) {
  sim::Platform p(scenario.modules);
  sim::TopologyLayout layout;
  BuildPlatform(scenario, p, &layout);
  const std::string capturePath = jsonPath + ".lspci.txt";

  json doc;
  doc["Description"] = "Emitted by kelsim from " + scenario.name + ", as it stands before the pass";
  doc["Captures"] = {std::filesystem::path(capturePath).filename().string()};
  doc["Silicons"] = json::array();
  for (const sim::SiliconLayout &s : layout.silicons) {
    doc["Silicons"].push_back(Silicon(s, p, scenario.clkReqUnknown));
  }
  doc["Pcd"] = json::object();
  for (const auto &[token, value] : p.pcd) {
    if (token != sim::kPcdSmmCommunicationBuffer) { // kelsim gives each run its own buffer
      doc["Pcd"][std::to_string(token)] = Hex(value);
    }
  }
  doc["Processor"] = Processor(p.cpu);
  doc["Events"] = json::array();
  for (const PlatformEvent &e : scenario.events) {
    doc["Events"].push_back(Event(e));
  }
  WriteWholeFiles({{capturePath, CaptureText(p)}, {jsonPath, doc.dump(2) + "\n"}});
  return capturePath;
}

} // namespace kelsim
