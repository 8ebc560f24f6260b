// One ordered log of everything the driver does to the simulated platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class EventKind {
  CfgRead,   // address = PciAddress (register included), width in bytes
  CfgWrite,
  SmnRead,   // address = SMN address, silicon = host bridge PciAddress
  SmnWrite,
  IoWrite,   // address = port
  MsrRead,
  MsrWrite,
  Cpuid,     // address = leaf, value = EBX
  PcdGet,    // address = token
  PcdSet,
  Debug,     // level, text
  FatalStop, // value = code
  Fault,     // something a real platform would not accept; text says what
  Locate,    // a LocateProtocol call; value = the status, the GUID as LocateGuid says
  S3Record,  // an S3 save-state Write: address, width in bytes, value
  PassStep,  // value = the pass step that begins, 0 after a silicon's last
};

// 80 bytes: the large platform logs some 300,000 of them.
struct Event {
  EventKind kind;
  uint64_t address = 0;
  unsigned width = 0;
  uint32_t silicon = 0;
  uint64_t value = 0;
  uint64_t level = 0;
  std::string text;
  uint64_t before = 0; // writes: the register's value before the write
};
static_assert(sizeof(Event) == 48 + sizeof(std::string));

class Log {
public:
  Log() { events_.reserve(16384); } // a reference pass logs about 13,000 events
  void Add(Event &&e) { events_.push_back(std::move(e)); }
  void Reserve(size_t events) { events_.reserve(events); }
  const std::vector<Event> &Events() const { return events_; }
  void Clear() { events_.clear(); }
  // Hands the events over, leaving the log empty.
  std::vector<Event> Take() { return std::move(events_); }
  void Patch(size_t index, uint64_t value) { events_.at(index).value = value; }

  std::vector<Event> Of(EventKind kind) const;
  // Debug lines in order, text only.
  std::vector<std::string> DebugLines() const;
  std::vector<std::string> DebugLines(uint64_t level) const;
  // Values written to one I/O port, in order.
  std::vector<uint64_t> PortWrites(uint16_t port) const;
  std::vector<Event> Faults() const { return Of(EventKind::Fault); }

private:
  std::vector<Event> events_;
};

std::string Describe(const Event &e);

// A located GUID's 16 bytes, in memory order, kept as numbers (the driver
// locates a protocol for every trace line): `address` holds the first 8,
// `before` the last 8, `width` is 16, or 0 for a null GUID.
void SetLocateGuid(Event &e, const void *guid);
// The GUID of a Locate event in registry format, or "null".
std::string LocateGuid(const Event &e);
// A GUID's 16 bytes in registry format ("11B34006-D85B-4D0A-...").
std::string GuidText(const uint8_t *bytes);

} // namespace sim
