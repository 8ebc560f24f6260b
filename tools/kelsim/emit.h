// Writes the platform a scenario describes as a platform file to start
// from: the built-in reference, a large platform, a capture's generated
// platform or a platform file, each as it stands before the pass.
#pragma once

#include <string>

#include "tools/kelsim/scenario.h"

namespace kelsim {

// Writes `jsonPath` and, beside it, `jsonPath` + ".lspci.txt": every
// function's configuration space as an lspci -xxxx capture, which the
// platform file names under "Captures". Returns the paths written, or
// throws sim::InputError when a file cannot be written.
std::string EmitPlatform(const Scenario &scenario, const std::string &jsonPath);

} // namespace kelsim
