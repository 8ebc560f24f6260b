#include "sim/platform.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "base/driver_state.h"
#include "driver/image_entry.h"
#include "sim/catalogue.h"

namespace sim {

ZeroedBytes::ZeroedBytes(size_t size) : size_(size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t usable = (size + page - 1) / page * page;
  mapSize_ = usable + page;
  map_ = mmap(nullptr, mapSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
              -1, 0);
  if (map_ == MAP_FAILED) {
    map_ = nullptr;
    throw std::bad_alloc();
  }
  auto *base = static_cast<uint8_t *>(map_);
  if (mprotect(base + usable, page, PROT_NONE) != 0) {
    munmap(map_, mapSize_);
    map_ = nullptr;
    throw std::bad_alloc();
  }
  data_ = base + ((usable - size) & ~size_t{7});
}

ZeroedBytes::~ZeroedBytes() {
  if (map_ != nullptr) {
    munmap(map_, mapSize_);
  }
}

// The bytes given up, if any, go with `other`.
ZeroedBytes &ZeroedBytes::operator=(ZeroedBytes &&other) noexcept {
  std::swap(map_, other.map_);
  std::swap(mapSize_, other.mapSize_);
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  return *this;
}

namespace {

Platform *gPlatform = nullptr;

// Identity of the simulated host bridge: a placeholder vendor ID that no
// company holds.
constexpr uint16_t kHostBridgeVendor = 0xFFF0;
constexpr uint16_t kHostBridgeDevice = 0x5A00;

Platform &P() {
  if (gPlatform == nullptr) {
    std::fputs("platform module called with no simulated platform\n", stderr);
    std::abort();
  }
  return *gPlatform;
}

EFI_STATUS EFIAPI DebugPrintReceiver(UINT64 level, const CHAR8 *format, VA_LIST marker) {
  P().log.AddTrace(level, format, marker);
  return EFI_SUCCESS;
}
DEBUG_PRINT_PROTOCOL gDebugPrint = {DebugPrintReceiver};

uint64_t PcdValue(UINTN token) {
  auto it = P().pcd.find(token);
  const uint64_t v = it == P().pcd.end() ? 0 : it->second;
  P().log.Add({.kind = EventKind::PcdGet, .address = token, .value = v});
  return v;
}
EFI_STATUS PcdStore(UINTN token, uint64_t value) {
  P().pcd[token] = value;
  P().log.Add({.kind = EventKind::PcdSet, .address = token, .value = value});
  return EFI_SUCCESS;
}
UINT8 EFIAPI PcdGet8(UINTN t) { return static_cast<UINT8>(PcdValue(t)); }
UINT16 EFIAPI PcdGet16(UINTN t) { return static_cast<UINT16>(PcdValue(t)); }
UINT32 EFIAPI PcdGet32(UINTN t) { return static_cast<UINT32>(PcdValue(t)); }
UINT64 EFIAPI PcdGet64(UINTN t) { return PcdValue(t); }
BOOLEAN EFIAPI PcdGetBool(UINTN t) { return PcdValue(t) != 0 ? TRUE : FALSE; }
UINTN EFIAPI PcdGetSize(UINTN) { return 8; }
EFI_STATUS EFIAPI PcdSet8(UINTN t, UINT8 v) { return PcdStore(t, v); }
EFI_STATUS EFIAPI PcdSet16(UINTN t, UINT16 v) { return PcdStore(t, v); }
EFI_STATUS EFIAPI PcdSet32(UINTN t, UINT32 v) { return PcdStore(t, v); }
EFI_STATUS EFIAPI PcdSet64(UINTN t, UINT64 v) { return PcdStore(t, v); }
EFI_STATUS EFIAPI PcdSetBool(UINTN t, BOOLEAN v) { return PcdStore(t, v); }

PCD_PROTOCOL MakePcdProtocol() {
  PCD_PROTOCOL p{};
  p.Get8 = PcdGet8;
  p.Get16 = PcdGet16;
  p.Get32 = PcdGet32;
  p.Get64 = PcdGet64;
  p.GetBool = PcdGetBool;
  p.GetSize = PcdGetSize;
  p.Set8 = PcdSet8;
  p.Set16 = PcdSet16;
  p.Set32 = PcdSet32;
  p.Set64 = PcdSet64;
  p.SetBool = PcdSetBool;
  return p;
}
PCD_PROTOCOL gPcdProtocol = MakePcdProtocol();

EFI_STATUS EFIAPI GetTopology(const PCIE_TOPOLOGY_PROTOCOL *, VOID **descriptor) {
  *descriptor = P().TopologyBytes().data();
  return EFI_SUCCESS;
}
PCIE_TOPOLOGY_PROTOCOL gTopologyProtocol = {GetTopology};

EFI_STATUS EFIAPI SaveStateWrite(const EFI_S3_SAVE_STATE_PROTOCOL *, UINTN opcode, ...) {
  VA_LIST args;
  VA_START(args, opcode);
  SaveStateRecord r{opcode, 0, 0, 0, 0};
  if (opcode == EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE) {
    r.width = static_cast<uint32_t>(VA_ARG(args, UINT64));
    r.address = VA_ARG(args, UINT64);
    r.count = VA_ARG(args, UINT64);
    const auto *buffer = VA_ARG(args, const uint8_t *);
    const unsigned bytes = r.width < 4 ? 1u << r.width : 0;
    for (unsigned i = 0; i < bytes; ++i) {
      r.value |= static_cast<uint64_t>(buffer[i]) << (8 * i);
    }
    if (bytes == 0) {
      P().log.Add({.kind = EventKind::Fault}, "S3 save-state Write with an invalid width");
    }
  } else {
    P().log.Add({.kind = EventKind::Fault}, "S3 save-state Write with an unexpected opcode");
  }
  VA_END(args);
  P().log.Add({.kind = EventKind::S3Record, .address = r.address,
               .width = r.width < 4 ? 1u << r.width : 0u, .value = r.value});
  P().saveState.push_back(r);
  return P().saveStateStatus;
}
EFI_S3_SAVE_STATE_PROTOCOL gSaveState = {SaveStateWrite, nullptr, nullptr, nullptr};

EFI_STATUS EFIAPI SmmCommunicate(const EFI_SMM_COMMUNICATION_PROTOCOL *, VOID *buffer,
                                 UINTN *size) {
  SmmHandoff h;
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  h.message.assign(bytes, bytes + (size != nullptr ? *size : 0));
  if (h.message.size() >= 0x28) {
    std::memcpy(&h.privateData, bytes + 0x20, sizeof h.privateData);
  }
  // The handler follows the private data to the table and keeps a copy of
  // it up to and including the boundary marker.
  if (h.privateData != 0) {
    uint64_t table = 0;
    std::memcpy(&table, reinterpret_cast<const uint8_t *>(h.privateData) + 8, sizeof table);
    if (table != 0) {
      const auto *t = reinterpret_cast<const uint8_t *>(table);
      h.table.assign(t, t + 0x4004);
    }
  }
  P().smmReceived.push_back(std::move(h));
  return EFI_SUCCESS;
}
EFI_SMM_COMMUNICATION_PROTOCOL gSmmCommunication = {SmmCommunicate};

// Installed by the platform at the end of DXE; its interface is not read.
uint64_t gReadyToLockInterface = 0;

// The PCI I/O interface is never read by the driver; each install gets its
// own instance so that handles stay distinct.
struct PciIoInstance {
  uint64_t id;
};
std::vector<std::unique_ptr<PciIoInstance>> gPciIoInstances;

} // namespace

Platform *Platform::Current() { return gPlatform; }

Platform::Platform(PlatformModules modules) {
  if (gPlatform != nullptr) {
    throw std::logic_error("only one simulated platform may exist at a time");
  }
  gPlatform = this;
  ArchHostBind(this);
  if (modules.debugPrint) {
    InstallDebugPrint();
  }
  if (modules.pcd) {
    InstallPcd();
  }
  if (modules.s3SaveState) {
    InstallS3SaveState();
  }
  if (modules.smmCommunication) {
    InstallSmmCommunication();
  }
  smmBuffer_.assign(kSmmCommunicationBufferSize, 0);
  pcd[kPcdSmmCommunicationBuffer] = reinterpret_cast<uint64_t>(smmBuffer_.data());
}

void Platform::InstallSmmCommunication() {
  firmware.InstallProtocol(gEfiSmmCommunicationProtocolGuid, &gSmmCommunication);
}

void Platform::InstallSmmReadyToLock() {
  firmware.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, &gReadyToLockInterface);
}

