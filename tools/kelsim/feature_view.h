// What the link features and error reporting left, read back from a run:
// each engine's requests as the pass narrowed them, the strap and root-port
// indirect writes, the CLKREQ# map, the AER port table as the hooks left it
// and the RAS groups fed to the NBIO.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/log.h"
#include "sim/platform.h"
#include "sim/topology_builder.h"

namespace kelsim {

struct EngineReport {
  uint32_t silicon = 0; // host bridge
  uint32_t port = 0;    // PortPciAddress
  int wrapperId = 0;
  int portId = 0;
  int coreId = 0;
  bool active = false;
  bool ready = false;
  bool linkConfigSkipped = false; // PortControl bit 0: the link features leave the port alone
  int clkReq = 0;
  bool sris = false;
  uint8_t portAspmBefore = 0, portAspmAfter = 0;
  uint8_t portPmOptionsBefore = 0, portPmOptionsAfter = 0;
};

struct StrapWrite {
  size_t event = 0; // position of the data write in the log
  uint32_t silicon = 0;
  int core = 0;
  uint32_t strap = 0;
  int port = -1;       // port block of the core, -1 outside the port straps
  std::string purpose; // "ASPM", "L1 exit latency" or "strap"
  uint32_t value = 0;
};

struct IndirectWrite {
  size_t event = 0;
  uint32_t port = 0;
  uint32_t index = 0;
  uint32_t before = 0;
  uint32_t after = 0;
};

struct ClkReqMap {
  uint32_t silicon = 0;
  int core = 0;
  std::vector<int> portOfSignal; // CLKREQB_k -> core-relative port
};

struct AerRow {
  int aerEnable = 0;
  int device = 0;
  int function = 0;
  uint32_t correctableMask = 0;
  uint32_t uncorrectableMask = 0;
  uint32_t uncorrectableSeverity = 0;
};

struct RasGroupWrite {
  uint32_t silicon = 0;
  uint32_t unitId = 0;
  uint32_t unitBit = 0;
  uint32_t actionBits = 0;
  bool typeSel = false;
  bool second = false; // the GroupType 3 follow-up write
};

struct FeatureView {
  std::vector<EngineReport> engines;
  std::vector<StrapWrite> straps;
  std::vector<IndirectWrite> indirect;
  std::vector<ClkReqMap> clkReqMaps;
  int aerNumberOfPorts = 0;
  std::vector<AerRow> aerTable;
  std::vector<RasGroupWrite> rasGroups;
};

FeatureView ViewFeatures(const sim::Platform &p, const sim::BuiltTopology &before,
                         std::span<const uint8_t> after);
// The engines alone, as ViewFeatures gives them.
std::vector<EngineReport> ViewEngines(const sim::BuiltTopology &before,
                                      std::span<const uint8_t> after);

// Names of the AER error bits set in a register (PCI Express Base r5.0,
// 7.8.4.3-7.8.4.6), correctable or uncorrectable.
std::vector<std::string> AerBitNames(uint32_t value, bool correctable);
// Every named bit with + or -, as lspci prints UEMsk, UESvrt and CEMsk.
std::string AerFlags(uint32_t value, bool correctable);

// Text for a strap data write and for the engine fields.
std::string StrapText(const StrapWrite &s);
std::string PortAspmText(uint8_t portAspm);
// In the pass only SRIS clears an engine's ASPM request outright; the ASPM
// blacklist narrows it.
inline bool ClearedBySris(const EngineReport &e) { return e.sris && (e.portAspmAfter & 0xF0) == 0; }
std::string PortPmOptionsText(uint8_t options);

} // namespace kelsim
