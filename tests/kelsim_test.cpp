// The command-line simulator: platform files and captures in, reports out,
// bad input refused with its place named.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/catalogue.h"
#include "sim/input_error.h"
#include "tools/kelsim/emit.h"
#include "tools/kelsim/link_table.h"
#include "tools/kelsim/names.h"
#include "tools/kelsim/report.h"
#include "tools/kelsim/run.h"
#include "tools/kelsim/scenario.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::string kShared = KEL_SHARED_DIR;
const std::string kDocs = std::string(KEL_SOURCE_DIR) + "/docs";

json MinimalPlatform() {
  return json::parse(R"({
    "Silicons": [{
      "HostBridgeAddress": "00:00.0",
      "Wrappers": [{"WrapperId": 0, "Engines": [{
        "StartLane": 0, "EndLane": 3, "PortPciAddress": "00:01.1", "MaxPayloadSize": 5,
        "Devices": [{"Address": "01:00.0", "Model": "nvme"}]
      }]}]
    }],
    "Pcd": {"67": true, "205": "0x5"}
  })");
}

std::string LoadError(const json &doc) {
  try {
    kelsim::ScenarioFromJson(doc, "platform.json", ".");
  } catch (const sim::InputError &e) {
    return e.Message();
  }
  return "";
}

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TempDir {
public:
  TempDir() : path_(fs::temp_directory_path() / ("kelsim-test-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(counter_++))) {
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string Write(const std::string &name, const std::string &text) const {
    std::ofstream(path_ / name) << text;
    return (path_ / name).string();
  }
  const fs::path &Path() const { return path_; }

private:
  static inline int counter_ = 0;
  fs::path path_;
};

TEST(KelsimScenarioTest, MinimalPlatformProgramsItsDevices) {
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(MinimalPlatform(), "p", "."));
  EXPECT_TRUE(r.fatalStops.empty());
  const auto nvme = std::find_if(r.devices.begin(), r.devices.end(),
                                 [](const auto &d) { return d.bdf == 0x100000; });
  ASSERT_NE(nvme, r.devices.end());
  EXPECT_EQ(nvme->before.mrrs, 512);
  EXPECT_EQ(nvme->after.mrrs, 4096);
  EXPECT_EQ(nvme->after.mps, 512) << "x4 caps the request of 4096 at 512, the SSD takes 512";
  EXPECT_TRUE(r.tableAvailable);
  EXPECT_TRUE(r.handedToSmm) << "default events lock SMM, run the pass and boot";
  EXPECT_FALSE(r.table.empty());
  EXPECT_TRUE(r.saveState.empty());
}

// Verify that an engine without PortLocation is numbered from its address
// as the NBIO numbers its ports, and that a CLKREQ number naming no signal
// loads with a warning.
TEST(KelsimScenarioTest, VerifyThatPortLocationFollowsTheAddressAndOddClkReqWarns) {
  for (const auto &[address, location] : std::vector<std::pair<std::string, int>>{
           {"00:01.1", 0x00}, {"00:01.7", 0x60}, {"00:02.1", 0x70}, {"00:03.1", 0x81},
           {"00:03.3", 0xA1}, {"00:04.1", 0xF1}, {"00:07.1", 0x00}}) {
    json doc = MinimalPlatform();
    doc["Silicons"][0]["Wrappers"][0]["Engines"][0]["PortPciAddress"] = address;
    doc["Silicons"][0]["Wrappers"][0]["Engines"][0]["ClkReqMap"] = 6;
    const kelsim::Scenario s = kelsim::ScenarioFromJson(doc, "p", ".");
    EXPECT_EQ(s.silicons[0].wrappers[0].engines[0].engine.portLocation, location) << address;
    ASSERT_EQ(s.warnings.size(), 1u);
    EXPECT_NE(s.warnings[0].find("ClkReqMap: CLKREQ number 6 names no signal"), std::string::npos);
  }
}

struct BadInput {
  const char *name;
  std::function<void(json &)> edit;
  const char *place;
  const char *message;
};

class KelsimBadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(KelsimBadInputTest, IsRefusedWithFilePlaceAndFault) {
  json doc = MinimalPlatform();
  GetParam().edit(doc);
  const std::string error = LoadError(doc);
  EXPECT_NE(error.find("platform.json: "), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().place), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

json &Engine0(json &d) { return d["Silicons"][0]["Wrappers"][0]["Engines"][0]; }

INSTANTIATE_TEST_SUITE_P(
    Cases, KelsimBadInputTest,
    ::testing::Values(
        BadInput{"UnknownField", [](json &d) { Engine0(d)["PortSpeed"] = 3; },
                 "$.Silicons[0].Wrappers[0].Engines[0].PortSpeed", "unknown field 'PortSpeed'"},
        BadInput{"OutOfRange", [](json &d) { Engine0(d)["MaxPayloadSize"] = 256; },
                 "Engines[0].MaxPayloadSize", "out of range"},
        BadInput{"Negative", [](json &d) { Engine0(d)["StartLane"] = -1; }, "StartLane",
                 "negative"},
        BadInput{"WrongType", [](json &d) { d["Silicons"][0]["SocketId"] = "zero"; },
                 "$.Silicons[0].SocketId", "not a number"},
        BadInput{"BadAddress", [](json &d) { Engine0(d)["PortPciAddress"] = "00:20.0"; },
                 "PortPciAddress", "bus:device.function"},
        BadInput{"UnknownModel", [](json &d) { Engine0(d)["Devices"][0]["Model"] = "toaster"; },
                 "Devices[0].Model", "unknown device model"},
        BadInput{"BridgeLoop",
                 [](json &d) {
                   Engine0(d)["Devices"] = json::parse(
                       R"([{"Address": "01:00.0", "Model": "switch_upstream", "SecondaryBus": 1}])");
                 },
                 "Devices[0]", "bridge loop"},
        BadInput{"UnreachableBus",
                 [](json &d) { Engine0(d)["Devices"].push_back({{"Address", "07:00.0"}, {"Model", "nic"}}); },
                 "Devices[1]", "no bridge leads to"},
        BadInput{"DuplicateAddress",
                 [](json &d) { Engine0(d)["Devices"].push_back({{"Address", "01:00.0"}, {"Model", "nic"}}); },
                 "Devices[1]", "already described"},
        BadInput{"DeviceOnTheHostBridge",
                 [](json &d) { Engine0(d)["Devices"].push_back({{"Address", "00:00.0"}, {"Model", "nic"}}); },
                 "Devices[1]", "already described at $.Silicons[0].HostBridgeAddress"},
        BadInput{"UnknownEvent", [](json &d) { d["Events"] = {"PowerButton"}; }, "$.Events[0]",
                 "unknown event"},
        BadInput{"NoSilicons", [](json &d) { d.erase("Silicons"); }, "$", "needs \"Silicons\""},
        BadInput{"Fraction", [](json &d) { Engine0(d)["EndLane"] = 3.5; }, "EndLane",
                 "expected an integer, found 3.5"},
        BadInput{"HugeInteger",
                 [](json &d) { Engine0(d)["EndLane"] = json::parse("12345678901234567890123456"); },
                 "EndLane", "is too large"},
        BadInput{"DescriptionNotString", [](json &d) { d["Description"] = 5; }, "$.Description",
                 "expected a string"},
        BadInput{"OverlappingLanes",
                 [](json &d) {
                   d["Silicons"][0]["Wrappers"][0]["Engines"].push_back(
                       {{"StartLane", 2}, {"EndLane", 5}, {"PortPciAddress", "00:01.2"}});
                 },
                 "Engines[1]", "lanes 2-5 overlap lanes 0-3 of $.Silicons[0].Wrappers[0].Engines[0]"},
        BadInput{"BusOutsideItsParent",
                 [](json &d) {
                   Engine0(d)["RootPort"] = {{"SecondaryBus", 1}, {"SubordinateBus", 2}};
                   Engine0(d)["Devices"] = json::parse(R"([
                     {"Address": "01:00.0", "Model": "switch_upstream", "SecondaryBus": 2, "SubordinateBus": 5},
                     {"Address": "05:00.0", "Model": "nic"}])");
                 },
                 "Devices[0]", "bus 5 lies outside the buses 1-2 that 00:01.1 routes"},
        BadInput{"PayloadCodeAbove4096Bytes", [](json &d) { Engine0(d)["MaxPayloadSize"] = 6; },
                 "Engines[0].MaxPayloadSize", "out of range"},
        BadInput{"AspmRequestBeyondBothStates", [](json &d) { Engine0(d)["PortAspm"] = "0x45"; },
                 "Engines[0].PortAspm", "bits 7:4 request ASPM states"},
        BadInput{"ByteSettingAbove255", [](json &d) { d["Pcd"]["205"] = 300; }, "$.Pcd.205",
                 "at most 255"},
        BadInput{"BooleanSettingOfTwo", [](json &d) { d["Pcd"]["67"] = 2; }, "$.Pcd.67",
                 "a boolean setting"},
        BadInput{"TwoEnginesOnePort",
                 [](json &d) {
                   Engine0(d)["PortPciAddress"] = "00:05.1";
                   d["Silicons"][0]["Wrappers"][0]["Engines"].push_back(
                       {{"StartLane", 4}, {"EndLane", 4}, {"PortPciAddress", "00:05.2"}});
                 },
                 "Engines[1].PortLocation", "PortId 0 of core 0 is also $.Silicons[0]"},
        BadInput{"MissingCapture", [](json &d) { d["Captures"] = {"no-such-capture.txt"}; },
                 "$.Captures[0]", "does not exist"},
        BadInput{"CaptureIsAFolder", [](json &d) { d["Captures"] = {"."}; }, "$.Captures[0]",
                 "is a directory"},
        BadInput{"PackageTypeNotPowerOfTwo",
                 [](json &d) { d["Processor"] = {{"PackageType", 3}}; }, "PackageType",
                 "power of two"}),
    [](const auto &param) { return std::string(param.param.name); });

// Verify that numbers the JSON parser cannot hold and repeated keys end in
// a refusal naming the file, not in a crash or a silent choice.
TEST(KelsimFileTest, OverflowingNumbersAndRepeatedKeysAreRefused) {
  TempDir dir;
  std::string text = MinimalPlatform().dump();
  text.replace(text.find("\"EndLane\":3"), 11, "\"EndLane\":3e400");
  try {
    kelsim::LoadScenarioFile(dir.Write("overflow.json", text));
    ADD_FAILURE() << "accepted";
  } catch (const sim::InputError &e) {
    EXPECT_NE(e.Message().find("overflow.json"), std::string::npos) << e.Message();
  }
  text = MinimalPlatform().dump();
  text.replace(text.find("\"EndLane\":3"), 11, "\"EndLane\":3,\"EndLane\":7");
  try {
    kelsim::LoadScenarioFile(dir.Write("twice.json", text));
    ADD_FAILURE() << "accepted";
  } catch (const sim::InputError &e) {
    EXPECT_NE(e.Message().find("key 'EndLane' appears twice"), std::string::npos) << e.Message();
  }
}

TEST(KelsimFileTest, MalformedJsonNamesTheFileAndPosition) {
  TempDir dir;
  const std::string path = dir.Write("bad.json", "{\n  \"Silicons\": [\n    {,}\n  ]\n}\n");
  try {
    kelsim::LoadScenarioFile(path);
    FAIL() << "accepted";
  } catch (const sim::InputError &e) {
    EXPECT_NE(e.Message().find(path), std::string::npos);
    EXPECT_NE(e.Message().find("line 3, column 6: not valid JSON at ',}"), std::string::npos)
        << e.Message();
  }
}

// Verify that a capture is read within bounds and quoted back safely: the
// faults a user makes name the fix, and what lspci prints besides the
// capture (a byte-order mark, its library's messages) is skipped with a
// warning.
TEST(KelsimFileTest, VerifyThatCapturesAreBoundedQuotedSafelyAndForgiving) {
  TempDir dir;
  std::string header = "00:01.0 PCI bridge: root port\n";
  std::string rows;
  for (int row = 0; row < 16; ++row) {
    rows += fmt::format("{:02x}: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n", row * 16);
  }
  const std::string huge = dir.Write("huge.txt", "");
  fs::resize_file(huge, (size_t{64} << 20) + 1);
  for (const auto &[content, says] : std::vector<std::pair<std::string, std::string>>{
           {std::string(5000, 'x'), "a line of 5000 characters, longer than any capture holds"},
           {std::string("\x01\xfe\x7f") + std::string(100, 'A'), "'\\x01\\xfe\\x7fAAAA"},
           {header + rows.substr(0, 4 * 52), "has 64 bytes, what lspci shows a user without root"}}) {
    try {
      kelsim::ScenarioFromCapture(dir.Write("bad.txt", content));
      ADD_FAILURE() << says;
    } catch (const sim::InputError &e) {
      EXPECT_NE(e.Message().find(says), std::string::npos) << e.Message();
      EXPECT_LT(e.Message().size(), 200u);
    }
  }
  for (const auto &[path, says] : std::vector<std::pair<std::string, std::string>>{
           {huge, "is 67108865 bytes"}, {dir.Path().string(), "is a directory"}}) {
    try {
      kelsim::ScenarioFromCapture(path);
      ADD_FAILURE() << says;
    } catch (const sim::InputError &e) {
      EXPECT_NE(e.Message().find(says), std::string::npos) << e.Message();
    }
  }
  const kelsim::Scenario s = kelsim::ScenarioFromCapture(dir.Write(
      "ok.txt", "\xEF\xBB\xBFpcilib: Cannot open /proc/bus/pci\n"
                "lspci: Unable to load libkmod resources: error -2\n" + header + rows));
  ASSERT_EQ(s.captured.size(), 1u);
  ASSERT_GE(s.warnings.size(), 2u);
  EXPECT_NE(s.warnings[0].find("line 1: skipped lspci's own message 'pcilib: Cannot open"),
            std::string::npos) << s.warnings[0];
  EXPECT_NE(s.warnings[1].find("line 2: skipped lspci's own message 'lspci: "), std::string::npos);
}

TEST(KelsimFileTest, TruncatedCaptureNamesItsLine) {
  TempDir dir;
  std::string dump = "01:00.0 Ethernet controller: something\n";
  for (int row = 0; row < 10; ++row) {
    char line[80];
    std::snprintf(line, sizeof line, "%02x: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n", row * 16);
    dump += line;
  }
  const std::string capture = dir.Write("dump.txt", dump);
  try {
    kelsim::ScenarioFromCapture(capture);
    FAIL() << "accepted";
  } catch (const sim::InputError &e) {
    EXPECT_NE(e.Message().find("line 11"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("truncated"), std::string::npos) << e.Message();
  }
}

TEST(KelsimFileTest, ExamplePlatformFilesLoadAndRunClean) {
  for (const auto &entry : fs::directory_iterator(kDocs + "/examples")) {
    const kelsim::RunResult r = kelsim::Run(kelsim::LoadScenarioFile(entry.path().string()));
    EXPECT_TRUE(r.fatalStops.empty()) << entry.path();
    EXPECT_FALSE(r.writes.empty()) << entry.path();
  }
}

TEST(KelsimSchemaTest, SchemaListsExactlyTheFieldsTheLoaderAccepts) {
  std::ifstream in(kDocs + "/platform.schema.json");
  const json schema = json::parse(in);
  for (const auto &[kind, fields] : kelsim::PlatformFileObjects()) {
    std::set<std::string> documented;
    if (kind == "Platform") {
      for (const auto &[k, v] : schema["properties"].items()) documented.insert(k);
    } else if (kind == "Event") {
      for (const auto &variant : schema["$defs"]["Event"]["oneOf"]) {
        if (variant.contains("properties")) {
          for (const auto &[k, v] : variant["properties"].items()) documented.insert(k);
        }
      }
    } else {
      ASSERT_TRUE(schema["$defs"].contains(kind)) << kind;
      for (const auto &[k, v] : schema["$defs"][kind]["properties"].items()) documented.insert(k);
    }
    EXPECT_EQ(documented, std::set<std::string>(fields.begin(), fields.end())) << kind;
  }
}

class KelsimReferenceTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { result_ = new kelsim::RunResult(kelsim::Run(kelsim::ReferenceScenario())); }
  static void TearDownTestSuite() { delete result_; }
  static const kelsim::RunResult &R() { return *result_; }
  static inline kelsim::RunResult *result_ = nullptr;
};

// Verify that each link's row gives the negotiated speed and width against
// the port's capability, each change, and why a state both ends support
// stayed off: the blacklist, SRIS, the engine's own request.
TEST_F(KelsimReferenceTest, VerifyThatTheLinkTableSaysWhatChangedAndWhatHeldItBack) {
  std::map<std::string, std::string> rows;
  for (const kelsim::LinkRow &row : kelsim::LinkTable(R())) {
    std::string text = row.capability + "/" + row.status + (row.downgraded ? " downgraded" : "");
    for (const kelsim::LinkFeature &f : row.features) {
      text += " | " + f.name + " " + kelsim::FeatureText(f);
    }
    for (const std::string &why : row.heldBack) {
      text += " | held back: " + why;
    }
    rows[sim::BdfText(row.port)] = text;
  }
  EXPECT_EQ(rows.count("00:01.0"), 0u) << "not a port with a link below";
  for (const auto &[port, says] : std::vector<std::pair<std::string, std::string>>{
           {"00:01.2", "8GT/s x4/8GT/s x4 |"},
           {"00:01.2", "ASPM Disabled -> L0s L1"},
           {"00:01.2", "L1SS none -> all"},
           {"00:01.2", "MaxPayload 128 -> 512"},
           {"80:01.2", "L1SS none -> L1.2 PCI-PM_L1.2"},
           {"00:01.1", "PowerLimit 64 W -> 75 W"},
           {"00:01.1", "held back: L0s: PortAspm 0x20"},
           {"00:01.1", "held back: L1SS all: PortPmOptions 0x00"},
           {"00:01.3", "ClockPM - -> +"},
           {"00:01.5", "held back: L0s: blacklist row 27"},
           {"00:03.1", "held back: L1: blacklist row 3"},
           {"80:01.1", "held back: L1: SRIS"},
           {"00:03.2", "held back: L1: PortControl skips link configuration"},
           {"05:01.0", "2.5GT/s x1/2.5GT/s x1 |"}}) {
    EXPECT_NE(rows[port].find(says), std::string::npos) << port << ": " << rows[port];
  }
}

TEST_F(KelsimReferenceTest, JsonReportCarriesTheDocumentedKeys) {
  const json j = kelsim::ToJson(R());
  for (const char *key : {"trace", "post_codes", "fatal_stop", "writes", "s3", "devices", "s3_resume"}) {
    EXPECT_TRUE(j.contains(key)) << key;
  }
  EXPECT_TRUE(j["fatal_stop"].is_null());
  ASSERT_FALSE(j["trace"].empty());
  EXPECT_TRUE(j["trace"][0].contains("level"));
  EXPECT_TRUE(j["trace"][0].contains("text"));
  std::set<std::string> kinds;
  for (const auto &w : j["writes"]) {
    kinds.insert(w["kind"].get<std::string>());
    for (const char *key : {"address", "width", "value"}) {
      EXPECT_TRUE(w.contains(key));
    }
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"cfg", "smn", "io"}));
  EXPECT_TRUE(j["s3"]["handed_to_smm"].get<bool>());
  EXPECT_TRUE(j["s3"]["save_state"].is_array());
  EXPECT_FALSE(j["s3"]["table"].empty());
  ASSERT_TRUE(j["devices"].contains("01:00.0"));
  for (const char *key : {"mps", "mrrs", "ext_tag", "aspm", "ccc", "clkpm", "l1ss", "ltr"}) {
    EXPECT_TRUE(j["devices"]["01:00.0"]["before"].contains(key)) << key;
    EXPECT_TRUE(j["devices"]["01:00.0"]["after"].contains(key)) << key;
  }
  EXPECT_EQ(j["post_codes"].front(), 0xB000A906u);
  EXPECT_EQ(j["post_codes"].back(), 0xB000A95Bu);
}

