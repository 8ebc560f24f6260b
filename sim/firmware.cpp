#include "sim/firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

Firmware *gCurrent = nullptr;

// Pool memory comes back uninitialised, as from a UEFI core; the pattern
// makes a reliance on zeroed memory visible.
constexpr uint8_t kPoolFill = 0xAF;

Firmware &Fw() {
  if (gCurrent == nullptr) {
    std::fputs("boot service called with no simulated firmware\n", stderr);
    std::abort();
  }
  return *gCurrent;
}

EFI_TPL EFIAPI BsRaiseTpl(EFI_TPL tpl) { return Fw().RaiseTpl(tpl); }
VOID EFIAPI BsRestoreTpl(EFI_TPL tpl) { Fw().RestoreTpl(tpl); }
EFI_STATUS EFIAPI BsAllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  return Fw().AllocatePool(type, size, buffer);
}
EFI_STATUS EFIAPI BsFreePool(VOID *buffer) { return Fw().FreePool(buffer); }
EFI_STATUS EFIAPI BsCreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, VOID *ctx,
                                EFI_EVENT *event) {
  return Fw().CreateEvent(type, tpl, fn, ctx, nullptr, event);
}
EFI_STATUS EFIAPI BsCreateEventEx(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, const VOID *ctx,
                                  const EFI_GUID *group, EFI_EVENT *event) {
  return Fw().CreateEvent(type, tpl, fn, ctx, group, event);
}
EFI_STATUS EFIAPI BsSignalEvent(EFI_EVENT event) { return Fw().SignalEvent(event); }
EFI_STATUS EFIAPI BsCloseEvent(EFI_EVENT event) { return Fw().CloseEvent(event); }
EFI_STATUS EFIAPI BsInstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                             EFI_INTERFACE_TYPE type, VOID *interface) {
  return Fw().InstallProtocolInterface(handle, guid, type, interface);
}
EFI_STATUS EFIAPI BsRegisterProtocolNotify(const EFI_GUID *guid, EFI_EVENT event,
                                           VOID **registration) {
  return Fw().RegisterProtocolNotify(guid, event, registration);
}
EFI_STATUS EFIAPI BsLocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **interface) {
  return Fw().LocateProtocol(guid, registration, interface);
}

} // namespace

bool operator<(const EFI_GUID &a, const EFI_GUID &b) { return std::memcmp(&a, &b, sizeof a) < 0; }

std::string GuidText(const EFI_GUID &g) { return GuidText(reinterpret_cast<const uint8_t *>(&g)); }

Firmware *Firmware::Current() { return gCurrent; }

Firmware::Firmware(Log &log) : log_(&log) {
  if (gCurrent != nullptr) {
    throw std::logic_error("only one simulated firmware may exist at a time");
  }
  gCurrent = this;
  bootServices_.Hdr.Signature = 0x56524553544F4F42ULL; // "BOOTSERV"
  bootServices_.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  bootServices_.RaiseTPL = BsRaiseTpl;
  bootServices_.RestoreTPL = BsRestoreTpl;
  bootServices_.AllocatePool = BsAllocatePool;
  bootServices_.FreePool = BsFreePool;
  bootServices_.CreateEvent = BsCreateEvent;
  bootServices_.SignalEvent = BsSignalEvent;
  bootServices_.CloseEvent = BsCloseEvent;
  bootServices_.InstallProtocolInterface = BsInstallProtocolInterface;
  bootServices_.RegisterProtocolNotify = BsRegisterProtocolNotify;
  bootServices_.LocateProtocol = BsLocateProtocol;
  bootServices_.CreateEventEx = BsCreateEventEx;
  systemTable_.Hdr.Signature = 0x5453595320494249ULL; // "IBI SYST"
  systemTable_.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  systemTable_.BootServices = &bootServices_;
}

Firmware::~Firmware() {
  for (auto &[p, a] : pools_) {
    std::free(p);
  }
  gCurrent = nullptr;
}

void Firmware::Fault(const std::string &what) {
  log_->Add({.kind = EventKind::Fault}, what);
}

