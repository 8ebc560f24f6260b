#include "tools/kelsim/run.h"

#include <algorithm>
#include <functional>
#include <cstring>
#include <memory>
#include <set>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "base/driver_state.h"
#include "features/max_cpl_payload.h"
#include "platform/hooks.h"
#include "platform/platform_data.h"
#include "sim/lspci.h"
#include "sim/platform.h"

namespace kelsim {

namespace {

constexpr uint64_t kPcdS3Table = 0x34F;
constexpr uint32_t kMsrMmioConfigBase = 0xC0010058;

// The AER service protocol's interface: two members, the first taking the
// protocol and a 16-byte request.
struct PcieAerRequest {
  uint8_t AerEnable;
  uint8_t PciBus;
  uint8_t PciDevice;
  uint8_t PciFunction;
  uint32_t CorrectableMask;
  uint32_t UncorrectableMask;
  uint32_t UncorrectableSeverity;
};
static_assert(sizeof(PcieAerRequest) == 16);
struct AerServiceProtocol {
  EFI_STATUS(EFIAPI *SetPcieAerFeature)(AerServiceProtocol *This, PcieAerRequest *Request);
  EFI_STATUS(EFIAPI *SetPcieAerFeatureExtended)(AerServiceProtocol *This, ...);
};

// AER port table as the driver hands it to the platform hook: a count,
// then 16 packed rows of 15 bytes.
constexpr size_t kAerRowSize = 15;
constexpr size_t kAerRows = 16;

nlohmann::json gHookEdits;
// With HookEdit's per-call form: the rows of each call, and the calls made.
nlohmann::json gHookCalls;
size_t gHookCallCount = 0;
std::vector<std::string> *gHookNotes = nullptr;

void PutU32(uint8_t *p, uint64_t v) {
  const uint32_t x = static_cast<uint32_t>(v);
  std::memcpy(p, &x, 4);
}

// Applies hook edits to the AER port table the driver hands over.
void ApplyHookEdits(uint8_t *table, const nlohmann::json &edits) {
  for (const auto &edit : edits) {
    if (edit.contains("NumberOfPorts")) {
      table[0] = edit["NumberOfPorts"].is_string()
                     ? static_cast<uint8_t>(std::stoul(edit["NumberOfPorts"].get<std::string>(), nullptr, 0))
                     : edit["NumberOfPorts"].get<uint8_t>();
    }
    if (!edit.contains("Row")) {
      continue;
    }
    auto num = [&edit](const char *k) -> uint64_t {
      const auto &v = edit.at(k);
      return v.is_string() ? std::stoull(v.get<std::string>(), nullptr, 0) : v.get<uint64_t>();
    };
    uint8_t *row = table + 1 + kAerRowSize * std::min<uint64_t>(num("Row"), kAerRows - 1);
    if (edit.contains("AerEnable")) row[0] = static_cast<uint8_t>(num("AerEnable"));
    if (edit.contains("PciDevice")) row[1] = static_cast<uint8_t>(num("PciDevice"));
    if (edit.contains("PciFunction")) row[2] = static_cast<uint8_t>(num("PciFunction"));
    if (edit.contains("CorrectableMask")) PutU32(row + 3, num("CorrectableMask"));
    if (edit.contains("UncorrectableMask")) PutU32(row + 7, num("UncorrectableMask"));
    if (edit.contains("UncorrectableSeverity")) PutU32(row + 11, num("UncorrectableSeverity"));
  }
}

EFI_STATUS EFIAPI HookDispatch(EFI_BOOT_SERVICES *, HOOK_CALLOUT *callout, UINT32 hookId) {
  if (hookId != 0xB0000009 || callout == nullptr || callout->Data == 0) {
    return EFI_UNSUPPORTED;
  }
  const size_t call = gHookCallCount++;
  const bool perCall = !gHookCalls.empty();
  ApplyHookEdits(reinterpret_cast<uint8_t *>(callout->Data),
                 perCall ? gHookCalls[std::min(call, gHookCalls.size() - 1)] : gHookEdits);
  if (gHookNotes != nullptr) {
    gHookNotes->push_back(perCall ? "platform hook edited the AER port table (call " +
                                        std::to_string(call + 1) + ")"
                                  : std::string("platform hook edited the AER port table"));
  }
  return EFI_SUCCESS;
}

// A board's hook table: hook functions take no context, so each entry has
// its own function reading its slot.
std::vector<HookTableEntry> gBoardHooks;
HookEntry gBoardEntries[kMaxHookTableEntries + 1];
HookTable gBoardTable;

template <size_t Slot> UINT32 BoardHook(UINT32 hookId, UINT64, VOID *data) {
  const HookTableEntry &entry = gBoardHooks.at(Slot);
  if (hookId == 0xB0000009 && data != nullptr) {
    ApplyHookEdits(static_cast<uint8_t *>(data), entry.edits);
  }
  if (gHookNotes != nullptr) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "board hook table entry %zu (id 0x%08x) returned %u", Slot,
                  entry.hookId, entry.result);
    gHookNotes->push_back(buf);
  }
  return entry.result;
}

