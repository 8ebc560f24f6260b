#include "tools/kelsim/scenario.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include <fmt/format.h>

#include "sim/catalogue.h"
#include "sim/input_error.h"
#include "sim/input_file.h"
#include "sim/large_platform.h"
#include "sim/power_on.h"
#include "sim/reference_platform.h"

namespace kelsim {

using nlohmann::json;

namespace {

// Walks a JSON document with the path of the current node, so that every
// complaint names where it is.
class Reader {
public:
  Reader(const json &node, std::string path, std::string file)
      : node_(node), path_(std::move(path)), file_(std::move(file)) {}

  [[noreturn]] void Fail(const std::string &what) const { throw sim::InputError(file_, path_, what); }
  const std::string &Path() const { return path_; }
  const std::string &File() const { return file_; }
  const json &Node() const { return node_; }

  // An object holding only the fields its kind accepts.
  void RequireObject(const char *kind) const {
    if (!node_.is_object()) {
      Fail("expected an object, found " + std::string(node_.type_name()));
    }
    const std::vector<std::string> &allowed = PlatformFileObjects().at(kind);
    for (const auto &[key, value] : node_.items()) {
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        Reader(value, path_ + "." + key, file_).Fail("unknown field '" + key + "'");
      }
    }
  }
  // Checks the range of every listed field that is present.
  void Ranges(std::initializer_list<std::pair<const char *, uint64_t>> fields) const {
    for (const auto &[key, max] : fields) {
      if (Has(key)) {
        At(key).Unsigned(max);
      }
    }
  }
  void Bools(std::initializer_list<const char *> fields) const {
    for (const char *key : fields) {
      if (Has(key)) {
        At(key).Bool();
      }
    }
  }
  bool Has(const char *key) const { return node_.is_object() && node_.contains(key); }
  Reader At(const char *key) const { return Reader(node_.at(key), path_ + "." + key, file_); }
  Reader At(size_t index) const {
    return Reader(node_.at(index), path_ + "[" + std::to_string(index) + "]", file_);
  }
  size_t ArraySize() const {
    if (!node_.is_array()) {
      Fail("expected an array, found " + std::string(node_.type_name()));
    }
    return node_.size();
  }

  // An unsigned number, written as a JSON integer or a "0x..." string.
  uint64_t Unsigned(uint64_t max) const {
    uint64_t v = 0;
    if (node_.is_number_unsigned()) {
      v = node_.get<uint64_t>();
    } else if (node_.is_number_integer()) {
      if (node_.get<int64_t>() < 0) {
        Fail("negative value " + node_.dump());
      }
      v = static_cast<uint64_t>(node_.get<int64_t>());
    } else if (node_.is_string()) {
      const std::string s = node_.get<std::string>();
      size_t used = 0;
      try {
        v = std::stoull(s, &used, 0);
      } catch (const std::exception &) {
        Fail("'" + s + "' is not a number");
      }
      if (used != s.size()) {
        Fail("'" + s + "' is not a number");
      }
    } else if (node_.is_number_float()) {
      // A float is either written with a fraction or exponent, or an
      // integer too large for 64 bits that the parser kept as a float.
      const double d = node_.get<double>();
      if (d >= 18446744073709551616.0 || d <= -9223372036854775808.0) {
        Fail("number " + node_.dump() + " is too large");
      }
      Fail("expected an integer, found " + node_.dump());
    } else {
      Fail("expected a number, found " + std::string(node_.type_name()));
    }
    if (v > max) {
      Fail("value " + std::to_string(v) + " out of range (at most " + std::to_string(max) + ")");
    }
    return v;
  }
  template <typename T> T Get(uint64_t max = std::numeric_limits<T>::max()) const {
    return static_cast<T>(Unsigned(max));
  }
  bool Bool() const {
    if (!node_.is_boolean()) {
      Fail("expected true or false, found " + std::string(node_.type_name()));
    }
    return node_.get<bool>();
  }
  std::string String() const {
    if (!node_.is_string()) {
      Fail("expected a string, found " + std::string(node_.type_name()));
    }
    return node_.get<std::string>();
  }
  uint32_t Bdf() const {
    uint32_t bdf = 0;
    if (!sim::ParseBdf(String(), bdf)) {
      Fail("'" + String() + "' is not a bus:device.function address such as \"01:00.0\"");
    }
    return bdf;
  }

