// What the report sources share: report.cpp (exit status and summaries),
// report_text.cpp, report_json.cpp and report_dot.cpp. Not for use outside them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/audit/audit.h"

namespace kelsim::internal {

// "0x" and the value in at least `digits` lower-case hex digits.
std::string Hex(uint64_t v, int digits = 8);
// "N errors, M warnings, K info".
std::string AuditCounts(const std::vector<audit::Finding> &findings);

} // namespace kelsim::internal
