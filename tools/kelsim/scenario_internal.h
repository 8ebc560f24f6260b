// What the scenario sources share: reading the platform file
// (scenario_read.cpp), checking it (scenario_check.cpp), building the
// simulated platform (scenario_build.cpp) and the other ways to a scenario
// (scenario.cpp). Not for use outside them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/input_error.h"
#include "tools/kelsim/scenario.h"

namespace kelsim::internal {

using nlohmann::json;

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
  // The member `key`, which `owner` ("an engine") cannot do without.
  Reader Required(const char *key, const std::string &owner) const {
    if (!Has(key)) {
      Fail(owner + " needs \"" + key + "\"");
    }
    return At(key);
  }
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

// The catalogue models a platform file may name; bridges need bus numbers.
struct Model {
  const char *name;
  bool bridge;
  sim::DeviceBuilder (*make)(const DeviceEntry &d);
};

const Model *FindModel(const std::string &name);

inline uint8_t BusOf(uint32_t bdf) { return static_cast<uint8_t>((bdf >> 20) & 0xFF); }

// The buses behind an engine's catalogue root port: as given, else from the
// devices described below it (secondary 0, not configured, when there are
// none).
struct BusRange {
  int secondary;
  int subordinate;
};

BusRange RootPortBuses(const EngineEntry &e);

// A captured function whose PCI Express capability says root port.
bool IsRootPort(const sim::CapturedFunction &c);

// One engine's fields, checked as the platform file gives them.
EngineEntry ReadEngine(const Reader &r);

// Throws sim::InputError for a platform the simulator cannot build; adds a
// warning for what a real machine may hold.
void Validate(Scenario &s, const std::string &file);
void CheckLanes(const SiliconEntry &silicon, const std::string &file);
void CheckPortNumbers(const SiliconEntry &silicon, const std::string &file,
                      std::vector<std::string> &warnings);

std::vector<sim::CapturedFunction> KeepDomainZero(std::vector<sim::CapturedFunction> all,
                                                  const std::string &name, Scenario &s);
std::vector<sim::CapturedFunction> LoadCapture(const std::string &path, Scenario &s);
void DefaultPcdSettings(Scenario &s);

} // namespace kelsim::internal