constexpr HookFunction kBoardHooks[kMaxHookTableEntries] = {BoardHook<0>, BoardHook<1>,
                                                           BoardHook<2>, BoardHook<3>};

void InstallBoardHookTable(const std::vector<HookTableEntry> &entries) {
  gBoardHooks = entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    gBoardEntries[i] = {entries[i].hookId, 0, kBoardHooks[i]};
  }
  gBoardEntries[entries.size()] = {HookIdEndOfList, 0, nullptr};
  gBoardTable = {HookTableSignature, HookTableVersion, {}, gBoardEntries};
  gVtrHookTable = &gBoardTable;
}

VTR_HOOK_PROTOCOL gHookProtocol = {HookDispatch};

uint64_t Num(const nlohmann::json &o, const char *k, uint64_t fallback = 0) {
  if (!o.contains(k)) {
    return fallback;
  }
  const auto &v = o.at(k);
  return v.is_string() ? std::stoull(v.get<std::string>(), nullptr, 0) : v.get<uint64_t>();
}

void CallAerService(sim::Platform &p, const nlohmann::json &request, std::vector<std::string> &notes) {
  const auto interfaces = p.firmware.Interfaces(gNbioPcieAerProtocolGuid);
  if (interfaces.empty()) {
    notes.push_back("AerService: the driver has not installed its AER service protocol");
    return;
  }
  auto *aer = static_cast<AerServiceProtocol *>(interfaces.front());
  PcieAerRequest r{static_cast<uint8_t>(Num(request, "AerEnable", 1)),
                   static_cast<uint8_t>(Num(request, "PciBus")),
                   static_cast<uint8_t>(Num(request, "PciDevice")),
                   static_cast<uint8_t>(Num(request, "PciFunction")),
                   static_cast<uint32_t>(Num(request, "CorrectableMask")),
                   static_cast<uint32_t>(Num(request, "UncorrectableMask")),
                   static_cast<uint32_t>(Num(request, "UncorrectableSeverity"))};
  const EFI_STATUS status = aer->SetPcieAerFeature(aer, &r);
  char buf[96];
  std::snprintf(buf, sizeof buf, "AerService %02x:%02x.%x returned 0x%llx", r.PciBus, r.PciDevice,
                r.PciFunction, static_cast<unsigned long long>(status));
  notes.push_back(buf);
}

// The extended member, called with the instance alone: this driver defines
// no further arguments.
void CallAerServiceExtended(sim::Platform &p, std::vector<std::string> &notes) {
  const auto interfaces = p.firmware.Interfaces(gNbioPcieAerProtocolGuid);
  if (interfaces.empty()) {
    notes.push_back("AerServiceExtended: the driver has not installed its AER service protocol");
    return;
  }
  auto *aer = static_cast<AerServiceProtocol *>(interfaces.front());
  const EFI_STATUS status = aer->SetPcieAerFeatureExtended(aer);
  notes.push_back(fmt::format("AerServiceExtended returned 0x{:x}", status));
}

// Overwrites one byte of the shared private S3 table, as another driver
// that shares it might.
void CorruptS3Table(sim::Platform &p, const nlohmann::json &c, std::vector<std::string> &notes) {
  const uint64_t table = p.pcd.count(kPcdS3Table) ? p.pcd.at(kPcdS3Table) : 0;
  if (table == 0 || p.firmware.Allocations().count(reinterpret_cast<void *>(table)) == 0) {
    notes.push_back("CorruptS3Table: there is no private S3 table");
    return;
  }
  reinterpret_cast<uint8_t *>(table)[Num(c, "Offset")] = static_cast<uint8_t>(Num(c, "Value"));
  char buf[80];
  std::snprintf(buf, sizeof buf, "private S3 table byte 0x%llx set to 0x%02llx",
                static_cast<unsigned long long>(Num(c, "Offset")),
                static_cast<unsigned long long>(Num(c, "Value")));
  notes.push_back(buf);
}

using Snapshot = std::map<uint32_t, std::array<uint8_t, 4096>>;
using SmnSnapshot = std::map<uint32_t, std::map<uint32_t, uint32_t>>;

Snapshot TakeConfig(const sim::ConfigSpace &space) {
  Snapshot s;
  for (const auto &[bdf, f] : space.Functions()) {
    s[bdf] = f.data;
  }
  return s;
}

SmnSnapshot TakeSmn(const sim::Platform &p) {
  SmnSnapshot s;
  for (const auto &[hb, nbio] : p.Silicons()) {
    s[hb] = nbio->Registers();
  }
  return s;
}

