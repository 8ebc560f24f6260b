#include "sim/config_space.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// PCI Local Bus r3.0, 6.2.2 and 6.2.3: Command RW bits and Status RW1C bits.
constexpr uint32_t kCommandWritable = 0x0547;
constexpr uint32_t kStatusClearOnOne = 0xF900;
// PCI Express Base r5.0, 7.5.3.7: Link Control RW bits. Retrain Link (bit 5)
// always reads 0 and is handled on write.
constexpr uint32_t kLinkControlWritable = 0x0FDB;
constexpr uint16_t kRetrainLink = 1u << 5;
// Link Status: Link Training (bit 11), RW1C bandwidth status bits 15:14.
constexpr uint16_t kLinkTraining = 1u << 11;
constexpr uint32_t kLinkStatusClearOnOne = 0xC000;
// Slot Capabilities: the Slot Power Limit Value and Scale (bits 16:7) are
// HwInit; platform firmware programs them.
constexpr uint32_t kSlotPowerLimitBits = 0x0001FF80;

} // namespace

// A capture may place a capability so near the end that the registers the
// tools read run past it: those bytes are not this function's and read as
// all ones, as no register.
uint32_t ConfigFunction::Peek(uint16_t offset, unsigned bytes) const {
  if (bytes > 4) {
    throw std::out_of_range("configuration register wider than a dword");
  }
  uint32_t v = 0;
  if (offset + bytes <= data.size()) {
    // Little-endian, as the bus is; fixed sizes so each copy is one load.
    const uint8_t *at = data.data() + offset;
    switch (bytes) {
    case 1:
      return *at;
    case 2: {
      uint16_t h;
      std::memcpy(&h, at, 2);
      return h;
    }
    case 4:
      std::memcpy(&v, at, 4);
      return v;
    default:
      std::memcpy(&v, at, bytes);
      return v;
    }
  }
  for (unsigned i = 0; i < bytes; ++i) {
    const uint32_t byte = offset + i < data.size() ? data[offset + i] : 0xFF;
    v |= byte << (8 * i);
  }
  return v;
}

bool ConfigFunction::Known(uint16_t offset, unsigned bytes) const {
  for (const auto &[first, end] : unknown) {
    if (offset < end && offset + bytes > first) {
      return false;
    }
  }
  return true;
}

void ConfigFunction::Poke(uint16_t offset, unsigned bytes, uint32_t value) {
  for (unsigned i = 0; i < bytes; ++i) {
    data.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
  }
}