void Platform::SignalReadyToBoot() { firmware.SignalEventGroup(gEfiEventReadyToBootGuid); }

void Platform::PublishHobList(std::vector<uint8_t> bytes) {
  hobList_ = std::move(bytes);
  firmware.AddConfigurationTable(gEfiHobListGuid, hobList_.data());
}

void Platform::InstallS3SaveState() {
  firmware.InstallProtocol(gEfiS3SaveStateProtocolGuid, &gSaveState);
}

Platform::~Platform() {
  ArchHostBind(nullptr);
  gPciIoInstances.clear();
  gPlatform = nullptr;
}

void Platform::InstallDebugPrint() { firmware.InstallProtocol(gDebugPrintProtocolGuid, &gDebugPrint); }
void Platform::InstallPcd() { firmware.InstallProtocol(gPcdProtocolGuid, &gPcdProtocol); }

void Platform::InstallPciIo() {
  gPciIoInstances.push_back(
      std::make_unique<PciIoInstance>(PciIoInstance{static_cast<uint64_t>(++pciIoCount_)}));
  firmware.InstallProtocol(gEfiPciIoProtocolGuid, gPciIoInstances.back().get());
}

void Platform::PublishTopology(std::span<const uint8_t> bytes, size_t reach) {
  topology_ = ZeroedBytes(std::max(bytes.size(), reach));
  std::copy(bytes.begin(), bytes.end(), topology_.Span().begin());
  firmware.InstallProtocol(gPcieTopologyProtocolGuid, &gTopologyProtocol);
}