bool IsMailbox(uint32_t smn) {
  return smn == 0x03B10528 || smn == 0x03B10564 || (smn >= 0x03B10598 && smn <= 0x03B105AC) ||
         smn == 0x13B20004;
}

// Formatted into a stack buffer: a run names every write's register, and
// "00:01.1 +0x004" fits a string's own storage, so no allocation is made.
std::string CfgLocation(uint32_t bdf, uint16_t offset) {
  char buf[32];
  char *end = fmt::format_to(buf, FMT_COMPILE("{:02x}:{:02x}.{:x} +0x{:03x}"), (bdf >> 20) & 0xFF,
                                   (bdf >> 15) & 0x1F, (bdf >> 12) & 7, offset);
  return std::string(buf, end);
}

std::string SmnLocation(uint32_t hb, uint32_t smn) {
  char buf[48];
  char *end = fmt::format_to(buf, FMT_COMPILE("smn [{:02x}:{:02x}.{:x}] 0x{:08x}"), (hb >> 20) & 0xFF,
                                   (hb >> 15) & 0x1F, (hb >> 12) & 7, smn);
  return std::string(buf, end);
}

// The private S3 table's entries by type: each argument's offset and width
// in bytes, and the entry's size.
struct TableLayout {
  size_t size;
  size_t arguments;
  std::pair<uint8_t, uint8_t> fields[6];
};
constexpr TableLayout kTableLayouts[] = {
    {24, 3, {{4, 4}, {8, 8}, {16, 8}}},                            // 0
    {32, 4, {{4, 4}, {8, 8}, {16, 8}, {24, 8}}},                   // 1
    {40, 5, {{4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}}},          // 2
    {24, 3, {{4, 4}, {8, 8}, {16, 8}}},                            // 3
    {32, 4, {{4, 4}, {8, 8}, {16, 8}, {24, 8}}},                   // 4
    {40, 5, {{4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}}},          // 5
    {32, 4, {{4, 4}, {8, 2}, {16, 8}, {24, 8}}},                   // 6
    {40, 5, {{4, 4}, {8, 2}, {16, 8}, {24, 8}, {32, 8}}},          // 7
    {48, 6, {{4, 4}, {8, 2}, {16, 8}, {24, 8}, {32, 8}, {40, 8}}}, // 8
    {24, 2, {{8, 8}, {16, 8}}},                                    // 9
};

std::vector<TableEntry> DecodeTable(const uint8_t *t) {
  std::vector<TableEntry> out;
  uint64_t used = 0;
  std::memcpy(&used, t + 0x28, 8);
  used = std::min<uint64_t>(used, 0x4000);
  for (uint64_t at = 0x30; at + 2 <= used;) {
    uint16_t type = 0;
    std::memcpy(&type, t + at, 2);
    if (type >= std::size(kTableLayouts) || at + kTableLayouts[type].size > used) {
      break;
    }
    const TableLayout &layout = kTableLayouts[type];
    TableEntry e{type, std::vector<uint64_t>(layout.arguments)};
    for (size_t i = 0; i < layout.arguments; ++i) {
      std::memcpy(&e.arguments[i], t + at + layout.fields[i].first, layout.fields[i].second);
    }
    out.push_back(std::move(e));
    at += layout.size;
  }
  return out;
}

std::string DecodeTarget(uint64_t address, uint64_t windowBase) {
  if (address >= windowBase && address < windowBase + 0x10000000) {
    const uint32_t pci = static_cast<uint32_t>(address - windowBase);
    return CfgLocation(pci & 0x0FFFF000, pci & 0xFFF);
  }
  return "";
}

// The platform as it stood before the pass, with the script written into it
// through the configuration window and the SMN pairs, as a resume does.
class ResumeReplay {
public:
  ResumeReplay(const sim::Platform &p, const Snapshot &cfg, const SmnSnapshot &smn,
               const SmnSnapshot &indirect)
      : smn_(smn), indirect_(indirect) {
    for (const auto &[bdf, f] : p.config.Functions()) {
      // The registers and their write behaviour come from the pass's function;
      // training, removal and fault state start as a fresh function's.
      sim::ConfigFunction copy{.data = cfg.count(bdf) ? cfg.at(bdf) : f.data,
                               .writable = f.writable,
                               .clearOnOne = f.clearOnOne,
                               .pcieCap = f.pcieCap,
                               .linkTrainingReads = f.linkTrainingReads};
      if (p.Silicons().count(bdf) != 0) {
        auto &regs = smn_[bdf];
        copy.pairs.push_back({0xB8,
                              [&regs](uint32_t i) { return regs.count(i) ? regs.at(i) : 0u; },
                              [&regs](uint32_t i, uint32_t v) { regs[i] = v; }});
        hostBridges_.insert(bdf);
      }
      if (p.RootPortIndirectFiles().count(bdf) != 0) {
        auto &regs = indirect_[bdf];
        copy.pairs.push_back({0xE0,
                              [&regs](uint32_t i) { return regs.count(i) ? regs.at(i) : 0u; },
                              [&regs](uint32_t i, uint32_t v) { regs[i] = v; }});
      }
      space_.Add(bdf, std::move(copy));
    }
  }