// A capability that a capture places near the end of the space may name
// registers past 0xFFF: those bytes are the next function's, not this one's.
void ConfigFunction::SetMask(std::array<uint8_t, 4096> &mask, uint16_t offset, unsigned bytes,
                             uint32_t bits) {
  for (unsigned i = 0; i < bytes && offset + i < mask.size(); ++i) {
    mask[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
  }
}

namespace {

const IndexDataPair *PairAt(const ConfigFunction &f, uint16_t offset, bool &isData) {
  for (const IndexDataPair &p : f.pairs) {
    if (offset >= p.indexOffset && offset < p.indexOffset + 4) {
      isData = false;
      return &p;
    }
    if (offset >= p.indexOffset + 4 && offset < p.indexOffset + 8) {
      isData = true;
      return &p;
    }
  }
  return nullptr;
}

bool TouchesLinkStatus(const ConfigFunction &f, uint16_t offset, unsigned bytes) {
  if (f.pcieCap == 0) {
    return false;
  }
  const uint16_t status = f.pcieCap + 0x12;
  return offset <= status + 1 && offset + bytes > status;
}

uint32_t ReadPair(const ConfigFunction &f, const IndexDataPair &p, uint16_t offset,
                  unsigned bytes, bool isData) {
  if (!isData) {
    return f.Peek(offset, bytes);
  }
  const uint32_t index = f.Peek(p.indexOffset, 4);
  const uint32_t dword = p.read(index);
  const unsigned shift = 8 * (offset - p.indexOffset - 4);
  return bytes == 4 ? dword : (dword >> shift) & ((1u << (8 * bytes)) - 1);
}

void WritePair(ConfigFunction &f, const IndexDataPair &p, uint16_t offset, unsigned bytes,
               uint32_t value, bool isData) {
  if (!isData) {
    f.Poke(offset, bytes, value);
    return;
  }
  const uint32_t index = f.Peek(p.indexOffset, 4);
  uint32_t dword = value;
  if (bytes != 4) {
    const unsigned shift = 8 * (offset - p.indexOffset - 4);
    const uint32_t mask = ((1u << (8 * bytes)) - 1) << shift;
    dword = (p.read(index) & ~mask) | ((value << shift) & mask);
  }
  p.write(index, dword);
}

} // namespace

void ConfigSpace::Index(uint32_t key, ConfigFunction *function) const {
  std::unique_ptr<BusIndex> &bus = buses_[key >> 20];
  if (bus == nullptr) {
    bus = std::make_unique<BusIndex>();
  }
  (*bus)[(key >> 12) & 0xFF] = function;
}

void ConfigSpace::RebuildIndex() const {
  for (auto &bus : buses_) {
    if (bus != nullptr) {
      bus->fill(nullptr);
    }
  }
  for (auto &[key, function] : functions_) {
    Index(key, const_cast<ConfigFunction *>(&function));
  }
  indexStale_ = false;
}

// A map's nodes stay where they are as others come and go: one added is
// indexed on its own.
ConfigFunction &ConfigSpace::Add(uint32_t bdf, ConfigFunction &&function) {
  const uint32_t key = bdf & 0x0FFFF000;
  ConfigFunction &added = functions_.insert_or_assign(key, std::move(function)).first->second;
  Index(key, &added);
  return added;
}

ConfigFunction &ConfigSpace::Add(uint32_t bdf, const ConfigFunction &function) {
  const uint32_t key = bdf & 0x0FFFF000;
  ConfigFunction &added = functions_.insert_or_assign(key, function).first->second;
  Index(key, &added);
  return added;
}

ConfigFunction *ConfigSpace::Find(uint32_t bdf) {
  return const_cast<ConfigFunction *>(std::as_const(*this).Find(bdf));
}

const ConfigFunction *ConfigSpace::Find(uint32_t bdf) const {
  if (indexStale_) {
    RebuildIndex();
  }
  const BusIndex *bus = buses_[(bdf >> 20) & 0xFF].get();
  return bus == nullptr ? nullptr : (*bus)[(bdf >> 12) & 0xFF];
}

namespace {

// A function with a PCI Express capability, not kept as found.
ConfigFunction *Trainable(ConfigSpace &config, uint32_t bdf, const std::set<uint32_t> &asFound) {
  ConfigFunction *f = config.Find(bdf);
  return f != nullptr && f->pcieCap != 0 && asFound.count(bdf) == 0 ? f : nullptr;
}

void SetLinkStatus(ConfigFunction &f, uint32_t speed, uint32_t width) {
  const uint16_t status = f.pcieCap + 0x12;
  f.Poke(status, 2, (f.Peek(status, 2) & ~0x3FFu) | speed | (width << 4));
}

} // namespace

void TrainLinks(ConfigSpace &config, const std::set<uint32_t> &asFound) {
  // Walked through the const map: the ports are changed, never added or
  // removed, so the index stays as it is.
  for (const auto &entry : std::as_const(config).Functions()) {
    ConfigFunction *port = Trainable(config, entry.first, asFound);
    if (port == nullptr) {
      continue;
    }
    const uint32_t type = (port->Peek(port->pcieCap + 2, 2) >> 4) & 0xF;
    const uint32_t secondary = port->Peek(0x19, 1);
    ConfigFunction *device = Trainable(config, Bdf(secondary, 0, 0), asFound);
    if ((type != 4 && type != 6) || secondary == 0 || device == nullptr) {
      continue;
    }
    const uint32_t up = port->Peek(port->pcieCap + 0xC, 4);
    const uint32_t down = device->Peek(device->pcieCap + 0xC, 4);
    const uint32_t speed = std::min(up & 0xF, down & 0xF);
    const uint32_t width = std::min((up >> 4) & 0x3F, (down >> 4) & 0x3F);
    if (speed == 0 || width == 0) {
      continue; // a capability that names no speed or width trains to nothing
    }
    SetLinkStatus(*port, speed, width);
    // Every function of the device reports the one link (7.5.3.8).
    for (uint32_t function = 0; function < 8; ++function) {
      if (ConfigFunction *f = Trainable(config, Bdf(secondary, 0, function), asFound)) {
        SetLinkStatus(*f, speed, width);
      }
    }
  }
}

namespace {

// Counts an access against a function's hot-removal countdown.
void CountAccess(ConfigFunction *f) {
  if (f != nullptr && f->accessesBeforeRemoval >= 0 && !f->gone &&
      f->accessesBeforeRemoval-- == 0) {
    f->gone = true;
  }
}

} // namespace

bool CrossesFunctionEnd(uint32_t address, unsigned bytes) { return (address & 0xFFF) + bytes > 4096; }

// ECAM is one linear window: the bytes of an access past a function's
// 4 KiB are the next function's first bytes.
uint32_t ConfigSpace::Read(uint32_t address, unsigned bytes) {
  if (CrossesFunctionEnd(address, bytes)) {
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) {
      v |= Read((address + i) & (kEcamSize - 1), 1) << (8 * i);
    }
    return v;
  }
  ConfigFunction *f = Find(address);
  CountAccess(f);
  const uint16_t offset = address & 0xFFF;
  if (f == nullptr || f->gone) {
    return bytes == 4 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1;
  }
  bool isData = false;
  if (const IndexDataPair *p = PairAt(*f, offset, isData)) {
    return ReadPair(*f, *p, offset, bytes, isData);
  }
  uint32_t v = f->Peek(offset, bytes);
  if (TouchesLinkStatus(*f, offset, bytes) && f->trainingLeft > 0 && !f->trainsForever) {
    if (--f->trainingLeft == 0) {
      const uint16_t status = f->pcieCap + 0x12;
      f->Poke(status, 2, f->Peek(status, 2) & ~kLinkTraining);
    }
  }
  return v;
}

