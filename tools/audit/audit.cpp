#include "tools/audit/audit.h"

#include <algorithm>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "features/aspm.h"
#include "features/device_tables.h"
#include "features/l1_substates.h"
#include "platform/pci_regs.h"
#include "sim/lspci.h"

namespace audit {

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint8_t kNoPcie = 0xFF;
constexpr unsigned kMaxDepth = 32;        // ports between an endpoint and its root port
constexpr uint64_t kNoLimit = ~0ULL;
constexpr uint8_t kRootComplexIntegratedEndpoint = 9;
constexpr uint8_t kRootComplexEventCollector = 10;
// LTR_L1.2_THRESHOLD must also cover T_POWER_OFF (at most 2 us) and T_L1.2
// (at most 4 us) besides T_POWER_ON and Common_Mode_Restore_Time.
constexpr uint64_t kL12FixedMarginNs = 6000;

// The PCI Express capability registers the rules read.
constexpr uint16_t kDeviceCapabilities = PcieCap::DeviceCapabilities.Offset;
constexpr uint16_t kDeviceControl = PcieCap::DeviceControl.Offset;
constexpr uint16_t kLinkCapabilities = PcieCap::LinkCapabilities.Offset;
constexpr uint16_t kLinkControl = PcieCap::LinkControl.Offset;
constexpr uint16_t kDeviceControl2 = PcieCap::DeviceControl2.Offset;

struct Function {
  uint32_t bdf = 0;
  const sim::ConfigFunction *config = nullptr;
  uint16_t pcie = 0, aer = 0, l1ss = 0;
  uint8_t type = kNoPcie;
  bool bridge = false;
  uint8_t secondary = 0;
  uint32_t upstream = kNone; // the bridge whose secondary bus holds it
  uint32_t rootPort = kNone;