  // Returns false when the address is outside the configuration window.
  bool Write(uint64_t address, unsigned bytes, uint64_t value, uint64_t windowBase,
             std::set<std::pair<uint32_t, uint16_t>> &cfgTouched,
             std::set<std::pair<uint32_t, uint32_t>> &smnTouched) {
    if (address < windowBase || address + bytes > windowBase + 0x10000000) {
      return false;
    }
    const uint32_t pci = static_cast<uint32_t>(address - windowBase);
    const uint32_t bdf = pci & 0x0FFFF000;
    const uint16_t offset = pci & 0xFFF;
    if (hostBridges_.count(bdf) && offset >= 0xBC && offset < 0xC0) {
      const uint32_t index = space_.Read(bdf | 0xB8, 4);
      smnTouched.insert({bdf, index});
    } else if (indirect_.count(bdf) && offset >= 0xE4 && offset < 0xE8) {
      indirectTouched_.insert({bdf, space_.Read(bdf | 0xE0, 4)});
    } else {
      cfgTouched.insert({bdf, static_cast<uint16_t>(offset & ~3)});
    }
    if (bytes == 8) {
      space_.Write(pci, 4, static_cast<uint32_t>(value));
      space_.Write(pci + 4, 4, static_cast<uint32_t>(value >> 32));
    } else {
      space_.Write(pci, bytes, static_cast<uint32_t>(value));
    }
    return true;
  }

  // Link training that a retrain started has long finished by the time the
  // resumed system runs.
  void Settle() {
    for (auto &[bdf, f] : space_.Functions()) {
      if (f.trainingLeft > 0 && f.pcieCap != 0) {
        f.Poke(f.pcieCap + 0x12, 2, f.Peek(f.pcieCap + 0x12, 2) & ~0x0800u);
        f.trainingLeft = 0;
      }
    }
  }

  const sim::ConfigFunction *Function(uint32_t bdf) const { return space_.Find(bdf); }
  const sim::ConfigSpace &Space() const { return space_; }
  const SmnSnapshot &Smn() const { return smn_; }
  const SmnSnapshot &Indirect() const { return indirect_; }
  const std::set<std::pair<uint32_t, uint32_t>> &IndirectTouched() const { return indirectTouched_; }
  bool IsHostBridge(uint32_t bdf) const { return hostBridges_.count(bdf) != 0; }
  // The index/data window of a host bridge or a root port's indirect pair.
  bool IsWindow(uint32_t bdf, uint16_t offset) const {
    return (IsHostBridge(bdf) && offset >= 0xB8 && offset < 0xC0) ||
           (indirect_.count(bdf) != 0 && offset >= 0xE0 && offset < 0xE8);
  }

private:
  sim::ConfigSpace space_;
  SmnSnapshot smn_;
  SmnSnapshot indirect_;
  std::set<std::pair<uint32_t, uint32_t>> indirectTouched_;
  std::set<uint32_t> hostBridges_;
};

// Register files behind index/data pairs: every register the pass or the
// replay holds, compared after the pass and after the replay.
void CompareFiles(const std::map<uint32_t, std::map<uint32_t, uint32_t>> &after,
                  const SmnSnapshot &before, const SmnSnapshot &replayed,
                  const std::set<std::pair<uint32_t, uint32_t>> &touched,
                  std::string (*location)(uint32_t, uint32_t), std::string (*describe)(uint32_t),
                  S3Resume &r) {
  for (const auto &[owner, regs] : after) {
    std::set<uint32_t> addresses;
    for (const auto &[a, v] : regs) addresses.insert(a);
    if (before.count(owner)) {
      for (const auto &[a, v] : before.at(owner)) addresses.insert(a);
    }
    const auto &rep = replayed.count(owner) ? replayed.at(owner) : std::map<uint32_t, uint32_t>{};
    for (const uint32_t a : addresses) {
      if (IsMailbox(a) && describe == DescribeSmn) {
        continue; // commands to the SMU and the RAS unit, not state to restore
      }
      const uint32_t b = before.count(owner) && before.at(owner).count(a) ? before.at(owner).at(a) : 0;
      const uint32_t now = regs.count(a) ? regs.at(a) : 0;
      const uint32_t x = rep.count(a) ? rep.at(a) : 0;
      if (x == now) {
        continue;
      }
      ResumeFinding finding{location(owner, a), describe(a), b, now, x, {}};
      if (touched.count({owner, a})) {
        r.differing.push_back(finding);
      } else if (now != b) {
        r.notRestored.push_back(finding);
      }
    }
  }
}

