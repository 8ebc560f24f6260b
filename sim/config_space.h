// PCI configuration space of the simulated platform: a 4 KiB image per
// function with the write behaviour the PCI Express Base r5.0 register
// definitions give each field (RO, RW, RW1C), reached through ECAM.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace sim {

inline constexpr uint64_t kEcamBase = 0xF0000000;
inline constexpr uint64_t kEcamSize = 0x10000000;

constexpr uint32_t Bdf(uint32_t bus, uint32_t device, uint32_t function) {
  return ((bus & 0xFF) << 20) | ((device & 0x1F) << 15) | ((function & 7) << 12);
}

// A register pair in configuration space through which another register
// file is reached: a dword index at `indexOffset`, a dword data port after it.
struct IndexDataPair {
  uint16_t indexOffset = 0;
  std::function<uint32_t(uint32_t index)> read;
  std::function<void(uint32_t index, uint32_t value)> write;
};

struct ConfigFunction {
  std::array<uint8_t, 4096> data{};
  std::array<uint8_t, 4096> writable{}; // RW bits
  std::array<uint8_t, 4096> clearOnOne{}; // RW1C bits
  uint16_t pcieCap = 0;                 // offset of the PCI Express capability, 0 if none
  unsigned linkTrainingReads = 2;       // Link Status reads showing Link Training after a retrain
  unsigned trainingLeft = 0;
  bool trainsForever = false;           // a retrain never finishes
  bool vanishesOnRetrain = false;       // the link drops: the function then reads all ones
  bool gone = false;
  int accessesBeforeRemoval = -1;       // hot removal: gone after this many accesses (-1 never)
  unsigned functionLevelResets = 0;     // writes of Initiate Function Level Reset
  unsigned retrainCount = 0;
  std::vector<IndexDataPair> pairs;
  // Byte ranges [first, end) a capture did not hold: missing rows, or the
  // extended space of a 256-byte capture. They read as zero; what is read
  // from them is not known.
  std::vector<std::pair<uint16_t, uint16_t>> unknown;

  uint32_t Peek(uint16_t offset, unsigned bytes) const;
  // False when any of the bytes lies in an unknown range.
  bool Known(uint16_t offset, unsigned bytes) const;
  void Poke(uint16_t offset, unsigned bytes, uint32_t value);
  void SetMask(std::array<uint8_t, 4096> &mask, uint16_t offset, unsigned bytes, uint32_t bits);
};

// Derives the write behaviour of every register the driver touches from the
// function's header and capability lists (PCI Express Base r5.0): read-only,
// read-write and write-1-to-clear bits. Used for built and captured devices.
void ApplyRegisterBehaviour(ConfigFunction &f);

// Offset of a function's extended capability (PCI Express Base r5.0, 7.6),
// or 0: the list is followed from 0x100 for at most 240 entries.
uint16_t FindExtendedCapability(const ConfigFunction &f, uint16_t id);

// True when an access starting at the ECAM offset runs past its function.
bool CrossesFunctionEnd(uint32_t address, unsigned bytes);

class ConfigSpace {
public:
  // Returns all ones for an absent function, as the root complex does.
  uint32_t Read(uint32_t address, unsigned bytes);
  void Write(uint32_t address, unsigned bytes, uint32_t value);

  ConfigSpace() = default;
  // Moved whole, the index with the map whose nodes it points to; a copy
  // would point into its original.
  ConfigSpace(ConfigSpace &&) noexcept = default;
  ConfigSpace &operator=(ConfigSpace &&) noexcept = default;
  ConfigSpace(const ConfigSpace &) = delete;
  ConfigSpace &operator=(const ConfigSpace &) = delete;

  // A function is 12 KiB: one given up is moved in, one kept is copied once.
  ConfigFunction &Add(uint32_t bdf, ConfigFunction &&function);
  ConfigFunction &Add(uint32_t bdf, const ConfigFunction &function);
  ConfigFunction *Find(uint32_t bdf);
  const ConfigFunction *Find(uint32_t bdf) const;
  const std::map<uint32_t, ConfigFunction> &Functions() const { return functions_; }
  // The caller may add or remove functions: the index is built again.
  std::map<uint32_t, ConfigFunction> &Functions() {
    indexStale_ = true;
    return functions_;
  }

private:
  using BusIndex = std::array<ConfigFunction *, 256>; // by device and function
  void Index(uint32_t key, ConfigFunction *function) const;
  void RebuildIndex() const;

