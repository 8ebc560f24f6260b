#include "tools/kelsim/compare.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include <fmt/format.h>

#include "sim/input_error.h"
#include "sim/input_file.h"
#include "tools/kelsim/report.h"
#include "tools/kelsim/run.h"
#include "tools/kelsim/scenario.h"

namespace kelsim {

using nlohmann::json;

namespace {

// A function's state fields by the names the link table and lspci use.
const std::vector<std::pair<std::string, std::string>> &StateFields() {
  static const std::vector<std::pair<std::string, std::string>> kFields = {
      {"/port_type", "type"},
      {"/link_capability", "LnkCap"},
      {"/link_status", "LnkSta"},
      {"/aspm", "ASPM"},
      {"/l1ss", "L1SS"},
      {"/ccc", "CommClk"},
      {"/clkpm", "ClockPM"},
      {"/ltr/enable", "LTR"},
      {"/ltr/threshold_ns", "LTR1.2_Threshold ns"},
      {"/ltr/t_power_on_us", "T_PwrOn us"},
      {"/ltr/common_mode_restore_us", "CM_Restore us"},
      {"/ltr/max_snoop_ns", "MaxSnoopLat ns"},
      {"/ltr/max_no_snoop_ns", "MaxNoSnoopLat ns"},
      {"/mps", "MaxPayload bytes"},
      {"/mrrs", "MaxReadReq bytes"},
      {"/ext_tag", "ExtTag"},
      {"/aer/uncorrectable_mask", "UEMsk"},
      {"/aer/uncorrectable_severity", "UESvrt"},
      {"/aer/correctable_mask", "CEMsk"},
      {"/ecrc/generation", "ECRCGenEn"},
      {"/ecrc/check", "ECRCChkEn"},
      {"/slot_power", "PowerLimit"},
  };
  return kFields;
}

std::string Text(const json &v) {
  if (v.is_null()) {
    return "-";
  }
  if (v.is_boolean()) {
    return v.get<bool>() ? "+" : "-";
  }
  if (v.is_string()) {
    return v.get<std::string>();
  }
  return v.dump();
}

json At(const json &doc, const std::string &pointer) {
  const json::json_pointer p(pointer);
  return doc.contains(p) ? doc.at(p) : json(nullptr);
}

// Adds "name a | b" to a comma-separated list of differences.
void AddDifference(std::string &out, const std::string &name, const std::string &a,
                   const std::string &b) {
  out += (out.empty() ? "" : ", ") + name + " " + a + " | " + b;
}

std::string Differences(const json &a, const json &b,
                        const std::vector<std::pair<std::string, std::string>> &fields) {
  std::string out;
  for (const auto &[pointer, name] : fields) {
    const json x = At(a, pointer), y = At(b, pointer);
    if (x != y) {
      AddDifference(out, name, Text(x), Text(y));
    }
  }
  return out;
}

// A link's fields in the link table's order: what it can do and does, and
// each feature after the pass.
std::vector<std::pair<std::string, std::string>> LinkFields(const json &link) {
  std::vector<std::pair<std::string, std::string>> f = {{"LnkCap", link.value("capability", "")},
                                                        {"LnkSta", link.value("status", "")}};
  for (const json &feature : link.value("features", json::array())) {
    f.emplace_back(feature.value("name", ""), feature.value("after", ""));
  }
  return f;
}

std::string LinkDifferences(const json &a, const json &b) {
  const auto fa = LinkFields(a), fb = LinkFields(b);
  auto find = [](const auto &fields, const std::string &name) {
    for (const auto &[n, v] : fields) {
      if (n == name) {
        return v;
      }
    }
    return std::string("-");
  };
  std::vector<std::string> names;
  for (const auto *fields : {&fa, &fb}) {
    for (const auto &[n, v] : *fields) {
      if (std::find(names.begin(), names.end(), n) == names.end()) {
        names.push_back(n);
      }
    }
  }
  std::string out;
  for (const std::string &n : names) {
    const std::string x = find(fa, n), y = find(fb, n);
    if (x != y) {
      AddDifference(out, n, x, y);
    }
  }
  return out;
}

std::map<std::string, json> LinksByPort(const json &report) {
  std::map<std::string, json> links;
  for (const json &l : report.value("links", json::array())) {
    links[l.value("port", "")] = l;
  }
  return links;
}

bool IsReport(const json &doc) {
  return doc.is_object() && doc.contains("devices") && doc.contains("writes");
}

} // namespace

json ComparisonSide(const std::string &path) {
  if (std::filesystem::path(path).extension() == ".json") {
    const json doc = json::parse(sim::ReadInputFile(path), nullptr, false);
    if (IsReport(doc)) {
      return doc;
    }
    // A platform file: the driver's result on it.
    return ToJson(Run(LoadScenarioFile(path), {.pass = true, .audit = false}), false);
  }
  // A capture: the machine as it stood when it was taken.
  return ToJson(Run(ScenarioFromCapture(path), {.pass = false, .audit = false}), false);
}

Comparison Compare(const json &a, const json &b) {
  Comparison c;
  const std::map<std::string, json> linksA = LinksByPort(a), linksB = LinksByPort(b);
  for (const auto &[port, link] : linksA) {
    const auto other = linksB.find(port);
    if (other == linksB.end()) {
      continue; // the port itself is named among the functions on one side only
    }
    const std::string diff = LinkDifferences(link, other->second);
    if (!diff.empty()) {
      c.lines.push_back(fmt::format("link {}: {}", port, diff));
      ++c.differing;
    }
  }
  const json devicesA = a.value("devices", json::object()), devicesB = b.value("devices", json::object());
  std::set<std::string> functions;
  for (const auto &[bdf, d] : devicesA.items()) {
    functions.insert(bdf);
  }
  for (const auto &[bdf, d] : devicesB.items()) {
    functions.insert(bdf);
  }
  for (const std::string &bdf : functions) {
    const bool inA = devicesA.contains(bdf), inB = devicesB.contains(bdf);
    const json &d = inA ? devicesA.at(bdf) : devicesB.at(bdf);
    const std::string what = d.value("id", "") + " " + d.value("name", "");
    if (!inA || !inB) {
      c.lines.push_back(fmt::format("only in {}: {} {}", inA ? "A" : "B", bdf, what));
      ++(inA ? c.onlyA : c.onlyB);
      continue;
    }
    if (devicesA.at(bdf).value("id", "") != devicesB.at(bdf).value("id", "")) {
      c.lines.push_back(fmt::format("{}: IDs {} | {}", bdf, devicesA.at(bdf).value("id", ""),
                                    devicesB.at(bdf).value("id", "")));
      ++c.differing;
      continue;
    }
    const std::string diff =
        Differences(devicesA.at(bdf).value("after", json::object()),
                    devicesB.at(bdf).value("after", json::object()), StateFields());
    if (!diff.empty()) {
      c.lines.push_back(fmt::format("{} {}: {}", bdf, what, diff));
      ++c.differing;
    }
  }
  return c;
}

} // namespace kelsim