std::string IndirectLocation(uint32_t port, uint32_t index) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s indirect 0x%02x", sim::BdfText(port).c_str(), index);
  return buf;
}
std::string IndirectName(uint32_t) { return "RP_INDIRECT"; }

// `resumed` sees the configuration space as the replay left it.
S3Resume CheckResume(const sim::Platform &p, const Snapshot &cfgBefore, const SmnSnapshot &smnBefore,
                     const SmnSnapshot &indirectBefore, const std::vector<ScriptWrite> &script,
                     uint64_t windowBase,
                     const std::function<void(const sim::ConfigSpace &)> &resumed) {
  S3Resume r;
  ResumeReplay replay(p, cfgBefore, smnBefore, indirectBefore);
  std::set<std::pair<uint32_t, uint16_t>> cfgTouched;
  std::set<std::pair<uint32_t, uint32_t>> smnTouched;
  for (const ScriptWrite &w : script) {
    if (replay.Write(w.address, w.width, w.value, windowBase, cfgTouched, smnTouched)) {
      ++r.replayedWrites;
    } else {
      char buf[96];
      std::snprintf(buf, sizeof buf, "write at 0x%llx is outside the configuration window",
                    static_cast<unsigned long long>(w.address));
      r.notes.push_back(buf);
    }
  }
  replay.Settle();
  resumed(replay.Space());
  for (const auto &[bdf, f] : p.config.Functions()) {
    const sim::ConfigFunction *replayed = replay.Function(bdf);
    if (replayed != nullptr && replayed->data == f.data) {
      continue; // the resume left this function exactly as the pass did
    }
    const auto &before = cfgBefore.count(bdf) ? cfgBefore.at(bdf) : f.data;
    for (uint16_t offset = 0; offset < 4096; offset += 4) {
      constexpr uint16_t kBlock = 64;
      if (offset % kBlock == 0 && replayed != nullptr &&
          std::memcmp(f.data.data() + offset, replayed->data.data() + offset, kBlock) == 0) {
        offset += kBlock - 4; // the resume left this block as the pass did
        continue;
      }
      uint32_t a = 0;
      uint32_t x = 0xFFFFFFFF;
      std::memcpy(&a, f.data.data() + offset, 4);
      if (replayed != nullptr) {
        std::memcpy(&x, replayed->data.data() + offset, 4);
      }
      if (x == a || replay.IsWindow(bdf, offset)) {
        continue; // index/data pairs are windows, compared register by register below
      }
      uint32_t b = 0;
      std::memcpy(&b, before.data() + offset, 4);
      const bool touched = cfgTouched.count({bdf, offset}) != 0;
      if (!touched && a == b) {
        continue;
      }
      const RegisterInfo info = DescribeConfigWrite(&f, offset, 4, x, a);
      ResumeFinding finding{CfgLocation(bdf, offset), info.name, b, a, x, info.changes};
      (touched ? r.differing : r.notRestored).push_back(std::move(finding));
    }
  }
  std::map<uint32_t, std::map<uint32_t, uint32_t>> smnAfter;
  for (const auto &[hb, nbio] : p.Silicons()) {
    smnAfter[hb] = nbio->Registers();
  }
  CompareFiles(smnAfter, smnBefore, replay.Smn(), smnTouched, SmnLocation, DescribeSmn, r);
  CompareFiles(p.RootPortIndirectFiles(), indirectBefore, replay.Indirect(),
               replay.IndirectTouched(), IndirectLocation, IndirectName, r);
  return r;
}

std::vector<Link> Links(const sim::Platform &p, const sim::BuiltTopology &topology) {
  std::vector<Link> links;
  const auto &bytes = topology.bytes;
  for (size_t s = 0; s < topology.siliconOffsets.size(); ++s) {
    for (size_t off : topology.engineOffsets[s]) {
      uint32_t port = 0;
      std::memcpy(&port, bytes.data() + off + 30, 4);
      if ((bytes[off + 3] & 0x10) != 0 && p.config.Find(port) != nullptr) {
        links.push_back({"silicon " + std::to_string(s), port & 0x0FFFF000});
      }
    }
  }
  for (const auto &[bdf, f] : p.config.Functions()) {
    if ((f.data[0x0E] & 0x7F) != 1 || f.data[0x19] == 0 || f.data[0x19] <= ((bdf >> 20) & 0xFF)) {
      continue;
    }
    for (const auto &[child, cf] : p.config.Functions()) {
      if (((child >> 20) & 0xFF) == f.data[0x19]) {
        links.push_back({sim::BdfText(bdf), child});
      }
    }
  }
  return links;
}

} // namespace