TEST_F(KelsimReferenceTest, ReferencePlatformExercisesWhatItPromises) {
  std::set<uint32_t> hostBridges;
  for (const auto &w : R().writes) {
    if (w.kind == "smn") {
      hostBridges.insert(w.silicon);
    }
  }
  EXPECT_EQ(hostBridges.size(), 2u) << "two silicons";
  const auto gpu = std::find_if(R().devices.begin(), R().devices.end(),
                                [](const auto &d) { return d.bdf == 0x100000; });
  ASSERT_NE(gpu, R().devices.end());
  EXPECT_EQ(gpu->after.vendor, 0x10DE);
}

TEST_F(KelsimReferenceTest, ResumeCheckFindsPayloadSizeThatTheScriptDoesNotCarry) {
  // Max Payload Size is written without an S3 record after the Max Read
  // Request write recorded the whole Device Control dword: on resume the
  // recorded dword puts the old payload size back.
  ASSERT_FALSE(R().resume.differing.empty());
  for (const auto &f : R().resume.differing) {
    EXPECT_EQ(f.registerName, "CAP_EXP+0x08 Device Control") << f.location;
    EXPECT_EQ(f.after & ~0xE0u & ~0x100u, f.replayed & ~0xE0u & ~0x100u)
        << "only Max Payload Size and Extended Tag differ at " << f.location;
    ASSERT_FALSE(f.fields.empty());
    for (const auto &field : f.fields) {
      EXPECT_TRUE(field.name == "MaxPayloadSize" || field.name == "ExtendedTagFieldEnable")
          << field.name;
    }
  }
  EXPECT_EQ(R().resume.replayedWrites, R().table.size());
  EXPECT_EQ(kelsim::ExitStatus(R(), false), 0);
  EXPECT_EQ(kelsim::ExitStatus(R(), true), 3);
}

