// What a register is and what its fields hold, for people reading the
// simulator's output: configuration registers by capability, NBIO registers
// by block, and a compact per-function summary in the manner of lspci.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/config_space.h"

namespace kelsim {

struct FieldChange {
  std::string name;
  uint32_t from;
  uint32_t to;
};

struct RegisterInfo {
  std::string name;                  // e.g. "DEVICE_CTRL" or "Command"
  std::vector<FieldChange> changes;  // decoded fields that differ
};

// Names the configuration register at `offset` of the function (the dword
// or word that contains it) and decodes the fields a write changed.
RegisterInfo DescribeConfigWrite(const sim::ConfigFunction *f, uint16_t offset, unsigned bytes,
                                 uint32_t before, uint32_t after);
std::string DescribeSmn(uint32_t address);

struct LtrState {
  bool enabled = false;       // Device Control 2 LTR Mechanism Enable
  int maxSnoop = -1;          // raw register, -1 when the function has no LTR capability
  int maxNoSnoop = -1;
  int threshold = -1;         // LTR_L1.2_THRESHOLD in ns, -1 without L1 PM Substates
  long long maxSnoopNs = -1;  // the latencies the registers give, in ns
  long long maxNoSnoopNs = -1;
  int tPowerOnUs = -1;        // L1 PM Substates Control 2, -1 without the capability
  int commonModeRestoreUs = -1; // Control 1
};

struct AerState {
  uint32_t uncorrectableMask;
  uint32_t uncorrectableSeverity;
  uint32_t correctableMask;
  bool ecrcGeneration;
  bool ecrcCheck;
};

struct FunctionState {
  uint16_t vendor = 0;
  uint16_t device = 0;
  int portType = -1; // -1: no PCI Express capability
  int mps = -1;      // bytes
  int mrrs = -1;
  bool extTag = false;
  bool hasLink = false;   // Link registers exist (not a root-complex integrated endpoint)
  bool hasControl2 = false; // Device Control 2 exists (capability version 2)
  int aspm = -1;     // Link Control ASPM Control: 0 none, 1 L0s, 2 L1, 3 both
  uint32_t linkCapabilities = 0; // raw, when hasLink
  uint16_t linkStatus = 0;
  bool ccc = false;
  bool clkpm = false;
  int l1ss = -1;     // Control 1 enable bits 3:0, -1 without the capability
  int l1ssSupported = -1; // the same four bits of L1 PM Substates Capabilities
  LtrState ltr;
  std::optional<AerState> aer;
  int slotPowerLimit = -1; // milliwatts-free raw: value * 10^-scale W shown as text
  std::string slotPower;   // "75 W" etc., empty without a slot
};

FunctionState Summarize(const sim::ConfigFunction &f);
// The registers the device view shows that a capture does not hold, named
// with their offset: the view shows them as the simulator reads them (0).
std::vector<std::string> UnknownRegisters(const sim::ConfigFunction &f);
std::string PortTypeName(int type);
std::string AspmName(int aspm);
std::string L1ssName(int bits);
// The enabled L1 PM substates: "none", "all" four, or each of L1.1, L1.2,
// PCI-PM_L1.1, PCI-PM_L1.2 (L1 PM Substates Control 1, bits 3:0).
std::string L1ssStates(int bits);
// "8GT/s x4" from Link Capabilities or Link Status (speed 3:0, width 9:4).
std::string LinkSpeedWidth(uint32_t linkRegister);
// One line in lspci -vvv's words, register by register: "DevCtl: MaxPayload 256
// bytes, MaxReadReq 512 bytes, ExtTag+; LnkCtl: ASPM L1 Enabled, CommClk+ ...".
std::string StateLine(const FunctionState &s);
std::vector<FieldChange> StateDiff(const FunctionState &before, const FunctionState &after);

} // namespace kelsim