  uint32_t Read(uint16_t offset) const { return config->Peek(offset, 4); }
  uint32_t Pcie(uint16_t offset) const { return Read(static_cast<uint16_t>(pcie + offset)); }
  uint32_t Id() const { return Read(0); }
  bool IsPcie() const { return pcie != 0; }
  bool HasLink() const {
    return IsPcie() && type != kRootComplexIntegratedEndpoint && type != kRootComplexEventCollector;
  }
  bool HasControl2() const {
    return IsPcie() && PcieCap::CapabilityVersion::Get(Pcie(0)) >= 2;
  }
  bool IsDownstreamPort() const { return IsPcie() && PcieIsDownstreamPortType(type); }
  bool IsEndpoint() const { return IsPcie() && PcieIsEndpointType(type); }
  uint32_t LinkCap() const { return Pcie(kLinkCapabilities); }
  uint32_t LinkControl() const { return Pcie(kLinkControl); }
  uint32_t Aspm() const { return PcieCap::AspmControl::Get(LinkControl()); }
  uint32_t L1ssControl1() const { return l1ss ? Read(l1ss + L1ssCap::Control1.Offset) : 0; }
  uint32_t L1ssEnables() const { return L1ssCap::Enables::Get(L1ssControl1()); }
  bool LtrEnabled() const {
    return HasControl2() && PcieCap::LtrMechanismEnable::Get(Pcie(kDeviceControl2)) != 0;
  }
};

struct Tree {
  std::map<uint32_t, Function> functions;
  const Function *Find(uint32_t bdf) const {
    const auto it = functions.find(bdf);
    return it == functions.end() ? nullptr : &it->second;
  }
};

// A link between a downstream port and one function of the device below it.
struct Link {
  const Function *port;
  const Function *device;
};

Tree BuildTree(const sim::ConfigSpace &config) {
  Tree t;
  std::map<uint8_t, uint32_t> bridgeOfBus;
  for (const auto &[bdf, f] : config.Functions()) {
    if (f.Peek(0, 2) == 0xFFFF) {
      continue;
    }
    Function fn;
    fn.bdf = bdf;
    fn.config = &f;
    const uint8_t header = static_cast<uint8_t>(f.Peek(PciHeader::HeaderType.Offset, 1));
    fn.bridge = PciHeader::HeaderLayout::Get(header) == PciHeader::LayoutBridge;
    fn.secondary = static_cast<uint8_t>(f.Peek(PciHeader::SecondaryBusNumber.Offset, 1));
    fn.pcie = f.pcieCap; // found when the function's register behaviour was applied
    if (fn.pcie != 0) {
      fn.type = PcieCap::DevicePortType::Get(static_cast<uint8_t>(f.Peek(fn.pcie + 2, 1)));
      fn.aer = sim::FindExtendedCapability(f, AerCap::Id);
      fn.l1ss = sim::FindExtendedCapability(f, L1ssCap::Id);
    }
    if (fn.bridge && fn.secondary > ((bdf >> 20) & 0xFF)) {
      bridgeOfBus.emplace(fn.secondary, bdf);
    }
    t.functions[bdf] = fn;
  }
  for (auto &[bdf, fn] : t.functions) {
    const auto bridge = bridgeOfBus.find(static_cast<uint8_t>((bdf >> 20) & 0xFF));
    if (bridge != bridgeOfBus.end() && bridge->second != bdf) {
      fn.upstream = bridge->second;
    }
  }
  for (auto &[bdf, fn] : t.functions) {
    const Function *at = &fn;
    for (unsigned depth = 0; at != nullptr && depth <= kMaxDepth; ++depth) {
      if (at->IsPcie() && at->type == PcieDeviceRootComplex) {
        fn.rootPort = at->bdf;
        break;
      }
      at = t.Find(at->upstream);
    }
  }
  return t;
}

std::vector<Link> Links(const Tree &t) {
  std::vector<Link> links;
  for (const auto &[bdf, fn] : t.functions) {
    const Function *port = t.Find(fn.upstream);
    if (port != nullptr && port->IsDownstreamPort() && port->HasLink() && fn.HasLink()) {
      links.push_back({port, &fn});
    }
  }
  return links;
}

// The links from an endpoint up to its root port, the endpoint's first.
std::vector<Link> PathUp(const Tree &t, const Function &endpoint) {
  std::vector<Link> path;
  const Function *below = &endpoint;
  for (unsigned depth = 0; depth < kMaxDepth; ++depth) {
    const Function *port = t.Find(below->upstream);
    if (port == nullptr || !port->IsDownstreamPort() || !port->HasLink()) {
      break;
    }
    path.push_back({port, below});
    if (port->type == PcieDeviceRootComplex) {
      break;
    }
    below = t.Find(port->upstream); // the switch's upstream port
    if (below == nullptr || below->type != PcieDeviceUpstreamPort) {
      break;
    }
  }
  return path;
}

std::string Bdf(uint32_t bdf) { return sim::BdfText(bdf); }

// Registers are named as setpci addresses them, then by the standard.
RegisterValue Pcie(const Function &f, const char *name, uint16_t offset) {
  return {f.bdf, fmt::format("CAP_EXP+0x{:02x} {}", offset, name),
          static_cast<uint16_t>(f.pcie + offset), f.Pcie(offset)};
}
RegisterValue LinkControlValue(const Function &f) {
  return Pcie(f, "Link Control/Status", kLinkControl);
}
RegisterValue LinkCapValue(const Function &f) {
  return Pcie(f, "Link Capabilities", kLinkCapabilities);
}
RegisterValue L1ssValue(const Function &f, const char *name, uint16_t offset) {
  return {f.bdf, fmt::format("ECAP_L1PM+0x{:02x} {}", offset, name),
          static_cast<uint16_t>(f.l1ss + offset), f.Read(f.l1ss + offset)};
}
RegisterValue AerControlValue(const Function &f) {
  const auto offset = static_cast<uint16_t>(f.aer + AerCap::CapabilitiesControl.Offset);
  return {f.bdf,
          fmt::format("ECAP_AER+0x{:02x} Advanced Error Capabilities and Control",
                      AerCap::CapabilitiesControl.Offset),
          offset, f.Read(offset)};
}

class Findings {
public:
  void Add(std::string id, Severity s, std::vector<uint32_t> functions,
           std::vector<RegisterValue> registers, std::string message, std::string section) {
    all_.push_back({std::move(id), s, std::move(functions), std::move(registers),
                    std::move(message), std::move(section)});
  }
  std::vector<Finding> Take() { return std::move(all_); }

private:
  std::vector<Finding> all_;
};

const char *AspmText(uint32_t aspm) {
  static const char *const names[] = {"none", "L0s", "L1", "L0s and L1"};
  return names[aspm & 3];
}

// --- Payload -----------------------------------------------------------------

int PayloadBytes(uint32_t code) { return 128 << code; }

void CheckPayload(const Tree &t, const Input &in, Findings &out) {
  std::map<uint32_t, std::vector<const Function *>> hierarchy;
  for (const auto &[bdf, fn] : t.functions) {
    if (fn.IsPcie() && fn.rootPort != kNone) {
      hierarchy[fn.rootPort].push_back(&fn);
    }
  }
  for (const auto &[root, members] : hierarchy) {
    std::set<uint32_t> sizes;
    for (const Function *f : members) {
      sizes.insert(PcieCap::MaxPayloadSize::Get(f->Pcie(kDeviceControl)));
    }
    if (sizes.size() > 1) {
      std::vector<uint32_t> functions;
      std::vector<RegisterValue> registers;
      std::string list;
      for (const Function *f : members) {
        functions.push_back(f->bdf);
        registers.push_back(Pcie(*f, "Device Control/Status", kDeviceControl));
        list += fmt::format("{}{} {} B", list.empty() ? "" : ", ", Bdf(f->bdf),
                            PayloadBytes(PcieCap::MaxPayloadSize::Get(f->Pcie(kDeviceControl))));
      }
      out.Add("PAYLOAD-MPS-MISMATCH", Severity::Error, functions, registers,
              "Max_Payload_Size differs within the hierarchy of root port " + Bdf(root) + ": " +
                  list + "; a TLP sized for one end is malformed at the other",
              "PCI Express Base r5.0, 2.2.2 and 7.5.3.4");
    }
  }
  for (const auto &[bdf, fn] : t.functions) {
    if (!fn.IsPcie()) {
      continue;
    }
    const uint32_t set = PcieCap::MaxPayloadSize::Get(fn.Pcie(kDeviceControl));
    const uint32_t supported = PcieCap::MaxPayloadSizeSupported::Get(fn.Pcie(kDeviceCapabilities));
    if (set > supported) {
      out.Add("PAYLOAD-MPS-ABOVE-SUPPORTED", Severity::Error, {bdf},
              {Pcie(fn, "Device Capabilities", kDeviceCapabilities),
               Pcie(fn, "Device Control/Status", kDeviceControl)},
              fmt::format("Max_Payload_Size {} B is above the {} B the function supports",
                          PayloadBytes(set), PayloadBytes(supported)),
              "PCI Express Base r5.0, 7.5.3.4");
    }
    const auto root = in.rootPorts.find(fn.rootPort);
    if (root == in.rootPorts.end() || !root->second.completionPayload) {
      continue;
    }
    const int mrrs = PayloadBytes(PcieCap::MaxReadRequestSize::Get(fn.Pcie(kDeviceControl)));
    if (static_cast<uint32_t>(mrrs) > *root->second.completionPayload) {
      out.Add("PAYLOAD-MRRS-ABOVE-COMPLETION", Severity::Info, {bdf, fn.rootPort},
              {Pcie(fn, "Device Control/Status", kDeviceControl)},
              fmt::format("Max_Read_Request_Size {} B is above the {} B completion payload of "
                          "root port {}: each read returns in several completions",
                          mrrs, *root->second.completionPayload, Bdf(fn.rootPort)),
              "PCI Express Base r5.0, 7.5.3.4");
    }
  }
}

// --- ASPM --------------------------------------------------------------------

uint64_t L1ExitNs(uint32_t linkCap) {
  const uint32_t e = PcieCap::L1ExitLatency::Get(linkCap);
  return e == 7 ? 65000 : 1000ULL << e; // 7: more than 64 us
}
uint64_t L0sExitNs(uint32_t linkCap) {
  const uint32_t e = PcieCap::L0sExitLatency::Get(linkCap);
  return e == 7 ? 5000 : 64ULL << e; // 7: more than 4 us
}
uint64_t L1AcceptableNs(uint32_t deviceCap) {
  const uint32_t e = PcieCap::EndpointL1AcceptableLatency::Get(deviceCap);
  return e == 7 ? kNoLimit : 1000ULL << e;
}
uint64_t L0sAcceptableNs(uint32_t deviceCap) {
  const uint32_t e = PcieCap::EndpointL0sAcceptableLatency::Get(deviceCap);
  return e == 7 ? kNoLimit : 64ULL << e;
}

void CheckAspmSupport(const Tree &t, Findings &out) {
  for (const auto &[bdf, fn] : t.functions) {
    if (!fn.HasLink()) {
      continue;
    }
    const uint32_t unsupported = fn.Aspm() & ~PcieCap::AspmSupport::Get(fn.LinkCap());
    if (unsupported != 0) {
      out.Add("ASPM-UNSUPPORTED", Severity::Error, {bdf}, {LinkCapValue(fn), LinkControlValue(fn)},
              fmt::format("ASPM {} enabled, Link Capabilities support {}", AspmText(fn.Aspm()),
                          AspmText(PcieCap::AspmSupport::Get(fn.LinkCap()))),
              "PCI Express Base r5.0, 5.4.1 and 7.5.3.7");
    }
  }
}

void CheckAspmLinks(const Tree &t, Findings &out) {
  for (const Link &l : Links(t)) {
    const bool portL1 = (l.port->Aspm() & AspmL1) != 0;
    const bool deviceL1 = (l.device->Aspm() & AspmL1) != 0;
    if (portL1 != deviceL1) {
      out.Add("ASPM-L1-ONE-END", Severity::Warning, {l.port->bdf, l.device->bdf},
              {LinkControlValue(*l.port), LinkControlValue(*l.device)},
              fmt::format("ASPM L1 enabled on {} only: the link never enters L1",
                          Bdf(portL1 ? l.port->bdf : l.device->bdf)),
              "PCI Express Base r5.0, 5.4.1");
    }
    const BlacklistVerdict verdict = BlacklistFor(l.port->Id(), l.device->Id());
    const uint32_t left = (l.port->Aspm() | l.device->Aspm()) & verdict.aspmRemoved;
    if (left != 0) {
      out.Add("ASPM-BLACKLISTED", Severity::Error, {l.port->bdf, l.device->bdf},
              {LinkControlValue(*l.port), LinkControlValue(*l.device)},
              fmt::format("ASPM {} enabled on a link the driver's ASPM blacklist removes it from "
                          "({:04x}:{:04x} below {:04x}:{:04x})",
                          AspmText(left), l.device->Id() & 0xFFFF, l.device->Id() >> 16,
                          l.port->Id() & 0xFFFF, l.port->Id() >> 16),
              "");
    }
    const uint32_t l1ssLeft = (l.port->L1ssEnables() | l.device->L1ssEnables()) &
                              verdict.l1ssRemoved;
    if (l1ssLeft != 0) {
      out.Add("L1SS-BLACKLISTED", Severity::Error, {l.port->bdf, l.device->bdf},
              {L1ssValue(*l.port, "L1 PM Substates Control 1", L1ssCap::Control1.Offset)},
              fmt::format("L1 PM substates 0x{:x} enabled on a link the driver's L1 substates "
                          "blacklist removes them from",
                          l1ssLeft),
              "");
    }
  }
}

// Exit latency against what the endpoint accepts, as the Linux kernel
// reckons it: on every link of the path the larger exit latency of its two
// ends, plus 1 us for each switch between that link and the endpoint.
void CheckAspmLatency(const Tree &t, Findings &out) {
  for (const auto &[bdf, fn] : t.functions) {
    if (!fn.IsEndpoint() || !fn.HasLink()) {
      continue;
    }
    const uint32_t deviceCap = fn.Pcie(kDeviceCapabilities);
    const uint64_t l1Acceptable = L1AcceptableNs(deviceCap);
    const uint64_t l0sAcceptable = L0sAcceptableNs(deviceCap);
    uint64_t switchNs = 0;
    for (const Link &l : PathUp(t, fn)) {
      const bool l1 = ((l.port->Aspm() | l.device->Aspm()) & AspmL1) != 0;
      const uint64_t l1Ns = std::max(L1ExitNs(l.port->LinkCap()), L1ExitNs(l.device->LinkCap()));
      if (l1 && l1Acceptable != kNoLimit && l1Ns + switchNs > l1Acceptable) {
        out.Add("ASPM-L1-LATENCY", Severity::Warning, {bdf, l.port->bdf, l.device->bdf},
                {Pcie(fn, "Device Capabilities", kDeviceCapabilities), LinkCapValue(*l.port),
                 LinkCapValue(*l.device)},
                fmt::format("L1 exit on link {} - {} takes up to {} ns ({} ns exit, {} ns of "
                            "switches), above the {} ns endpoint {} accepts",
                            Bdf(l.port->bdf), Bdf(l.device->bdf), l1Ns + switchNs, l1Ns, switchNs,
                            l1Acceptable, Bdf(bdf)),
                "PCI Express Base r5.0, 5.4.1, 7.5.3.3 and 7.5.3.6");
      }
      for (const Function *end : {l.port, l.device}) {
        if ((end->Aspm() & AspmL0s) != 0 && l0sAcceptable != kNoLimit &&
            L0sExitNs(end->LinkCap()) > l0sAcceptable) {
          out.Add("ASPM-L0S-LATENCY", Severity::Warning, {bdf, end->bdf},
                  {Pcie(fn, "Device Capabilities", kDeviceCapabilities), LinkCapValue(*end)},
                  fmt::format("L0s exit of {} takes up to {} ns, above the {} ns endpoint {} "
                              "accepts",
                              Bdf(end->bdf), L0sExitNs(end->LinkCap()), l0sAcceptable, Bdf(bdf)),
                  "PCI Express Base r5.0, 5.4.1, 7.5.3.3 and 7.5.3.6");
        }
      }
      switchNs += 1000;
    }
  }
}

// --- L1 PM substates ------------------------------------------------------------

// T_POWER_ON in us from Control 2; nothing for the reserved scale 3.
std::optional<uint64_t> TPowerOnUs(uint32_t control2) {
  static const uint64_t scaleUs[] = {2, 10, 100};
  const uint32_t scale = L1ssCap::TPowerOnScale::Get(control2);
  if (scale > 2) {
    return std::nullopt;
  }
  return L1ssCap::TPowerOnValue::Get(control2) * scaleUs[scale];
}

// LTR_L1.2_THRESHOLD in ns: value times 32^scale; scales above 5 are reserved.
std::optional<uint64_t> ThresholdNs(uint32_t control1) {
  const uint32_t scale = L1ssCap::LtrL12ThresholdScale::Get(control1);
  if (scale > 5) {
    return std::nullopt;
  }
  return uint64_t{L1ssCap::LtrL12ThresholdValue::Get(control1)} << (5 * scale);
}

void CheckL1ssEnables(const Link &l, Findings &out) {
  const uint32_t portCap = l.port->Read(l.port->l1ss + L1ssCap::Capabilities.Offset) & 0xF;
  const uint32_t deviceCap = l.device->Read(l.device->l1ss + L1ssCap::Capabilities.Offset) & 0xF;
  const uint32_t both = l.port->L1ssEnables() | l.device->L1ssEnables();
  const std::vector<RegisterValue> regs = {
      L1ssValue(*l.port, "L1 PM Substates Capabilities", L1ssCap::Capabilities.Offset),
      L1ssValue(*l.port, "L1 PM Substates Control 1", L1ssCap::Control1.Offset),
      L1ssValue(*l.device, "L1 PM Substates Capabilities", L1ssCap::Capabilities.Offset),
      L1ssValue(*l.device, "L1 PM Substates Control 1", L1ssCap::Control1.Offset)};
  if ((both & ~(portCap & deviceCap)) != 0) {
    out.Add("L1SS-UNSUPPORTED", Severity::Error, {l.port->bdf, l.device->bdf}, regs,
            fmt::format("L1 PM substate enables 0x{:x} on link {} - {}, both ends support 0x{:x}",
                        both, Bdf(l.port->bdf), Bdf(l.device->bdf), portCap & deviceCap),
            "PCI Express Base r5.0, 5.5 and 7.8.3");
  }
  if (l.port->L1ssEnables() != l.device->L1ssEnables()) {
    out.Add("L1SS-ONE-END", Severity::Error, {l.port->bdf, l.device->bdf}, regs,
            fmt::format("L1 PM substate enables differ on link {} - {}: 0x{:x} and 0x{:x}",
                        Bdf(l.port->bdf), Bdf(l.device->bdf), l.port->L1ssEnables(),
                        l.device->L1ssEnables()),
            "PCI Express Base r5.0, 5.5 and 7.8.3.3");
  }
}

void CheckL1ssTiming(const Link &l, Findings &out) {
  const uint32_t c2Port = l.port->Read(l.port->l1ss + L1ssCap::Control2.Offset);
  const uint32_t c2Device = l.device->Read(l.device->l1ss + L1ssCap::Control2.Offset);
  const std::vector<RegisterValue> regs = {
      L1ssValue(*l.port, "L1 PM Substates Control 2", L1ssCap::Control2.Offset),
      L1ssValue(*l.device, "L1 PM Substates Control 2", L1ssCap::Control2.Offset)};
  const auto portOn = TPowerOnUs(c2Port);
  const auto deviceOn = TPowerOnUs(c2Device);
  if (!portOn || !deviceOn) {
    out.Add("L1SS-TPOWERON-RESERVED-SCALE", Severity::Error, {l.port->bdf, l.device->bdf}, regs,
            "T_POWER_ON uses the reserved scale 3 on link " + Bdf(l.port->bdf) + " - " +
                Bdf(l.device->bdf),
            "PCI Express Base r5.0, 7.8.3.4");
    return;
  }
  if (*portOn != *deviceOn) {
    out.Add("L1SS-TPOWERON-MISMATCH", Severity::Warning, {l.port->bdf, l.device->bdf}, regs,
            fmt::format("T_POWER_ON differs on link {} - {}: {} us and {} us", Bdf(l.port->bdf),
                        Bdf(l.device->bdf), *portOn, *deviceOn),
            "PCI Express Base r5.0, 5.5 and 7.8.3.4");
  }
  if (*portOn == 0 || *deviceOn == 0) {
    out.Add("L1SS-TPOWERON-ZERO", Severity::Warning, {l.port->bdf, l.device->bdf}, regs,
            "T_POWER_ON is 0 us on link " + Bdf(l.port->bdf) + " - " + Bdf(l.device->bdf) +
                ": the link may be driven before its reference clock and power are back",
            "PCI Express Base r5.0, 5.5 and 7.8.3.4");
  }
  const uint32_t c1Port = l.port->L1ssControl1();
  const uint32_t c1Device = l.device->L1ssControl1();
  const uint32_t cmrtPort = L1ssCap::CommonModeRestoreTime::Get(c1Port);
  const uint32_t cmrtDevice = L1ssCap::CommonModeRestoreTime::Get(c1Device);
  if (cmrtPort != cmrtDevice) {
    out.Add("L1SS-CMRT-MISMATCH", Severity::Info, {l.port->bdf, l.device->bdf},
            {L1ssValue(*l.port, "L1 PM Substates Control 1", L1ssCap::Control1.Offset),
             L1ssValue(*l.device, "L1 PM Substates Control 1", L1ssCap::Control1.Offset)},
            fmt::format("Common_Mode_Restore_Time differs on link {} - {}: {} us and {} us "
                        "(the downstream port's is the one that times the exit)",
                        Bdf(l.port->bdf), Bdf(l.device->bdf), cmrtPort, cmrtDevice),
            "PCI Express Base r5.0, 7.8.3.3");
  }
  const uint64_t wakeNs = (std::max(*portOn, *deviceOn) + cmrtPort) * 1000 + kL12FixedMarginNs;
  for (const Function *end : {l.port, l.device}) {
    if ((end->L1ssEnables() & (L1ssCap::AspmL12::Mask | L1ssCap::PciPmL12::Mask)) == 0) {
      continue;
    }
    const auto threshold = ThresholdNs(end->L1ssControl1());
    if (!threshold || *threshold < wakeNs) {
      out.Add("L1SS-THRESHOLD-LOW", Severity::Warning, {end->bdf},
              {L1ssValue(*end, "L1 PM Substates Control 1", L1ssCap::Control1.Offset)},
              fmt::format("LTR_L1.2_THRESHOLD of {} is {} ns, below the {} ns the link needs to "
                          "wake (T_POWER_ON, Common_Mode_Restore_Time, 2 us T_POWER_OFF, 4 us "
                          "T_L1.2)",
                          Bdf(end->bdf), threshold ? *threshold : 0, wakeNs),
              "PCI Express Base r5.0, 5.5 and 7.8.3.3");
    }
  }
}

void CheckL1ss(const Tree &t, const Input &in, Findings &out) {
  for (const Link &l : Links(t)) {
    if (l.port->l1ss == 0 || l.device->l1ss == 0) {
      continue;
    }
    CheckL1ssEnables(l, out);
    if ((l.port->L1ssEnables() | l.device->L1ssEnables()) != 0) {
      CheckL1ssTiming(l, out);
    }
  }
  // ASPM L1.2 needs LTR messages from the endpoint and every port above it.
  for (const auto &[bdf, fn] : t.functions) {
    if (fn.l1ss == 0 || (fn.L1ssEnables() & L1ssCap::AspmL12::Mask) == 0 || !fn.IsEndpoint()) {
      continue;
    }
    std::vector<uint32_t> off;
    for (const Function *at = &fn; at != nullptr && off.size() <= kMaxDepth;
         at = t.Find(at->upstream)) {
      if (!at->LtrEnabled()) {
        off.push_back(at->bdf);
      }
      if (at->type == PcieDeviceRootComplex) {
        break;
      }
    }
    if (!off.empty()) {
      std::vector<RegisterValue> regs;
      std::string names;
      for (uint32_t b : off) {
        const Function &f = *t.Find(b);
        if (f.HasControl2()) {
          regs.push_back(Pcie(f, "Device Control 2", kDeviceControl2));
        }
        names += (names.empty() ? "" : ", ") + Bdf(b);
      }
      off.insert(off.begin(), bdf);
      out.Add("L1SS-L12-WITHOUT-LTR", Severity::Error, off, regs,
              "ASPM L1.2 enabled on " + Bdf(bdf) + " while LTR Mechanism Enable is clear on " +
                  names,
              "PCI Express Base r5.0, 5.5 and 6.18");
    }
  }
  // Substates and clock PM stop the reference clock through CLKREQ#.
  for (const auto &[bdf, fn] : t.functions) {
    const auto root = in.rootPorts.find(bdf);
    if (!fn.HasLink() || root == in.rootPorts.end() || !root->second.clkReq ||
        *root->second.clkReq) {
      continue;
    }
    const bool clkpm = PcieCap::EnableClockPowerManagement::Get(fn.LinkControl()) != 0;
    if (fn.L1ssEnables() != 0 || clkpm) {
      out.Add("CLKREQ-MISSING", Severity::Error, {bdf}, {LinkControlValue(fn)},
              fmt::format("{} enabled on root port {}, whose engine has no CLKREQ# signal",
                          fn.L1ssEnables() != 0 ? "L1 PM substates" : "clock power management",
                          Bdf(bdf)),
              "PCI Express Base r5.0, 5.5 and 7.5.3.7");
    }
  }
}

// --- Clocks and links -----------------------------------------------------------

void CheckClocks(const Tree &t, Findings &out) {
  for (const Link &l : Links(t)) {
    const uint32_t port = l.port->LinkControl();
    const uint32_t device = l.device->LinkControl();
    const bool cccPort = PcieCap::CommonClockConfiguration::Get(port) != 0;
    const bool cccDevice = PcieCap::CommonClockConfiguration::Get(device) != 0;
    const std::vector<RegisterValue> regs = {LinkControlValue(*l.port), LinkControlValue(*l.device)};
    if (cccPort != cccDevice) {
      out.Add("CLOCK-CCC-ONE-END", Severity::Warning, {l.port->bdf, l.device->bdf}, regs,
              "Common Clock Configuration set on " + Bdf(cccPort ? l.port->bdf : l.device->bdf) +
                  " only",
              "PCI Express Base r5.0, 7.5.3.7");
    }
    const bool slotClock = PcieCap::SlotClockConfiguration::Get(port) != 0 &&
                           PcieCap::SlotClockConfiguration::Get(device) != 0;
    if ((cccPort || cccDevice) && !slotClock) {
      out.Add("CLOCK-CCC-NO-SLOT-CLOCK", Severity::Warning, {l.port->bdf, l.device->bdf}, regs,
              "Common Clock Configuration set on link " + Bdf(l.port->bdf) + " - " +
                  Bdf(l.device->bdf) + " although an end's Slot Clock Configuration is 0",
              "PCI Express Base r5.0, 7.5.3.7 and 7.5.3.8");
    }
  }
  for (const auto &[bdf, fn] : t.functions) {
    if (!fn.HasLink()) {
      continue;
    }
    if (fn.IsDownstreamPort() && PcieCap::LinkTraining::Get(fn.LinkControl()) != 0) {
      out.Add("LINK-TRAINING", Severity::Warning, {bdf}, {LinkControlValue(fn)},
              "Link Training is still set on " + Bdf(bdf), "PCI Express Base r5.0, 7.5.3.8");
    }
    if (PcieCap::EnableClockPowerManagement::Get(fn.LinkControl()) != 0 &&
        PcieCap::ClockPowerManagement::Get(fn.LinkCap()) == 0) {
      out.Add("CLOCK-PM-UNSUPPORTED", Severity::Error, {bdf},
              {LinkCapValue(fn), LinkControlValue(fn)},
              "Enable Clock Power Management set on " + Bdf(bdf) +
                  ", whose Link Capabilities lack Clock Power Management",
              "PCI Express Base r5.0, 7.5.3.6 and 7.5.3.7");
    }
  }
}

// --- LTR --------------------------------------------------------------------------

void CheckLtr(const Tree &t, Findings &out) {
  for (const auto &[bdf, fn] : t.functions) {
    const Function *up = t.Find(fn.upstream);
    if (!fn.LtrEnabled() || up == nullptr || !up->IsPcie() || up->LtrEnabled()) {
      continue;
    }
    std::vector<RegisterValue> regs = {Pcie(fn, "Device Control 2", kDeviceControl2)};
    if (up->HasControl2()) {
      regs.push_back(Pcie(*up, "Device Control 2", kDeviceControl2));
    }
    out.Add("LTR-UPSTREAM-DISABLED", Severity::Error, {bdf, up->bdf}, regs,
            "LTR Mechanism Enable set on " + Bdf(bdf) + " but clear on the port above it, " +
                Bdf(up->bdf),
            "PCI Express Base r5.0, 6.18 and 7.5.3.16");
  }
}

// --- AER and ECRC -----------------------------------------------------------------

void CheckEcrc(const Tree &t, Findings &out) {
  for (const auto &[bdf, fn] : t.functions) {
    if (fn.aer == 0) {
      continue;
    }
    const uint32_t c = fn.Read(fn.aer + AerCap::CapabilitiesControl.Offset);
    const bool genBad = AerCap::EcrcGenerationEnable::Get(c) && !AerCap::EcrcGenerationCapable::Get(c);
    const bool chkBad = AerCap::EcrcCheckEnable::Get(c) && !AerCap::EcrcCheckCapable::Get(c);
    if (genBad || chkBad) {
      out.Add("ECRC-UNSUPPORTED", Severity::Error, {bdf}, {AerControlValue(fn)},
              std::string("ECRC ") + (genBad && chkBad ? "generation and checking" :
                                      genBad           ? "generation" : "checking") +
                  " enabled on " + Bdf(bdf) + " without the capability",
              "PCI Express Base r5.0, 7.8.4.7");
    }
    if (!fn.IsEndpoint() || !AerCap::EcrcCheckEnable::Get(c)) {
      continue;
    }
    // A bridge that can neither generate nor check ECRC is taken as one that
    // does not carry it: the endpoint's check then has nothing to check.
    const Function *up = t.Find(fn.upstream);
    for (unsigned depth = 0; up != nullptr && depth < kMaxDepth; ++depth) {
      const uint32_t uc = up->aer ? up->Read(up->aer + AerCap::CapabilitiesControl.Offset) : 0;
      if (up->aer == 0 || (!AerCap::EcrcGenerationCapable::Get(uc) &&
                           !AerCap::EcrcCheckCapable::Get(uc))) {
        std::vector<RegisterValue> regs = {AerControlValue(fn)};
        if (up->aer != 0) {
          regs.push_back(AerControlValue(*up));
        }
        out.Add("ECRC-CHECK-NOT-FORWARDED", Severity::Warning, {bdf, up->bdf}, regs,
                "ECRC checking enabled on " + Bdf(bdf) + " but " + Bdf(up->bdf) +
                    " above it does not handle ECRC",
                "PCI Express Base r5.0, 7.8.4.7");
        break;
      }
      if (up->type == PcieDeviceRootComplex) {
        break;
      }
      up = t.Find(up->upstream);
    }
  }
}

void CheckAerConsistency(const Tree &t, const Input &in, Findings &out) {
  std::map<uint32_t, std::vector<const Function *>> bySilicon;
  for (const auto &[bdf, fn] : t.functions) {
    if (fn.aer != 0 && fn.IsPcie() && fn.type == PcieDeviceRootComplex) {
      const auto ctx = in.rootPorts.find(bdf);
      bySilicon[ctx == in.rootPorts.end() ? 0 : ctx->second.silicon].push_back(&fn);
    }
  }
  for (const auto &[silicon, ports] : bySilicon) {
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> settings;
    for (const Function *p : ports) {
      settings.insert({p->Read(p->aer + AerCap::UncorrectableErrorMask.Offset),
                       p->Read(p->aer + AerCap::UncorrectableErrorSeverity.Offset),
                       p->Read(p->aer + AerCap::CorrectableErrorMask.Offset)});
    }
    if (settings.size() < 2) {
      continue;
    }
    std::vector<uint32_t> functions;
    std::vector<RegisterValue> regs;
    for (const Function *p : ports) {
      functions.push_back(p->bdf);
      for (const auto &[name, reg] :
           {std::pair{"Uncorrectable Error Mask", AerCap::UncorrectableErrorMask},
            std::pair{"Uncorrectable Error Severity", AerCap::UncorrectableErrorSeverity},
            std::pair{"Correctable Error Mask", AerCap::CorrectableErrorMask}}) {
        const auto offset = static_cast<uint16_t>(p->aer + reg.Offset);
        regs.push_back({p->bdf, name, offset, p->Read(offset)});
      }
    }
    out.Add("AER-ROOT-PORTS-DIFFER", Severity::Info, functions, regs,
            fmt::format("AER masks or severities differ between the {} root ports of silicon {}",
                        ports.size(), Bdf(silicon)),
            "PCI Express Base r5.0, 7.8.4");
  }
}

// --- S3 -----------------------------------------------------------------------------

void CheckResume(const Input &in, Findings &out) {
  for (const ResumeDifference &d : in.resume) {
    out.Add(d.restored ? "S3-RESTORED-DIFFERENTLY" : "S3-NOT-RESTORED", Severity::Error, {}, {},
            fmt::format("{} {}: 0x{:08x} after the pass, 0x{:08x} after S3 resume{}", d.location,
                        d.registerName, d.afterPass, d.afterResume,
                        d.restored ? " (the boot script writes another value)"
                                   : " (the boot script does not restore it)"),
            "");
  }
}

} // namespace