void ConfigSpace::Write(uint32_t address, unsigned bytes, uint32_t value) {
  if (CrossesFunctionEnd(address, bytes)) {
    for (unsigned i = 0; i < bytes; ++i) {
      Write((address + i) & (kEcamSize - 1), 1, (value >> (8 * i)) & 0xFF);
    }
    return;
  }
  ConfigFunction *f = Find(address);
  CountAccess(f);
  const uint16_t offset = address & 0xFFF;
  if (f == nullptr || f->gone) {
    return; // master abort: the write is dropped
  }
  bool isData = false;
  if (const IndexDataPair *p = PairAt(*f, offset, isData)) {
    WritePair(*f, *p, offset, bytes, value, isData);
    return;
  }
  for (unsigned i = 0; i < bytes; ++i) {
    const uint16_t at = offset + i;
    const uint8_t in = static_cast<uint8_t>(value >> (8 * i));
    uint8_t now = static_cast<uint8_t>((f->data[at] & ~f->writable[at]) | (in & f->writable[at]));
    now = static_cast<uint8_t>(now & ~(in & f->clearOnOne[at]));
    f->data[at] = now;
  }
  if (f->pcieCap != 0) {
    const unsigned devctlHigh = f->pcieCap + 0x09u;
    const auto type = static_cast<PortType>((f->Peek(f->pcieCap + 2, 2) >> 4) & 0xF);
    if (offset <= devctlHigh && offset + bytes > devctlHigh &&
        ((value >> (8 * (devctlHigh - offset))) & 0x80) != 0 &&
        (type == PortType::Endpoint || type == PortType::LegacyEndpoint ||
         type == PortType::RootComplexIntegratedEndpoint)) {
      ++f->functionLevelResets;
    }
    const uint16_t control = f->pcieCap + 0x10;
    if (offset <= control && offset + bytes > control) {
      const uint32_t written = value >> (8 * (control - offset));
      if ((written & kRetrainLink) != 0) {
        f->retrainCount++;
        f->trainingLeft = f->trainsForever ? 1 : f->linkTrainingReads;
        f->gone = f->vanishesOnRetrain;
        const uint16_t status = f->pcieCap + 0x12;
        if (f->trainingLeft > 0) {
          f->Poke(status, 2, f->Peek(status, 2) | kLinkTraining);
        }
      }
    }
  }
}

