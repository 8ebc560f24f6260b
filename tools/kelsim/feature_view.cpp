#include "tools/kelsim/feature_view.h"

#include <cstdio>
#include <stdexcept>
#include <cstring>
#include <map>

#include "ras/aer_config.h"
#include "sim/lspci.h"

namespace kelsim {

namespace {

constexpr uint32_t kStrapIndex[2] = {0x4A348, 0x4A3C8};
constexpr uint32_t kStrapData[2] = {0x4A34C, 0x4A3CC};
constexpr uint32_t kStrapSelect = 0xFFFE0000;
constexpr uint32_t kPortStrapBase = 0xC3;
constexpr uint32_t kStrapsPerPort = 0x51;
constexpr uint32_t kClkReqMap[2] = {0x11180190, 0x11280190};
constexpr uint32_t kClkReqBit28 = 0x10000000;
constexpr uint32_t kRasGroupControl = 0x13B20004;

// Engine field offsets of the published topology.
constexpr size_t kFlags = 0, kPortStatus = 15, kPortAspm = 20, kPortControl = 24, kPortLocation = 29,
                 kPortPciAddress = 30, kClkReqMapField = 41, kSrisOptions = 46,
                 kPortPmOptions = 49;

uint8_t ByteAt(std::span<const uint8_t> bytes, size_t at) {
  if (at >= bytes.size()) {
    throw std::out_of_range("engine field past the published topology");
  }
  return bytes[at];
}

std::vector<StrapWrite> Straps(const sim::Log &log) {
  std::vector<StrapWrite> out;
  std::map<std::pair<uint32_t, int>, uint32_t> index;
  for (size_t n = 0; n < log.Events().size(); ++n) {
    const sim::Event &e = log.Events()[n];
    if (e.kind != sim::EventKind::SmnWrite) {
      continue;
    }
    for (int core = 0; core < 2; ++core) {
      if (e.address == kStrapIndex[core]) {
        index[{e.silicon, core}] = static_cast<uint32_t>(e.value);
      } else if (e.address == kStrapData[core]) {
        const uint32_t i = index.count({e.silicon, core}) ? index.at({e.silicon, core}) : 0;
        StrapWrite s{n, e.silicon, core, i & 0xFFFF, -1, "strap", static_cast<uint32_t>(e.value)};
        if ((i & kStrapSelect) == kStrapSelect && s.strap >= kPortStrapBase &&
            s.strap < kPortStrapBase + 8 * kStrapsPerPort) {
          s.port = static_cast<int>((s.strap - kPortStrapBase) / kStrapsPerPort);
          const uint32_t within = (s.strap - kPortStrapBase) % kStrapsPerPort;
          s.purpose = within == 0 ? "ASPM" : within == 1 ? "L1 exit latency" : "strap";
        }
        out.push_back(s);
      }
    }
  }
  return out;
}

std::vector<IndirectWrite> Indirect(const sim::Platform &p) {
  std::vector<IndirectWrite> out;
  std::map<uint32_t, uint32_t> index;
  std::map<uint32_t, uint32_t> lastRead; // the data read of a read-modify-write
  for (size_t n = 0; n < p.log.Events().size(); ++n) {
    const sim::Event &e = p.log.Events()[n];
    if (e.kind == sim::EventKind::CfgRead && (e.address & 0xFFF) == 0xE4) {
      lastRead[static_cast<uint32_t>(e.address) & 0x0FFFF000] = static_cast<uint32_t>(e.value);
    }
    if (e.kind != sim::EventKind::CfgWrite) {
      continue;
    }
    const uint32_t bdf = static_cast<uint32_t>(e.address) & 0x0FFFF000;
    const uint32_t offset = static_cast<uint32_t>(e.address) & 0xFFF;
    const sim::ConfigFunction *f = p.config.Find(bdf);
    if (f == nullptr || f->pairs.empty() || f->pairs[0].indexOffset != 0xE0) {
      continue;
    }
    if (offset == 0xE0) {
      index[bdf] = static_cast<uint32_t>(e.value);
    } else if (offset == 0xE4) {
      out.push_back({n, bdf, index[bdf], lastRead[bdf], static_cast<uint32_t>(e.value)});
    }
  }
  return out;
}

std::vector<ClkReqMap> ClkReqMaps(const sim::Platform &p) {
  std::vector<ClkReqMap> out;
  for (const auto &[hb, nbio] : p.Silicons()) {
    bool written = false;
    for (const sim::Event &e : p.log.Of(sim::EventKind::SmnWrite)) {
      written |= e.silicon == hb && (e.address == kClkReqMap[0] || e.address == kClkReqMap[1]);
    }
    if (!written) {
      continue;
    }
    for (int core = 0; core < 2; ++core) {
      const uint32_t v = nbio->Peek(kClkReqMap[core]);
      if ((v & kClkReqBit28) != 0) {
        continue; // the core that does not use the map
      }
      ClkReqMap m{hb, core, {}};
      for (int k = 0; k < 5; ++k) {
        m.portOfSignal.push_back(static_cast<int>((v >> (4 * k)) & 0xF));
      }
      out.push_back(m);
    }
  }
  return out;
}

std::vector<RasGroupWrite> RasGroups(const sim::Log &log) {
  std::vector<RasGroupWrite> out;
  std::map<uint32_t, uint64_t> last;
  for (const sim::Event &e : log.Of(sim::EventKind::SmnWrite)) {
    if (e.address != kRasGroupControl) {
      continue;
    }
    const uint64_t previous = last.count(e.silicon) ? last[e.silicon] : 0;
    last[e.silicon] = e.value;
    if ((e.value & 0x40000000) == 0) {
      continue; // the zero write that starts a handshake
    }
    out.push_back({e.silicon, static_cast<uint32_t>(e.value & 0xFF),
                   static_cast<uint32_t>((e.value >> 11) & 0x1F),
                   static_cast<uint32_t>((e.value >> 16) & 0xF), (e.value & 0x100) != 0,
                   (previous & 0x40000000) != 0});
  }
  return out;
}

} // namespace

std::vector<EngineReport> ViewEngines(const sim::BuiltTopology &t, std::span<const uint8_t> after) {
  std::vector<EngineReport> out;
  for (size_t s = 0; s < t.siliconOffsets.size(); ++s) {
    uint32_t hb = 0;
    std::memcpy(&hb, t.bytes.data() + t.siliconOffsets[s] + 14, 4);
    const size_t first = out.size();
    for (size_t off : t.engineOffsets[s]) {
      EngineReport e;
      e.silicon = hb;
      std::memcpy(&e.port, t.bytes.data() + off + kPortPciAddress, 4);
      uint32_t flags = 0;
      std::memcpy(&flags, t.bytes.data() + off + kFlags, 4);
      e.active = (flags & 0x10000000) != 0;
      e.ready = (t.bytes[off + kPortStatus] & 0x08) != 0;
      e.linkConfigSkipped = (t.bytes[off + kPortControl] & 0x01) != 0;
      e.portId = t.bytes[off + kPortLocation] >> 4;
      e.coreId = t.bytes[off + kPortLocation] & 0xF;
      e.clkReq = t.bytes[off + kClkReqMapField] & 0xF;
      e.sris = (t.bytes[off + kSrisOptions] & 0x10) != 0;
      e.portAspmBefore = t.bytes[off + kPortAspm];
      e.portAspmAfter = ByteAt(after, off + kPortAspm);
      e.portPmOptionsBefore = t.bytes[off + kPortPmOptions];
      e.portPmOptionsAfter = ByteAt(after, off + kPortPmOptions);
      e.wrapperId = t.engineWrapperIds[s][out.size() - first];
      out.push_back(e);
    }
  }
  return out;
}

FeatureView ViewFeatures(const sim::Platform &p, const sim::BuiltTopology &before,
                         std::span<const uint8_t> after) {
  FeatureView v;
  v.engines = ViewEngines(before, after);
  v.straps = Straps(p.log);
  v.indirect = Indirect(p);
  v.clkReqMaps = ClkReqMaps(p);
  v.aerNumberOfPorts = NbioPcieAerConfig.NumberOfPorts;
  for (const PcieAerPortConfig &row : NbioPcieAerConfig.Ports) {
    v.aerTable.push_back({row.AerEnable, row.PciDevice, row.PciFunction, row.CorrectableMask,
                          row.UncorrectableMask, row.UncorrectableSeverity});
  }
  v.rasGroups = RasGroups(p.log);
  return v;
}

namespace {

const std::map<int, const char *> &AerBits(bool correctable) {
  static const std::map<int, const char *> kCorrectable = {
      {0, "RxErr"},       {6, "BadTLP"},      {7, "BadDLLP"},    {8, "Rollover"},
      {12, "Timeout"},    {13, "AdvNonFatalErr"}, {14, "CorrIntErr"}, {15, "HeaderOF"}};
  static const std::map<int, const char *> kUncorrectable = {
      {4, "DLP"},        {5, "SDES"},       {12, "TLP"},      {13, "FCP"},     {14, "CmpltTO"},
      {15, "CmpltAbrt"}, {16, "UnxCmplt"},  {17, "RxOF"},     {18, "MalfTLP"}, {19, "ECRC"},
      {20, "UnsupReq"},  {21, "ACSViol"},   {22, "UncorrIntErr"}, {23, "BlockedTLP"},
      {24, "AtomicOpBlocked"}, {25, "TLPBlockedErr"}, {26, "PoisonTLPBlocked"}};
  return correctable ? kCorrectable : kUncorrectable;
}

} // namespace

std::string AerFlags(uint32_t value, bool correctable) {
  std::string out;
  for (const auto &[bit, name] : AerBits(correctable)) {
    out += (out.empty() ? "" : " ") + std::string(name) + (((value >> bit) & 1) ? "+" : "-");
  }
  return out;
}

std::vector<std::string> AerBitNames(uint32_t value, bool correctable) {
  std::vector<std::string> out;
  for (const auto &[bit, name] : AerBits(correctable)) {
    if ((value >> bit) & 1) {
      out.push_back(name);
    }
  }
  return out;
}

std::string StrapText(const StrapWrite &s) {
  char buf[96];
  if (s.port < 0) {
    std::snprintf(buf, sizeof buf, "core %d strap 0x%x = %u", s.core, s.strap, s.value);
  } else {
    std::snprintf(buf, sizeof buf, "core %d port %d %s strap 0x%x = %u", s.core, s.port,
                  s.purpose.c_str(), s.strap, s.value);
  }
  return buf;
}

std::string PortAspmText(uint8_t portAspm) {
  static const char *const kNames[] = {"none", "L0s", "L1", "L0s+L1"};
  const int request = portAspm >> 4;
  char buf[48];
  std::snprintf(buf, sizeof buf, "0x%02x (%s)", portAspm, request < 4 ? kNames[request] : "?");
  return buf;
}

std::string PortPmOptionsText(uint8_t options) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "0x%02x (L1.1%c L1.2%c)", options, (options & 0x10) ? '+' : '-',
                (options & 0x20) ? '+' : '-');
  return buf;
}

} // namespace kelsim