TEST_F(KelsimReferenceTest, TextAndDotShowTheTree) {
  std::ostringstream text;
  kelsim::WriteText(R(), {}, text);
  EXPECT_NE(text.str().find("KelPcieMiscInit Entry\n"), std::string::npos);
  EXPECT_NE(text.str().find("-- S3 resume check --"), std::string::npos);
  EXPECT_NE(text.str().find("CAP_EXP+0x08 Device Control"), std::string::npos);
  std::ostringstream dot;
  kelsim::WriteDot(R(), dot);
  const std::string graph = dot.str();
  EXPECT_NE(graph.find("\"silicon 0\" -> \"00:01.1\""), std::string::npos);
  EXPECT_NE(graph.find("\"04:00.0\" -> \"05:01.0\""), std::string::npos);
  EXPECT_NE(graph.find("label=\"silicon 0\\nhost bridge 00:00.0\""), std::string::npos);
  // Only the hierarchy: the host bridge's other functions are not drawn.
  EXPECT_EQ(graph.find("\"00:01.0\""), std::string::npos);
  // A multi-function device is one node holding its functions.
  EXPECT_NE(graph.find("\"01:00\" [label=\"01:00.0 10de:2204 endpoint"), std::string::npos);
  EXPECT_NE(graph.find("\\n01:00.1 10de:1aef endpoint"), std::string::npos);
  EXPECT_EQ(graph.find("\"01:00.1\""), std::string::npos);
  // A root port carries its settings, with what the pass changed; a link's
  // edge carries the device end's.
  EXPECT_NE(graph.find("\"00:01.1\" [label=\"00:01.1 fff0:5a01 root port"), std::string::npos);
  EXPECT_NE(graph.find("\\nASPM Disabled->L1\\nCCC off->on"), std::string::npos);
  // Its speed and width first, each function's changes, blue for a change.
  EXPECT_NE(graph.find("\"00:01.1\" -> \"01:00\" [label=\"16GT/s x16\\nfn 0: MPS 128->256"),
            std::string::npos)
      << graph;
  EXPECT_NE(graph.find("\\nfn 1: MPS 128->256"), std::string::npos);
  EXPECT_NE(graph.find("LTR off\", color=\"blue\""), std::string::npos);
  EXPECT_NE(graph.find("subgraph cluster_legend"), std::string::npos);
  EXPECT_EQ(graph.find("\"silicon 0\" -> \"00:01.1\" [label"), std::string::npos);
  // Red for a link with an audit warning; a note where nothing is below a root port.
  std::ostringstream audited;
  kelsim::WriteDot(kelsim::Run(kelsim::ReferenceScenario(), {.audit = true}), audited);
  EXPECT_NE(audited.str().find("LTR off->on\", color=\"red\""), std::string::npos);
  std::ostringstream bare;
  kelsim::WriteDot(kelsim::Run(kelsim::ScenarioFromCapture(kShared + "/realdevices/pciutils_cap-dev3.txt")), bare);
  EXPECT_NE(bare.str().find("no root port with a device below"), std::string::npos) << bare.str();
}

// Real captures live in the shared folder beside the repository.
// The shared capture whose file name ends in `suffix`, or "" without one.
std::string RealCapture(const std::string &suffix) {
  const fs::path dir = kShared + "/realdevices";
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= suffix.size() && name.ends_with(suffix)) {
      return entry.path().string();
    }
  }
  return "";
}

TEST(KelsimCaptureTest, RealMachineTreeGetsOnePayloadPerRootPort) {
  const std::string path = RealCapture("pciutils_tree-asus-p6t6.txt");
  if (path.empty()) {
    GTEST_SKIP() << "no shared/realdevices beside the repository";
  }
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromCapture(path));
  EXPECT_TRUE(r.fatalStops.empty());
  std::map<uint32_t, const kelsim::DeviceReport *> byBdf;
  for (const auto &d : r.devices) {
    byBdf[d.bdf] = &d;
  }
  // 00:03.0 -> NF200 switch (128 bytes) -> SAS2008 (4096 bytes): all 128.
  for (uint32_t bdf : {0x018000u, 0x200000u, 0x300000u, 0x400000u}) {
    ASSERT_TRUE(byBdf.count(bdf)) << std::hex << bdf;
    EXPECT_EQ(byBdf[bdf]->after.mps, 128) << std::hex << bdf;
    EXPECT_EQ(byBdf[bdf]->after.mrrs, 512) << std::hex << bdf;
  }
  for (uint32_t bdf : {0x018000u, 0x200000u, 0x300000u, 0x400000u}) {
    EXPECT_TRUE(byBdf[bdf]->after.extTag) << "every function of that tree supports them";
  }
}

TEST(KelsimCaptureTest, MissingRowsAreReportedNotFatal) {
  const std::string path = RealCapture("_asm1184e-tree.txt");
  if (path.empty()) {
    GTEST_SKIP() << "no shared/realdevices beside the repository";
  }
  const kelsim::Scenario s = kelsim::ScenarioFromCapture(path);
  ASSERT_EQ(s.warnings.size(), 1u);
  EXPECT_NE(s.warnings[0].find("04:00.0"), std::string::npos);
  // Its only root port sits at 00:00.0, so the host bridge moves aside and
  // the port is programmed like any other.
  ASSERT_EQ(s.silicons.size(), 1u);
  EXPECT_NE(s.silicons[0].hostBridgeAddress, 0u);
  ASSERT_EQ(s.silicons[0].wrappers[0].engines.size(), 1u);
  EXPECT_EQ(s.silicons[0].wrappers[0].engines[0].engine.portPciAddress, 0u);
  const kelsim::RunResult r = kelsim::Run(s);
  for (const auto &d : r.devices) {
    if (d.bdf == 0x100000) {
      EXPECT_EQ(d.after.mrrs, 512) << "the switch below the root port was programmed";
    }
  }
}

TEST(KelsimEventsTest, EventsArePlayedInOrderAndReported) {
  json doc = MinimalPlatform();
  doc["Events"] = json::parse(R"([
    {"HookEdit": [{"Row": 0, "AerEnable": 1, "CorrectableMask": "0x40"}]},
    "PciIoInstall",
    {"AerService": {"PciBus": 0, "PciDevice": 1, "PciFunction": 1}},
    "SmmReadyToLock"
  ])");
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_EQ(r.notes, (std::vector<std::string>{
                         "event HookEdit", "platform hook edited the AER port table",
                         "event PciIoInstall", "AerService 00:01.1 returned 0x0",
                         "event AerService", "event SmmReadyToLock"}));
  EXPECT_FALSE(r.saveState.empty()) << "the pass ran before the lock: the protocol recorded it";
  EXPECT_FALSE(r.handedToSmm);
  EXPECT_TRUE(r.tableAvailable);
  EXPECT_TRUE(r.table.empty());
}

TEST(KelsimFatalTest, FatalStopGivesExitStatusOne) {
  json doc = MinimalPlatform();
  doc["Processor"] = {{"Msrs", {{"0xC0010058", "0xF0000020"}}}};
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  ASSERT_FALSE(r.fatalStops.empty());
  EXPECT_EQ(r.fatalStops.front(), 0xA0867u);
  EXPECT_EQ(kelsim::ExitStatus(r, false), 1);
  EXPECT_FALSE(r.halted);
  doc["Processor"]["SimulatorQuery"] = false;
  const kelsim::RunResult held = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_TRUE(held.halted);
  EXPECT_EQ(kelsim::ExitStatus(held, false), 1);
}

std::pair<int, std::string> RunBinary(const std::string &arguments, const std::string &shell = "") {
  const std::string command = shell + std::string(KELSIM_BINARY) + " " + arguments + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) {
    out.append(buf, n);
  }
  const int status = pclose(pipe);
  return {WEXITSTATUS(status), out};
}

TEST(KelsimBinaryTest, ExitStatusesAndBatchSummary) {
  TempDir dir;
  std::ofstream(dir.Path() / "a-good.json") << MinimalPlatform().dump();
  json strict = MinimalPlatform();
  std::ofstream(dir.Path() / "b-fatal.json")
      << (strict["Processor"] = {{"Msrs", {{"0xC0010058", "0"}}}}, strict).dump();
  std::ofstream(dir.Path() / "c-bad.json") << "{ nope";

  auto [bad, badOut] = RunBinary((dir.Path() / "c-bad.json").string());
  EXPECT_EQ(bad, 2);
  EXPECT_NE(badOut.find("c-bad.json"), std::string::npos);

  TempDir out;
  auto [ok, okOut] = RunBinary("-q --json " + (out.Path() / "r.json").string());
  EXPECT_EQ(ok, 0) << okOut;
  std::ifstream report(out.Path() / "r.json");
  const json compact = json::parse(report);
  EXPECT_TRUE(compact.contains("s3_resume"));
  EXPECT_FALSE(compact.contains("events")) << "every access only with --json-events";
  ASSERT_EQ(RunBinary("-q --json-events --json " + (out.Path() / "e.json").string()).first, 0);
  std::ifstream withEvents(out.Path() / "e.json");
  EXPECT_FALSE(json::parse(withEvents)["events"].empty());

  auto [strictStatus, strictOut] = RunBinary("-q --strict-s3");
  EXPECT_EQ(strictStatus, 3) << strictOut;
  EXPECT_NE(strictOut.find("kelsim: S3 resume check: "), std::string::npos)
      << "exit 3 is named even when quiet: " << strictOut;

  auto [batch, batchOut] = RunBinary("--batch " + dir.Path().string());
  EXPECT_EQ(batch, 2);
  EXPECT_NE(batchOut.find("PASS " + (dir.Path() / "a-good.json").string()), std::string::npos)
      << batchOut;
  EXPECT_NE(batchOut.find("FAIL " + (dir.Path() / "b-fatal.json").string()), std::string::npos);
  EXPECT_NE(batchOut.find("FAIL " + (dir.Path() / "c-bad.json").string()), std::string::npos);
  EXPECT_NE(batchOut.find("total: 3 platforms, 1 ok, 2 failed"), std::string::npos);
  // Bad input outranks an S3 difference, and the failing line says why.
  auto [strictBatch, strictBatchOut] = RunBinary("--strict-s3 --batch " + dir.Path().string());
  EXPECT_EQ(strictBatch, 2) << strictBatchOut;
  EXPECT_NE(strictBatchOut.find("a difference is an error with --strict-s3"), std::string::npos)
      << strictBatchOut;
  // Files run in parallel processes still report in the files' order, with
  // the same lines and the same worst status, however the work is split.
  std::ofstream(dir.Path() / "d-good.json") << MinimalPlatform().dump();
  auto [serial, serialOut] = RunBinary("--jobs 1 --batch " + dir.Path().string());
  for (const char *jobs : {"2", "3", "8"}) {
    auto [parallel, parallelOut] =
        RunBinary(std::string("--jobs ") + jobs + " --batch " + dir.Path().string());
    EXPECT_EQ(parallel, serial) << jobs;
    EXPECT_EQ(parallelOut, serialOut) << jobs;
  }
  EXPECT_NE(serialOut.find("total: 4 platforms, 2 ok, 2 failed"), std::string::npos) << serialOut;
}