Nbio &Platform::AddSilicon(uint32_t hostBridgeAddress) {
  auto nbio = std::make_unique<Nbio>(hostBridgeAddress, log);
  Nbio *raw = nbio.get();
  nbios_[hostBridgeAddress] = std::move(nbio);
  ConfigFunction *existing = config.Find(hostBridgeAddress);
  if (existing == nullptr) {
    DeviceBuilder hb;
    hb.Ids(kHostBridgeVendor, kHostBridgeDevice).ClassCode(0x060000);
    existing = &AddFunction(hostBridgeAddress, hb.Build());
  }
  // A captured host bridge keeps its bytes; the SMN pair overlays 0xB8-0xBF.
  existing->pairs.push_back({0xB8, [raw](uint32_t index) { return raw->Read(index); },
                             [raw](uint32_t index, uint32_t value) { raw->Write(index, value); }});
  return *raw;
}

Nbio &Platform::NbioAt(uint32_t hostBridgeAddress) { return *nbios_.at(hostBridgeAddress); }

ConfigFunction &Platform::AddFunction(uint32_t bdf, ConfigFunction &&function) {
  return config.Add(bdf, std::move(function));
}

ConfigFunction &Platform::AddRootPort(uint32_t bdf, ConfigFunction &&function) {
  const uint32_t function0 = bdf & ~0x7000u;
  if (function0 != bdf && config.Find(function0) == nullptr) {
    AddFunction(function0, catalogue::DummyHostBridge().Build());
  }
  AddFunction(bdf, std::move(function));
  RootPortIndirect(bdf);
  return *config.Find(bdf);
}