const char *SeverityName(Severity s) {
  switch (s) {
  case Severity::Error:
    return "error";
  case Severity::Warning:
    return "warning";
  case Severity::Info:
    return "info";
  }
  return "?";
}

BlacklistVerdict BlacklistFor(uint32_t upstreamId, uint32_t downstreamId) {
  BlacklistVerdict v;
  for (UINT32 i = 0; i < PcieAspmBlackListRows; ++i) {
    const PcieAspmBlackListRow row = PcieAspmBlackListTable(i);
    if (PcieLinkMatchesRow(row.VendorId, row.DeviceId, downstreamId, upstreamId)) {
      v.aspmRemoved |= ~row.AspmMask & 3u;
      if (v.aspmRow < 0 && (~row.AspmMask & 3u) != 0) {
        v.aspmRow = static_cast<int>(i);
      }
    }
  }
  int index = 0;
  for (const PcieL1SSBlackListRow &row : PcieL1SSBlackListTable) {
    if (row.VendorId == 0xFFFF) {
      break; // end of table
    }
    if (PcieLinkMatchesRow(row.VendorId, row.DeviceId, downstreamId, upstreamId)) {
      v.l1ssRemoved |= (row.DisableL11 ? L1ssCap::AspmL11::Mask | L1ssCap::PciPmL11::Mask : 0u) |
                       (row.DisableL12 ? L1ssCap::AspmL12::Mask | L1ssCap::PciPmL12::Mask : 0u);
      if (v.l1ssRow < 0 && (row.DisableL11 || row.DisableL12)) {
        v.l1ssRow = index;
      }
    }
    ++index;
  }
  return v;
}