namespace {

// The topology the producer published; the built one when the platform has
// no producer (the engine view still shows what the board would have said).
std::span<const uint8_t> PublishedTopology(sim::Platform &p, const sim::BuiltTopology &topology) {
  return p.TopologyBytes().empty() ? std::span<const uint8_t>(topology.bytes) : p.TopologyBytes();
}

// What a scenario leaves out of the audit besides the bytes its captures
// lack: whole PCI domains; and whether there was anything to judge.
void AddScenarioGaps(const Scenario &scenario, const sim::Platform &p, RunResult &result) {
  for (const auto &[domain, functions] : scenario.leftOutDomains) {
    result.auditNotChecked.push_back(fmt::format(
        "PCI domain {:04x} ({} functions): the platform has one configuration segment",
        domain, functions));
  }
  result.auditHadSomethingToCheck = std::any_of(
      p.config.Functions().begin(), p.config.Functions().end(),
      [](const auto &entry) { return entry.second.pcieCap != 0; });
}

// What the topology tells the audit about each root port: its silicon, its
// CLKREQ# signal and the completion payload its NBIO register limits.
std::map<uint32_t, audit::RootPortContext> RootPortContexts(const sim::Platform &p,
                                                            const sim::BuiltTopology &topology,
                                                            const std::vector<EngineReport> &engines,
                                                            const std::set<uint32_t> &clkReqUnknown) {
  std::map<uint32_t, audit::RootPortContext> ports;
  size_t n = 0;
  for (const auto &offsets : topology.engineOffsets) {
    for (const size_t off : offsets) {
      const EngineReport &e = engines.at(n++);
      audit::RootPortContext c{e.silicon, std::nullopt, std::nullopt};
      if (clkReqUnknown.count(e.port & 0x0FFFF000) == 0) {
        c.clkReq = e.clkReq != 0;
      }
      const auto *engine = reinterpret_cast<const EngineDescriptor *>(topology.bytes.data() + off);
      const auto nbio = p.Silicons().find(e.silicon);
      if (nbio != p.Silicons().end()) {
        const uint32_t v = nbio->second->Peek(PciePsmnAddress(engine));
        if (PsmnLimitEnable::Get(v) != 0) {
          c.completionPayload = 128u << PsmnMaxPayload::Get(v);
        }
      }
      ports[e.port & 0x0FFFF000] = c;
    }
  }
  return ports;
}

std::vector<audit::ResumeDifference> ResumeDifferences(const S3Resume &resume) {
  std::vector<audit::ResumeDifference> out;
  for (const ResumeFinding &f : resume.notRestored) {
    out.push_back({f.location, f.registerName, static_cast<uint32_t>(f.after),
                   static_cast<uint32_t>(f.replayed), false});
  }
  for (const ResumeFinding &f : resume.differing) {
    out.push_back({f.location, f.registerName, static_cast<uint32_t>(f.after),
                   static_cast<uint32_t>(f.replayed), true});
  }
  return out;
}

// Strap and indirect data writes go by what the feature view decoded them
// to, keyed by their event.
std::map<size_t, std::string> DecodedWrites(const FeatureView &features) {
  std::map<size_t, std::string> decoded;
  for (const StrapWrite &s : features.straps) {
    decoded[s.event] = "PCIe strap data: " + StrapText(s);
  }
  for (const IndirectWrite &w : features.indirect) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "RP_INDIRECT_DATA[0x%02x]", w.index);
    decoded[w.event] = buf;
  }
  return decoded;
}

void NameWrite(const sim::Platform &p, const sim::Event &e, const std::string *decoded,
               WriteRecord &w) {
  if (e.kind == sim::EventKind::CfgWrite) {
    const uint32_t bdf = static_cast<uint32_t>(e.address) & 0x0FFFF000;
    const uint32_t offset = e.address & 0xFFF;
    w.target = CfgLocation(bdf, offset);
    if (p.Silicons().count(bdf) != 0 && offset >= 0xB8 && offset < 0xC0) {
      w.registerName = offset < 0xBC ? "SMN_INDEX" : "SMN_DATA";
      return;
    }
    RegisterInfo info = DescribeConfigWrite(p.config.Find(bdf), offset, e.width,
                                            static_cast<uint32_t>(e.before),
                                            static_cast<uint32_t>(e.value));
    w.registerName = decoded != nullptr ? *decoded : std::move(info.name);
    w.changes = std::move(info.changes);
  } else if (e.kind == sim::EventKind::SmnWrite) {
    w.target = SmnLocation(e.silicon, static_cast<uint32_t>(e.address));
    w.registerName = decoded != nullptr ? *decoded : DescribeSmn(static_cast<uint32_t>(e.address));
    for (unsigned bit = 0; bit < 32; ++bit) {
      const uint32_t was = (e.before >> bit) & 1;
      const uint32_t now = (e.value >> bit) & 1;
      if (was != now) {
        w.changes.push_back({"bit " + std::to_string(bit), was, now});
      }
    }
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "port 0x%02llx", static_cast<unsigned long long>(e.address));
    w.target = buf;
  }
}