// Verify that a run without details, as a batch makes one, summarizes as a
// full run does: the same line, exit status and --fail-on reason for a
// capture with resume differences and audit findings, with and without the
// pass, and for a platform that stops fatally.
TEST(KelsimBinaryTest, VerifyThatARunWithoutDetailsSummarizesAsAFullRun) {
  json fatal = MinimalPlatform();
  fatal["Processor"] = {{"Msrs", {{"0xC0010058", "0xF0000020"}}}};
  const kelsim::Scenario capture =
      kelsim::ScenarioFromCapture(kShared + "/realdevices/lkml_rk3399-rockpro64_asm1184e-tree.txt");
  const std::vector<std::pair<kelsim::Scenario, bool>> cases = {
      {capture, true}, {capture, false}, {kelsim::ScenarioFromJson(fatal, "p", "."), true}};
  for (const auto &[scenario, pass] : cases) {
    const kelsim::RunResult full = kelsim::Run(scenario, {.pass = pass, .audit = true});
    const kelsim::RunResult brief =
        kelsim::Run(scenario, {.pass = pass, .audit = true, .details = false});
    EXPECT_EQ(kelsim::SummaryLine(brief), kelsim::SummaryLine(full)) << pass;
    EXPECT_EQ(kelsim::ExitStatus(brief, true), kelsim::ExitStatus(full, true)) << pass;
    EXPECT_EQ(kelsim::FailOnReason(brief, audit::Severity::Info),
              kelsim::FailOnReason(full, audit::Severity::Info)) << pass;
  }
}

// Verify that outputs that cannot be written, an empty batch and level names
// in any case are dealt with before anything runs.
TEST(KelsimBinaryTest, OutputsAndOptionsAreCheckedFirst) {
  TempDir dir;
  auto [jsonStatus, jsonOut] = RunBinary("--json /nonexistent-dir/r.json");
  EXPECT_EQ(jsonStatus, 2);
  EXPECT_EQ(jsonOut.find("== reference platform =="), std::string::npos) << "nothing ran";
  EXPECT_NE(jsonOut.find("cannot write the JSON report"), std::string::npos) << jsonOut;
  auto [dot, dotOut] = RunBinary("--dot /nonexistent-dir/t.dot -q");
  EXPECT_EQ(dot, 2) << dotOut;
  auto [empty, emptyOut] = RunBinary("--batch " + dir.Path().string());
  EXPECT_EQ(empty, 2);
  EXPECT_NE(emptyOut.find("no platform files"), std::string::npos) << emptyOut;
  for (const char *levels : {"PCIE", "\"pcie, Driver\"", "0x100000"}) {
    auto [status, out] = RunBinary(std::string("--no-writes --no-script --levels ") + levels);
    EXPECT_EQ(status, 0) << levels << out;
  }
  auto [noLevel, noLevelOut] = RunBinary("--levels 0x1");
  EXPECT_EQ(noLevel, 2) << "a mask without a defined level bit";
  EXPECT_NE(noLevelOut.find("names no debug level"), std::string::npos) << noLevelOut;
  // Options that would do nothing in the mode chosen.
  const std::string batch = "--batch " + dir.Path().string() + " ";
  for (const auto &[arguments, says] : std::vector<std::pair<std::string, std::string>>{
           {batch + "--json r.json", "--json applies to one run"},
           {batch + "--dot r.dot", "--dot applies to one run"},
           {batch + "--emit-platform e.json", "--emit-platform applies to one run"},
           {batch + "--lspci " + std::string(KEL_SOURCE_DIR) + "/README.md", "--lspci applies"},
           {batch + "-q", "--quiet applies to one run"},
           {"--jobs 2", "--jobs applies to --batch only"},
           {"-q", "-q leaves nothing to show"},
           {"-q --no-trace --json r.json", "--no-trace shapes the text report"},
           {"--json-pretty", "--json-pretty shapes the JSON report"}}) {
    auto [status, out] = RunBinary(arguments);
    EXPECT_EQ(status, 2) << arguments << out;
    EXPECT_NE(out.find(says), std::string::npos) << arguments << out;
  }
}

// Verify that the default report answers first and keeps the detail for the
// switches that ask for it, and that the audit runs unless turned off.
TEST(KelsimBinaryTest, VerifyThatTheDefaultReportIsShortAndTheRestIsOnRequest) {
  const std::string capture = kShared + "/realdevices/pciutils_cap-exp-aspm-latencies.txt";
  struct Case {
    std::string arguments;
    std::vector<std::string> has, lacks;
  };
  const std::vector<Case> cases = {
      {"",
       {"pass complete, 2399 writes", "audit: ", "-- links (13) --", "    state:  DevCtl: MaxPayload 128 bytes",
        "    diff:   MaxPayload 128 -> 256 bytes, ExtTag- -> +, ASPM Disabled -> L1, CommClk- -> +, PowerLimit 64 W -> 75 W",
        "UEMsk 0x00000000 -> 0x00080000 (ECRC+)", "    CEMsk:  RxErr- BadTLP- BadDLLP- Rollover- Timeout- AdvNonFatalErr+",
        "0x20 (L1) -> 0x00 (none) (narrowed by the pass: SRIS)"},
       {"-- driver trace --", "-- hardware writes", "-- S3 boot script --"}},
      {"--full", {"-- driver trace --", "SMN_INDEX", "-- S3 boot script --", "-- accesses"}, {}},
      {"--writes", {"-- hardware writes", "smn  smn [00:00.0] 0x11280460"}, {"SMN_INDEX"}},
      {"--writes --smn-traffic", {"SMN_INDEX"}, {}},
      {"--no-audit", {"; no audit"}, {"-- audit ("}},
      {"--no-pass", {"no pass: the platform as it stands", "    state:  DevCtl: MaxPayload"},
       {"before:", "-- post codes --", "-- straps"}},
      {"--lspci " + capture, {"kelsim's defaults for every token", "16 rows name a port no silicon has"},
       {"(default: the platform", "Dev1 Func1 leave"}},
  };
  for (const Case &c : cases) {
    auto [status, out] = RunBinary(c.arguments);
    EXPECT_EQ(status, 0) << c.arguments << out.substr(0, 300);
    for (const std::string &text : c.has) {
      EXPECT_NE(out.find(text), std::string::npos) << c.arguments << ": " << text;
    }
    for (const std::string &text : c.lacks) {
      EXPECT_EQ(out.find(text), std::string::npos) << c.arguments << ": " << text;
    }
    if (c.arguments.empty()) {
      EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 600) << "the default reference report";
      const std::string firstScreen = out.substr(0, out.find("-- audit"));
      EXPECT_LE(std::count(firstScreen.begin(), firstScreen.end(), '\n'), 40)
          << "the header and the whole link table on the first screen";
    }
  }
  auto [noAudit, noAuditOut] = RunBinary("--no-audit --fail-on error");
  EXPECT_EQ(noAudit, 2);
  EXPECT_NE(noAuditOut.find("needs the audit that --no-audit turns off"), std::string::npos);
}

// Verify that --compare names the links and functions that differ between
// two sides of any kind and answers by its exit status.
TEST(KelsimBinaryTest, VerifyThatCompareNamesWhatDiffersAndExitsFiveForADifference) {
  TempDir dir;
  const std::string report = (dir.Path() / "r.json").string();
  const std::string emitted = (dir.Path() / "e.json").string();
  ASSERT_EQ(RunBinary("-q --json " + report + " --emit-platform " + emitted).first, 0);
  const std::string capture = RealCapture("_machine.txt");
  const std::string other = kShared + "/realdevices/pciutils_tree-fujitsu-p8010.txt";
  struct Case {
    std::string a, b;
    int status;
    std::string says;
  };
  for (const Case &c : std::vector<Case>{
           {capture, capture, 0, "same: no link or function differs"},
           {report, emitted, 0, "same: no link or function differs"},
           {emitted + ".lspci.txt", report, 5, "link 00:01.2: ASPM Disabled | L0s L1, L1SS none | all"},
           {capture, other, 5, "only in A: 00:01.0 8086:0101"},
           {capture, other, 5, "00:00.0: IDs 8086:0100 | 8086:2a00"},
           {capture, capture + " --json x.json", 2, "--json does not apply to --compare"},
           {capture, capture + " --full", 2, "--full does not apply to --compare"}}) {
    auto [status, out] = RunBinary("--compare " + c.a + " " + c.b);
    EXPECT_EQ(status, c.status) << c.a << " " << c.b << out.substr(0, 400);
    EXPECT_NE(out.find(c.says), std::string::npos) << c.says << "\n" << out.substr(0, 800);
  }
}

