// One ordered log of everything the driver does to the simulated platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "uefi/uefi.h"

namespace sim {

enum class EventKind : uint8_t {
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
  Debug,     // level; the line as Log::Text spells it
  FatalStop, // value = code
  Fault,     // something a real platform would not accept; Log::Text says what
  Locate,    // a LocateProtocol call; value = the status, the GUID as LocateGuid says
  S3Record,  // an S3 save-state Write: address, width in bytes, value
  PassStep,  // value = the pass step that begins, 0 after a silicon's last
};

// 40 bytes, and no text of its own: the large platform logs some 300,000
// events, and storing them was a sixth of a pass. A trace line is kept as
// its format and argument values, and spelled only when a report asks
// (Log::Text).
struct Event {
  EventKind kind;
  uint32_t text = 0; // the event's text in its log, 0 for none
  uint64_t address = 0;
  unsigned width = 0;
  uint32_t silicon = 0;
  uint64_t value = 0;
  // A trace line has a level and no register; the others no level.
  union {
    uint64_t before = 0; // writes: the register's value before the write
    uint64_t level;      // Debug: the trace line's error level
  };
};
static_assert(sizeof(Event) == 40 && std::is_trivially_copyable_v<Event>);
static_assert(offsetof(Event, text) == 4 && offsetof(Event, address) == 8 &&
              offsetof(Event, width) == 16 && offsetof(Event, silicon) == 20 &&
              offsetof(Event, value) == 24 && offsetof(Event, before) == 32 &&
              offsetof(Event, level) == 32);

class Log {
public:
  Log();
  ~Log();
  // Moved, never copied: a boot's log is some 700 KiB.
  Log(const Log &) = delete;
  Log &operator=(const Log &) = delete;
  Log(Log &&other) noexcept;
  // The buffers given up go to the next log, as a finished log's do.
  Log &operator=(Log &&other) noexcept;

  // Inline, into the log's own buffer: a vector's append was an out-of-line
  // call that zeroed the slot before the event was copied in, for each of a
  // pass's 16,000 events.
  [[gnu::always_inline]] void Add(const Event &e) {
    if (size_ == capacity_) [[unlikely]] {
      Grow();
    }
    events_[size_++] = e;
  }
  // An event with a text of its own, copied.
  void Add(Event e, std::string_view text);
  // A trace line: its format and arguments kept, formatted when asked.
  void AddTrace(uint64_t level, const char *format, VA_LIST args);
  void Reserve(size_t events);
  std::span<const Event> Events() const { return {events_, size_}; }
  void Clear();
  void Patch(size_t index, uint64_t value) { events_[index].value = value; }
  // The event's trace line or fault text; empty when it has none.
  std::string Text(const Event &e) const;

  std::vector<Event> Of(EventKind kind) const;
  // Debug lines in order, text only.
  std::vector<std::string> DebugLines() const;
  std::vector<std::string> DebugLines(uint64_t level) const;
  // Values written to one I/O port, in order.
  std::vector<uint64_t> PortWrites(uint16_t port) const;
  std::vector<Event> Faults() const { return Of(EventKind::Fault); }

private:
  // Doubles the event buffer; the texts grow on their own.
  void Grow();
  void SetCapacity(size_t events);

  // Allocated with malloc and grown with realloc (an Event is trivially
  // copyable): a large platform's log of some 300,000 events can then grow
  // in place, or by remapping its pages, rather than always by copying.
  Event *events_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  // Texts: at each event's `text - 1`, a format's address, then its
  // arguments as sim::KeepEdk2Arguments keeps them.
  std::vector<uint64_t> texts_;
};

// One line for an event of this log.
std::string Describe(const Log &log, const Event &e);

// A LocateProtocol call's event: its status, and the GUID's 16 bytes in
// memory order kept as numbers (the driver locates a protocol for every
// trace line): `address` holds the first 8, `before` the last 8, `width` is
// 16, or 0 for a null GUID. Built whole and inline, so that it is stored
// straight into the log: filled in field by field on the stack, it was then
// copied as 16-byte blocks, which the processor cannot forward from the
// smaller stores just made (a pass ran 2-5% slower).
inline Event LocateEvent(uint64_t status, const void *guid) {
  uint64_t first = 0;
  uint64_t last = 0;
  if (guid != nullptr) {
    std::memcpy(&first, guid, 8);
    std::memcpy(&last, static_cast<const uint8_t *>(guid) + 8, 8);
  }
  return {.kind = EventKind::Locate,
          .address = first,
          .width = guid != nullptr ? 16u : 0u,
          .value = status,
          .before = last};
}
// The GUID of a Locate event in registry format, or "null".
std::string LocateGuid(const Event &e);
// A GUID's 16 bytes in registry format ("11B34006-D85B-4D0A-...").
std::string GuidText(const uint8_t *bytes);

} // namespace sim