// Every configuration, SMN and I/O write in order; named only when a report
// will show the names, as naming is most of what this costs.
std::vector<WriteRecord> Writes(const sim::Platform &p, const sim::Log &log,
                                const FeatureView &features, bool named) {
  const std::span<const sim::Event> events = log.Events();
  const auto isWrite = [](const sim::Event &e) {
    return e.kind == sim::EventKind::CfgWrite || e.kind == sim::EventKind::SmnWrite ||
           e.kind == sim::EventKind::IoWrite;
  };
  const std::map<size_t, std::string> decoded = named ? DecodedWrites(features)
                                                      : std::map<size_t, std::string>{};
  // Sized at once rather than grown by doubling: the large platform makes
  // some 26,000 writes.
  std::vector<WriteRecord> writes;
  writes.reserve(static_cast<size_t>(std::count_if(events.begin(), events.end(), isWrite)));
  for (size_t n = 0; n < events.size(); ++n) {
    const sim::Event &e = events[n];
    if (!isWrite(e)) {
      continue;
    }
    WriteRecord w;
    w.kind = e.kind == sim::EventKind::CfgWrite   ? "cfg"
             : e.kind == sim::EventKind::SmnWrite ? "smn"
                                                  : "io";
    w.address = e.address;
    w.width = e.width;
    w.value = e.value;
    w.before = e.before;
    w.silicon = e.silicon;
    if (named) {
      const auto d = decoded.find(n);
      NameWrite(p, e, d == decoded.end() ? nullptr : &d->second, w);
    }
    writes.push_back(std::move(w));
  }
  return writes;
}

} // namespace