// Verify that an output is whole or absent and never an input or another
// output: each refusal exits 2 and names the file, the files stay as they
// were, and no temporary file is left beside them.
TEST(KelsimBinaryTest, VerifyThatOutputsAreWholeOrAbsentAndNeverAnInput) {
  TempDir dir;
  const std::string emitted = (dir.Path() / "e.json").string();
  ASSERT_EQ(RunBinary("-q --emit-platform " + emitted).first, 0);
  const std::string capture = emitted + ".lspci.txt";
  const std::string big = (dir.Path() / "big.json").string();
  const std::string both = (dir.Path() / "both").string();
  struct Case {
    std::string arguments, shell, says, untouched;
  };
  const std::vector<Case> cases = {
      {"-q --json /dev/full", "", "/dev/full: output: cannot be written: No space left", ""},
      {"-q --json " + big, "ulimit -f 64; trap '' XFSZ; ", "big.json: output: cannot be written", ""},
      {emitted + " -q --json " + emitted, "", "is the platform file it reads", emitted},
      {emitted + " -q --dot " + capture, "", "is the capture it reads", capture},
      {"--lspci " + capture + " -q --json " + capture, "", "is the capture it reads", capture},
      {emitted + " -q --emit-platform " + emitted, "", "is the platform file it reads", emitted},
      {"-q --json " + both + " --dot " + both, "", "is also the --json", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments);
    const std::string before = c.untouched.empty() ? "" : ReadText(c.untouched);
    auto [status, out] = RunBinary(c.arguments, c.shell);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    if (!c.untouched.empty()) {
      EXPECT_EQ(ReadText(c.untouched), before);
    }
  }
  // A capture piped in, as `lspci -xxxx | kelsim --lspci -` gives it.
  auto [piped, pipedOut] = RunBinary("--lspci - --no-pass --no-devices", "cat " + capture + " | ");
  EXPECT_EQ(piped, 0) << pipedOut;
  EXPECT_NE(pipedOut.find("== standard input =="), std::string::npos) << pipedOut.substr(0, 200);
  // A report to standard output that is a pipe, as `--json /dev/stdout | jq` has it.
  auto [toPipe, toPipeOut] = RunBinary("-q --json /dev/stdout");
  EXPECT_EQ(toPipe, 0) << toPipeOut.substr(0, 200);
  EXPECT_EQ(toPipeOut.rfind("{\"name\":\"reference platform\"", 0), 0u) << toPipeOut.substr(0, 200);
  // Through a link to a private file: the link stays, the file keeps its mode.
  const std::string target = dir.Write("private.json", "");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(target, dir.Path() / "link.json");
  EXPECT_EQ(RunBinary("-q --json " + (dir.Path() / "link.json").string()).first, 0);
  EXPECT_TRUE(fs::is_symlink(dir.Path() / "link.json"));
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_GT(fs::file_size(target), 0u);
  EXPECT_FALSE(std::filesystem::exists(big)) << "no partial report";
  EXPECT_FALSE(std::filesystem::exists(both));
  for (const auto &entry : std::filesystem::directory_iterator(dir.Path())) {
    EXPECT_EQ(entry.path().filename().string().find(".kelsim-"), std::string::npos) << entry.path();
  }
}

} // namespace

namespace {

using kelsim::EngineReport;} // namespace

namespace {

using kelsim::EngineReport;

const EngineReport &EngineAt(const kelsim::RunResult &r, uint32_t silicon, uint32_t port) {
  for (const EngineReport &e : r.features.engines) {
    if (e.silicon == silicon && e.port == port) {
      return e;
    }
  }
  throw std::runtime_error("no engine");
}

TEST(KelsimFeatureViewTest, VerifyThatTheReferencePlatformShowsEveryFeatureAtWork) {
  const kelsim::RunResult r = kelsim::Run(kelsim::ReferenceScenario());
  ASSERT_TRUE(r.fatalStops.empty());
  const auto &v = r.features;
  // The blacklisted gigabit controller narrows its port and its strap; the
  // switch vendor's row removes ASPM from the core-1 port; SRIS withdraws it.
  EXPECT_EQ(EngineAt(r, 0, sim::Bdf(0, 1, 5)).portAspmAfter, 0x20);
  EXPECT_EQ(EngineAt(r, 0, sim::Bdf(0, 3, 1)).portAspmAfter, 0x00);
  EXPECT_EQ(EngineAt(r, sim::Bdf(0x80, 0, 0), sim::Bdf(0x80, 1, 1)).portAspmAfter, 0x00);
  std::vector<std::string> straps;
  for (const auto &s : v.straps) {
    straps.push_back(kelsim::StrapText(s));
  }
  EXPECT_EQ(straps, (std::vector<std::string>{"core 0 port 4 ASPM strap 0x207 = 2",
                                              "core 1 port 0 ASPM strap 0xc3 = 0",
                                              "core 0 port 2 L1 exit latency strap 0x166 = 5"}));
  ASSERT_EQ(v.indirect.size(), 1u);
  EXPECT_EQ(v.indirect[0].index, 0xA0u);
  EXPECT_EQ(v.indirect[0].before, 0x00000F00u);
  EXPECT_EQ(v.indirect[0].after, 0u);
  ASSERT_EQ(v.clkReqMaps.size(), 2u);
  EXPECT_EQ(v.clkReqMaps[0].portOfSignal, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(v.clkReqMaps[1].portOfSignal, (std::vector<int>{1, 0, 2, 3, 4}));
  EXPECT_EQ(v.aerTable.at(1).aerEnable, 1);
  EXPECT_EQ(v.aerTable.at(9).aerEnable, 0);
  EXPECT_EQ(v.rasGroups.size(), 2u * (107 + 4));
  EXPECT_EQ(std::count_if(v.rasGroups.begin(), v.rasGroups.end(), [](const auto &g) { return g.second; }),
            8);
  // ECRC below the switch after the AER service call.
  for (const auto &d : r.devices) {
    if (d.bdf == sim::Bdf(7, 0, 0)) {
      EXPECT_TRUE(d.after.aer->ecrcGeneration);
    }
    if (d.bdf == sim::Bdf(0x0A, 0, 0)) {
      EXPECT_EQ(d.after.aspm, 2);
    }
  }
  const json j = kelsim::ToJson(r);
  EXPECT_EQ(j["features"]["straps"].size(), 3u);
  EXPECT_EQ(j["features"]["aer_table"]["rows"][1]["uncorrectable_mask"],
            json::array({"UnsupReq"}));
}

json BoardPlatform() {
  json doc = MinimalPlatform();
  doc["Silicons"][0]["Wrappers"][0]["Engines"][0]["Devices"][0]["Overrides"] =
      json::parse(R"({"VendorId": "0x1D0F", "DeviceId": "0x0042"})");
  return doc;
}

TEST(KelsimFeatureViewTest, VerifyThatABoardsOwnIdentifiersReachTheLatencyTable) {
  json doc = BoardPlatform();
  kelsim::RunResult before = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_TRUE(before.features.straps.empty());
  doc["PlatformData"] = json::parse(R"({"PlatformVendorId": "0x1D0F",
                                        "L1ExitLatencyDeviceIds": ["0x0042"]})");
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  ASSERT_EQ(r.features.straps.size(), 1u);
  EXPECT_EQ(kelsim::StrapText(r.features.straps[0]), "core 0 port 0 L1 exit latency strap 0xc4 = 5");
}

struct BoardHookCase {
  uint32_t result;
  bool protocolEdits;
};

class BoardHookTableTest : public ::testing::TestWithParam<BoardHookCase> {};

TEST_P(BoardHookTableTest, VerifyThatOnlyResultOneLetsTheHookProtocolEditToo) {
  json doc = MinimalPlatform();
  doc["HookTable"] = json::array({{{"HookId", "0xB0000009"},
                                   {"Result", GetParam().result},
                                   {"Edit", json::parse(R"([{"Row": 0, "AerEnable": 0}])")}}});
  doc["Events"] = json::parse(R"([{"HookEdit": [{"Row": 0, "AerEnable": 1}]}, "PciIoInstall"])");
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_EQ(r.features.aerTable.at(0).aerEnable, GetParam().protocolEdits ? 1 : 0);
  const bool protocolNote =
      std::find(r.notes.begin(), r.notes.end(), "platform hook edited the AER port table") !=
      r.notes.end();
  EXPECT_EQ(protocolNote, GetParam().protocolEdits);
}

INSTANTIATE_TEST_SUITE_P(Results, BoardHookTableTest,
                         ::testing::Values(BoardHookCase{0, false}, BoardHookCase{1, true},
                                           BoardHookCase{2, false}));

TEST(KelsimFeatureViewTest, VerifyThatBadBoardDataIsRefusedWithItsPlace) {
  json doc = MinimalPlatform();
  doc["PlatformData"] = json::parse(R"({"L1ExitLatencyDeviceIds": [1,2,3,4,5,6,7,8,9,10,11,12,13,
                                        14,15,16,17,18,19,20,21,22,23,24,25]})");
  EXPECT_NE(LoadError(doc).find("at most 24 device IDs"), std::string::npos) << LoadError(doc);
  doc = MinimalPlatform();
  doc["HookTable"] = json::parse(R"([{"Result": 1}])");
  EXPECT_NE(LoadError(doc).find("HookId"), std::string::npos) << LoadError(doc);
  doc["HookTable"] = json::parse(R"([{"HookId": "0xFFFFFFFF"}])");
  EXPECT_NE(LoadError(doc).find("out of range"), std::string::npos) << LoadError(doc);
}

} // namespace

namespace {

// An lspci -xxx capture of one function: its first rows as given, the rest
// of the 256 bytes zero.
std::string CaptureText(const std::string &head, const std::vector<std::string> &rows) {
  std::string text = head + "\n";
  for (unsigned row = 0; row < 16; ++row) {
    char offset[8];
    std::snprintf(offset, sizeof offset, "%02x: ", row * 16);
    text += offset + (row < rows.size() ? rows[row]
                                        : std::string("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")) +
            "\n";
  }
  return text;
}

// Verify that a capture whose root port sits at 00:00.0 gets its host
// bridge at the first free device of bus 0, as the manual says.
TEST(KelsimCaptureTest, VerifyThatTheHostBridgeTakesTheFirstFreeDevice) {
  TempDir dir;
  const std::string rootPort =
      CaptureText("00:00.0 PCI bridge: root port",
                  {"f0 ff 01 5a 00 00 10 00 00 00 04 06 00 00 01 00",
                   "00 00 00 00 00 00 00 00 00 01 01 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00",
                   "10 00 42 00 25 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 41 10 00 00 00 00 00 00 00 00 00 00 00 00"});
  std::string other = rootPort;
  other.replace(0, 7, "00:01.0");
  other.replace(other.find("10: 00 00 00 00 00 00 00 00 00 01 01"), 36,
                "10: 00 00 00 00 00 00 00 00 00 02 02");
  const kelsim::Scenario s =
      kelsim::ScenarioFromCapture(dir.Write("capture.txt", rootPort + "\n" + other));
  ASSERT_EQ(s.silicons.size(), 1u);
  EXPECT_EQ(s.silicons[0].hostBridgeAddress, sim::Bdf(0, 2, 0));
}

} // namespace