namespace {

// A finding rests on the registers it names; one of them read from bytes
// the capture did not hold makes it no finding at all.
const RegisterValue *UnknownRegister(const sim::ConfigSpace &config, const Finding &f) {
  for (const RegisterValue &v : f.registers) {
    const sim::ConfigFunction *fn = config.Find(v.function);
    if (fn != nullptr && !fn->Known(v.offset, 4)) {
      return &v;
    }
  }
  return nullptr;
}

std::string Ranges(const std::vector<std::pair<uint16_t, uint16_t>> &ranges) {
  std::string out;
  for (const auto &[first, end] : ranges) {
    out += fmt::format("{}0x{:03x}-0x{:03x}", out.empty() ? "" : ", ", first, end - 1);
  }
  return out;
}

// What the rules could not look at: bytes not captured, a capture without
// root ports, links with nothing captured below them.
void NotCovered(const Tree &t, std::vector<std::string> &notes) {
  std::vector<std::string> noExtended;
  bool rootPort = false;
  std::set<uint32_t> buses;
  for (const auto &[bdf, fn] : t.functions) {
    buses.insert((bdf >> 20) & 0xFF);
    rootPort |= fn.IsPcie() && fn.type == PcieDeviceRootComplex;
    std::vector<std::pair<uint16_t, uint16_t>> rows;
    for (const auto &range : fn.config->unknown) {
      if (range == std::pair<uint16_t, uint16_t>{0x100, 0x1000}) {
        if (fn.IsPcie()) { // conventional PCI has no extended space to capture
          noExtended.push_back(Bdf(bdf));
        }
      } else {
        rows.push_back(range);
      }
    }
    if (!rows.empty()) {
      notes.push_back(Bdf(bdf) + ": bytes " + Ranges(rows) +
                      " are not in the capture; no rule judges the registers there");
    }
  }
  if (!noExtended.empty()) {
    std::string list;
    for (const std::string &b : noExtended) {
      list += (list.empty() ? "" : " ") + b;
    }
    notes.push_back("extended configuration space not captured (lspci -xxx, not -xxxx) for " +
                    std::to_string(noExtended.size()) + " functions: AER, ECRC, L1 PM "
                    "substates and LTR rules not checked there (" + list + ")");
  }
  if (!t.functions.empty() && !rootPort) {
    notes.push_back("no root port in the capture: the rules that follow a hierarchy from its "
                    "root port (payload sizes, LTR up the path) not checked");
  }
  for (const auto &[bdf, fn] : t.functions) {
    if (fn.IsDownstreamPort() && fn.HasLink() && fn.secondary > ((bdf >> 20) & 0xFF) &&
        buses.count(fn.secondary) == 0 &&
        PcieCap::NegotiatedLinkWidth::Get(static_cast<uint16_t>(fn.LinkControl() >> 16)) != 0) {
      notes.push_back(Bdf(bdf) + ": its link is up but nothing on bus " +
                      fmt::format("{:02x}", fn.secondary) +
                      " was captured: the link's partner is not checked");
    }
  }
}

} // namespace

