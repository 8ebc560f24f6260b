#include "tools/kelsim/names.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

extern "C" {
#include <pci/pci.h>
}

namespace kelsim {

namespace {

struct PciAccessDeleter {
  void operator()(pci_access *a) const { pci_cleanup(a); }
};

// Names come from the pci.ids file only, never from udev's hardware
// database. pci_init would also open the machine's own PCI bus; only the name
// database is wanted, so the message callbacks pci_init sets are set here:
// a database that cannot be read or parsed leaves the IDs alone.
void Quiet(char *, ...) {}
__attribute__((noreturn)) void Fatal(char *message, ...) {
  std::fprintf(stderr, "kelsim: libpci: %s\n", message);
  std::abort();
}

pci_access *NewAccess() {
  pci_access *a = pci_alloc();
  a->error = Fatal;
  a->warning = Quiet;
  a->debug = Quiet;
  return a;
}

struct Database {
  std::unique_ptr<pci_access, PciAccessDeleter> access{NewAccess()};
  std::map<std::pair<uint16_t, uint16_t>, std::string> cache;
};

Database &Names() {
  static Database db;
  return db;
}

std::string Lookup(int flags, uint16_t vendor, uint16_t device) {
  char buf[256];
  const char *name = pci_lookup_name(Names().access.get(), buf, sizeof buf,
                                     flags | PCI_LOOKUP_NO_NUMBERS | PCI_LOOKUP_NO_HWDB, vendor,
                                     device);
  return name == nullptr ? "" : name;
}

} // namespace

std::string DeviceName(uint16_t vendor, uint16_t device) {
  Database &db = Names();
  const auto key = std::make_pair(vendor, device);
  const auto known = db.cache.find(key);
  if (known != db.cache.end()) {
    return known->second;
  }
  std::string name = Lookup(PCI_LOOKUP_VENDOR | PCI_LOOKUP_DEVICE, vendor, device);
  if (name.empty()) {
    name = Lookup(PCI_LOOKUP_VENDOR, vendor, device);
  }
  return db.cache[key] = name;
}

void UsePciIds(const std::string &path) {
  Database &db = Names();
  db.access.reset(NewAccess());
  db.cache.clear();
  // libpci keeps the pointer: hand it a copy it frees itself.
  pci_set_name_list_path(db.access.get(), strdup(path.c_str()), 1);
}

} // namespace kelsim
