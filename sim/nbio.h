// NBIO of one silicon: a sparse SMN register file behind the host bridge's
// index/data pair, with the SMU mailbox and the RAS group handshake.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "sim/log.h"

namespace sim {

namespace smn {
inline constexpr uint32_t kSmuMessage = 0x03B10528;
inline constexpr uint32_t kSmuResponse = 0x03B10564;
inline constexpr uint32_t kSmuArgument0 = 0x03B10598;
inline constexpr uint32_t kRasGroupControl = 0x13B20004;
inline constexpr uint32_t kRasReady = 0x80000000;
// Strap index/data pairs of the two PCIe cores.
inline constexpr uint32_t kStrapIndexCore0 = 0x0004A348;
inline constexpr uint32_t kStrapDataCore0 = 0x0004A34C;
inline constexpr uint32_t kStrapIndexCore1 = 0x0004A3C8;
inline constexpr uint32_t kStrapDataCore1 = 0x0004A3CC;
inline constexpr uint32_t kStrapSelect = 0xFFFE0000;
} // namespace smn

struct SmuBehaviour {
  unsigned pollsBeforeAnswer = 3; // response reads that still show 0
  uint32_t response = 1;          // 0xFC is the access-flags assertion
  bool answers = true;            // false: the response stays 0 forever
  bool writeResults = true;       // on answer, argument registers get `results`
  uint32_t results[6] = {0, 0, 0, 0, 0, 0};
};

struct RasBehaviour {
  unsigned pollsBeforeReady = 1; // reads of the control register before bit 31 shows
  bool becomesReady = true;
};

class Nbio {
public:
  Nbio(uint32_t hostBridge, Log &log) : hostBridge_(hostBridge), log_(&log) {}

  uint32_t Read(uint32_t address);
  void Write(uint32_t address, uint32_t value);

  // Direct access for seeding and checking, not logged.
  uint32_t Peek(uint32_t address) const;
  void Seed(uint32_t address, uint32_t value) { regs_[address] = value; }
  const std::map<uint32_t, uint32_t> &Registers() const { return regs_; }
  // Strap values the cores received: (core, strap number) -> value. A data
  // write whose index lacks the select bits reaches no strap.
  const std::map<std::pair<int, uint32_t>, uint32_t> &Straps() const { return straps_; }

  uint32_t HostBridge() const { return hostBridge_; }
  SmuBehaviour smu;
  RasBehaviour ras;
  unsigned smuRequests = 0;

private:
  uint32_t ReadSmuResponse();
  uint32_t ReadRasControl();

  uint32_t hostBridge_;
  Log *log_;
  std::map<uint32_t, uint32_t> regs_;
  std::map<std::pair<int, uint32_t>, uint32_t> straps_;
  bool smuPending_ = false;
  unsigned smuPolls_ = 0;
  unsigned rasPolls_ = 0;
};

} // namespace sim
