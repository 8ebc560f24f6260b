#include "sim/nbio.h"

namespace sim {

uint32_t Nbio::Peek(uint32_t address) const {
  auto it = regs_.find(address);
  return it == regs_.end() ? 0 : it->second;
}

uint32_t Nbio::ReadSmuResponse() {
  if (smuPending_ && smu.answers) {
    if (smuPolls_ >= smu.pollsBeforeAnswer) {
      smuPending_ = false;
      regs_[smn::kSmuResponse] = smu.response;
      if (smu.writeResults && smu.response != 0xFC) {
        for (unsigned i = 0; i < 6; ++i) {
          regs_[smn::kSmuArgument0 + 4 * i] = smu.results[i];
        }
      }
    } else {
      ++smuPolls_;
    }
  }
  return Peek(smn::kSmuResponse);
}

uint32_t Nbio::ReadRasControl() {
  uint32_t v = Peek(smn::kRasGroupControl) & ~smn::kRasReady;
  if (ras.becomesReady) {
    if (rasPolls_ >= ras.pollsBeforeReady) {
      v |= smn::kRasReady;
    } else {
      ++rasPolls_;
    }
  }
  return v;
}

uint32_t Nbio::Read(uint32_t address) {
  uint32_t v = 0;
  switch (address) {
  case smn::kSmuResponse:
    v = ReadSmuResponse();
    break;
  case smn::kRasGroupControl:
    v = ReadRasControl();
    break;
  default:
    v = Peek(address);
    break;
  }
  log_->Add({.kind = EventKind::SmnRead, .address = address, .width = 4, .silicon = hostBridge_,
             .value = v});
  return v;
}

void Nbio::Write(uint32_t address, uint32_t value) {
  // One lookup: a register never written reads as zero, and every write
  // below stores into it.
  uint32_t &reg = regs_[address];
  log_->Add({.kind = EventKind::SmnWrite, .address = address, .width = 4, .silicon = hostBridge_,
             .value = value, .before = reg});
  switch (address) {
  case smn::kSmuMessage:
    reg = value;
    smuPending_ = true;
    smuPolls_ = 0;
    ++smuRequests;
    break;
  case smn::kStrapDataCore0:
  case smn::kStrapDataCore1: {
    reg = value;
    const uint32_t index = Peek(address - 4);
    if ((index & smn::kStrapSelect) == smn::kStrapSelect) {
      straps_[{address == smn::kStrapDataCore0 ? 0 : 1, index & 0xFFFF}] = value;
    }
    break;
  }
  case smn::kRasGroupControl:
    // Each group write starts a new handshake: ready drops until the unit
    // has taken the group.
    reg = value & ~smn::kRasReady;
    rasPolls_ = 0;
    break;
  default:
    reg = value;
    break;
  }
}

} // namespace sim