  std::map<uint32_t, ConfigFunction> functions_;
  // Every access looks its function up, most of them while scanning for
  // absent ones; a tree walk over 12 KiB nodes missed the cache at each
  // level. The index has a page of pointers for each bus that has a
  // function, and is built again when a caller may have changed the map.
  mutable std::array<std::unique_ptr<BusIndex>, 256> buses_;
  mutable bool indexStale_ = false;
};

// Brings up each link between a root or switch downstream port and the
// device below it: both ends' Link Status report the lower of the two Link
// Capabilities' speeds and widths, as training negotiates them (PCI Express
// Base r5.0, 4.2.6 and 7.5.3.8). Functions in `asFound` (captured ones)
// keep what their machine read.
void TrainLinks(ConfigSpace &config, const std::set<uint32_t> &asFound = {});

// PCI Express Base r5.0, 7.5.3.2 Device/Port Type.
enum class PortType : uint8_t {
  Endpoint = 0,
  LegacyEndpoint = 1,
  RootPort = 4,
  UpstreamPort = 5,
  DownstreamPort = 6,
  PcieToPciBridge = 7,
  RootComplexIntegratedEndpoint = 9,
};

struct PcieCapabilityFields {
  PortType type = PortType::Endpoint;
  bool slotImplemented = false;
  uint32_t deviceCapabilities = 0x00008FE2; // 512 B MPS, extended tags, no L0s/L1 latency limit
  uint16_t deviceControl = 0x2810;          // 512 B MRRS, relaxed ordering, no snoop
  uint32_t linkCapabilities = 0x0044AC43;   // 8 GT/s x4, ASPM L0s+L1, Clock PM
  uint16_t linkControl = 0x0000;
  uint16_t linkStatus = 0x1043;             // x4 at 8 GT/s, Slot Clock Configuration
  uint32_t slotCapabilities = 0;
  uint32_t deviceCapabilities2 = 0x00000800; // LTR supported
  uint16_t deviceControl2 = 0;
  uint32_t linkCapabilities2 = 0x0000000E;
};

struct AerFields {
  uint32_t uncorrectableMask = 0;
  uint32_t uncorrectableSeverity = 0x00462030; // PCI Express Base r5.0 defaults
  uint32_t correctableMask = 0x00002000;
  uint32_t capabilitiesControl = 0x000000A0;   // ECRC generation and check capable
};

struct L1SubstatesFields {
  uint32_t capabilities = 0x0028281F; // all four substates, Common_Mode_Restore_Time 40 us, T_POWER_ON 10 us
  uint32_t control1 = 0;
  uint32_t control2 = 0;
};

// Lays out a function's configuration header and capabilities as hardware
// does: standard capabilities chained from 0x40, extended ones from 0x100.
class DeviceBuilder {
public:
  DeviceBuilder &Ids(uint16_t vendor, uint16_t device);
  DeviceBuilder &ClassCode(uint32_t classCode); // base:sub:prog-if, 24 bits
  DeviceBuilder &Bridge(uint8_t primary, uint8_t secondary, uint8_t subordinate);
  DeviceBuilder &MultiFunction(bool on = true);
  // Where the next standard capability goes (dword-aligned, at least 0x40).
  DeviceBuilder &StandardCapabilitiesFrom(uint16_t offset);
  DeviceBuilder &PowerManagement();
  DeviceBuilder &PciExpress(const PcieCapabilityFields &fields);
  DeviceBuilder &Aer(const AerFields &fields = {});
  DeviceBuilder &Ltr(uint16_t maxSnoop = 0, uint16_t maxNoSnoop = 0);
  DeviceBuilder &L1Substates(const L1SubstatesFields &fields = {});
  // Any other extended capability, read-only apart from the given mask.
  DeviceBuilder &ExtendedCapability(uint16_t id, uint8_t version, std::vector<uint8_t> body,
                                    std::vector<uint8_t> writableBody = {});
  DeviceBuilder &LinkTrainingReads(unsigned reads);
  DeviceBuilder &TrainsForever();
  DeviceBuilder &VanishesOnRetrain();
  ConfigFunction Build() const;

  ConfigFunction &Raw() { return f_; }

private:
  uint16_t AddStandard(uint8_t id, uint8_t length);
  uint16_t AddExtended(uint16_t id, uint8_t version, uint16_t length);

  ConfigFunction f_ = Blank();
  uint16_t nextStandard_ = 0x40;
  uint16_t lastStandard_ = 0;
  uint16_t nextExtended_ = 0x100;
  uint16_t lastExtended_ = 0;
  std::vector<std::pair<uint16_t, uint8_t>> customWritable_;
  static ConfigFunction Blank();
};

} // namespace sim
