// A platform to simulate: silicons with their engines and the devices below
// each root port, configuration-space captures, settings, processor answers
// and the platform events to play. Loaded from a JSON platform file, built
// from an lspci capture, or the built-in reference platform.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform_data.h"
#include "sim/lspci.h"
#include "sim/nbio.h"
#include "sim/platform.h"
#include "sim/topology_builder.h"

namespace kelsim {

struct DeviceEntry {
  uint32_t address = 0;
  std::string model;
  int secondaryBus = -1;
  int subordinateBus = -1;
  nlohmann::json overrides = nlohmann::json::object();
  std::string path; // JSON path, for messages
};

struct RootPortEntry {
  int secondaryBus = -1;
  int subordinateBus = -1;
  int linkWidth = -1;
  bool slot = false;
  uint32_t slotCapabilities = 0;
  nlohmann::json overrides = nlohmann::json::object();
  std::map<uint32_t, uint32_t> indirect; // the port's registers behind its 0xE0/0xE4 pair
};

struct EngineEntry {
  sim::EngineLayout engine;
  bool clkReqKnown = true; // false: "ClkReqMap": null
  RootPortEntry rootPort;
  std::vector<DeviceEntry> devices;
  std::string path;
};

struct WrapperEntry {
  uint8_t wrapperId = 0;
  uint8_t wrapperFeatures = 0;
  std::vector<EngineEntry> engines;
};

struct SiliconEntry {
  uint8_t socketId = 0;
  uint8_t dieId = 0;
  uint8_t instanceId = 0;
  uint32_t hostBridgeAddress = 0;
  std::map<uint32_t, uint32_t> smn;
  sim::SmuBehaviour smu;
  sim::RasBehaviour ras;
  std::vector<WrapperEntry> wrappers;
};

enum class EventKind {
  PciIoInstall,
  SmmReadyToLock,
  ReadyToBoot,
  AerService,
  HookEdit,
  CorruptS3Table, // bytes of the shared private S3 table overwritten, as a faulty driver would
  AerServiceExtended, // a call of the AER service's extended member
};

struct PlatformEvent {
  EventKind kind;
  nlohmann::json payload; // AER service request or hook edits
};

// An entry of a board's own hook table: for the hook id, edit the data as
// a HookEdit event does, then return Result.
struct HookTableEntry {
  uint32_t hookId = 0;
  uint32_t result = 0;
  nlohmann::json edits = nlohmann::json::array();
};

struct Scenario {
  std::string name;
  bool reference = false; // the built-in reference platform
  bool large = false;     // the built-in large platform
  bool fromCapture = false; // engines made up from a capture
  // Root ports whose CLKREQ# wiring nobody knows (engines made up from a
  // capture, or "ClkReqMap": null): the audit does not judge it there.
  std::set<uint32_t> clkReqUnknown;
  // Control registers returned to their reset values before anything runs,
  // so a capture of a running machine stands for its cold boot.
  bool powerOn = false;
  std::vector<SiliconEntry> silicons;
  std::vector<sim::CapturedFunction> captured;
  // Captured functions of PCI domains other than 0, left out: per domain.
  std::map<uint16_t, size_t> leftOutDomains;
  std::map<uint64_t, uint64_t> pcd;
  std::set<uint64_t> pcdDefaulted; // settings the file left out, at their defaults
  sim::ProcessorState cpu;
  std::vector<PlatformEvent> events;
  std::vector<std::string> warnings;
  // Every file the scenario was read from: the platform file, its captures.
  std::vector<std::string> inputFiles;
  // The board's identifiers in place of the build's placeholders.
  std::optional<PlatformDataTable> platformData;
  // A board hook table in place of the driver's own (at most 4 entries).
  std::optional<std::vector<HookTableEntry>> hookTable;
  // Pool allocations that fail, counted from 1 in the order they are made
  // ("FailPoolAllocations").
  std::vector<uint64_t> failPoolAllocations;
  // Firmware modules the platform lacks ("Absent").
  sim::PlatformModules modules;
  // The published topology as raw bytes instead of the silicons' fields.
  std::optional<std::vector<uint8_t>> topologyBytes;
};

inline constexpr size_t kMaxHookTableEntries = 4;

// A platform setting the driver reads through the PCD protocol, with the
// value a platform file that leaves it out gets.
struct PcdSetting {
  uint64_t token;
  const char *meaning;
  uint64_t defaultValue;
  uint64_t maxValue; // 1 for a boolean, 255 for a byte, as the driver reads it
};
const std::vector<PcdSetting> &PcdSettings();

// Throws sim::InputError naming the file, the JSON path or line, and the fault.
Scenario LoadScenarioFile(const std::string &path);
Scenario ScenarioFromJson(const nlohmann::json &doc, const std::string &name,
                          const std::string &baseDirectory);
// One silicon whose engines are the root ports found in the capture ("-":
// standard input).
Scenario ScenarioFromCapture(const std::string &path);
// The same from a running machine's ROOT/sys/bus/pci/devices, as lspci
// reads it there.
Scenario ScenarioFromSysfs(const std::string &root);
// An engine's fields as a platform file gives them (bit fields in hex).
nlohmann::json EngineFields(const sim::EngineLayout &e);
// Sets engine fields by name for the engine at a root port:
// "bb:dd.f:FIELD=VALUE[,FIELD=VALUE]", checked as a platform file's are.
// Throws sim::InputError naming the edit.
void ApplyPortEdit(Scenario &s, const std::string &edit);
Scenario ReferenceScenario();
// The large platform, with the events of a boot: SMM lock, the pass, ready to boot.
Scenario LargeScenario();

// Populates a fresh platform; returns the topology it published and, when
// asked, the layout it was built from.
sim::BuiltTopology BuildPlatform(const Scenario &scenario, sim::Platform &platform,
                                 sim::TopologyLayout *layout = nullptr);

std::vector<PlatformEvent> DefaultEvents();
// The fields each kind of object of a platform file accepts.
const std::map<std::string, std::vector<std::string>> &PlatformFileObjects();
std::string EventName(EventKind kind);

} // namespace kelsim
