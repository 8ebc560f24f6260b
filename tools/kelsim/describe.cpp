#include "tools/kelsim/describe.h"

#include <cstdio>
#include <map>
#include <utility>

#include <fmt/compile.h>
#include <fmt/format.h>

namespace kelsim {

namespace {

struct Field {
  const char *name;
  unsigned high;
  unsigned low;
};

struct KnownRegister {
  const char *name;
  std::vector<Field> fields;
};

uint32_t Bits(uint32_t v, unsigned high, unsigned low) {
  return (v >> low) & static_cast<uint32_t>((1ULL << (high - low + 1)) - 1);
}

// PCI Express Base r5.0, 7.5.3: the capability's registers by offset, named
// as setpci addresses them and by the standard, with the fields the driver
// programs. Dword-sized entries cover the following
// status register too, as the driver writes them whole.
const KnownRegister *PcieRegister(uint16_t rel) {
  static const KnownRegister kDevCtl{"CAP_EXP+0x08 Device Control",
                                     {{"MaxPayloadSize", 7, 5},
                                      {"ExtendedTagFieldEnable", 8, 8},
                                      {"MaxReadRequestSize", 14, 12},
                                      {"DeviceStatusErrors", 19, 16}}};
  static const KnownRegister kLinkCtl{"CAP_EXP+0x10 Link Control",
                                      {{"AspmControl", 1, 0},
                                       {"RetrainLink", 5, 5},
                                       {"CommonClockConfiguration", 6, 6},
                                       {"EnableClockPowerManagement", 8, 8},
                                       {"LinkTraining", 27, 27}}};
  static const KnownRegister kSlotCap{"CAP_EXP+0x14 Slot Capabilities",
                                      {{"SlotPowerLimitValue", 14, 7},
                                       {"SlotPowerLimitScale", 16, 15}}};
  static const KnownRegister kDevCtl2{"CAP_EXP+0x28 Device Control 2",
                                      {{"CompletionTimeoutValue", 3, 0},
                                       {"LtrMechanismEnable", 10, 10}}};
  static const KnownRegister kLinkCtl2{"CAP_EXP+0x30 Link Control 2", {{"TargetLinkSpeed", 3, 0}}};
  switch (rel) {
  case 0x08:
    return &kDevCtl;
  case 0x10:
    return &kLinkCtl;
  case 0x14:
    return &kSlotCap;
  case 0x28:
    return &kDevCtl2;
  case 0x30:
    return &kLinkCtl2;
  default:
    return nullptr;
  }
}

const KnownRegister *ExtendedRegister(uint16_t id, uint16_t rel) {
  static const KnownRegister kUncMask{"ECAP_AER+0x08 Uncorrectable Error Mask", {{"Mask", 21, 4}}};
  static const KnownRegister kUncSev{"ECAP_AER+0x0c Uncorrectable Error Severity", {{"Severity", 21, 4}}};
  static const KnownRegister kCorMask{"ECAP_AER+0x14 Correctable Error Mask", {{"Mask", 13, 6}}};
  static const KnownRegister kAerCtl{"ECAP_AER+0x18 Advanced Error Capabilities and Control",
                                     {{"EcrcGenerationEnable", 6, 6}, {"EcrcCheckEnable", 8, 8}}};
  static const KnownRegister kLtr{"ECAP_LTR+0x04 Max Snoop/No-Snoop Latency",
                                  {{"MaxSnoopLatency", 12, 0}, {"MaxNoSnoopLatency", 28, 16}}};
  static const KnownRegister kL1ssCtl1{"ECAP_L1PM+0x08 L1 PM Substates Control 1",
                                       {{"PciPmL12Enable", 0, 0},
                                        {"PciPmL11Enable", 1, 1},
                                        {"AspmL12Enable", 2, 2},
                                        {"AspmL11Enable", 3, 3},
                                        {"CM_RESTORE_TIME", 15, 8},
                                        {"LTR_L12_THRESHOLD_VALUE", 25, 16},
                                        {"LTR_L12_THRESHOLD_SCALE", 31, 29}}};
  static const KnownRegister kL1ssCtl2{"ECAP_L1PM+0x0c L1 PM Substates Control 2",
                                       {{"T_POWER_ON_SCALE", 1, 0}, {"T_POWER_ON_VALUE", 7, 3}}};
  if (id == 0x0001) {
    switch (rel) {
    case 0x08:
      return &kUncMask;
    case 0x0C:
      return &kUncSev;
    case 0x14:
      return &kCorMask;
    case 0x18:
      return &kAerCtl;
    default:
      return nullptr;
    }
  }
  if (id == 0x0018 && rel == 0x04) {
    return &kLtr;
  }
  if (id == 0x001E) {
    return rel == 0x08 ? &kL1ssCtl1 : (rel == 0x0C ? &kL1ssCtl2 : nullptr);
  }
  return nullptr;
}

std::string HeaderName(uint16_t offset, bool bridge) {
  switch (offset & ~3) {
  case 0x00:
    return "VendorDeviceId";
  case 0x04:
    return "Command/Status";
  case 0x0C:
    return "CacheLine/HeaderType";
  case 0x18:
    return bridge ? "BusNumbers" : "BaseAddress2";
  case 0x3C:
    return bridge ? "Interrupt/BridgeControl" : "Interrupt";
  default:
    break;
  }
  return fmt::format(FMT_COMPILE("Header+0x{:02x}"), offset & ~3);
}

struct CapLocation {
  uint16_t id = 0;
  uint16_t start = 0;
  bool extended = false;
};

// The capability structure that contains `offset`, by walking both lists.
std::optional<CapLocation> CapabilityAt(const sim::ConfigFunction &f, uint16_t offset) {
  std::optional<CapLocation> best;
  uint8_t at = (f.data[0x06] & 0x10) ? f.data[0x34] : 0;
  for (int n = 0; n < 48 && at >= 0x40; ++n) {
    if (at <= offset && offset < 0x100 && (!best || at > best->start)) {
      best = CapLocation{f.data[at], at, false};
    }
    at = f.data[at + 1];
  }
  if (offset < 0x100 || f.pcieCap == 0) {
    return best;
  }
  best.reset();
  uint16_t ext = 0x100;
  for (int n = 0; n < 960 && ext >= 0x100 && ext <= 0xFFC; ++n) {
    const uint32_t header = f.Peek(ext, 4);
    if (header == 0 || header == 0xFFFFFFFF) {
      break;
    }
    if (ext <= offset && (!best || ext > best->start)) {
      best = CapLocation{static_cast<uint16_t>(header & 0xFFFF), ext, true};
    }
    ext = static_cast<uint16_t>(header >> 20);
  }
  return best;
}

// setpci's names of the capabilities this driver meets; null for others.
const char *SetpciCapabilityName(uint16_t id, bool extended) {
  if (!extended) {
    switch (id) {
    case 0x01:
      return "CAP_PM";
    case 0x05:
      return "CAP_MSI";
    case 0x10:
      return "CAP_EXP";
    case 0x11:
      return "CAP_MSIX";
    default:
      return nullptr;
    }
  }
  switch (id) {
  case 0x0001:
    return "ECAP_AER";
  case 0x0018:
    return "ECAP_LTR";
  case 0x001E:
    return "ECAP_L1PM";
  default:
    return nullptr;
  }
}

std::vector<FieldChange> Decode(const KnownRegister &reg, uint32_t before, uint32_t after) {
  std::vector<FieldChange> out;
  for (const Field &fld : reg.fields) {
    const uint32_t a = Bits(before, fld.high, fld.low);
    const uint32_t b = Bits(after, fld.high, fld.low);
    if (a != b) {
      out.push_back({fld.name, a, b});
    }
  }
  return out;
}

int PayloadBytes(uint32_t code) { return 128 << code; }

} // namespace

RegisterInfo DescribeConfigWrite(const sim::ConfigFunction *f, uint16_t offset, unsigned bytes,
                                 uint32_t before, uint32_t after) {
  RegisterInfo info;
  if (f == nullptr) {
    info.name = "absent function";
    return info;
  }
  const bool bridge = (f->data[0x0E] & 0x7F) == 1;
  const std::optional<CapLocation> cap = CapabilityAt(*f, offset);
  const uint32_t mask = bytes == 4 ? 0xFFFFFFFFu : ((1u << (8 * bytes)) - 1);
  if (!cap || (!cap->extended && offset < 0x40)) {
    info.name = HeaderName(offset, bridge);
    return info;
  }
  const uint16_t rel = static_cast<uint16_t>(offset - cap->start);
  const KnownRegister *reg =
      cap->extended ? ExtendedRegister(cap->id, rel)
                    : (cap->id == 0x10 ? PcieRegister(rel) : nullptr);
  if (reg == nullptr) {
    // Named as setpci names the register, "CAP_EXP+0x2c", or by the
    // capability's ID when setpci has no name for it.
    const char *setpci = SetpciCapabilityName(cap->id, cap->extended);
    info.name = setpci != nullptr
                    ? fmt::format(FMT_COMPILE("{}+0x{:02x}"), setpci, rel)
                    : fmt::format(FMT_COMPILE("{} 0x{:04x} +0x{:02x}"),
                                  cap->extended ? "ExtCap" : "Cap", cap->id, rel);
    return info;
  }
  info.name = reg->name;
  info.changes = Decode(*reg, before & mask, after & mask);
  return info;
}

std::string DescribeSmn(uint32_t a) {
  char buf[96];
  if (a == 0x03B10528) {
    return "SMU message";
  }
  if (a == 0x03B10564) {
    return "SMU response";
  }
  if (a >= 0x03B10598 && a <= 0x03B105AC) {
    std::snprintf(buf, sizeof buf, "SMU argument %u", (a - 0x03B10598) / 4);
    return buf;
  }
  if (a == 0x13B20004) {
    return "RAS group control";
  }
  if ((a & 0xFFF00000) == 0x13B00000 || (a & 0xFF000000) == 0x14000000 ||
      (a & 0xFFF00000) == 0x15700000 || (a & 0xFFF00000) == 0x13F00000) {
    std::snprintf(buf, sizeof buf, "NBIO RAS register 0x%08x", a);
    return buf;
  }
  const uint32_t block = a & 0xFFFF0000;
  const int core = (a & 0x00F00000) == 0x00100000 ? 0 : ((a & 0x00F00000) == 0x00200000 ? 1 : -1);
  if ((a & 0xFF000000) == 0x11000000 && core >= 0) {
    const uint32_t sub = (a >> 16) & 0xF;
    // Registers the link features name, by sub-block and offset.
    static const std::map<std::pair<uint32_t, uint32_t>, const char *> kNames = {
        {{0x8, 0x040}, "core register 0x40"},
        {{0x8, 0x190}, "CLKREQ# map"},
        {{0x0, 0x158}, "root port Uncorrectable Error Mask"},
        {{0x0, 0x15C}, "root port Uncorrectable Error Severity"},
        {{0x0, 0x164}, "root port Correctable Error Mask"},
        {{0x0, 0x274}, "root port register 0x274 (lower SKP OS)"},
        {{0x0, 0x374}, "root port L1 PM Substates Capabilities"},
        {{0x4, 0x2EC}, "SRIS control"},
        {{0x4, 0x280}, "register 0x280"},
        {{0x4, 0x1A8}, "AER off"},
    };
    const auto named = kNames.find({sub, a & 0xFFF});
    if (named != kNames.end() && sub != 0x8) {
      std::snprintf(buf, sizeof buf, "PCIe core %d port %u %s", core, (a >> 12) & 0xF,
                    named->second);
    } else if (named != kNames.end()) {
      std::snprintf(buf, sizeof buf, "PCIe core %d %s", core, named->second);
    } else if (sub == 0x8) {
      std::snprintf(buf, sizeof buf, "PCIe core %d register 0x%03x", core, a & 0xFFF);
    } else if (sub == 0x0) {
      std::snprintf(buf, sizeof buf, "PCIe core %d port %u register 0x%03x", core,
                    (a >> 12) & 0xF, a & 0xFFF);
    } else if (sub == 0x4 || sub == 0x3 || sub == 0x5) {
      std::snprintf(buf, sizeof buf, "PCIe port block 0x%05x register 0x%03x", a & 0xFFFFF,
                    a & 0xFFF);
    } else {
      std::snprintf(buf, sizeof buf, "PCIe core %d block 0x%08x + 0x%04x", core, block,
                    a & 0xFFFF);
    }
    return buf;
  }
  if (a == 0x0004A348 || a == 0x0004A3C8) {
    std::snprintf(buf, sizeof buf, "PCIe strap index (core %d)", a == 0x0004A348 ? 0 : 1);
    return buf;
  }
  if ((a & 0xFFFFFF00) == 0x0004A300) {
    std::snprintf(buf, sizeof buf, "PCIe strap register 0x%05x", a);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "SMN 0x%08x", a);
  return buf;
}

// PCI Express Base r5.0, 7.5.3.9: value times 1, 0.1, 0.01 or 0.001 W;
// with scale 0, values F0h-F2h stand for 250, 275 and 300 W and larger
// values for more than 300 W.
std::string SlotPowerText(uint32_t value, uint32_t scale) {
  char buf[32];
  if (scale == 0 && value >= 0xF0) {
    if (value <= 0xF2) {
      std::snprintf(buf, sizeof buf, "%u W", 250 + 25 * (value - 0xF0));
    } else {
      std::snprintf(buf, sizeof buf, "over 300 W");
    }
    return buf;
  }
  static const double kScale[] = {1.0, 0.1, 0.01, 0.001};
  std::snprintf(buf, sizeof buf, "%g W", value * kScale[scale]);
  return buf;
}

// PCI Express Base r5.0, 7.8.2.2: value 9:0 times 32^scale (12:10) ns;
// scales above 5 are not permitted.
long long LatencyNs(uint32_t half) {
  const uint32_t scale = (half >> 10) & 7;
  if (scale > 5) {
    return -1;
  }
  return static_cast<long long>(half & 0x3FF) << (5 * scale);
}

std::vector<std::string> UnknownRegisters(const sim::ConfigFunction &f) {
  std::vector<std::string> out;
  if (f.unknown.empty()) {
    return out;
  }
  const uint16_t c = f.pcieCap;
  const std::pair<const char *, uint16_t> shown[] = {
      {"Device Control", 0x08}, {"Link Control", 0x10}, {"Slot Capabilities", 0x14},
      {"Device Control 2", 0x28}};
  for (const auto &[name, offset] : shown) {
    if (c != 0 && !f.Known(static_cast<uint16_t>(c + offset), 4)) {
      out.push_back(fmt::format("{} (+0x{:03x})", name, c + offset));
    }
  }
  if (c != 0 && !f.Known(0x100, 4)) {
    out.push_back("the extended capabilities (AER, LTR, L1 PM Substates)");
  }
  return out;
}

FunctionState Summarize(const sim::ConfigFunction &f) {
  FunctionState s;
  s.vendor = static_cast<uint16_t>(f.Peek(0, 2));
  s.device = static_cast<uint16_t>(f.Peek(2, 2));
  const uint16_t c = f.pcieCap;
  if (c == 0) {
    return s;
  }
  s.portType = static_cast<int>((f.Peek(c + 2, 2) >> 4) & 0xF);
  const uint32_t devctl = f.Peek(c + 8, 2);
  s.mps = PayloadBytes(Bits(devctl, 7, 5));
  s.mrrs = PayloadBytes(Bits(devctl, 14, 12));
  s.extTag = Bits(devctl, 8, 8) != 0;
  // PCI Express Base r5.0, 7.5.3: a root-complex integrated endpoint has no
  // link, and only a version 2 capability has Device Control 2.
  s.hasLink = s.portType != 9;
  s.hasControl2 = (f.Peek(c + 2, 2) & 0xF) >= 2;
  if (s.hasLink) {
    const uint32_t linkctl = f.Peek(c + 0x10, 2);
    s.linkCapabilities = f.Peek(c + 0xC, 4);
    s.linkStatus = static_cast<uint16_t>(f.Peek(c + 0x12, 2));
    s.aspm = static_cast<int>(Bits(linkctl, 1, 0));
    s.ccc = Bits(linkctl, 6, 6) != 0;
    s.clkpm = Bits(linkctl, 8, 8) != 0;
  }
  if (s.hasControl2) {
    s.ltr.enabled = Bits(f.Peek(c + 0x28, 2), 10, 10) != 0;
  }
  if (f.Peek(c + 2, 2) & 0x0100) {
    const uint32_t slot = f.Peek(c + 0x14, 4);
    const uint32_t value = Bits(slot, 14, 7);
    const uint32_t scale = Bits(slot, 16, 15);
    s.slotPower = SlotPowerText(value, scale);
    s.slotPowerLimit = static_cast<int>(value);
  }
  uint16_t ext = 0x100;
  for (int n = 0; n < 960 && ext >= 0x100 && ext <= 0xFFC; ++n) {
    const uint32_t header = f.Peek(ext, 4);
    if (header == 0 || header == 0xFFFFFFFF) {
      break;
    }
    switch (header & 0xFFFF) {
    case 0x0001: {
      const uint32_t ctl = f.Peek(ext + 0x18, 4);
      s.aer = AerState{f.Peek(ext + 0x08, 4), f.Peek(ext + 0x0C, 4), f.Peek(ext + 0x14, 4),
                       Bits(ctl, 6, 6) != 0, Bits(ctl, 8, 8) != 0};
      break;
    }
    case 0x0018:
      s.ltr.maxSnoop = static_cast<int>(f.Peek(ext + 4, 2));
      s.ltr.maxNoSnoop = static_cast<int>(f.Peek(ext + 6, 2));
      s.ltr.maxSnoopNs = LatencyNs(static_cast<uint32_t>(s.ltr.maxSnoop));
      s.ltr.maxNoSnoopNs = LatencyNs(static_cast<uint32_t>(s.ltr.maxNoSnoop));
      break;
    case 0x001E: {
      const uint32_t ctl1 = f.Peek(ext + 8, 4);
      s.l1ss = static_cast<int>(Bits(ctl1, 3, 0));
      s.l1ssSupported = static_cast<int>(Bits(f.Peek(ext + 4, 4), 3, 0));
      static const int kScaleNs[] = {1, 32, 1024, 32768, 1048576, 33554432, 0, 0};
      s.ltr.threshold = static_cast<int>(Bits(ctl1, 25, 16)) * kScaleNs[Bits(ctl1, 31, 29)];
      s.ltr.commonModeRestoreUs = static_cast<int>(Bits(ctl1, 15, 8));
      // 7.8.3.4: T_POWER_ON Scale 2, 10 or 100 us; 3 is reserved.
      static const int kTPowerOnUs[] = {2, 10, 100, 0};
      const uint32_t ctl2 = f.Peek(ext + 0xC, 4);
      s.ltr.tPowerOnUs = static_cast<int>(Bits(ctl2, 7, 3)) * kTPowerOnUs[Bits(ctl2, 1, 0)];
      break;
    }
    default:
      break;
    }
    ext = static_cast<uint16_t>(header >> 20);
  }
  return s;
}

std::string PortTypeName(int type) {
  switch (type) {
  case -1:
    return "conventional PCI";
  case 0:
    return "endpoint";
  case 1:
    return "legacy endpoint";
  case 4:
    return "root port";
  case 5:
    return "switch upstream port";
  case 6:
    return "switch downstream port";
  case 7:
    return "PCIe-to-PCI bridge";
  case 8:
    return "PCI-to-PCIe bridge";
  case 9:
    return "RC-integrated endpoint";
  case 10:
    return "RC event collector";
  default:
    return "type " + std::to_string(type);
  }
}

std::string AspmName(int aspm) {
  static const char *const kNames[] = {"Disabled", "L0s", "L1", "L0s L1"};
  return aspm < 0 ? "-" : kNames[aspm & 3];
}

std::string L1ssName(int bits) {
  if (bits < 0) {
    return "-";
  }
  std::string out;
  const char *const kNames[] = {"PCI-PM_L1.2", "PCI-PM_L1.1", "ASPM_L1.2", "ASPM_L1.1"};
  for (int i = 3; i >= 0; --i) {
    if (bits & (1 << i)) {
      out += (out.empty() ? "" : " ") + std::string(kNames[i]);
    }
  }
  return out.empty() ? "off" : out;
}

std::string L1ssStates(int bits) {
  static const char *const kNames[] = {"PCI-PM_L1.2", "PCI-PM_L1.1", "L1.2", "L1.1"};
  if ((bits & 0xF) == 0xF) {
    return "all";
  }
  std::string out;
  for (const int bit : {3, 2, 1, 0}) {
    if (bits & (1 << bit)) {
      out += (out.empty() ? "" : " ") + std::string(kNames[bit]);
    }
  }
  return out.empty() ? "none" : out;
}

std::string LinkSpeedWidth(uint32_t linkRegister) {
  // PCI Express Base r5.0, 7.5.3.6: Supported Link Speeds Vector positions.
  static const char *const kSpeeds[] = {"unknown", "2.5GT/s", "5GT/s", "8GT/s",
                                        "16GT/s",  "32GT/s",  "64GT/s"};
  const uint32_t speed = Bits(linkRegister, 3, 0);
  return fmt::format("{} x{}", speed < 7 ? kSpeeds[speed] : "unknown", Bits(linkRegister, 9, 4));
}

std::string StateLine(const FunctionState &s) {
  if (s.portType < 0) {
    return "no PCI Express capability";
  }
  auto flag = [](bool on) { return on ? '+' : '-'; };
  // lspci -vvv's words for each register, "; " between registers.
  std::string line = fmt::format("DevCtl: MaxPayload {} bytes, MaxReadReq {} bytes, ExtTag{}",
                                 s.mps, s.mrrs, flag(s.extTag));
  if (s.hasLink) {
    line += fmt::format("; LnkCtl: ASPM {}, CommClk{} ClockPM{}",
                        s.aspm == 0 ? "Disabled" : AspmName(s.aspm) + " Enabled", flag(s.ccc),
                        flag(s.clkpm));
  } else {
    line += "; no link";
  }
  line += s.hasControl2 ? fmt::format("; DevCtl2: LTR{}", flag(s.ltr.enabled)) : "; LTR absent";
  if (s.ltr.maxSnoop >= 0) {
    line += fmt::format("; LTR: Max snoop latency: {}ns, Max no snoop latency: {}ns",
                        s.ltr.maxSnoopNs, s.ltr.maxNoSnoopNs);
  }
  if (s.ltr.threshold >= 0) {
    line += fmt::format("; L1SubCtl1: PCI-PM_L1.2{} PCI-PM_L1.1{} ASPM_L1.2{} ASPM_L1.1{} "
                        "T_CommonMode={}us LTR1.2_Threshold={}ns; L1SubCtl2: T_PwrOn={}us",
                        flag(s.l1ss & 1), flag(s.l1ss & 2), flag(s.l1ss & 4), flag(s.l1ss & 8),
                        s.ltr.commonModeRestoreUs, s.ltr.threshold, s.ltr.tPowerOnUs);
  }
  if (s.aer) {
    line += fmt::format("; AERCap: ECRCGenEn{} ECRCChkEn{}", flag(s.aer->ecrcGeneration),
                        flag(s.aer->ecrcCheck));
  }
  if (!s.slotPower.empty()) {
    line += "; SltCap: PowerLimit " + s.slotPower;
  }
  return line;
}

std::vector<FieldChange> StateDiff(const FunctionState &a, const FunctionState &b) {
  std::vector<FieldChange> d;
  auto add = [&d](const char *name, int from, int to) {
    if (from != to) {
      d.push_back({name, static_cast<uint32_t>(from), static_cast<uint32_t>(to)});
    }
  };
  add("mps", a.mps, b.mps);
  add("mrrs", a.mrrs, b.mrrs);
  add("ext_tag", a.extTag, b.extTag);
  add("aspm", a.aspm, b.aspm);
  add("ccc", a.ccc, b.ccc);
  add("clkpm", a.clkpm, b.clkpm);
  add("l1ss", a.l1ss, b.l1ss);
  add("ltr.enable", a.ltr.enabled, b.ltr.enabled);
  add("ltr.max_snoop", a.ltr.maxSnoop, b.ltr.maxSnoop);
  add("ltr.max_no_snoop", a.ltr.maxNoSnoop, b.ltr.maxNoSnoop);
  add("ltr.threshold_ns", a.ltr.threshold, b.ltr.threshold);
  add("l1ss.t_power_on_us", a.ltr.tPowerOnUs, b.ltr.tPowerOnUs);
  add("l1ss.common_mode_restore_us", a.ltr.commonModeRestoreUs, b.ltr.commonModeRestoreUs);
  add("slot_power_limit", a.slotPowerLimit, b.slotPowerLimit);
  if (a.aer && b.aer) {
    add("aer.uncorrectable_mask", static_cast<int>(a.aer->uncorrectableMask),
        static_cast<int>(b.aer->uncorrectableMask));
    add("aer.uncorrectable_severity", static_cast<int>(a.aer->uncorrectableSeverity),
        static_cast<int>(b.aer->uncorrectableSeverity));
    add("aer.correctable_mask", static_cast<int>(a.aer->correctableMask),
        static_cast<int>(b.aer->correctableMask));
    add("ecrc.generation", a.aer->ecrcGeneration, b.aer->ecrcGeneration);
    add("ecrc.check", a.aer->ecrcCheck, b.aer->ecrcCheck);
  }
  return d;
}

} // namespace kelsim
