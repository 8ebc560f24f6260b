#include "sim/topology_builder.h"

#include <stdexcept>

namespace sim {

namespace {

// Common header: Flags u32 @0, PeerOffset u16 @6, ChildOffset u16 @8.
constexpr size_t kHeaderSize = 10;
constexpr size_t kSiliconSize = 18;

void Put(std::vector<uint8_t> &b, size_t at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    b.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
  }
}

size_t Append(std::vector<uint8_t> &b, size_t size) {
  const size_t at = b.size();
  b.resize(b.size() + size, 0);
  return at;
}

void SetChild(std::vector<uint8_t> &b, size_t from, size_t to) {
  const size_t distance = to - from;
  if (distance > 0xFFFF || to < from) {
    throw std::length_error("topology child offset does not fit 16 bits");
  }
  Put(b, from + 8, distance, 2);
}

// Intermediate records of no type between `from` and the next real record;
// returns the record whose ChildOffset must point at it.
size_t AppendIntermediates(std::vector<uint8_t> &b, size_t from, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    const size_t at = Append(b, kHeaderSize);
    SetChild(b, from, at);
    from = at;
  }
  return from;
}

void WriteEngine(std::vector<uint8_t> &b, size_t at, const EngineLayout &e, bool last) {
  uint32_t f = flags::kEngine | e.extraFlags;
  f |= e.active ? flags::kEngineActive : 0;
  f |= last ? flags::kLast : 0;
  Put(b, at + 0, f, 4);
  Put(b, at + 11, e.startLane, 2);
  Put(b, at + 13, e.endLane, 2);
  Put(b, at + 15, e.portStatus, 1);
  Put(b, at + 19, e.portDeviceFunction, 1);
  Put(b, at + 20, e.portAspm, 1);
  Put(b, at + 24, e.portControl, 1);
  Put(b, at + 29, e.portLocation, 1);
  Put(b, at + 30, e.portPciAddress, 4);
  Put(b, at + 36, e.slotPowerLimitValue, 1);
  Put(b, at + 37, e.maxPayloadSize, 1);
  Put(b, at + 41, e.clkReqMap, 1);
  Put(b, at + 46, e.srisOptions, 1);
  Put(b, at + 49, e.portPmOptions, 1);
}

} // namespace

BuiltTopology BuildTopology(const TopologyLayout &layout) {
  BuiltTopology out;
  std::vector<uint8_t> &b = out.bytes;
  Append(b, kPlatformHeaderSize);
  // The record at offset 24 starts the chain; with intermediates it is the
  // first of them, else the first silicon itself.
  size_t chainFrom = kPlatformHeaderSize;
  if (layout.recordsBeforeSilicon > 0) {
    Append(b, kHeaderSize);
    chainFrom = AppendIntermediates(b, kPlatformHeaderSize, layout.recordsBeforeSilicon - 1);
  }
  size_t previousSilicon = 0;
  for (size_t s = 0; s < layout.silicons.size(); ++s) {
    const SiliconLayout &si = layout.silicons[s];
    const bool last = s + 1 == layout.silicons.size();
    const size_t at = Append(b, kSiliconSize);
    if (s == 0 && layout.recordsBeforeSilicon > 0) {
      SetChild(b, chainFrom, at);
    }
    if (s > 0) {
      Put(b, previousSilicon + 6, at - previousSilicon, 2);
    }
    out.siliconOffsets.push_back(at);
    uint32_t f = flags::kSilicon | ((last && !si.omitLastSiliconFlag) ? flags::kLastSilicon : 0);
    Put(b, at + 0, f, 4);
    Put(b, at + 10, si.socketId, 1);
    Put(b, at + 11, si.dieId, 1);
    Put(b, at + 13, si.instanceId, 1);
    Put(b, at + 14, si.hostBridgeAddress, 4);
    out.engineOffsets.emplace_back();
    out.engineWrapperIds.emplace_back();
    if (!si.wrappers.empty()) {
      const size_t parent = AppendIntermediates(b, at, si.recordsBeforeWrappers);
      const size_t firstWrapper = Append(b, kWrapperSize * si.wrappers.size());
      SetChild(b, parent, firstWrapper);
      for (size_t w = 0; w < si.wrappers.size(); ++w) {
        const WrapperLayout &wr = si.wrappers[w];
        const size_t wat = firstWrapper + w * kWrapperSize;
        Put(b, wat + 0, flags::kWrapper | (w + 1 == si.wrappers.size() ? flags::kLast : 0), 4);
        Put(b, wat + 10, wr.wrapperId, 1);
        Put(b, wat + 16, wr.wrapperFeatures, 1);
        if (wr.engines.empty()) {
          continue;
        }
        const size_t eparent = AppendIntermediates(b, wat, wr.recordsBeforeEngines);
        const size_t firstEngine = Append(b, kEngineSize * wr.engines.size());
        SetChild(b, eparent, firstEngine);
        for (size_t e = 0; e < wr.engines.size(); ++e) {
          const size_t eat = firstEngine + e * kEngineSize;
          WriteEngine(b, eat, wr.engines[e], e + 1 == wr.engines.size());
          out.engineOffsets.back().push_back(eat);
          out.engineWrapperIds.back().push_back(wr.wrapperId);
        }
      }
    }
    previousSilicon = at;
  }
  for (size_t s = 0; s < layout.silicons.size(); ++s) {
    if (layout.silicons[s].zeroPeerOffset) {
      Put(b, out.siliconOffsets[s] + 6, 0, 2);
    }
  }
  return out;
}

uint8_t EngineByte(const std::vector<uint8_t> &bytes, size_t engineOffset, size_t field) {
  return bytes.at(engineOffset + field);
}

} // namespace sim
