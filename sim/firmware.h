// The UEFI core as the driver sees it: system table, boot services with a
// protocol database, events with TPL dispatch and event groups, pool memory.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/log.h"
#include "uefi/protocols.h"

namespace sim {

bool operator<(const EFI_GUID &a, const EFI_GUID &b);
std::string GuidText(const EFI_GUID &g);

class Firmware {
public:
  explicit Firmware(Log &log);
  ~Firmware();
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;

  EFI_SYSTEM_TABLE *SystemTable() { return &systemTable_; }
  EFI_BOOT_SERVICES *BootServices() { return &bootServices_; }

  // Platform actions, performed as the module that owns them would.
  EFI_HANDLE InstallProtocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle = nullptr);
  void SignalEventGroup(const EFI_GUID &group);
  void AddConfigurationTable(const EFI_GUID &guid, void *table);

  // Pool bookkeeping.
  struct Allocation {
    size_t size;
    EFI_MEMORY_TYPE type;
  };
  const std::map<void *, Allocation> &Allocations() const { return pools_; }
  // Counts the allocations and frees made: unchanged, so are Allocations().
  uint64_t PoolChanges() const { return poolChanges_; }
  // Fails the allocations for which the predicate answers true.
  std::function<bool(EFI_MEMORY_TYPE, size_t)> failAllocation;

  // Events.
  size_t OpenEventCount() const { return events_.size(); }
  bool EventIsOpen(EFI_EVENT e) const { return events_.count(e) != 0; }
  size_t HandleCount() const { return handles_.size(); }
  std::vector<void *> Interfaces(const EFI_GUID &guid) const;
  EFI_TPL CurrentTpl() const { return tpl_; }

  // Boot-service implementations.
  EFI_TPL RaiseTpl(EFI_TPL tpl);
  void RestoreTpl(EFI_TPL tpl);
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer);
  EFI_STATUS FreePool(VOID *buffer);
  EFI_STATUS CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, const VOID *ctx,
                         const EFI_GUID *group, EFI_EVENT *event);
  EFI_STATUS SignalEvent(EFI_EVENT event);
  EFI_STATUS CloseEvent(EFI_EVENT event);
  EFI_STATUS InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                      EFI_INTERFACE_TYPE type, VOID *interface);
  EFI_STATUS RegisterProtocolNotify(const EFI_GUID *guid, EFI_EVENT event, VOID **registration);
  EFI_STATUS LocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **interface);

  static Firmware *Current();

private:
  struct Event {
    UINT32 type;
    EFI_TPL tpl;
    EFI_EVENT_NOTIFY fn;
    VOID *ctx;
    std::optional<EFI_GUID> group;
    bool pending = false;
    uint64_t order = 0;
  };
  struct Handle {
    std::vector<std::pair<EFI_GUID, void *>> protocols;
  };
  struct Registration {
    EFI_GUID guid;
    EFI_EVENT event;
    std::deque<void *> fresh; // interfaces installed since registration, not yet located
  };

  void Fault(const std::string &what);
  void MarkPending(EFI_EVENT e);
  void DispatchPending();

  EFI_STATUS Locate(const EFI_GUID *guid, VOID *registration, VOID **interface);
  Log *log_;
  EFI_SYSTEM_TABLE systemTable_{};
  EFI_BOOT_SERVICES bootServices_{};
  std::vector<EFI_CONFIGURATION_TABLE> configTable_;
  std::map<void *, Allocation> pools_;
  uint64_t poolChanges_ = 0;
  std::map<EFI_EVENT, std::unique_ptr<Event>> events_;
  std::vector<std::unique_ptr<Handle>> handles_;
  std::vector<std::unique_ptr<Registration>> registrations_;
  // The protocol found last: the driver locates its debug-print protocol
  // for every trace line.
  std::optional<std::pair<EFI_GUID, void *>> lastLocated_;
  EFI_TPL tpl_ = TPL_APPLICATION;
  uint64_t signalOrder_ = 0;
};

} // namespace sim