namespace {

// The 48 dword slots between 0x40 and 0xFF bound a standard list; the 960
// between 0x100 and 0xFFF an extended one.
constexpr unsigned kMaxStandardCaps = 48;
constexpr unsigned kMaxExtendedCaps = 960;

void HeaderBehaviour(ConfigFunction &f) {
  f.SetMask(f.writable, 0x04, 2, kCommandWritable);
  f.SetMask(f.clearOnOne, 0x06, 2, kStatusClearOnOne);
  f.SetMask(f.writable, 0x0C, 1, 0xFF); // Cache Line Size
  f.SetMask(f.writable, 0x3C, 1, 0xFF); // Interrupt Line
  if ((f.data[0x0E] & 0x7F) == 1) {
    // PCI-to-PCI Bridge r1.2, 3.2: bus numbers, windows, secondary status
    // and Bridge Control.
    f.SetMask(f.writable, 0x18, 3, 0xFFFFFF);
    f.SetMask(f.writable, 0x1C, 2, 0xF0F0);
    f.SetMask(f.clearOnOne, 0x1E, 2, kStatusClearOnOne);
    f.SetMask(f.writable, 0x20, 4, 0xFFF0FFF0);
    f.SetMask(f.writable, 0x24, 4, 0xFFF0FFF0);
    f.SetMask(f.writable, 0x28, 4, 0xFFFFFFFF);
    f.SetMask(f.writable, 0x2C, 4, 0xFFFFFFFF);
    f.SetMask(f.writable, 0x3E, 2, 0x0FFF);
  }
}

// PCI Bus Power Management r1.2, 3.2: PMCSR power state RW, PME_Status RW1C.
void PowerManagementBehaviour(ConfigFunction &f, uint16_t c) {
  f.SetMask(f.writable, c + 4, 2, 0x0103);
  f.SetMask(f.clearOnOne, c + 4, 2, 0x8000);
}

// PCI Express Base r5.0, 7.5.3.
void PciExpressBehaviour(ConfigFunction &f, uint16_t c) {
  f.pcieCap = c;
  const uint16_t caps = static_cast<uint16_t>(f.Peek(c + 2, 2));
  const auto type = static_cast<PortType>((caps >> 4) & 0xF);
  const bool slot = (caps & 0x0100) != 0;
  // Device Control bit 15 (7.5.3.4): Bridge Configuration Retry Enable on a
  // PCI Express-to-PCI bridge (read-write); Initiate Function Level Reset on
  // an endpoint, which always reads 0 and is handled on write; reserved on
  // the others.
  const bool bridgeRetry = type == PortType::PcieToPciBridge;
  f.SetMask(f.writable, c + 0x08, 2, bridgeRetry ? 0xFFFF : 0x7FFF);
  f.SetMask(f.clearOnOne, c + 0x0A, 2, 0x000F);
  f.SetMask(f.writable, c + 0x10, 2, kLinkControlWritable);
  f.SetMask(f.clearOnOne, c + 0x12, 2, kLinkStatusClearOnOne);
  f.Poke(c + 0x10, 2, f.Peek(c + 0x10, 2) & ~kRetrainLink);
  if (slot) {
    f.SetMask(f.writable, c + 0x14, 4, kSlotPowerLimitBits);
    f.SetMask(f.writable, c + 0x18, 2, 0x1FFF);   // Slot Control
    f.SetMask(f.clearOnOne, c + 0x1A, 2, 0x011F); // Slot Status
  }
  if (type == PortType::RootPort) {
    f.SetMask(f.writable, c + 0x1C, 2, 0x001F);       // Root Control
    f.SetMask(f.clearOnOne, c + 0x20, 4, 0x00010000); // PME Status
  }
  if ((caps & 0xF) >= 2) {
    f.SetMask(f.writable, c + 0x28, 2, 0xFFFF);   // Device Control 2
    f.SetMask(f.writable, c + 0x30, 2, 0xFFFF);   // Link Control 2
    f.SetMask(f.clearOnOne, c + 0x32, 2, 0x0020); // Link Equalization Request
  }
}

// PCI Express Base r5.0, 7.8.4.
void AerBehaviour(ConfigFunction &f, uint16_t c) {
  f.SetMask(f.clearOnOne, c + 0x04, 4, 0x07FFF030);
  f.SetMask(f.writable, c + 0x08, 4, 0x07FFF030);
  f.SetMask(f.writable, c + 0x0C, 4, 0x07FFF030);
  f.SetMask(f.clearOnOne, c + 0x10, 4, 0x0000F1C1);
  f.SetMask(f.writable, c + 0x14, 4, 0x0000F1C1);
  f.SetMask(f.writable, c + 0x18, 4, 0x00000540); // ECRC enables, multiple header enable
  const auto type = static_cast<PortType>((f.Peek(f.pcieCap + 2, 2) >> 4) & 0xF);
  if (f.pcieCap != 0 && type == PortType::RootPort) {
    f.SetMask(f.writable, c + 0x2C, 4, 0x00000007); // Root Error Command
    f.SetMask(f.clearOnOne, c + 0x30, 4, 0x0000007F);
  }
}

// PCI Express Base r5.0, 7.8.2 and 7.8.3.
void LtrBehaviour(ConfigFunction &f, uint16_t c) { f.SetMask(f.writable, c + 4, 4, 0x1FFF1FFF); }
void L1SubstatesBehaviour(ConfigFunction &f, uint16_t c) {
  // Port Common_Mode_Restore_Time and Port T_POWER_ON are HwInit: the
  // platform firmware of a root port may set them.
  const auto type = static_cast<PortType>((f.Peek(f.pcieCap + 2, 2) >> 4) & 0xF);
  if (type == PortType::RootPort) {
    f.SetMask(f.writable, c + 4, 4, 0x00FBFF00);
  }
  f.SetMask(f.writable, c + 8, 4, 0xE3FFFF0F);
  f.SetMask(f.writable, c + 0xC, 4, 0x000000FB);
}

} // namespace

