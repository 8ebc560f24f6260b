#include "sim/log.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <unordered_map>

#include <fmt/format.h>

#include "sim/edk2_format.h"

namespace sim {

namespace {

// A copied text is kept as a trace line that prints one string.
constexpr char kCopiedText[] = "%a";

// The buffers of the log that ended last, for the next one: a simulated
// boot fills some 700 KiB of events, and fresh pages cost a fault each (a
// fuzz target or a batch boots thousands of platforms). The simulator runs
// one platform at a time on one thread; the spares, like the formats' kinds
// below, are never destroyed, so a log that outlives static destruction
// still has them.
struct Spares {
  Event *events = nullptr;
  size_t capacity = 0;
  std::vector<uint64_t> texts;
};
Spares &TheSpares() {
  static Spares *spares = new Spares;
  return *spares;
}

// What each format takes, by its address: the driver has some 160
// formats, most printed many times in every boot. A direct-mapped table of
// the formats seen last sits in front of the map: a hash lookup for each of
// a boot's thousands of trace lines was a twentieth of a pass under the fuzz
// targets' sanitizers.
const std::string &ArgumentKinds(const char *format) {
  struct Recent {
    const char *format;
    const std::string *kinds;
  };
  static std::array<Recent, 256> recent{};
  // Fibonacci hashing: the top bits of the address times 2^64/phi, as
  // literals may be aligned (to 32 bytes under the address sanitizer).
  const uint64_t hash = reinterpret_cast<uintptr_t>(format) * 0x9E3779B97F4A7C15ull;
  Recent &slot = recent[hash >> 56];
  if (slot.format != format) {
    static auto *kinds = new std::unordered_map<const char *, std::string>;
    auto [known, fresh] = kinds->try_emplace(format);
    if (fresh) {
      known->second = Edk2ArgumentKinds(format);
    }
    slot = {format, &known->second};
  }
  return *slot.kinds;
}

// The larger of a log's buffer and the spare is kept, the other freed.
void GiveBack(Event *&events, size_t &capacity) {
  Spares &spares = TheSpares();
  if (capacity > spares.capacity) {
    std::swap(events, spares.events);
    std::swap(capacity, spares.capacity);
  }
  std::free(events);
  events = nullptr;
  capacity = 0;
}

void GiveBack(std::vector<uint64_t> &texts) {
  std::vector<uint64_t> &spare = TheSpares().texts;
  if (texts.capacity() > spare.capacity()) {
    texts.clear();
    texts.swap(spare);
  }
}

} // namespace

Log::Log() {
  Spares &spares = TheSpares();
  std::swap(events_, spares.events);
  std::swap(capacity_, spares.capacity);
  texts_.swap(spares.texts);
  Reserve(16384); // a reference pass logs about 16,000 events
}

Log::~Log() {
  GiveBack(events_, capacity_);
  GiveBack(texts_);
}

Log::Log(Log &&other) noexcept
    : events_(std::exchange(other.events_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)), texts_(std::move(other.texts_)) {}

Log &Log::operator=(Log &&other) noexcept {
  if (this != &other) {
    GiveBack(events_, capacity_);
    GiveBack(texts_);
    events_ = std::exchange(other.events_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    texts_ = std::move(other.texts_);
  }
  return *this;
}

void Log::Grow() { SetCapacity(capacity_ < 1024 ? 1024 : 2 * capacity_); }

void Log::SetCapacity(size_t events) {
  auto *moved = static_cast<Event *>(std::realloc(events_, events * sizeof(Event)));
  if (moved == nullptr) {
    throw std::bad_alloc();
  }
  events_ = moved;
  capacity_ = events;
}

void Log::Add(Event e, std::string_view text) {
  e.text = static_cast<uint32_t>(texts_.size() + 1);
  texts_.push_back(reinterpret_cast<uintptr_t>(kCopiedText));
  KeepEdk2String(text, texts_);
  Add(e);
}

void Log::AddTrace(uint64_t level, const char *format, VA_LIST args) {
  const auto text = static_cast<uint32_t>(texts_.size() + 1);
  texts_.push_back(reinterpret_cast<uintptr_t>(format));
  KeepEdk2Arguments(ArgumentKinds(format), args, texts_);
  Add({.kind = EventKind::Debug, .text = text, .level = level});
}

// A trace line keeps about four words.
void Log::Reserve(size_t events) {
  if (events > capacity_) {
    SetCapacity(events);
  }
  texts_.reserve(events / 2);
}

void Log::Clear() {
  size_ = 0;
  texts_.clear();
}

std::string Log::Text(const Event &e) const {
  if (e.text == 0) {
    return {};
  }
  const uint64_t *record = texts_.data() + (e.text - 1);
  return FormatEdk2Kept(reinterpret_cast<const char *>(record[0]), record + 1);
}

std::vector<Event> Log::Of(EventKind kind) const {
  std::vector<Event> out;
  for (const Event &e : Events()) {
    if (e.kind == kind) {
      out.push_back(e);
    }
  }
  return out;
}

std::vector<std::string> Log::DebugLines() const {
  std::vector<std::string> out;
  for (const Event &e : Events()) {
    if (e.kind == EventKind::Debug) {
      out.push_back(Text(e));
    }
  }
  return out;
}

std::vector<std::string> Log::DebugLines(uint64_t level) const {
  std::vector<std::string> out;
  for (const Event &e : Events()) {
    if (e.kind == EventKind::Debug && (e.level & level) != 0) {
      out.push_back(Text(e));
    }
  }
  return out;
}

std::vector<uint64_t> Log::PortWrites(uint16_t port) const {
  std::vector<uint64_t> out;
  for (const Event &e : Events()) {
    if (e.kind == EventKind::IoWrite && e.address == port) {
      out.push_back(e.value);
    }
  }
  return out;
}

std::string Describe(const Log &log, const Event &e) {
  char buf[160];
  switch (e.kind) {
  case EventKind::CfgRead:
  case EventKind::CfgWrite:
    std::snprintf(buf, sizeof buf, "cfg %s %02x:%02x.%x+%03x w%u = 0x%0*llx",
                  e.kind == EventKind::CfgRead ? "rd" : "wr",
                  static_cast<unsigned>((e.address >> 20) & 0xFF),
                  static_cast<unsigned>((e.address >> 15) & 0x1F),
                  static_cast<unsigned>((e.address >> 12) & 7),
                  static_cast<unsigned>(e.address & 0xFFF), e.width * 8,
                  static_cast<int>(e.width * 2), static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::SmnRead:
  case EventKind::SmnWrite:
    std::snprintf(buf, sizeof buf, "smn %s [hb %08x] 0x%08llx = 0x%08llx",
                  e.kind == EventKind::SmnRead ? "rd" : "wr", e.silicon,
                  static_cast<unsigned long long>(e.address),
                  static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::IoWrite:
    std::snprintf(buf, sizeof buf, "io  wr port 0x%02llx w%u = 0x%llx",
                  static_cast<unsigned long long>(e.address), e.width * 8,
                  static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::MsrRead:
  case EventKind::MsrWrite:
    std::snprintf(buf, sizeof buf, "msr %s 0x%08llx = 0x%016llx",
                  e.kind == EventKind::MsrRead ? "rd" : "wr",
                  static_cast<unsigned long long>(e.address),
                  static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::Cpuid:
    std::snprintf(buf, sizeof buf, "cpuid 0x%08llx ebx = 0x%08llx",
                  static_cast<unsigned long long>(e.address),
                  static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::PcdGet:
  case EventKind::PcdSet:
    std::snprintf(buf, sizeof buf, "pcd %s token %llu = 0x%llx",
                  e.kind == EventKind::PcdGet ? "get" : "set",
                  static_cast<unsigned long long>(e.address),
                  static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::Debug:
    return "dbg " + log.Text(e);
  case EventKind::FatalStop:
    std::snprintf(buf, sizeof buf, "FATAL STOP 0x%08llx", static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::Fault:
    return "FAULT " + log.Text(e);
  case EventKind::Locate:
    std::snprintf(buf, sizeof buf, "locate %s = 0x%llx", LocateGuid(e).c_str(),
                  static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::S3Record:
    std::snprintf(buf, sizeof buf, "s3 record w%u 0x%010llx = 0x%llx", e.width * 8,
                  static_cast<unsigned long long>(e.address),
                  static_cast<unsigned long long>(e.value));
    return buf;
  case EventKind::PassStep:
    return e.value == 0 ? std::string("pass steps end") : "pass step " + std::to_string(e.value);
  }
  return "?";
}

std::string LocateGuid(const Event &e) {
  if (e.width != 16) {
    return "null";
  }
  uint8_t bytes[16];
  std::memcpy(bytes, &e.address, 8);
  std::memcpy(bytes + 8, &e.before, 8);
  return GuidText(bytes);
}

std::string GuidText(const uint8_t *b) {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::memcpy(&data1, b, 4);
  std::memcpy(&data2, b + 4, 2);
  std::memcpy(&data3, b + 6, 2);
  return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", data1,
                     data2, data3, b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

} // namespace sim