std::map<uint32_t, uint32_t> &Platform::RootPortIndirect(uint32_t bdf) {
  auto &regs = rootPortIndirect_[bdf];
  ConfigFunction *f = config.Find(bdf);
  if (f != nullptr && f->pairs.empty()) {
    f->pairs.push_back({0xE0,
                        [&regs](uint32_t index) {
                          auto it = regs.find(index);
                          return it == regs.end() ? 0u : it->second;
                        },
                        [&regs](uint32_t index, uint32_t value) { regs[index] = value; }});
  }
  return regs;
}

EFI_STATUS Platform::LoadDriver() {
  ImageStateReset();
  // A pass logs a few hundred events per function (the large platform about
  // 200, with thousands of fixed ones on top): room for them up front spares
  // the log from copying itself as it grows. Pages nobody logs into are
  // never touched.
  log.Reserve(std::as_const(config).Functions().size() * 256);
  static int imageHandle;
  return KelNbioPcieHXDxeEntryPoint(&imageHandle, firmware.SystemTable());
}

// PCI Express Base r5.0, 7.2.2: a configuration request covers one dword;
// an access that is not naturally aligned, or crosses a dword, is not what
// the hardware would carry out.
void Platform::LogMisaligned(uint32_t pci, unsigned bytes) {
  log.Add({.kind = EventKind::Fault, .address = pci, .width = bytes},
          CrossesFunctionEnd(pci, bytes) ? "configuration access past the end of its function"
                                         : "configuration access not naturally aligned");
}

uint64_t Platform::MmioRead(uint64_t address, unsigned bytes) {
  Tick();
  if (address < kEcamBase || address + bytes > kEcamBase + kEcamSize) {
    log.Add({.kind = EventKind::Fault, .address = address, .width = bytes},
            "MMIO read outside the configuration window");
    return ~0ULL;
  }
  const uint32_t pci = static_cast<uint32_t>(address - kEcamBase);
  FlagMisaligned(pci, bytes);
  const size_t slot = log.Events().size();
  log.Add({.kind = EventKind::CfgRead, .address = pci, .width = bytes});
  const uint32_t v = config.Read(pci, bytes);
  log.Patch(slot, v);
  return v;
}

// Entries the driver appended to its private S3 table since the last
// hardware write go into the log before that write, as the save-state
// protocol's records do: the table lives in driver memory the platform
// sees only when the driver next touches the hardware.
void Platform::LogTableAppends() {
  if (tableToken_ == nullptr) {
    const auto token = pcd.find(0x34F);
    if (token == pcd.end()) {
      return;
    }
    tableToken_ = &token->second;
  }
  if (*tableToken_ == 0) {
    return;
  }
  if (*tableToken_ != tableAddress_ || firmware.PoolChanges() != tablePoolChanges_) {
    tableAddress_ = *tableToken_;
    tablePoolChanges_ = firmware.PoolChanges();
    const auto allocation =
        firmware.Allocations().find(reinterpret_cast<void *>(tableAddress_));
    tableSize_.reset();
    if (allocation != firmware.Allocations().end()) {
      tableSize_ = allocation->second.size;
    }
  }
  if (!tableSize_) {
    tableLogged_ = 0;
    return;
  }
  auto *table = reinterpret_cast<const uint8_t *>(tableAddress_);
  uint64_t used = 0;
  std::memcpy(&used, table + 0x28, sizeof used);
  const size_t size = *tableSize_;
  if (tableLogged_ < 0x30) {
    tableLogged_ = 0x30;
  }
  // Memory-write entries: type 3, width at 4, address at 8, value at 16.
  while (tableLogged_ + 24 <= used && tableLogged_ + 24 <= size) {
    uint16_t type = 0;
    std::memcpy(&type, table + tableLogged_, sizeof type);
    if (type != 3) {
      break;
    }
    uint32_t width = 0;
    uint64_t address = 0;
    uint64_t value = 0;
    std::memcpy(&width, table + tableLogged_ + 4, sizeof width);
    std::memcpy(&address, table + tableLogged_ + 8, sizeof address);
    std::memcpy(&value, table + tableLogged_ + 16, sizeof value);
    log.Add({.kind = EventKind::S3Record,
             .address = address,
             .width = width < 4 ? 1u << width : 0u,
             .value = value},
            "table");
    tableLogged_ += 24;
  }
}