  template <typename T> void Optional(const char *key, T &field, uint64_t max) const {
    if (Has(key)) {
      field = At(key).Get<T>(max);
    }
  }
  void OptionalBool(const char *key, bool &field) const {
    if (Has(key)) {
      field = At(key).Bool();
    }
  }

private:
  const json &node_;
  std::string path_;
  std::string file_;
};

} // namespace

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

namespace {

// The catalogue models a platform file may name; bridges need bus numbers.
struct Model {
  const char *name;
  bool bridge;
  sim::DeviceBuilder (*make)(const DeviceEntry &d);
};

uint8_t BusOf(uint32_t bdf) { return static_cast<uint8_t>((bdf >> 20) & 0xFF); }
uint8_t SecondaryOf(const DeviceEntry &d) { return static_cast<uint8_t>(std::max(d.secondaryBus, 0)); }
uint8_t SubordinateOf(const DeviceEntry &d) {
  return static_cast<uint8_t>(d.subordinateBus < 0 ? SecondaryOf(d) : d.subordinateBus);
}

sim::DeviceBuilder WithBuses(sim::DeviceBuilder b, const DeviceEntry &d) {
  b.Raw().Poke(0x18, 1, BusOf(d.address));
  b.Raw().Poke(0x1A, 1, SubordinateOf(d));
  return b;
}

const std::vector<Model> &Models() {
  namespace cat = sim::catalogue;
  static const std::vector<Model> kModels = {
      {"root_port", true,
       [](const DeviceEntry &d) { return WithBuses(cat::RootPort(SecondaryOf(d), 4), d); }},
      {"switch_upstream", true,
       [](const DeviceEntry &d) {
         return cat::SwitchUpstreamPort(BusOf(d.address), SecondaryOf(d), SubordinateOf(d));
       }},
      {"switch_downstream", true,
       [](const DeviceEntry &d) {
         return cat::SwitchDownstreamPort(BusOf(d.address), SecondaryOf(d), SubordinateOf(d));
       }},
      {"pcie_pci_bridge", true,
       [](const DeviceEntry &d) {
         return WithBuses(cat::PcieToPciBridge(BusOf(d.address), SecondaryOf(d)), d);
       }},
      {"nvme", false, [](const DeviceEntry &) { return cat::NvmeSsd(); }},
      {"nic", false, [](const DeviceEntry &) { return cat::EthernetNic(); }},
      {"wifi", false, [](const DeviceEntry &) { return cat::WifiCard(); }},
      {"gpu", false, [](const DeviceEntry &) { return cat::Gpu(); }},
      {"gpu_audio", false, [](const DeviceEntry &) { return cat::GpuAudio(); }},
      {"pci_device", false, [](const DeviceEntry &) { return cat::ConventionalPciDevice(); }},
      {"multifunction", false,
       [](const DeviceEntry &d) {
         return cat::MultiFunctionEndpoint(static_cast<uint8_t>((d.address >> 12) & 7));
       }},
      {"endpoint", false,
       [](const DeviceEntry &) { return cat::PcieEndpoint(0xFFF1, 0x0001, 2, true); }},
  };
  return kModels;
}

const Model *FindModel(const std::string &name) {
  for (const Model &m : Models()) {
    if (name == m.name) {
      return &m;
    }
  }
  return nullptr;
}

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
  if (!r.Has("PortPciAddress")) {
    r.Fail("an engine needs \"PortPciAddress\"");
  }
  s.portPciAddress = r.At("PortPciAddress").Bdf();
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

SiliconEntry ReadSilicon(const Reader &r) {
  r.RequireObject("Silicon");
  SiliconEntry s;
  r.Optional("SocketId", s.socketId, 0xFF);
  r.Optional("DieId", s.dieId, 0xFF);
  r.Optional("InstanceId", s.instanceId, 0xFF);
  if (!r.Has("HostBridgeAddress")) {
    r.Fail("a silicon needs \"HostBridgeAddress\"");
  }
  s.hostBridgeAddress = r.At("HostBridgeAddress").Bdf();
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
// hostile offsets). The bytes are followed by zeros as far as the driver's
// bounded walks can reach (u16 offsets, at most 256 hops in all), so even a
// hostile layout is read inside the buffer, as a real producer's memory.
constexpr size_t kTopologyReach = 24 + 256 * 65535 + 32 * 18 + 64 * 107 + 4096;

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
  bytes.resize(kTopologyReach, 0);
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
    if (!e.Has("HookId")) {
      e.Fail("a hook table entry needs \"HookId\"");
    }
    HookTableEntry entry;
    entry.hookId = e.At("HookId").Get<uint32_t>(0xFFFFFFFE);
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

// The buses behind an engine's catalogue root port: as given, else from the
// devices described below it (secondary 0, not configured, when there are
// none).
struct BusRange {
  int secondary;
  int subordinate;
};

BusRange RootPortBuses(const EngineEntry &e) {
  int secondary = e.rootPort.secondaryBus;
  int highest = -1;
  for (const DeviceEntry &d : e.devices) {
    const int bus = BusOf(d.address);
    if (e.rootPort.secondaryBus < 0 && (secondary < 0 || bus < secondary)) {
      secondary = bus;
    }
    highest = std::max({highest, bus, d.secondaryBus, d.subordinateBus});
  }
  secondary = std::max(secondary, 0);
  const int subordinate =
      e.rootPort.subordinateBus >= 0 ? e.rootPort.subordinateBus : std::max(highest, secondary);
  return {secondary, subordinate};
}

// The bus-number structure must be a tree: every bridge leads strictly
// further from the root, no two bridges claim the same bus, and every device
// sits on a bus some bridge leads to (or on bus 0). A captured bridge is what
// a machine held, and the driver guards against every such fault: there they
// are warnings, and the run shows what the driver makes of them.
struct BridgeInfo {
  uint32_t bdf;
  int secondary;
  int subordinate;
  std::string where;
  bool captured = false;
};

void CheckTree(const std::vector<BridgeInfo> &bridges, const std::vector<std::pair<uint32_t, std::string>> &devices,
               const std::string &file, std::vector<std::string> &warnings) {
  auto fault = [&](const BridgeInfo &b, const std::string &what) {
    if (!b.captured) {
      throw sim::InputError(file, b.where, what);
    }
    warnings.push_back(file + ": " + b.where + ": " + what);
  };
  std::map<int, const BridgeInfo *> owner;
  for (const BridgeInfo &b : bridges) {
    const int bus = static_cast<int>((b.bdf >> 20) & 0xFF);
    if (b.secondary == 0) {
      continue; // not configured: nothing below it is reached
    }
    if (b.secondary <= bus) {
      fault(b, "bridge loop: " + sim::BdfText(b.bdf) + " leads to bus " +
                   std::to_string(b.secondary) + ", which is not below its own bus " +
                   std::to_string(bus));
      continue;
    }
    if (b.subordinate >= 0 && b.subordinate < b.secondary) {
      fault(b, "subordinate bus " + std::to_string(b.subordinate) + " is below secondary bus " +
                   std::to_string(b.secondary));
    }
    auto [it, fresh] = owner.emplace(b.secondary, &b);
    if (!fresh) {
      fault(b, "bus " + std::to_string(b.secondary) + " is already the secondary bus of " +
                   sim::BdfText(it->second->bdf));
    }
  }
  // A bridge's buses lie inside its parent bridge's secondary-subordinate
  // range: a root port routes nothing else down (PCI-to-PCI Bridge r1.2,
  // 3.2.5.3-3.2.5.6).
  for (const BridgeInfo &b : bridges) {
    const int bus = static_cast<int>((b.bdf >> 20) & 0xFF);
    const auto parent = owner.find(bus);
    if (b.secondary == 0 || bus == 0 || parent == owner.end() || parent->second->subordinate < 0) {
      continue;
    }
    const int last = std::max(b.secondary, b.subordinate);
    if (last > parent->second->subordinate) {
      fault(b, "bus " + std::to_string(last) + " lies outside the buses " +
                   std::to_string(parent->second->secondary) + "-" +
                   std::to_string(parent->second->subordinate) + " that " +
                   sim::BdfText(parent->second->bdf) + " routes");
    }
  }
  for (const auto &[bdf, where] : devices) {
    const int bus = static_cast<int>((bdf >> 20) & 0xFF);
    if (bus != 0 && owner.count(bus) == 0) {
      throw sim::InputError(file, where,
                            sim::BdfText(bdf) + " is on bus " + std::to_string(bus) +
                                ", which no bridge leads to");
    }
  }
}

// Two active ports of one silicon cannot own the same lane.
void CheckLanes(const SiliconEntry &silicon, const std::string &file) {
  std::vector<std::tuple<int, int, std::string>> taken;
  for (const WrapperEntry &w : silicon.wrappers) {
    for (const EngineEntry &e : w.engines) {
      if (!e.engine.active) {
        continue;
      }
      const int lo = std::min(e.engine.startLane, e.engine.endLane);
      const int hi = std::max(e.engine.startLane, e.engine.endLane);
      for (const auto &[olo, ohi, where] : taken) {
        if (lo <= ohi && olo <= hi) {
          throw sim::InputError(file, e.path,
                                "lanes " + std::to_string(lo) + "-" + std::to_string(hi) +
                                    " overlap lanes " + std::to_string(olo) + "-" +
                                    std::to_string(ohi) + " of " + where);
        }
      }
      taken.emplace_back(lo, hi, e.path);
    }
  }
}

// Two engines with one PortId on one core would share their NBIO port
// registers and CLKREQ# map field; a ClkReqNumber of 6-15 names no signal,
// which the driver treats as none.
void CheckPortNumbers(const SiliconEntry &silicon, const std::string &file,
                      std::vector<std::string> &warnings) {
  std::map<uint8_t, std::string> taken;
  for (const WrapperEntry &w : silicon.wrappers) {
    for (const EngineEntry &e : w.engines) {
      const uint8_t location = e.engine.portLocation;
      const auto [it, fresh] = taken.emplace(location, e.path);
      if (!fresh) {
        throw sim::InputError(file, e.path + ".PortLocation",
                              fmt::format("PortId {} of core {} is also {}'s; give each engine its "
                                          "own PortLocation",
                                          location >> 4, location & 0xF, it->second));
      }
      const unsigned clkReq = e.engine.clkReqMap & 0xF;
      if (clkReq > 5) {
        warnings.push_back(file + ": " + e.path + ".ClkReqMap: CLKREQ number " +
                           std::to_string(clkReq) +
                           " names no signal (1-5 are CLKREQB_0-4); the driver treats the port "
                           "as one without a signal");
      }
    }
  }
}

void Validate(Scenario &s, const std::string &file) {
  std::map<uint32_t, std::string> taken;
  std::vector<BridgeInfo> bridges;
  std::vector<std::pair<uint32_t, std::string>> devices;
  auto claim = [&](uint32_t bdf, const std::string &where) {
    auto [it, fresh] = taken.emplace(bdf, where);
    if (!fresh) {
      throw sim::InputError(file, where,
                            sim::BdfText(bdf) + " is already described at " + it->second);
    }
  };
  // Captured functions may sit on further root buses (bus 0xff uncore
  // devices, say); only described devices must be reachable.
  for (const auto &c : s.captured) {
    claim(c.bdf, "capture line " + std::to_string(c.line));
    if ((c.bytes[0x0E] & 0x7F) == 1) {
      bridges.push_back(
          {c.bdf, c.bytes[0x19], c.bytes[0x1A], "capture line " + std::to_string(c.line), true});
    }
  }
  std::set<uint32_t> hostBridges;
  for (size_t si = 0; si < s.silicons.size(); ++si) {
    const SiliconEntry &silicon = s.silicons[si];
    CheckLanes(silicon, file);
    CheckPortNumbers(silicon, file, s.warnings);
    const std::string where = "$.Silicons[" + std::to_string(si) + "].HostBridgeAddress";
    if (!hostBridges.insert(silicon.hostBridgeAddress).second) {
      throw sim::InputError(file, where,
                            "two silicons share host bridge " + sim::BdfText(silicon.hostBridgeAddress));
    }
    // A captured host bridge keeps its bytes and gains the SMN pair.
    if (std::none_of(s.captured.begin(), s.captured.end(),
                     [&](const auto &c) { return c.bdf == silicon.hostBridgeAddress; })) {
      claim(silicon.hostBridgeAddress, where);
    }
    for (const WrapperEntry &w : silicon.wrappers) {
      for (const EngineEntry &e : w.engines) {
        const uint32_t port = e.engine.portPciAddress;
        const bool captured = std::any_of(s.captured.begin(), s.captured.end(),
                                          [port](const auto &c) { return c.bdf == port; });
        if (!captured) {
          claim(port, e.path + ".PortPciAddress");
        }
        for (const DeviceEntry &d : e.devices) {
          claim(d.address, d.path);
          devices.emplace_back(d.address, d.path);
          if (d.secondaryBus >= 0) {
            bridges.push_back({d.address, d.secondaryBus,
                               d.subordinateBus < 0 ? d.secondaryBus : d.subordinateBus, d.path});
          }
        }
        if (!captured) {
          const BusRange buses = RootPortBuses(e);
          bridges.push_back({port, buses.secondary, buses.subordinate, e.path});
        }
      }
    }
  }
  CheckTree(bridges, devices, file, s.warnings);
}

} // namespace

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
static void DefaultPcdSettings(Scenario &s) {
  for (const PcdSetting &setting : PcdSettings()) {
    if (s.pcd.emplace(setting.token, setting.defaultValue).second) {
      s.pcdDefaulted.insert(setting.token);
    }
  }
}

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
  if (!root.Has("Silicons")) {
    root.Fail("a platform needs \"Silicons\"");
  }
  const Reader silicons = root.At("Silicons");
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

namespace {

bool IsRootPort(const sim::CapturedFunction &c) {
  const sim::ConfigFunction f = sim::FunctionFromCapture(c);
  return f.pcieCap != 0 && ((f.Peek(f.pcieCap + 2, 2) >> 4) & 0xF) == 4;
}

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

} // namespace

namespace {

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

namespace {

void ApplyOverrides(sim::ConfigFunction &f, const json &o) {
  auto num = [&o](const char *k) { return Reader(o.at(k), k, "").Unsigned(~0ULL); };
  const uint16_t c = f.pcieCap;
  auto setBits = [&f](uint16_t offset, unsigned bytes, uint32_t mask, uint32_t value) {
    f.Poke(offset, bytes, (f.Peek(offset, bytes) & ~mask) | (value & mask));
  };
  if (o.contains("VendorId")) {
    f.Poke(0, 2, static_cast<uint32_t>(num("VendorId")));
  }
  if (o.contains("DeviceId")) {
    f.Poke(2, 2, static_cast<uint32_t>(num("DeviceId")));
  }
  if (c == 0) {
    return;
  }
  if (o.contains("MaxPayloadSupported")) {
    setBits(c + 4, 4, 0x7, static_cast<uint32_t>(num("MaxPayloadSupported")));
  }
  if (o.contains("ExtendedTags")) {
    setBits(c + 4, 4, 0x20, o.at("ExtendedTags").get<bool>() ? 0x20 : 0);
  }
  if (o.contains("AspmSupport")) {
    setBits(c + 0xC, 4, 0xC00, static_cast<uint32_t>(num("AspmSupport") << 10));
  }
  if (o.contains("ClockPm")) {
    setBits(c + 0xC, 4, 1u << 18, o.at("ClockPm").get<bool>() ? 1u << 18 : 0);
  }
  if (o.contains("SlotClock")) {
    setBits(c + 0x12, 2, 1u << 12, o.at("SlotClock").get<bool>() ? 1u << 12 : 0);
  }
  if (o.contains("LinkWidth")) {
    const uint32_t w = static_cast<uint32_t>(num("LinkWidth"));
    setBits(c + 0xC, 4, 0x3F0, w << 4);
    setBits(c + 0x12, 2, 0x3F0, w << 4);
  }
  if (o.contains("LinkSpeed")) {
    const uint32_t v = static_cast<uint32_t>(num("LinkSpeed"));
    setBits(c + 0xC, 4, 0xF, v);
    setBits(c + 0x12, 2, 0xF, v);
  }
  if (o.contains("DeviceControl")) {
    f.Poke(c + 8, 2, static_cast<uint32_t>(num("DeviceControl")));
  }
  if (o.contains("LinkControl")) {
    f.Poke(c + 0x10, 2, static_cast<uint32_t>(num("LinkControl")) & ~0x20u);
  }
  if (o.contains("LtrSupported")) {
    setBits(c + 0x24, 4, 1u << 11, o.at("LtrSupported").get<bool>() ? 1u << 11 : 0);
  }
  if (o.contains("LinkTrainingReads")) {
    f.linkTrainingReads = static_cast<unsigned>(num("LinkTrainingReads"));
  }
  // Hostile links: training that never ends, a link that drops when
  // retrained, a device pulled out after so many configuration accesses.
  if (o.contains("TrainsForever")) {
    f.trainsForever = o.at("TrainsForever").get<bool>();
  }
  if (o.contains("VanishesOnRetrain")) {
    f.vanishesOnRetrain = o.at("VanishesOnRetrain").get<bool>();
  }
  if (o.contains("AccessesBeforeRemoval")) {
    f.accessesBeforeRemoval = static_cast<int>(num("AccessesBeforeRemoval"));
  }
  if (o.contains("L1Substates")) {
    for (uint16_t ext = 0x100; ext >= 0x100 && ext <= 0xFFC;) {
      const uint32_t header = f.Peek(ext, 4);
      if (header == 0) {
        break;
      }
      if ((header & 0xFFFF) == 0x001E) {
        f.Poke(ext + 4, 4, static_cast<uint32_t>(num("L1Substates")));
        break;
      }
      ext = static_cast<uint16_t>(header >> 20);
    }
  }
}

} // namespace

namespace {
sim::BuiltTopology BuildDescribedPlatform(const Scenario &s, sim::Platform &p,
                                          sim::TopologyLayout &layout);
} // namespace

sim::BuiltTopology BuildPlatform(const Scenario &s, sim::Platform &p, sim::TopologyLayout *layout) {
  sim::TopologyLayout built;
  sim::BuiltTopology topology = BuildDescribedPlatform(s, p, built);
  if (layout != nullptr) {
    *layout = std::move(built);
  }
  if (s.powerOn) {
    for (auto &[bdf, f] : p.config.Functions()) {
      sim::ResetToPowerOn(f);
    }
  }
  return topology;
}

namespace {

sim::BuiltTopology BuildDescribedPlatform(const Scenario &s, sim::Platform &p,
                                          sim::TopologyLayout &described) {
  if (s.reference) {
    sim::ReferencePlatform reference = sim::BuildReferencePlatform(p);
    described = reference.topology;
    return reference.built;
  }
  if (s.large) {
    sim::LargePlatform large = sim::BuildLargePlatform(p);
    described = large.topology;
    return large.built;
  }
  for (const auto &c : s.captured) {
    p.AddFunction(c.bdf, sim::FunctionFromCapture(c));
    if (IsRootPort(c)) {
      p.RootPortIndirect(c.bdf); // its index/data pair at 0xE0/0xE4, as built root ports have
    }
  }
  sim::TopologyLayout topology;
  std::map<uint32_t, int> functionsPerDevice;
  for (const SiliconEntry &si : s.silicons) {
    for (const WrapperEntry &w : si.wrappers) {
      for (const EngineEntry &e : w.engines) {
        for (const DeviceEntry &d : e.devices) {
          functionsPerDevice[d.address & ~0x7000u]++;
        }
      }
    }
  }
  for (const SiliconEntry &si : s.silicons) {
    sim::Nbio &nbio = p.AddSilicon(si.hostBridgeAddress);
    for (const auto &[address, value] : si.smn) {
      nbio.Seed(address, value);
    }
    nbio.smu = si.smu;
    nbio.ras = si.ras;
    sim::SiliconLayout layout{.socketId = si.socketId, .dieId = si.dieId, .instanceId = si.instanceId,
                          .hostBridgeAddress = si.hostBridgeAddress};
    for (const WrapperEntry &w : si.wrappers) {
      sim::WrapperLayout ws{.wrapperId = w.wrapperId, .wrapperFeatures = w.wrapperFeatures};
      for (const EngineEntry &e : w.engines) {
        ws.engines.push_back(e.engine);
        const uint32_t port = e.engine.portPciAddress;
        // An inactive engine's port is not in use: it has no function unless
        // a capture provides one.
        if (p.config.Find(port) == nullptr && e.engine.active) {
          const BusRange buses = RootPortBuses(e);
          const uint16_t lanes = static_cast<uint16_t>(
              (e.engine.endLane > e.engine.startLane ? e.engine.endLane - e.engine.startLane
                                                     : e.engine.startLane - e.engine.endLane) + 1);
          const uint8_t width = static_cast<uint8_t>(e.rootPort.linkWidth > 0 ? e.rootPort.linkWidth
                                                                              : std::min<uint16_t>(lanes, 32));
          sim::DeviceBuilder b = sim::catalogue::RootPort(static_cast<uint8_t>(buses.secondary),
                                                          width, e.rootPort.slot,
                                                          e.rootPort.slotCapabilities);
          b.Raw().Poke(0x18, 1, BusOf(port));
          b.Raw().Poke(0x1A, 1, static_cast<uint32_t>(buses.subordinate));
          sim::ConfigFunction f = b.Build();
          ApplyOverrides(f, e.rootPort.overrides);
          p.AddRootPort(port, f);
        }
        for (const auto &[index, value] : e.rootPort.indirect) {
          p.RootPortIndirect(port)[index] = value;
        }
        for (const DeviceEntry &d : e.devices) {
          sim::DeviceBuilder b = FindModel(d.model)->make(d);
          if (functionsPerDevice[d.address & ~0x7000u] > 1) {
            b.MultiFunction(true);
          }
          sim::ConfigFunction f = b.Build();
          ApplyOverrides(f, d.overrides);
          p.AddFunction(d.address, f);
        }
      }
      layout.wrappers.push_back(std::move(ws));
    }
    topology.silicons.push_back(std::move(layout));
  }
  for (const auto &[token, value] : s.pcd) {
    p.pcd[token] = value;
  }
  const uint64_t commBuffer = p.pcd.at(sim::kPcdSmmCommunicationBuffer);
  p.cpu = s.cpu;
  if (s.pcd.count(sim::kPcdSmmCommunicationBuffer) == 0) {
    p.pcd[sim::kPcdSmmCommunicationBuffer] = commBuffer;
  }
  sim::BuiltTopology built = sim::BuildTopology(topology);
  described = topology;
  if (s.topologyBytes) {
    // Raw bytes stand in for the built topology; the engines the report
    // follows are not known in them.
    built = sim::BuiltTopology{*s.topologyBytes, {}, {}, {}};
  }
  if (s.modules.topology) {
    p.PublishTopology(built.bytes);
  }
  return built;
}

} // namespace

} // namespace kelsim
