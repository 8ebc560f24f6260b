// The simulated platform: firmware core, PCI configuration space, NBIO
// silicons, processor and the other modules the driver talks to, all
// writing to one ordered log.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arch/host/arch_host.h"
#include "sim/config_space.h"
#include "sim/firmware.h"
#include "sim/log.h"
#include "sim/nbio.h"
#include "sim/topology_builder.h"

namespace sim {

// The furthest byte from the start of a published topology that the
// driver's bounded walks can read: u16 offsets, at most 256 hops in all,
// then the records they land on.
inline constexpr size_t kTopologyReach = 24 + 256 * 65535 + 32 * 18 + 64 * 107 + 4096;

// Memory that reads as zeros and is taken from the system only where it is
// touched: anonymous pages, which the kernel zeroes on first use, placed so
// that the bytes end at an inaccessible page (to within 8 bytes, the start
// being 8-byte aligned): a read past the end faults at once. A topology
// padded to its full reach then costs what the walks touch, not 16 MiB of
// zeroing, and under the address sanitizer no 16 MiB passes through its
// allocator's quarantine for every fuzz input.
class ZeroedBytes {
public:
  ZeroedBytes() = default;
  explicit ZeroedBytes(size_t size);
  ~ZeroedBytes();
  ZeroedBytes(ZeroedBytes &&other) noexcept { *this = std::move(other); }
  ZeroedBytes &operator=(ZeroedBytes &&other) noexcept;
  ZeroedBytes(const ZeroedBytes &) = delete;
  ZeroedBytes &operator=(const ZeroedBytes &) = delete;

  std::span<uint8_t> Span() const { return {data_, size_}; }

private:
  void *map_ = nullptr;
  size_t mapSize_ = 0;
  uint8_t *data_ = nullptr;
  size_t size_ = 0;
};

// Thrown out of the driver when the platform is asked to stop it: a fatal
// stop's endless display loop on a processor that does not answer the
// simulator query.
struct Halted : std::runtime_error {
  using std::runtime_error::runtime_error;
};

namespace msr {
inline constexpr uint32_t kMmioConfigBase = 0xC0010058;
inline constexpr uint32_t kPstateDef0 = 0xC0010064;
inline constexpr uint32_t kDebugControl = 0xC001100A;
} // namespace msr

struct ProcessorState {
  std::map<uint32_t, uint64_t> msrs = {
      {msr::kMmioConfigBase, 0xF0000021},            // base 0xF0000000, 256 buses, enabled
      {msr::kPstateDef0, (1ULL << 63) | (8 << 8) | 0x64}, // P0: 2500 MHz
      {msr::kPstateDef0 + 1, 0}, {msr::kPstateDef0 + 2, 0}, {msr::kPstateDef0 + 3, 0},
      {msr::kPstateDef0 + 4, 0}, {msr::kPstateDef0 + 5, 0}, {msr::kPstateDef0 + 6, 0},
      {msr::kPstateDef0 + 7, 0},
      {msr::kDebugControl, 0},
  };
  uint32_t packageTypeBits = 0;    // CPUID 0x80000001 EBX[31:28]
  bool answersSimulatorQuery = true;
  uint64_t tsc = 0;
  uint64_t tscStep = 1000;          // ticks added by every processor access
  uint64_t dr2 = 0;
  uint64_t dr7 = 0x400;
  uint64_t cr4 = 0;
  // With the query unanswered, a fatal stop shows its display forever; the
  // platform halts the driver after this many display writes.
  unsigned fatalDisplayWritesBeforeHalt = 12;
};

// One Write call of the S3 save-state protocol, as the platform's boot
// script keeps it.
struct SaveStateRecord {
  uint64_t opcode;
  uint32_t width; // EFI_BOOT_SCRIPT_WIDTH
  uint64_t address;
  uint64_t count;
  uint64_t value; // the buffer's first element, zero-extended
};

// What the SMM handler of the S3 table received through one Communicate.
struct SmmHandoff {
  std::vector<uint8_t> message;
  uint64_t privateData = 0;
  std::vector<uint8_t> table; // copy taken before the driver frees it
};

// Modules present when the platform starts; a test may leave one out.
struct PlatformModules {
  bool debugPrint = true;
  bool pcd = true;
  bool s3SaveState = true;
  bool smmCommunication = true;
  bool topology = true; // the topology producer's protocol
};

// PCD token of the SMM communication buffer and its size on this platform.
inline constexpr uint64_t kPcdSmmCommunicationBuffer = 0x446;
inline constexpr size_t kSmmCommunicationBufferSize = 4096;

class Platform : public ArchHostBackend {
public:
  explicit Platform(PlatformModules modules = {});
  ~Platform() override;
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  static Platform *Current();

