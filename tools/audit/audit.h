// The audit: a platform's PCI Express state checked against the standard's
// rules and the field's known failures. It reads configuration space only
// (plus what a platform description adds about its root ports and the S3
// resume check), so it runs the same on the state the driver left and on a
// real machine's capture.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/config_space.h"

namespace audit {

enum class Severity { Error, Warning, Info };
const char *SeverityName(Severity s);

struct RegisterValue {
  uint32_t function = 0; // bus/device/function as an ECAM offset
  std::string name;      // "Link Control", "L1 PM Substates Control 1" ...
  uint16_t offset = 0;   // in configuration space
  uint32_t value = 0;
};

struct Finding {
  std::string id;
  Severity severity = Severity::Info;
  std::vector<uint32_t> functions;
  std::vector<RegisterValue> registers;
  std::string message;
  std::string section; // the PCI Express Base section the rule rests on
};

// What a platform description knows about a root port and a capture does not.
struct RootPortContext {
  uint32_t silicon = 0;                      // its host bridge
  std::optional<bool> clkReq;                // its engine has a CLKREQ# signal
  std::optional<uint32_t> completionPayload; // bytes, when the port limits it
};

// A register the S3 resume check found: not restored by the boot script, or
// restored to another value than the pass left.
struct ResumeDifference {
  std::string location; // "01:00.0 +0x088" or an NBIO register
  std::string registerName;
  uint32_t afterPass = 0;
  uint32_t afterResume = 0;
  bool restored = false; // written by the script, to another value
};

struct Input {
  const sim::ConfigSpace *config = nullptr;
  // Root ports by address; a root port absent here counts as silicon 0 with
  // nothing known about its engine.
  std::map<uint32_t, RootPortContext> rootPorts;
  std::vector<ResumeDifference> resume;
};

// Every finding, most severe first, then by the first function involved.
// A finding that would rest on a register a capture does not hold (see
// sim::ConfigFunction::unknown) is not raised. When `notChecked` is given,
// it receives a line for each such rule and for each part of the platform
// the rules could not look at.
std::vector<Finding> Run(const Input &input, std::vector<std::string> *notChecked = nullptr);

// The blacklist rows the driver applies, as the audit reads them: which
// ASPM states (Link Control encoding) and L1 PM substates (Control 1
// enable bits) a link between these two IDs must not have.
struct BlacklistVerdict {
  uint32_t aspmRemoved = 0;
  uint32_t l1ssRemoved = 0;
  int aspmRow = -1; // the first row that removes something, counted from 0
  int l1ssRow = -1;
};
BlacklistVerdict BlacklistFor(uint32_t upstreamId, uint32_t downstreamId);

} // namespace audit
