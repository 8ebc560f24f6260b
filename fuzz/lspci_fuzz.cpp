// Any text as an lspci capture: parsed and, when accepted, turned into
// configuration functions, without crashing or reading past a buffer.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "sim/input_error.h"
#include "sim/lspci.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
  try {
    for (const sim::CapturedFunction &f : sim::ParseLspci(in, "fuzz")) {
      sim::ConfigFunction function = sim::FunctionFromCapture(f);
      (void)function;
    }
  } catch (const sim::InputError &) {
  }
  return 0;
}