void ApplyRegisterBehaviour(ConfigFunction &f) {
  f.writable.fill(0);
  f.clearOnOne.fill(0);
  f.pcieCap = 0;
  HeaderBehaviour(f);
  uint8_t at = (f.data[0x06] & 0x10) != 0 ? f.data[0x34] : 0;
  for (unsigned n = 0; n < kMaxStandardCaps && at >= 0x40; ++n) {
    switch (f.data[at]) {
    case 0x01:
      PowerManagementBehaviour(f, at);
      break;
    case 0x10:
      PciExpressBehaviour(f, at);
      break;
    default:
      break;
    }
    at = f.data[at + 1];
  }
  if (f.pcieCap == 0) {
    return;
  }
  uint16_t ext = 0x100;
  for (unsigned n = 0; n < kMaxExtendedCaps && ext >= 0x100 && ext <= 0xFFC; ++n) {
    const uint32_t header = f.Peek(ext, 4);
    if (header == 0 || header == 0xFFFFFFFF) {
      break;
    }
    switch (header & 0xFFFF) {
    case 0x0001:
      AerBehaviour(f, ext);
      break;
    case 0x0018:
      LtrBehaviour(f, ext);
      break;
    case 0x001E:
      L1SubstatesBehaviour(f, ext);
      break;
    default:
      break;
    }
    ext = static_cast<uint16_t>(header >> 20);
  }
}