namespace {

// Verify that platform files describe hostile links: a root port whose
// retrain never ends (the wait ends at its bound, with its line) and a
// device pulled out mid-pass (the pass ends).
TEST(KelsimHostileTest, VerifyThatPlatformFilesDescribeStuckAndVanishingLinks) {
  json doc = MinimalPlatform();
  Engine0(doc)["RootPort"] = {{"Overrides", {{"TrainsForever", true}}}};
  Engine0(doc)["Devices"][0]["Overrides"] = {{"AccessesBeforeRemoval", 40}};
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_TRUE(r.fatalStops.empty());
  const std::string timeout = "      Link training timeout on Device = 0:1:1\n";
  auto traced = [](const kelsim::RunResult &run, const std::string &line) {
    return std::ranges::count(run.log.DebugLines(), line) != 0;
  };
  EXPECT_TRUE(traced(r, "KelPcieMiscInit Exit\n"));
  EXPECT_FALSE(traced(r, timeout)) << "the device left before the retrain: no link to wait for";
  Engine0(doc)["Devices"][0]["Overrides"] = json::object();
  EXPECT_TRUE(traced(kelsim::Run(kelsim::ScenarioFromJson(doc, "p", ".")), timeout));
}

// Verify that a capture without a root port says so.
// Verify that a captured tree whose bridges share a secondary bus, or lead
// back up, loads with a warning for each and runs: a capture is what a
// machine held, and the driver bounds its walks against both.
TEST(KelsimCaptureTest, VerifyThatCapturedBusFaultsAreWarningsNotRefusals) {
  TempDir dir;
  auto bridge = [](const std::string &head, const std::string &type, const std::string &buses) {
    return CaptureText(head, {"f0 ff 01 5a 00 00 10 00 00 00 04 06 00 00 01 00",
                              "00 00 00 00 00 00 00 00 " + buses + " 00 00 00 00 00",
                              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                              "00 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00",
                              "10 00 " + type + " 00 25 00 00 00 00 00 00 00 00 00 00 00"});
  };
  const std::string capture = bridge("00:01.0 PCI bridge: root port", "42", "00 01 03") +
                              bridge("01:00.0 PCI bridge: port", "62", "01 02 02") +
                              bridge("01:01.0 PCI bridge: port", "62", "01 02 02") +
                              bridge("02:00.0 PCI bridge: port", "62", "02 01 01");
  const kelsim::Scenario s = kelsim::ScenarioFromCapture(dir.Write("shared.txt", capture));
  std::string warnings;
  for (const std::string &w : s.warnings) {
    warnings += w + "\n";
  }
  EXPECT_NE(warnings.find("bus 2 is already the secondary bus of 01:00.0"), std::string::npos)
      << warnings;
  EXPECT_NE(warnings.find("bridge loop: 02:00.0 leads to bus 1"), std::string::npos) << warnings;
  const kelsim::RunResult r = kelsim::Run(s);
  EXPECT_TRUE(r.fatalStops.empty());
}

// Verify that --sysfs reads a machine's functions, domains apart, as lspci
// does; that a read without root is told to run as root; and that a what-if
// --port edit turns on L1 substates below a captured root port.
TEST(KelsimCaptureTest, VerifyThatSysfsAndPortEditsMakeCapturesFirstClass) {
  TempDir root;
  const fs::path devices = root.Path() / "sys/bus/pci/devices";
  auto put = [&](const std::string &name, const sim::ConfigFunction &f, size_t bytes) {
    fs::create_directories(devices / name);
    std::ofstream(devices / name / "config", std::ios::binary)
        .write(reinterpret_cast<const char *>(f.data.data()), static_cast<std::streamsize>(bytes));
  };
  put("0000:00:01.1", sim::catalogue::RootPort(1, 4).Build(), 4096);
  put("0000:01:00.0", sim::catalogue::NvmeSsd().Build(), 4096);
  put("0001:00:00.0", sim::catalogue::NvmeSsd().Build(), 256);
  kelsim::Scenario s = kelsim::ScenarioFromSysfs(root.Path().string());
  ASSERT_EQ(s.captured.size(), 2u);
  EXPECT_EQ(s.leftOutDomains.at(1), 1u);
  auto l1ss = [](const kelsim::RunResult &r) {
    for (const auto &d : r.devices) {
      if (d.bdf == sim::Bdf(1, 0, 0)) {
        return d.after.l1ss;
      }
    }
    return -2;
  };
  EXPECT_EQ(l1ss(kelsim::Run(s)), 0) << "a derived engine requests no substates";
  kelsim::ApplyPortEdit(s, "00:01.1:PortPmOptions=0x30,ClkReqMap=1");
  EXPECT_EQ(l1ss(kelsim::Run(s)), 0xF);
  for (const char *edit : {"00:01.1:PortPmOptions", "00:01.2:ClkReqMap=1", "00:01.1:Bogus=1",
                           "00:01.1:MaxPayloadSize=6"}) {
    EXPECT_THROW(kelsim::ApplyPortEdit(s, edit), sim::InputError) << edit;
  }
  put("0000:02:00.0", sim::catalogue::NvmeSsd().Build(), 64);
  try {
    kelsim::ScenarioFromSysfs(root.Path().string());
    ADD_FAILURE() << "a 64-byte read accepted";
  } catch (const sim::InputError &e) {
    EXPECT_NE(e.Message().find("run kelsim as root"), std::string::npos) << e.Message();
  }
}

// Verify that this machine's own devices load and run, or that the reason
// they cannot (no root) is said.
TEST(KelsimCaptureTest, VerifyThatThisMachinesSysfsRuns) {
  if (!fs::exists("/sys/bus/pci/devices")) {
    GTEST_SKIP() << "no /sys/bus/pci here";
  }
  try {
    const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromSysfs("/"));
    EXPECT_FALSE(r.devices.empty());
  } catch (const sim::InputError &e) {
    EXPECT_NE(e.Message().find("root"), std::string::npos) << e.Message();
  }
}

TEST(KelsimCaptureTest, VerifyThatACaptureWithoutRootPortsIsReported) {
  TempDir dir;
  const std::string nic = CaptureText("03:00.0 Ethernet controller: something",
                                      {"86 80 33 15 00 00 10 00 00 00 00 02 00 00 00 00"});
  const kelsim::Scenario s = kelsim::ScenarioFromCapture(dir.Write("nic.txt", nic));
  ASSERT_FALSE(s.warnings.empty());
  EXPECT_NE(s.warnings.back().find("no root port"), std::string::npos) << s.warnings.back();
}

} // namespace

namespace {

// Verify what boards do that a platform file can now say: a hook that edits
// each silicon's AER table its own way, a call of the AER service's
// extended member, and no topology producer at all.
TEST(KelsimHostileTest, VerifyThatPerCallHooksTheExtendedMemberAndNoTopologyAreSimulated) {
  json doc = MinimalPlatform();
  json second = doc["Silicons"][0];
  second["HostBridgeAddress"] = "40:00.0";
  second["Wrappers"][0]["Engines"][0]["PortPciAddress"] = "40:01.1";
  second["Wrappers"][0]["Engines"][0]["Devices"][0]["Address"] = "41:00.0";
  second["Wrappers"][0]["Engines"][0]["RootPort"] = {{"SecondaryBus", 0x41}};
  doc["Silicons"].push_back(second);
  doc["Events"] = json::parse(R"([
    {"HookEdit": [[{"Row": 0, "AerEnable": 1, "PciDevice": 1, "PciFunction": 1, "CorrectableMask": "0x40"}],
                  [{"Row": 0, "AerEnable": 1, "PciDevice": 1, "PciFunction": 1, "CorrectableMask": "0x80"}]]},
    "PciIoInstall", {"AerServiceExtended": {}}])");
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  std::map<uint32_t, uint64_t> masks; // correctable mask register of port 0, per silicon
  for (const kelsim::WriteRecord &w : r.writes) {
    if (w.kind == "smn" && w.address == 0x11100164) {
      masks[w.silicon] = w.value & 0xC0;
    }
  }
  EXPECT_EQ(masks, (std::map<uint32_t, uint64_t>{{0, 0x40}, {sim::Bdf(0x40, 0, 0), 0x80}}))
      << "each silicon's call applies its own rows";
  EXPECT_NE(std::find(r.notes.begin(), r.notes.end(),
                      "AerServiceExtended returned 0xa000000000000002"),
            r.notes.end());
  doc = MinimalPlatform();
  doc["Absent"] = {"Topology"};
  const kelsim::RunResult none = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_TRUE(std::all_of(none.writes.begin(), none.writes.end(),
                          [](const kelsim::WriteRecord &w) { return w.kind == "io"; }))
      << "no topology: post codes only, no register programmed";
  EXPECT_TRUE(none.fatalStops.empty());
}

// Verify that a platform file can leave firmware modules out, and that the
// pass then ends as the driver's rules say: without a PCD protocol no read
// request size is programmed; without the save-state protocol nothing is
// recorded before the lock, and the run still ends.
TEST(KelsimHostileTest, VerifyThatAbsentModulesAreSimulated) {
  json doc = MinimalPlatform();
  doc["Absent"] = {"Pcd", "S3SaveState"};
  doc["Events"] = {"PciIoInstall"};
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_TRUE(r.fatalStops.empty());
  EXPECT_TRUE(r.saveState.empty());
  for (const auto &d : r.devices) {
    EXPECT_EQ(d.before.mrrs, d.after.mrrs) << sim::BdfText(d.bdf);
  }
  doc["Absent"] = {"Keyboard"};
  EXPECT_NE(LoadError(doc).find("unknown module 'Keyboard'"), std::string::npos);
}

} // namespace

namespace {

// Verify that platform files describe the S3 table's faults: a corrupted
// signature after the lock is reported with its code when the next record
// is appended, and a failing table allocation is reported by every append.
TEST(KelsimHostileTest, VerifyThatS3TableFaultsAreDescribedAndReported) {
  json doc = MinimalPlatform();
  doc["Events"] = json::parse(R"(["SmmReadyToLock", {"CorruptS3Table": {"Offset": 0, "Value": 0}},
                                  "PciIoInstall"])");
  const kelsim::RunResult corrupted = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  ASSERT_FALSE(corrupted.fatalStops.empty());
  EXPECT_EQ(corrupted.fatalStops.front(), 0xA0697u) << "the signature check's code";
  EXPECT_NE(std::find(corrupted.notes.begin(), corrupted.notes.end(),
                      "private S3 table byte 0x0 set to 0x00"),
            corrupted.notes.end());

  json failing = MinimalPlatform();
  failing["FailPoolAllocations"] = {2};
  failing["Events"] = json::parse(R"(["SmmReadyToLock", "PciIoInstall"])");
  const kelsim::RunResult noTable = kelsim::Run(kelsim::ScenarioFromJson(failing, "p", "."));
  EXPECT_FALSE(noTable.tableAvailable);
  ASSERT_FALSE(noTable.fatalStops.empty()) << "appends without a table are reported";
  EXPECT_EQ(noTable.fatalStops.front(), 0xA0727u);
}

} // namespace

