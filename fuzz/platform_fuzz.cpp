// Any bytes as a platform file: refused with a message, or loaded and run
// to the end.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/input_error.h"
#include "tools/kelsim/run.h"
#include "tools/kelsim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const nlohmann::json doc =
      nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    return 0;
  }
  try {
    const kelsim::Scenario scenario = kelsim::ScenarioFromJson(doc, "fuzz", ".");
    kelsim::Run(scenario);
  } catch (const sim::InputError &) {
  }
  return 0;
}