RunResult Run(const Scenario &scenario, const RunOptions &options) {
  RunResult result;
  result.name = scenario.name;
  result.warnings = scenario.warnings;
  if (scenario.fromCapture) {
    result.notes.push_back(
        "engines derived from the captured root ports (see engines): PortPmOptions, ClkReqMap "
        "and PortControl 0, so no L1 substates, clock PM or LTR are requested; MaxPayloadSize 5; "
        "PortAspm as Link Capabilities support; the CLKREQ# wiring is unknown unless --port "
        "bb:dd.f:ClkReqMap=N gives it; --port sets any engine field");
  }
  sim::Platform p(scenario.modules);
  if (!scenario.failPoolAllocations.empty()) {
    // The driver's allocations counted from 1, in the order it makes them.
    auto count = std::make_shared<uint64_t>(0);
    const std::set<uint64_t> failing(scenario.failPoolAllocations.begin(),
                                     scenario.failPoolAllocations.end());
    p.firmware.failAllocation = [count, failing](EFI_MEMORY_TYPE, size_t) {
      return failing.count(++*count) != 0;
    };
  }
  const sim::BuiltTopology topology = BuildPlatform(scenario, p);
  for (const PcdSetting &s : PcdSettings()) {
    SettingUsed used{s.token, std::nullopt, scenario.pcdDefaulted.count(s.token) != 0, s.meaning};
    if (p.pcd.count(s.token) != 0) {
      used.value = p.pcd.at(s.token);
    }
    result.settings.push_back(used);
  }
  if (!options.pass) {
    // The platform as it stands, without the driver: the state its own
    // firmware or operating system left.
    result.passRan = false;
    result.features.engines = ViewEngines(topology, PublishedTopology(p, topology));
    if (options.details) {
      for (const auto &[bdf, f] : p.config.Functions()) {
        result.devices.push_back({bdf, Summarize(f), Summarize(f), {}, UnknownRegisters(f)});
      }
      result.links = Links(p, topology);
    }
    if (options.audit) {
      result.audit = audit::Run(
          {&p.config, RootPortContexts(p, topology, result.features.engines, scenario.clkReqUnknown), {}},
          &result.auditNotChecked);
      AddScenarioGaps(scenario, p, result);
    }
    return result;
  }
  gHookEdits = nlohmann::json::array();
  gHookCalls = nlohmann::json::array();
  gHookCallCount = 0;
  gHookNotes = &result.notes;
  bool hookInstalled = false;
  try {
    p.LoadDriver();
    if (scenario.platformData) {
      gPlatformData = *scenario.platformData;
    }
    if (scenario.hookTable) {
      InstallBoardHookTable(*scenario.hookTable);
    }
    const Snapshot cfgBefore = TakeConfig(p.config);
    const SmnSnapshot smnBefore = TakeSmn(p);
    const SmnSnapshot indirectBefore = p.RootPortIndirectFiles();
    std::map<uint32_t, FunctionState> statesBefore;
    if (options.details) {
      for (const auto &[bdf, f] : p.config.Functions()) {
        statesBefore[bdf] = Summarize(f);
      }
    }
    for (const PlatformEvent &e : scenario.events) {
      switch (e.kind) {
      case EventKind::PciIoInstall: {
        const size_t start = p.log.Events().size();
        p.InstallPciIo();
        if (options.details && result.accesses.empty()) {
          std::set<uint32_t> hostBridges;
          for (const auto &[bdf, nbio] : p.Silicons()) {
            hostBridges.insert(bdf);
          }
          result.accesses =
              sim::CountAccessesPerStep(p.log.Events(), start, p.log.Events().size(), hostBridges);
        }
        break;
      }
      case EventKind::SmmReadyToLock:
        p.InstallSmmReadyToLock();
        break;
      case EventKind::ReadyToBoot:
        p.SignalReadyToBoot();
        break;
      case EventKind::AerService:
        CallAerService(p, e.payload, result.notes);
        break;
      case EventKind::AerServiceExtended:
        CallAerServiceExtended(p, result.notes);
        break;
      case EventKind::CorruptS3Table:
        CorruptS3Table(p, e.payload, result.notes);
        break;
      case EventKind::HookEdit:
        for (const auto &edit : e.payload) {
          (edit.is_array() ? gHookCalls : gHookEdits).push_back(edit);
        }
        if (!hookInstalled) {
          p.firmware.InstallProtocol(gVtrHookProtocolGuid, &gHookProtocol);
          hookInstalled = true;
        }
        break;
      }
      result.notes.push_back("event " + EventName(e.kind));
    }
    const std::span<const uint8_t> published = PublishedTopology(p, topology);
    if (options.details) {
      result.features = ViewFeatures(p, topology, published);
      for (const auto &[bdf, f] : p.config.Functions()) {
        DeviceReport d{bdf, statesBefore[bdf], Summarize(f), {}, UnknownRegisters(f)};
        d.diff = StateDiff(d.before, d.after);
        result.devices.push_back(std::move(d));
      }
    } else {
      result.features.engines = ViewEngines(topology, published);
    }
    const uint64_t msr = p.cpu.msrs.count(kMsrMmioConfigBase) ? p.cpu.msrs.at(kMsrMmioConfigBase) : 0;
    const uint64_t windowBase = (msr & 1) ? (msr & ~0xFFFFFULL) : 0;
    const auto target = [&](uint64_t address) {
      return options.details ? DecodeTarget(address, windowBase) : std::string();
    };
    for (const sim::SaveStateRecord &r : p.saveState) {
      const unsigned bytes = r.width < 4 ? 1u << r.width : 0;
      result.saveState.push_back({"save_state", bytes, r.address, r.value, target(r.address)});
    }
    const uint8_t *table = nullptr;
    if (!p.smmReceived.empty() && !p.smmReceived.back().table.empty()) {
      table = p.smmReceived.back().table.data();
      result.handedToSmm = true;
    } else if (p.pcd.count(kPcdS3Table) && p.pcd.at(kPcdS3Table) != 0 &&
               p.firmware.Allocations().count(reinterpret_cast<void *>(p.pcd.at(kPcdS3Table)))) {
      table = reinterpret_cast<const uint8_t *>(p.pcd.at(kPcdS3Table));
    }
    if (table != nullptr) {
      result.tableAvailable = true;
      result.table = DecodeTable(table);
    }
    std::vector<ScriptWrite> script = result.saveState;
    for (const TableEntry &e : result.table) {
      if (e.type == 3) {
        const unsigned bytes = e.arguments[0] < 4 ? 1u << e.arguments[0] : 0;
        script.push_back({"table", bytes, e.arguments[1], e.arguments[2], target(e.arguments[1])});
      }
    }
    const auto contexts =
        RootPortContexts(p, topology, result.features.engines, scenario.clkReqUnknown);
    result.resume = CheckResume(p, cfgBefore, smnBefore, indirectBefore, script, windowBase,
                                [&](const sim::ConfigSpace &resumed) {
                                  if (options.audit && options.details) {
                                    result.auditAfterResume = audit::Run({&resumed, contexts, {}});
                                  }
                                });
    result.script = std::move(script);
    if (options.audit) {
      result.audit = audit::Run({&p.config, contexts, ResumeDifferences(result.resume)},
                                &result.auditNotChecked);
      AddScenarioGaps(scenario, p, result);
    }
  } catch (const sim::Halted &) {
    result.halted = true;
  }
  result.log = std::move(p.log);
  for (const sim::Event &e : result.log.Of(sim::EventKind::FatalStop)) {
    result.fatalStops.push_back(static_cast<uint32_t>(e.value));
  }
  result.writes = Writes(p, result.log, result.features, options.nameWrites && options.details);
  if (options.details) {
    result.postCodes = result.log.PortWrites(0x80);
    result.links = Links(p, topology);
    for (const auto &[pointer, allocation] : p.firmware.Allocations()) {
      result.pools.push_back({allocation.size, allocation.type == EfiRuntimeServicesData});
    }
  }
  gHookNotes = nullptr;
  return result;
}

} // namespace kelsim