  Log log;
  ConfigSpace config;
  ProcessorState cpu;
  Firmware firmware{log};
  // Token number -> value. Tokens are set, never erased: the S3 table's
  // token is looked up once and its entry kept.
  std::map<uint64_t, uint64_t> pcd;
  std::vector<SaveStateRecord> saveState;
  std::vector<SmmHandoff> smmReceived;
  EFI_STATUS saveStateStatus = EFI_SUCCESS; // what the save-state Write answers

  // Adds a silicon's host bridge (with its SMN pair) at the given address.
  Nbio &AddSilicon(uint32_t hostBridgeAddress);
  Nbio &NbioAt(uint32_t hostBridgeAddress);
  const std::map<uint32_t, std::unique_ptr<Nbio>> &Silicons() const { return nbios_; }

  ConfigFunction &AddFunction(uint32_t bdf, ConfigFunction &&function);
  ConfigFunction &AddFunction(uint32_t bdf, const ConfigFunction &function) {
    return config.Add(bdf, function);
  }
  // A root port as the NBIO presents it: its device's function 0 is a dummy
  // host bridge (added unless something sits there), and its indirect
  // register pair is attached.
  ConfigFunction &AddRootPort(uint32_t bdf, ConfigFunction &&function);
  ConfigFunction &AddRootPort(uint32_t bdf, const ConfigFunction &function) {
    return AddRootPort(bdf, ConfigFunction(function));
  }
  // Root-port-local registers behind the port's 0xE0/0xE4 index/data pair.
  std::map<uint32_t, uint32_t> &RootPortIndirect(uint32_t bdf);
  const std::map<uint32_t, std::map<uint32_t, uint32_t>> &RootPortIndirectFiles() const {
    return rootPortIndirect_;
  }

  // Publishes the topology through the topology protocol: the bytes, then
  // zeros up to `reach` bytes from the start, as a producer's memory.
  void PublishTopology(std::span<const uint8_t> bytes, size_t reach = 0);
  std::span<uint8_t> TopologyBytes() { return topology_.Span(); }

  // Modules the platform installs as a UEFI platform would.
  void InstallDebugPrint();
  void InstallPcd();
  void InstallPciIo();
  void InstallS3SaveState();
  void InstallSmmCommunication();
  // Platform events of the end of the DXE phase.
  void InstallSmmReadyToLock();
  void SignalReadyToBoot();
  // Publishes a HOB list in the configuration table.
  void PublishHobList(std::vector<uint8_t> bytes);

  // Loads and starts the driver image: fresh image state, then the entry.
  EFI_STATUS LoadDriver();

  // ArchHostBackend
  uint64_t MmioRead(uint64_t address, unsigned bytes) override;
  void MmioWrite(uint64_t address, unsigned bytes, uint64_t value) override;
  void IoWrite(uint16_t port, unsigned bytes, uint32_t value) override;
  uint64_t ReadMsr(uint32_t index) override;
  void WriteMsr(uint32_t index, uint64_t value) override;
  CpuidResult Cpuid(uint32_t leaf) override;
  uint16_t SimulatorQuery(uint32_t code) override;
  uint64_t ReadTsc() override;
  void Pause() override;
  void PassStep(uint32_t Step) override;
  uint64_t ReadControl(ControlRegister reg) override;
  void WriteControl(ControlRegister reg, uint64_t value) override;

private:
  void Tick() { cpu.tsc += cpu.tscStep; }
  void FlagMisaligned(uint32_t pci, unsigned bytes) {
    // Widths are 1, 2, 4 or 8 bytes: a power of two. An aligned access
    // within a dword cannot run past its function.
    if ((pci & (bytes - 1)) != 0 || (pci & 3) + bytes > 4) {
      LogMisaligned(pci, bytes);
    }
  }
  void LogMisaligned(uint32_t pci, unsigned bytes);
  void LogTableAppends();

  std::map<uint32_t, std::unique_ptr<Nbio>> nbios_;
  std::map<uint32_t, std::map<uint32_t, uint32_t>> rootPortIndirect_;
  ZeroedBytes topology_;
  std::vector<uint8_t> hobList_;
  std::vector<uint8_t> smmBuffer_;
  bool fatalStopped_ = false;
  unsigned fatalDisplayWrites_ = 0;
  int pciIoCount_ = 0;
  uint64_t tableLogged_ = 0; // bytes of the private S3 table already logged
  // The private S3 table as last found, checked before every MMIO write:
  // its token's value, and its pool allocation looked up again only when
  // the value or the pools changed.
  const uint64_t *tableToken_ = nullptr;
  uint64_t tableAddress_ = 0;
  uint64_t tablePoolChanges_ = 0;
  std::optional<size_t> tableSize_; // nothing: not a pool allocation
};

} // namespace sim