ConfigFunction DeviceBuilder::Blank() {
  ConfigFunction f;
  f.Poke(0x06, 2, 0x0010);              // Capabilities List
  return f;
}

DeviceBuilder &DeviceBuilder::Ids(uint16_t vendor, uint16_t device) {
  f_.Poke(0x00, 2, vendor);
  f_.Poke(0x02, 2, device);
  return *this;
}

DeviceBuilder &DeviceBuilder::ClassCode(uint32_t classCode) {
  f_.Poke(0x09, 3, classCode & 0xFFFFFF);
  return *this;
}

DeviceBuilder &DeviceBuilder::Bridge(uint8_t primary, uint8_t secondary, uint8_t subordinate) {
  f_.data[0x0E] = static_cast<uint8_t>((f_.data[0x0E] & 0x80) | 0x01);
  f_.Poke(0x18, 3, primary | (secondary << 8) | (subordinate << 16));
  // PCI-to-PCI Bridge r1.2, 3.2: bus numbers, windows and Bridge Control.
  if (f_.data[0x09 + 2] == 0) {
    ClassCode(0x060400);
  }
  return *this;
}

DeviceBuilder &DeviceBuilder::MultiFunction(bool on) {
  f_.data[0x0E] = static_cast<uint8_t>((f_.data[0x0E] & 0x7F) | (on ? 0x80 : 0));
  return *this;
}

uint16_t DeviceBuilder::AddStandard(uint8_t id, uint8_t length) {
  const uint16_t at = nextStandard_;
  if (at + length > 0x100) {
    throw std::length_error("standard capabilities overflow the 256-byte header space");
  }
  f_.data[at] = id;
  f_.data[at + 1] = 0;
  if (lastStandard_ == 0) {
    f_.data[0x34] = static_cast<uint8_t>(at);
  } else {
    f_.data[lastStandard_ + 1] = static_cast<uint8_t>(at);
  }
  lastStandard_ = at;
  nextStandard_ = static_cast<uint16_t>((at + length + 3) & ~3);
  return at;
}

uint16_t DeviceBuilder::AddExtended(uint16_t id, uint8_t version, uint16_t length) {
  const uint16_t at = nextExtended_;
  if (at + length > 0x1000) {
    throw std::length_error("extended capabilities overflow the 4 KiB space");
  }
  f_.Poke(at, 4, id | (static_cast<uint32_t>(version & 0xF) << 16));
  if (lastExtended_ != 0) {
    const uint32_t header = f_.Peek(lastExtended_, 4);
    f_.Poke(lastExtended_, 4, (header & 0x000FFFFF) | (static_cast<uint32_t>(at) << 20));
  }
  lastExtended_ = at;
  nextExtended_ = static_cast<uint16_t>((at + length + 3) & ~3);
  return at;
}

DeviceBuilder &DeviceBuilder::StandardCapabilitiesFrom(uint16_t offset) {
  if (offset < 0x40 || offset < nextStandard_ || (offset & 3) != 0) {
    throw std::invalid_argument("standard capabilities start dword-aligned above the header");
  }
  nextStandard_ = offset;
  return *this;
}

DeviceBuilder &DeviceBuilder::PowerManagement() {
  const uint16_t c = AddStandard(0x01, 8);
  f_.Poke(c + 2, 2, 0x0003);
  return *this;
}