void Platform::MmioWrite(uint64_t address, unsigned bytes, uint64_t value) {
  Tick();
  LogTableAppends();
  if (address < kEcamBase || address + bytes > kEcamBase + kEcamSize) {
    log.Add({.kind = EventKind::Fault, .address = address, .width = bytes, .value = value},
            "MMIO write outside the configuration window");
    return;
  }
  const uint32_t pci = static_cast<uint32_t>(address - kEcamBase);
  FlagMisaligned(pci, bytes);
  const ConfigFunction *f = config.Find(pci);
  const uint64_t before =
      f == nullptr || CrossesFunctionEnd(pci, bytes) ? ~0ULL : f->Peek(pci & 0xFFF, bytes);
  log.Add({.kind = EventKind::CfgWrite, .address = pci, .width = bytes, .value = value,
           .before = before});
  config.Write(pci, bytes, static_cast<uint32_t>(value));
}

void Platform::IoWrite(uint16_t port, unsigned bytes, uint32_t value) {
  Tick();
  log.Add({.kind = EventKind::IoWrite, .address = port, .width = bytes, .value = value});
  if (fatalStopped_ && port == 0x80 && ++fatalDisplayWrites_ >= cpu.fatalDisplayWritesBeforeHalt) {
    throw Halted("fatal stop display loop");
  }
}

uint64_t Platform::ReadMsr(uint32_t index) {
  Tick();
  auto it = cpu.msrs.find(index);
  if (it == cpu.msrs.end()) {
    log.Add({.kind = EventKind::Fault, .address = index}, "read of an unimplemented MSR");
    return 0;
  }
  log.Add({.kind = EventKind::MsrRead, .address = index, .value = it->second});
  return it->second;
}

void Platform::WriteMsr(uint32_t index, uint64_t value) {
  Tick();
  log.Add({.kind = EventKind::MsrWrite, .address = index, .value = value});
  cpu.msrs[index] = value;
}

CpuidResult Platform::Cpuid(uint32_t leaf) {
  Tick();
  CpuidResult r{0, 0, 0, 0};
  if (leaf == 0x80000001) {
    r.Ebx = cpu.packageTypeBits << 28;
  }
  log.Add({.kind = EventKind::Cpuid, .address = leaf, .value = r.Ebx});
  return r;
}

uint16_t Platform::SimulatorQuery(uint32_t code) {
  Tick();
  log.Add({.kind = EventKind::FatalStop, .value = code});
  if (cpu.answersSimulatorQuery) {
    return 1;
  }
  fatalStopped_ = true;
  fatalDisplayWrites_ = 0;
  return 0;
}

uint64_t Platform::ReadTsc() {
  Tick();
  return cpu.tsc;
}

void Platform::Pause() { Tick(); }
void Platform::PassStep(uint32_t Step) { log.Add({.kind = EventKind::PassStep, .value = Step}); }

uint64_t Platform::ReadControl(ControlRegister reg) {
  Tick();
  switch (reg) {
  case ControlRegister::Dr2:
    return cpu.dr2;
  case ControlRegister::Dr7:
    return cpu.dr7;
  case ControlRegister::Cr4:
    return cpu.cr4;
  }
  return 0;
}

void Platform::WriteControl(ControlRegister reg, uint64_t value) {
  Tick();
  switch (reg) {
  case ControlRegister::Dr2:
    cpu.dr2 = value;
    return;
  case ControlRegister::Dr7:
    cpu.dr7 = value;
    return;
  case ControlRegister::Cr4:
    cpu.cr4 = value;
    return;
  }
}

} // namespace sim