std::vector<Finding> Run(const Input &in, std::vector<std::string> *notChecked) {
  Findings out;
  if (in.config != nullptr) {
    const Tree t = BuildTree(*in.config);
    CheckPayload(t, in, out);
    CheckAspmSupport(t, out);
    CheckAspmLinks(t, out);
    CheckAspmLatency(t, out);
    CheckL1ss(t, in, out);
    CheckClocks(t, out);
    CheckLtr(t, out);
    CheckEcrc(t, out);
    CheckAerConsistency(t, in, out);
  }
  CheckResume(in, out);
  std::vector<Finding> all = out.Take();
  if (in.config != nullptr) {
    std::vector<std::string> notes;
    std::erase_if(all, [&](const Finding &f) {
      const RegisterValue *unknown = UnknownRegister(*in.config, f);
      if (unknown != nullptr) {
        notes.push_back(fmt::format("{} not judged: it rests on {} {} (+0x{:03x}), which the "
                                    "capture does not hold",
                                    f.id, Bdf(unknown->function), unknown->name, unknown->offset));
      }
      return unknown != nullptr;
    });
    NotCovered(BuildTree(*in.config), notes);
    if (notChecked != nullptr) {
      *notChecked = std::move(notes);
    }
  }
  std::stable_sort(all.begin(), all.end(), [](const Finding &a, const Finding &b) {
    const uint32_t fa = a.functions.empty() ? kNone : a.functions.front();
    const uint32_t fb = b.functions.empty() ? kNone : b.functions.front();
    return std::tie(a.severity, fa) < std::tie(b.severity, fb);
  });
  return all;
}

} // namespace audit
