// The whole pass over a device tree built from the fuzz input: engines with
// any field values, root ports and devices with any identities (the
// blacklists' among them), link capabilities, L1 PM Substates, AER, bus
// numbers that may loop or collide, and capability pointers that may be
// corrupted. After each run the invariants hold:
//  - the pass ends within a fixed number of accesses;
//  - nothing is written to a function that is not present, except where the
//    design writes one (device fix 1: register 0x2F8 of function 1);
//  - every configuration write of a device is a bridge's bus numbers, lies
//    in its PCI Express capability below 0x100 or in an extended capability,
//    or is a root port's indirect pair;
//  - every S3 record is followed by the live write it records.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "sim/catalogue.h"
#include "sim/platform.h"

namespace {

using sim::Bdf;

constexpr uint16_t kIds[][2] = {{0x1969, 0x1083}, {0x14E4, 0x1639}, {0x8086, 0xF1A6},
                                {0x1344, 0x5410}, {0x8086, 0x1563}, {0x10B5, 0x8747},
                                {0xFFF0, 0x1E01}, {0x144D, 0xA808}, {0x10DE, 0x0402}};
constexpr size_t kMaxAccesses = 2000000;

sim::DeviceBuilder Device(FuzzInput &in, uint8_t bus) {
  sim::PcieCapabilityFields s;
  static constexpr sim::PortType kTypes[] = {sim::PortType::Endpoint, sim::PortType::LegacyEndpoint,
                                             sim::PortType::UpstreamPort,
                                             sim::PortType::DownstreamPort,
                                             sim::PortType::PcieToPciBridge};
  s.type = in.Pick(kTypes);
  s.deviceCapabilities = in.Integral<uint32_t>();
  s.linkCapabilities = in.Integral<uint32_t>();
  s.linkStatus = in.Integral<uint16_t>();
  s.linkControl = in.Integral<uint16_t>();
  s.deviceCapabilities2 = in.Integral<uint32_t>();
  const auto &id = kIds[in.InRange<size_t>(0, std::size(kIds) - 1)];
  sim::DeviceBuilder b;
  b.Ids(id[0], id[1]).MultiFunction(in.Bool());
  if (s.type == sim::PortType::UpstreamPort || s.type == sim::PortType::DownstreamPort ||
      s.type == sim::PortType::PcieToPciBridge) {
    const uint8_t secondary = in.Integral<uint8_t>();
    const uint8_t subordinate = in.Integral<uint8_t>();
    b.Bridge(bus, secondary, subordinate);
  }
  if (in.Bool()) {
    b.PowerManagement();
  }
  b.PciExpress(s);
  if (in.Bool()) {
    b.Aer({.capabilitiesControl = in.Integral<uint32_t>() & 0x1FF});
  }
  if (in.Bool()) {
    const uint16_t snoop = in.Integral<uint16_t>();
    const uint16_t noSnoop = in.Integral<uint16_t>();
    b.Ltr(snoop, noSnoop);
  }
  if (in.Bool()) {
    b.L1Substates({.capabilities = in.Integral<uint32_t>()});
  }
  if (in.Bool()) {
    // A corrupted pointer somewhere in the lists.
    const uint16_t at = in.InRange<uint16_t>(0, 0xFFC);
    b.Raw().Poke(at, 1, in.Integral<uint8_t>());
  }
  return b;
}

// The invariants judge a run and guide nothing: their branches and
// comparisons are not counted as the input's features, which would make
// libFuzzer's bookkeeping grow with every event checked.
#if defined(__clang__)
#define NOT_A_FEATURE __attribute__((no_sanitize("coverage")))
#else
#define NOT_A_FEATURE
#endif

[[noreturn]] void Broken(const char *invariant, const sim::Log &log, const sim::Event &e) {
  std::fprintf(stderr, "invariant broken: %s at %s\n", invariant, sim::Describe(log, e).c_str());
  __builtin_trap();
}

// The PCI Express capability as the driver finds it: the list followed from
// 0x34 whatever the Status register's Capabilities List bit says (the
// simulator's register behaviour heeds the bit), pointers into the header
// refused, at most 48 steps.
NOT_A_FEATURE uint16_t DriverPcieCapability(const sim::ConfigFunction &f) {
  uint8_t at = f.data[0x34];
  for (int n = 0; n < 48 && at >= 0x40; ++n) {
    if (f.data[at] == 0x10) {
      return at + 0x18 <= 0x100 ? at : 0;
    }
    if (at == 0xFF) {
      return 0;
    }
    at = f.data[at + 1];
  }
  return 0;
}

NOT_A_FEATURE bool Inside(const sim::ConfigFunction &f, uint16_t offset) {
  const bool bridge = (f.data[0x0E] & 0x7F) == 1;
  // The one header register the driver writes on a device: a bridge's bus
  // numbers, written back unchanged for the boot script.
  if (offset < 0x40) {
    return bridge && offset == 0x18;
  }
  // The PCI Express capability ends where the standard space does.
  for (const uint16_t cap : {f.pcieCap, DriverPcieCapability(f)}) {
    if (cap != 0 && offset >= cap && offset < std::min(cap + 0x3C, 0x100)) {
      return true;
    }
  }
  // The port-local index/data pair the ASPM device fixes and the L0s
  // shut-off reach on the port above a link (a root port or a switch's
  // downstream port).
  if (offset >= 0xE0 && offset < 0xE8 && bridge) {
    return true;
  }
  if (offset < 0x100) {
    return false;
  }
  // Extended capabilities reach up to the next one or 0x48 bytes.
  uint16_t at = 0x100;
  for (int n = 0; n < 960 && at >= 0x100 && at <= 0xFFC; ++n) {
    const uint32_t header = f.Peek(at, 4);
    if (header == 0 || header == 0xFFFFFFFF) {
      break;
    }
    const uint16_t next = static_cast<uint16_t>(header >> 20);
    const uint16_t end = next > at ? next : static_cast<uint16_t>(at + 0x48);
    if (offset >= at && offset < end) {
      return true;
    }
    at = next;
  }
  return false;
}

NOT_A_FEATURE void CheckInvariants(sim::Platform &p, const std::set<uint32_t> &present) {
  const auto &events = p.log.Events();
  if (events.size() > kMaxAccesses) {
    Broken("the pass ends within a bounded number of accesses", p.log, events.back());
  }
  for (size_t i = 0; i < events.size(); ++i) {
    const sim::Event &e = events[i];
    if (e.kind == sim::EventKind::S3Record) {
      // The next configuration write is the one recorded.
      size_t next = i + 1;
      while (next < events.size() && events[next].kind != sim::EventKind::CfgWrite) {
        ++next;
      }
      if (next == events.size() || events[next].address != (e.address - 0xF0000000)) {
        Broken("an S3 record is followed by the write it records", p.log, e);
      }
    }
    if (e.kind != sim::EventKind::CfgWrite) {
      continue;
    }
    const uint32_t bdf = static_cast<uint32_t>(e.address) & 0x0FFFF000;
    const uint16_t offset = static_cast<uint16_t>(e.address & 0xFFF);
    // The silicon's SMN pair, RAS control's Command write to the host
    // bridge's function 2, and device fix 1 (register 0x2F8 of function 1
    // of a listed controller, present or not).
    if ((bdf == Bdf(0, 0, 0) && offset >= 0xB8 && offset < 0xC0) ||
        (bdf == Bdf(0, 0, 2) && offset == 0x04) || (offset == 0x2F8 && (bdf & 0x1000) != 0)) {
      continue;
    }
    if (!present.count(bdf)) {
      Broken("no write to an absent function", p.log, e);
    }
    const sim::ConfigFunction *f = p.config.Find(bdf);
    if (f != nullptr && !f->gone && !Inside(*f, offset)) {
      Broken("writes stay in the header or a capability the driver found", p.log, e);
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  sim::Platform p;
  // A millisecond per access: a bounded wait (a second at most) then costs
  // a few thousand accesses, so the access bound below catches an unbounded
  // one quickly.
  p.cpu.tscStep = 2500000;
  p.AddSilicon(Bdf(0, 0, 0));
  for (uint64_t token : {67, 205, 418, 588, 665, 1005, 1128, 456, 311}) {
    p.pcd[token] = in.Integral<uint8_t>();
  }
  p.cpu.packageTypeBits = in.InRange<uint32_t>(0, 7);
  sim::SiliconLayout silicon{.hostBridgeAddress = Bdf(0, 0, 0)};
  const size_t ports = in.InRange<size_t>(1, 4);
  for (size_t i = 0; i < ports; ++i) {
    const uint8_t fn = static_cast<uint8_t>(1 + i);
    const uint8_t portSecondary = static_cast<uint8_t>(1 + 8 * i);
    const bool slot = in.Bool();
    const uint32_t slotCapabilities = in.Integral<uint32_t>();
    p.AddRootPort(Bdf(0, 1, fn),
                  sim::catalogue::RootPort(portSecondary, 4, slot, slotCapabilities).Build());
    sim::EngineLayout e;
    e.active = in.InRange<uint8_t>(0, 7) != 0;
    e.startLane = in.Integral<uint8_t>();
    e.endLane = in.Integral<uint8_t>();
    e.portStatus = in.Integral<uint8_t>();
    e.portDeviceFunction = static_cast<uint8_t>((1 << 3) | fn);
    e.portAspm = in.Integral<uint8_t>();
    e.portControl = in.Integral<uint8_t>();
    e.portLocation = in.Integral<uint8_t>();
    e.portPciAddress = Bdf(0, 1, fn);
    e.slotPowerLimitValue = in.Integral<uint8_t>();
    e.maxPayloadSize = in.Integral<uint8_t>();
    e.clkReqMap = in.Integral<uint8_t>();
    e.srisOptions = in.Integral<uint8_t>();
    e.portPmOptions = in.Integral<uint8_t>();
    silicon.wrappers.push_back({.wrapperId = static_cast<uint8_t>(i & 1), .engines = {e}});
  }
  const size_t devices = in.InRange<size_t>(0, 24);
  for (size_t i = 0; i < devices && in.Remaining() > 0; ++i) {
    const uint8_t bus = in.InRange<uint8_t>(1, 40);
    const uint8_t device = in.InRange<uint8_t>(0, 3);
    const uint8_t function = in.InRange<uint8_t>(0, 1);
    const uint32_t bdf = Bdf(bus, device, function);
    if (p.config.Find(bdf) == nullptr) {
      sim::ConfigFunction f = Device(in, bus).Build();
      f.trainsForever = in.InRange<uint8_t>(0, 15) == 0;
      f.vanishesOnRetrain = in.InRange<uint8_t>(0, 15) == 0;
      p.AddFunction(bdf, f);
    }
  }
  std::set<uint32_t> present;
  for (const auto &[bdf, f] : p.config.Functions()) {
    present.insert(bdf);
  }
  const sim::BuiltTopology built = sim::BuildTopology({.silicons = {silicon}});
  p.PublishTopology(built.bytes);
  p.LoadDriver();
  p.InstallPciIo();

  CheckInvariants(p, present);
  return 0;
}