DeviceBuilder &DeviceBuilder::PciExpress(const PcieCapabilityFields &s) {
  const uint16_t c = AddStandard(0x10, 0x3C);
  f_.pcieCap = c;
  const uint16_t caps = static_cast<uint16_t>(0x0002 | (static_cast<uint16_t>(s.type) << 4) |
                                              (s.slotImplemented ? 0x0100 : 0));
  f_.Poke(c + 0x02, 2, caps);
  f_.Poke(c + 0x04, 4, s.deviceCapabilities);
  f_.Poke(c + 0x08, 2, s.deviceControl);
  f_.Poke(c + 0x0C, 4, s.linkCapabilities);
  f_.Poke(c + 0x10, 2, s.linkControl & ~kRetrainLink);
  f_.Poke(c + 0x12, 2, s.linkStatus & ~kLinkTraining);
  f_.Poke(c + 0x24, 4, s.deviceCapabilities2);
  f_.Poke(c + 0x28, 2, s.deviceControl2);
  f_.Poke(c + 0x2C, 4, s.linkCapabilities2);
  if (s.slotImplemented) {
    f_.Poke(c + 0x14, 4, s.slotCapabilities);
  }
  return *this;
}

DeviceBuilder &DeviceBuilder::Aer(const AerFields &s) {
  const uint16_t c = AddExtended(0x0001, 2, 0x48);
  f_.Poke(c + 0x08, 4, s.uncorrectableMask);
  f_.Poke(c + 0x0C, 4, s.uncorrectableSeverity);
  f_.Poke(c + 0x14, 4, s.correctableMask);
  f_.Poke(c + 0x18, 4, s.capabilitiesControl);
  return *this;
}

DeviceBuilder &DeviceBuilder::Ltr(uint16_t maxSnoop, uint16_t maxNoSnoop) {
  const uint16_t c = AddExtended(0x0018, 1, 8);
  f_.Poke(c + 4, 2, maxSnoop);
  f_.Poke(c + 6, 2, maxNoSnoop);
  return *this;
}

DeviceBuilder &DeviceBuilder::L1Substates(const L1SubstatesFields &s) {
  const uint16_t c = AddExtended(0x001E, 1, 0x10);
  f_.Poke(c + 4, 4, s.capabilities);
  f_.Poke(c + 8, 4, s.control1);
  f_.Poke(c + 0xC, 4, s.control2);
  return *this;
}

DeviceBuilder &DeviceBuilder::ExtendedCapability(uint16_t id, uint8_t version,
                                                 std::vector<uint8_t> body,
                                                 std::vector<uint8_t> writableBody) {
  const uint16_t c = AddExtended(id, version, static_cast<uint16_t>(4 + body.size()));
  for (size_t i = 0; i < body.size(); ++i) {
    f_.data[c + 4 + i] = body[i];
    if (i < writableBody.size()) {
      customWritable_.emplace_back(static_cast<uint16_t>(c + 4 + i), writableBody[i]);
    }
  }
  return *this;
}

DeviceBuilder &DeviceBuilder::LinkTrainingReads(unsigned reads) {
  f_.linkTrainingReads = reads;
  return *this;
}

DeviceBuilder &DeviceBuilder::TrainsForever() {
  f_.trainsForever = true;
  return *this;
}

DeviceBuilder &DeviceBuilder::VanishesOnRetrain() {
  f_.vanishesOnRetrain = true;
  return *this;
}

ConfigFunction DeviceBuilder::Build() const {
  ConfigFunction f = f_;
  ApplyRegisterBehaviour(f);
  for (const auto &[offset, bits] : customWritable_) {
    f.writable[offset] |= bits;
  }
  return f;
}

uint16_t FindExtendedCapability(const ConfigFunction &f, uint16_t id) {
  uint16_t at = 0x100;
  for (unsigned n = 0; n < 240 && at >= 0x100; ++n) {
    const uint32_t header = f.Peek(at, 4);
    if (header == 0 || header == 0xFFFFFFFF) {
      return 0;
    }
    if ((header & 0xFFFF) == id) {
      return at;
    }
    at = static_cast<uint16_t>((header >> 20) & 0xFFC);
  }
  return 0;
}

} // namespace sim