namespace {

struct AllocationCase {
  uint64_t failing;
  uint32_t fatalStop; // 0: the run ends without one
};

class FailingAllocationTest : public ::testing::TestWithParam<AllocationCase> {};

// Verify that each pool allocation the driver makes, failing in turn, ends
// the run with its own code or none, never with a crash or a hang.
TEST_P(FailingAllocationTest, VerifyThatEachFailingAllocationEndsAsItsCodeSays) {
  json doc = MinimalPlatform();
  doc["FailPoolAllocations"] = {GetParam().failing};
  const kelsim::RunResult r = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."));
  EXPECT_FALSE(r.halted);
  if (GetParam().fatalStop == 0) {
    EXPECT_TRUE(r.fatalStops.empty());
  } else {
    ASSERT_FALSE(r.fatalStops.empty());
    EXPECT_EQ(r.fatalStops.front(), GetParam().fatalStop);
  }
}

INSTANTIATE_TEST_SUITE_P(InTurn, FailingAllocationTest,
                         ::testing::Values(AllocationCase{1, 0xA0873}, // S3 private data
                                           AllocationCase{2, 0xA0727}, // S3 table
                                           AllocationCase{3, 0}, AllocationCase{4, 0}));

} // namespace

namespace {

// Verify the audit's command line: findings in the JSON report, exit 4 only
// at or past --fail-on, and --no-pass auditing a platform without running
// the driver (nothing written, no post code).
TEST(KelsimAuditTest, VerifyThatTheAuditReportsAndSetsTheExitStatus) {
  TempDir dir;
  json mismatched = MinimalPlatform();
  mismatched["Silicons"][0]["Wrappers"][0]["Engines"][0]["Devices"][0]["Overrides"] = {
      {"MaxPayloadSupported", 0}};
  const std::string file = dir.Write("p.json", mismatched.dump());
  const std::string report = (dir.Path() / "r.json").string();

  auto [asIs, asIsOut] = RunBinary(file + " --no-pass --audit -q --json " + report);
  EXPECT_EQ(asIs, 0) << asIsOut;
  json j = json::parse(std::ifstream(report));
  EXPECT_FALSE(j["pass_ran"].get<bool>());
  EXPECT_TRUE(j["writes"].empty());
  EXPECT_TRUE(j["post_codes"].empty());
  ASSERT_TRUE(j.contains("audit"));

  auto [failing, failingOut] = RunBinary(file + " --fail-on error -q --json " + report);
  j = json::parse(std::ifstream(report));
  bool error = false;
  for (const json &f : j["audit"]) {
    EXPECT_TRUE(f.contains("registers") && f.contains("section") && f.contains("functions"));
    error |= f["severity"] == "error";
  }
  EXPECT_EQ(failing, error ? 4 : 0) << failingOut;
  EXPECT_NE(failingOut.find("kelsim: --fail-on error: "), std::string::npos) << failingOut;
  EXPECT_NE(failingOut.find("(S3-RESTORED-DIFFERENTLY error x2)"), std::string::npos) << failingOut;
  TempDir batchDir;
  batchDir.Write("p.json", mismatched.dump());
  batchDir.Write("q.txt", CaptureText("03:00.0 Ethernet controller: a capture",
                                      {"86 80 33 15 00 00 10 00 00 00 00 02 00 00 00 00"}));
  auto [batch, batchOut] = RunBinary("--fail-on error --batch " + batchDir.Path().string());
  EXPECT_EQ(batch, 4) << batchOut;
  EXPECT_NE(batchOut.find("PASS " + (batchDir.Path() / "q.txt").string()), std::string::npos)
      << "captures run in a batch too: " << batchOut;
  EXPECT_NE(batchOut.find(" errors, "), std::string::npos) << "each file's findings counted";
  EXPECT_NE(batchOut.find("; --fail-on error: "), std::string::npos) << batchOut;
  ASSERT_TRUE(j.contains("audit_after_resume"));
  for (const json &f : j["audit_after_resume"]) {
    EXPECT_NE(f["id"].get<std::string>().rfind("S3-", 0), 0u) << "S3 rules judge the pass only";
  }
  EXPECT_TRUE(error) << "the reference driver leaves S3 differences on this platform";

  auto [infoOnly, infoOut] = RunBinary(file + " --no-pass --fail-on info --no-trace");
  EXPECT_NE(infoOut.find("-- audit (as the platform stands, no pass) --"), std::string::npos)
      << infoOut;
  auto [bad, badOut] = RunBinary(file + " --fail-on severe");
  EXPECT_EQ(bad, 2) << badOut;
}

} // namespace

namespace {

// Verify that captures saved as lspci -vvvxxxx or -nnvvvxxxx, with the
// decoding indented between header and hex rows, load the same bytes as the
// plain -xxx form, and that unindented text is still refused.
TEST(KelsimCaptureTest, VerifyThatVerboseCapturesKeepOnlyTheirHexRows) {
  TempDir dir;
  const std::vector<std::string> rows = {"ec 10 68 81 07 04 10 00 03 00 00 02 10 00 00 00"};
  const std::string plain = CaptureText("03:00.0 Ethernet controller: Example Gigabit NIC", rows);
  std::string verbose = CaptureText(
      "03:00.0 Ethernet controller [0200]: Example Corp Gigabit NIC [10ec:8168] (rev 03)\n"
      "\tSubsystem: Example Corp Device [10ec:0001]\n"
      "\tControl: I/O+ Mem+ BusMaster+ SpecCycle- MemWINV- VGASnoop-\n"
      "\tCapabilities: [40] Power Management version 3\n"
      "\t\tFlags: PMEClk- DSI+ D1- D2- AuxCurrent=0mA PME(D0+,D1-,D2-,D3hot+,D3cold+)\n"
      "\tKernel driver in use: r8169",
      rows);
  const auto a = kelsim::ScenarioFromCapture(dir.Write("plain.txt", plain)).captured;
  const auto b = kelsim::ScenarioFromCapture(dir.Write("verbose.txt", verbose)).captured;
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0].bdf, b[0].bdf);
  EXPECT_EQ(a[0].bytes, b[0].bytes);
  const std::string stray = verbose + "Capabilities: [50] MSI\n";
  EXPECT_THROW(kelsim::ScenarioFromCapture(dir.Write("stray.txt", stray)), sim::InputError);
}

} // namespace

namespace {

// Verify that the JSON report's events let every access be laid to its
// step: counting configuration accesses between the step markers gives the
// report's own per-step table, and every trace line keeps its place.
TEST(KelsimJsonTest, VerifyThatEventsAttributeEveryAccessToItsStep) {
  const kelsim::RunResult r = kelsim::Run(kelsim::ReferenceScenario());
  const json j = kelsim::ToJson(r);
  ASSERT_EQ(j["events"].size(), r.log.Events().size());
  std::map<unsigned, uint64_t> config;
  std::map<unsigned, uint64_t> smnWrites;
  unsigned step = 0;
  bool inPass = false;
  size_t traces = 0;
  for (const json &e : j["events"]) {
    const std::string kind = e["kind"];
    if (kind == "step") {
      step = e["step"];
      inPass = true;
    } else if (kind == "trace") {
      ++traces;
    } else if (inPass && e.contains("space") && e["space"] == "config") {
      ++config[step];
    } else if (inPass && kind == "write" && e["space"] == "smn") {
      ++smnWrites[step];
    }
    if (inPass && kind == "trace" && e["text"] == "KelPcieMiscInit Exit\n") {
      inPass = false;
    }
  }
  EXPECT_EQ(traces, j["trace"].size());
  for (const sim::StepAccesses &s : r.accesses) {
    if (s.step == 0) {
      continue;
    }
    EXPECT_EQ(config[s.step], s.counts.ConfigurationAccesses()) << "step " << s.step;
    EXPECT_EQ(smnWrites[s.step], s.counts.smnWrites) << "step " << s.step;
  }
}

} // namespace