EFI_TPL Firmware::RaiseTpl(EFI_TPL tpl) {
  const EFI_TPL old = tpl_;
  if (tpl < tpl_) {
    Fault("RaiseTPL to a lower TPL");
  }
  tpl_ = tpl;
  return old;
}

void Firmware::RestoreTpl(EFI_TPL tpl) {
  if (tpl > tpl_) {
    Fault("RestoreTPL to a higher TPL");
  }
  tpl_ = tpl;
  DispatchPending();
}

void Firmware::DispatchPending() {
  for (;;) {
    Event *next = nullptr;
    EFI_EVENT handle = nullptr;
    for (auto &[h, e] : events_) {
      if (e->pending && e->tpl > tpl_ &&
          (next == nullptr || e->tpl > next->tpl ||
           (e->tpl == next->tpl && e->order < next->order))) {
        next = e.get();
        handle = h;
      }
    }
    if (next == nullptr) {
      return;
    }
    next->pending = false;
    const EFI_TPL saved = tpl_;
    tpl_ = next->tpl;
    next->fn(handle, next->ctx);
    tpl_ = saved;
  }
}

EFI_STATUS Firmware::AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (failAllocation && failAllocation(type, size)) {
    *buffer = nullptr;
    return EFI_OUT_OF_RESOURCES;
  }
  void *p = std::malloc(size == 0 ? 1 : size);
  std::memset(p, kPoolFill, size);
  pools_[p] = {size, type};
  ++poolChanges_;
  *buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS Firmware::FreePool(VOID *buffer) {
  auto it = pools_.find(buffer);
  if (it == pools_.end()) {
    Fault("FreePool of memory that is not an outstanding pool allocation (double free?)");
    return EFI_INVALID_PARAMETER;
  }
  std::free(it->first);
  pools_.erase(it);
  ++poolChanges_;
  return EFI_SUCCESS;
}

EFI_STATUS Firmware::CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, const VOID *ctx,
                                 const EFI_GUID *group, EFI_EVENT *event) {
  if (event == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if ((type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0 &&
      (fn == nullptr || tpl <= TPL_APPLICATION || tpl >= TPL_HIGH_LEVEL)) {
    return EFI_INVALID_PARAMETER;
  }
  auto e = std::make_unique<Event>();
  e->type = type;
  e->tpl = tpl;
  e->fn = fn;
  e->ctx = const_cast<VOID *>(ctx);
  if (group != nullptr) {
    e->group = *group;
  }
  EFI_EVENT handle = e.get();
  events_[handle] = std::move(e);
  *event = handle;
  return EFI_SUCCESS;
}

void Firmware::MarkPending(EFI_EVENT h) {
  Event &e = *events_.at(h);
  if ((e.type & EVT_NOTIFY_SIGNAL) != 0 && !e.pending) {
    e.pending = true;
    e.order = ++signalOrder_;
  }
}

EFI_STATUS Firmware::SignalEvent(EFI_EVENT event) {
  auto it = events_.find(event);
  if (it == events_.end()) {
    Fault("SignalEvent of an unknown or closed event");
    return EFI_INVALID_PARAMETER;
  }
  if (it->second->group) {
    const EFI_GUID group = *it->second->group;
    for (auto &[h, e] : events_) {
      if (e->group && GuidEqual(*e->group, group)) {
        MarkPending(h);
      }
    }
  } else {
    MarkPending(event);
  }
  DispatchPending();
  return EFI_SUCCESS;
}

void Firmware::SignalEventGroup(const EFI_GUID &group) {
  for (auto &[h, e] : events_) {
    if (e->group && GuidEqual(*e->group, group)) {
      MarkPending(h);
    }
  }
  DispatchPending();
}

EFI_STATUS Firmware::CloseEvent(EFI_EVENT event) {
  auto it = events_.find(event);
  if (it == events_.end()) {
    Fault("CloseEvent of an unknown or already closed event");
    return EFI_INVALID_PARAMETER;
  }
  events_.erase(it);
  registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                      [event](const auto &r) { return r->event == event; }),
                       registrations_.end());
  return EFI_SUCCESS;
}

