// Two runs or two machines side by side: per link and per function, the
// fields that differ, in the link table's words, and the functions only one
// side has.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelsim {

// One side as a JSON report: a kelsim JSON report as it is, a platform file
// run (the driver's result), a capture as its machine stood. Throws
// sim::InputError.
nlohmann::json ComparisonSide(const std::string &path);

struct Comparison {
  std::vector<std::string> lines; // one per differing link or function
  size_t differing = 0;
  size_t onlyA = 0;
  size_t onlyB = 0;
  bool Same() const { return differing == 0 && onlyA == 0 && onlyB == 0; }
};

Comparison Compare(const nlohmann::json &a, const nlohmann::json &b);

} // namespace kelsim