namespace {

// Verify that names come from a pci.ids database through libpci, the
// vendor alone when the device is not listed, and nothing without the
// database, in the text and JSON reports alike.
TEST(KelsimNamesTest, VerifyThatNamesComeFromThePciIdsDatabase) {
  TempDir dir;
  const std::string ids = dir.Write("pci.ids", "# test database\n"
                                               "144d  Example Storage Maker\n"
                                               "\ta808  Example NVMe Controller\n"
                                               "10de  Example Graphics Maker\n");
  kelsim::UsePciIds(ids);
  EXPECT_EQ(kelsim::DeviceName(0x144D, 0xA808), "Example Storage Maker Example NVMe Controller");
  EXPECT_EQ(kelsim::DeviceName(0x10DE, 0x2204), "Example Graphics Maker");
  EXPECT_EQ(kelsim::DeviceName(0x10EC, 0x8168), "");
  const kelsim::RunResult r = kelsim::Run(kelsim::ReferenceScenario());
  const json j = kelsim::ToJson(r);
  EXPECT_EQ(j["devices"]["02:00.0"]["name"], "Example Storage Maker Example NVMe Controller");
  std::ostringstream text;
  kelsim::WriteText(r, {}, text);
  EXPECT_NE(text.str().find("02:00.0 144d:a808 endpoint  Example Storage Maker Example NVMe "
                            "Controller\n"),
            std::string::npos);
  EXPECT_NE(text.str().find("06:00.0 10ec:8168 endpoint\n"), std::string::npos);

  kelsim::UsePciIds((dir.Path() / "missing.ids").string());
  EXPECT_EQ(kelsim::DeviceName(0x144D, 0xA808), "");
  kelsim::UsePciIds("/usr/share/misc/pci.ids");
}

// Verify that the names looked up are kept in the cache file and believed
// while the database is the one they came from, and that any other cache
// (a changed database, another format, not JSON, a directory) leaves the
// names to the database, as a cache that cannot be written leaves them and
// nothing else.
TEST(KelsimNamesTest, VerifyThatCachedNamesAreBelievedOnlyForTheirDatabase) {
  const char *listed = "Example Storage Maker Example NVMe Controller";
  const auto edit = [](const std::string &file, const std::function<void(json &)> &change) {
    json cache = json::parse(std::ifstream(file));
    change(cache);
    std::ofstream(file) << cache.dump();
  };
  const struct {
    const char *what;
    std::function<void(TempDir &, std::string &)> spoil; // on the ids file and the cache
    const char *expected;
  } rows[] = {
      {"unchanged", [](TempDir &, std::string &) {}, "Cached"},
      {"database changed",
       [](TempDir &dir, std::string &) {
         dir.Write("pci.ids", "144d  Example Storage Maker\n\ta808  Example NVMe Controller\n");
       },
       listed},
      {"other format",
       [&](TempDir &, std::string &cache) {
         edit(cache, [](json &c) { c["format"] = "kelsim pci names 0"; });
       },
       listed},
      {"not JSON", [](TempDir &dir, std::string &) { dir.Write("cache/names.json", "{\"names\""); },
       listed},
      {"a directory",
       [](TempDir &, std::string &cache) {
         fs::remove(cache);
         fs::create_directory(cache);
       },
       listed},
  };
  for (const auto &row : rows) {
    TempDir dir;
    const std::string ids = dir.Write("pci.ids", "# test database\n144d  Example Storage Maker\n"
                                                 "\ta808  Example NVMe Controller\n");
    std::string cache = (dir.Path() / "cache" / "names.json").string();
    kelsim::UsePciIds(ids, cache);
    EXPECT_EQ(kelsim::DeviceName(0x144D, 0xA808), listed) << row.what;
    kelsim::UsePciIds(ids, cache);
    edit(cache, [](json &c) { c["names"]["144d:a808"] = "Cached"; });
    row.spoil(dir, cache);
    kelsim::UsePciIds(ids, cache);
    EXPECT_EQ(kelsim::DeviceName(0x144D, 0xA808), row.expected) << row.what;
  }
  TempDir dir;
  const std::string ids = dir.Write("pci.ids", "144d  Example Storage Maker\n");
  const fs::path unwritable = dir.Path() / "pci.ids" / "names.json";
  kelsim::UsePciIds(ids, unwritable.string());
  EXPECT_EQ(kelsim::DeviceName(0x144D, 0xA808), "Example Storage Maker");
  kelsim::UsePciIds("/usr/share/misc/pci.ids");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

} // namespace

namespace {

// Verify that --power-on returns the control fields a running machine
// leaves to their reset values before anything runs: payload and read
// request sizes, ASPM, common clock, LTR, L1 substates and the AER masks,
// while read-only fields keep the captured values.
TEST(KelsimPowerOnTest, VerifyThatControlFieldsReturnToTheirResetValues) {
  json doc = MinimalPlatform();
  Engine0(doc)["Devices"][0]["Overrides"] = {{"DeviceControl", "0x5930"},   // 256 B, 4096 B
                                             {"LinkControl", "0x0143"}};    // L0s L1 CCC ClkPM
  kelsim::Scenario running = kelsim::ScenarioFromJson(doc, "p", ".");
  const auto asRunning = kelsim::Run(running, {.pass = false});
  doc["PowerOn"] = true;
  const auto cold = kelsim::Run(kelsim::ScenarioFromJson(doc, "p", "."), {.pass = false});
  auto device = [](const kelsim::RunResult &r) {
    for (const auto &d : r.devices) {
      if (d.bdf == sim::Bdf(1, 0, 0)) {
        return d.after;
      }
    }
    return kelsim::FunctionState{};
  };
  EXPECT_EQ(device(asRunning).mps, 256);
  EXPECT_EQ(device(asRunning).aspm, 3);
  const kelsim::FunctionState d = device(cold);
  EXPECT_EQ(d.mps, 128);
  EXPECT_EQ(d.mrrs, 512);
  EXPECT_FALSE(d.extTag);
  EXPECT_EQ(d.aspm, 0);
  EXPECT_FALSE(d.ccc);
  EXPECT_FALSE(d.clkpm);
  EXPECT_EQ(d.l1ss, 0);
  EXPECT_FALSE(d.ltr.enabled);
  ASSERT_TRUE(d.aer.has_value());
  EXPECT_EQ(d.aer->uncorrectableMask, 0x00400000u);
  EXPECT_EQ(d.aer->uncorrectableSeverity, 0x00462030u);
  EXPECT_EQ(d.aer->correctableMask, 0x0000E000u);
  EXPECT_FALSE(d.aer->ecrcGeneration || d.aer->ecrcCheck);
  EXPECT_EQ(d.vendor, device(asRunning).vendor) << "read-only registers keep their values";
  EXPECT_NE(LoadError([&] {
              json bad = doc;
              bad["PowerOn"] = "yes";
              return bad;
            }()),
            "");
}

} // namespace

namespace {

// Verify that settings a platform file leaves out take their defaults
// (not 0, which would program 128-byte read requests), that given ones
// stand, and that the report names which are which.
TEST(KelsimSettingsTest, VerifyThatOmittedSettingsTakeTheirDefaults) {
  json doc = MinimalPlatform();
  doc.erase("Pcd");
  const kelsim::Scenario s = kelsim::ScenarioFromJson(doc, "p", ".");
  EXPECT_EQ(s.pcd.at(205), 2u) << "512-byte read requests, the reset value";
  EXPECT_EQ(s.pcd.at(67), 1u);
  EXPECT_EQ(s.pcdDefaulted.size(), kelsim::PcdSettings().size());
  const kelsim::RunResult r = kelsim::Run(s);
  for (const auto &d : r.devices) {
    if (d.after.mrrs >= 0) {
      EXPECT_EQ(d.after.mrrs, 512) << sim::BdfText(d.bdf);
    }
  }
  doc["Pcd"] = {{"205", 5}};
  const kelsim::Scenario given = kelsim::ScenarioFromJson(doc, "p", ".");
  EXPECT_EQ(given.pcd.at(205), 5u);
  EXPECT_EQ(given.pcdDefaulted.count(205), 0u);
  EXPECT_EQ(given.pcdDefaulted.count(418), 1u);
  std::ostringstream text;
  kelsim::WriteText(kelsim::Run(given), {}, text);
  EXPECT_NE(text.str().find("   205 = 0x5    Max Read Request Size code"), std::string::npos)
      << text.str().substr(0, 600);
  EXPECT_NE(text.str().find("   418 = 0x1    ASPM blacklist and device fixes inside the ASPM link "
                            "pass (default: the platform file leaves it out)"),
            std::string::npos);
}

} // namespace

namespace {

// Verify that a captured root port gets the index/data pair at 0xE0/0xE4
// that built root ports have, and that a platform file can seed the
// registers behind it.
TEST(KelsimCaptureTest, VerifyThatCapturedRootPortsHaveTheirIndirectPair) {
  TempDir dir;
  const std::string capture =
      CaptureText("00:01.1 PCI bridge: root port",
                  {"f0 ff 01 5a 00 00 10 00 00 00 04 06 00 00 01 00",
                   "00 00 00 00 00 00 00 00 00 01 01 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00",
                   "10 00 42 00 25 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 41 10 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                   "55 55 55 55 66 66 66 66 00 00 00 00 00 00 00 00"});
  const std::string file = dir.Write("capture.txt", capture);
  auto readIndirect = [](const kelsim::Scenario &s, uint32_t index) {
    sim::Platform p;
    kelsim::BuildPlatform(s, p);
    p.config.Write(sim::Bdf(0, 1, 1) | 0xE0, 4, index);
    return p.config.Read(sim::Bdf(0, 1, 1) | 0xE4, 4);
  };
  EXPECT_EQ(readIndirect(kelsim::ScenarioFromCapture(file), 0xA0), 0u)
      << "the captured bytes at 0xE4 are not a register of their own";

  json doc = json::parse(R"({"Captures": [], "Silicons": [{"HostBridgeAddress": "00:00.0",
    "Wrappers": [{"WrapperId": 0, "Engines": [{"StartLane": 0, "EndLane": 3,
      "PortPciAddress": "00:01.1", "RootPort": {"Indirect": {"0xA0": "0x00000F00"}}}]}]}]})");
  doc["Captures"].push_back(file);
  const kelsim::Scenario seeded = kelsim::ScenarioFromJson(doc, "p", ".");
  EXPECT_EQ(readIndirect(seeded, 0xA0), 0x00000F00u);
  EXPECT_EQ(readIndirect(seeded, 0xA4), 0u);
  doc["Silicons"][0]["Wrappers"][0]["Engines"][0]["RootPort"]["Indirect"] = "0xA0";
  EXPECT_NE(LoadError(doc).find("expected an object of indirect register index to value"),
            std::string::npos)
      << LoadError(doc);
}

} // namespace

namespace {

// Verify that --emit-platform writes a platform file that runs as the
// original does: the reference platform, written out and read back, makes
// the same writes, records the same S3 script, prints the same trace and
// leaves every function in the same state. The second run leaves its
// writes unnamed, which keeps every write and its kind.
TEST(KelsimEmitTest, VerifyThatAnEmittedPlatformRunsAsTheOriginal) {
  TempDir dir;
  const std::string file = (dir.Path() / "reference.json").string();
  const std::string capture = kelsim::EmitPlatform(kelsim::ReferenceScenario(), file);
  EXPECT_TRUE(fs::exists(capture));
  const kelsim::RunResult original = kelsim::Run(kelsim::ReferenceScenario());
  const kelsim::RunResult again = kelsim::Run(kelsim::LoadScenarioFile(file), {.nameWrites = false});
  ASSERT_TRUE(again.fatalStops.empty());
  ASSERT_EQ(again.writes.size(), original.writes.size());
  for (size_t i = 0; i < original.writes.size(); ++i) {
    ASSERT_EQ(again.writes[i].kind, original.writes[i].kind) << i;
    ASSERT_EQ(again.writes[i].address, original.writes[i].address) << i;
    ASSERT_EQ(again.writes[i].value, original.writes[i].value) << i;
  }
  ASSERT_EQ(again.script.size(), original.script.size());
  for (size_t i = 0; i < original.script.size(); ++i) {
    EXPECT_EQ(again.script[i].address, original.script[i].address) << i;
    EXPECT_EQ(again.script[i].value, original.script[i].value) << i;
  }
  EXPECT_EQ(kelsim::ToJson(again)["trace"], kelsim::ToJson(original)["trace"]);
  EXPECT_EQ(kelsim::ToJson(again)["devices"], kelsim::ToJson(original)["devices"]);
  EXPECT_THROW(kelsim::EmitPlatform(kelsim::ReferenceScenario(), "/nonexistent-dir/p.json"),
               sim::InputError);
}

// Verify that a capture audited directly and through its emitted platform
// file gives the same findings: what the capture does not say (the CLKREQ#
// wiring) stays unknown in the file.
TEST(KelsimEmitTest, VerifyThatAnEmittedCaptureAuditsAsTheCapture) {
  for (const char *name : {"pciutils_cap-exp-aspm-latencies.txt", "pciutils_cap-exp-lnkcap2.txt"}) {
    const std::string path = RealCapture(name);
    if (path.empty()) {
      GTEST_SKIP() << "no shared/realdevices beside the repository";
    }
    TempDir dir;
    const std::string file = (dir.Path() / "capture.json").string();
    kelsim::EmitPlatform(kelsim::ScenarioFromCapture(path), file);
    auto ids = [](const kelsim::RunResult &r) {
      std::vector<std::string> out;
      for (const audit::Finding &f : *r.audit) {
        out.push_back(f.id);
      }
      return out;
    };
    const kelsim::RunOptions asIs{.pass = false, .audit = true};
    EXPECT_EQ(ids(kelsim::Run(kelsim::LoadScenarioFile(file), asIs)),
              ids(kelsim::Run(kelsim::ScenarioFromCapture(path), asIs)))
        << name;
  }
}

} // namespace