EFI_STATUS Firmware::InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                              EFI_INTERFACE_TYPE type, VOID *interface) {
  if (handle == nullptr || guid == nullptr || type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  Handle *target = static_cast<Handle *>(*handle);
  if (target == nullptr) {
    handles_.push_back(std::make_unique<Handle>());
    target = handles_.back().get();
  } else if (std::none_of(handles_.begin(), handles_.end(),
                          [target](const auto &h) { return h.get() == target; })) {
    return EFI_INVALID_PARAMETER;
  }
  for (const auto &[g, i] : target->protocols) {
    if (GuidEqual(g, *guid)) {
      return EFI_INVALID_PARAMETER;
    }
  }
  // A UEFI core installs at TPL_NOTIFY and signals the registered notify
  // events; they run as it restores the caller's TPL, inside this call.
  const EFI_TPL old = RaiseTpl(TPL_NOTIFY);
  target->protocols.emplace_back(*guid, interface);
  lastLocated_.reset(); // a handle earlier in the database may now answer first
  *handle = target;
  for (auto &r : registrations_) {
    if (GuidEqual(r->guid, *guid)) {
      r->fresh.push_back(interface);
      MarkPending(r->event);
    }
  }
  RestoreTpl(old);
  return EFI_SUCCESS;
}

EFI_HANDLE Firmware::InstallProtocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle) {
  const EFI_STATUS s = InstallProtocolInterface(&handle, &guid, EFI_NATIVE_INTERFACE, interface);
  if (s != EFI_SUCCESS) {
    throw std::logic_error("platform could not install protocol " + GuidText(guid));
  }
  return handle;
}

EFI_STATUS Firmware::RegisterProtocolNotify(const EFI_GUID *guid, EFI_EVENT event,
                                            VOID **registration) {
  if (guid == nullptr || registration == nullptr || events_.count(event) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  registrations_.push_back(std::make_unique<Registration>());
  registrations_.back()->guid = *guid;
  registrations_.back()->event = event;
  *registration = registrations_.back().get();
  return EFI_SUCCESS;
}

EFI_STATUS Firmware::LocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **interface) {
  const EFI_STATUS status = Locate(guid, registration, interface);
  log_->Add(LocateEvent(status, guid));
  return status;
}

EFI_STATUS Firmware::Locate(const EFI_GUID *guid, VOID *registration, VOID **interface) {
  if (guid == nullptr || interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (registration != nullptr) {
    for (auto &r : registrations_) {
      if (r.get() == registration) {
        if (r->fresh.empty()) {
          *interface = nullptr;
          return EFI_NOT_FOUND;
        }
        *interface = r->fresh.front();
        r->fresh.pop_front();
        return EFI_SUCCESS;
      }
    }
    *interface = nullptr;
    return EFI_NOT_FOUND;
  }
  if (lastLocated_ && GuidEqual(lastLocated_->first, *guid)) {
    *interface = lastLocated_->second;
    return EFI_SUCCESS;
  }
  for (const auto &h : handles_) {
    for (const auto &[g, i] : h->protocols) {
      if (GuidEqual(g, *guid)) {
        lastLocated_.emplace(g, i);
        *interface = i;
        return EFI_SUCCESS;
      }
    }
  }
  *interface = nullptr;
  return EFI_NOT_FOUND;
}

std::vector<void *> Firmware::Interfaces(const EFI_GUID &guid) const {
  std::vector<void *> out;
  for (const auto &h : handles_) {
    for (const auto &[g, i] : h->protocols) {
      if (GuidEqual(g, guid)) {
        out.push_back(i);
      }
    }
  }
  return out;
}

void Firmware::AddConfigurationTable(const EFI_GUID &guid, void *table) {
  configTable_.push_back({guid, table});
  systemTable_.NumberOfTableEntries = configTable_.size();
  systemTable_.ConfigurationTable = configTable_.data();
}

} // namespace sim
