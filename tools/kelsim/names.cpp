#include "tools/kelsim/names.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "sim/input_error.h"
#include "tools/kelsim/output.h"

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

// Raised whenever what DeviceName makes of libpci's answers changes, so that
// a cache written by an older kelsim is not believed.
constexpr const char *kCacheFormat = "kelsim pci names 1";
// Past this many names the cache file is no longer rewritten; a file
// larger than such a cache can be is not read.
constexpr size_t kMaxCachedNames = 4096;
constexpr uintmax_t kMaxCacheBytes = kMaxCachedNames * 512;

// The file libpci reads, as it would choose it: its name, or the name
// without ".gz" when that does not open. The path, size, modification time
// and inode of each; "" when neither exists.
std::string DatabaseIdentity(const pci_access *a) {
  std::string path = a->id_file_name;
  std::string identity;
  for (int candidate = 0; candidate < 2; ++candidate) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
      identity += fmt::format("{} {} {}.{:09} {};", path, st.st_size, st.st_mtim.tv_sec,
                              st.st_mtim.tv_nsec, st.st_ino);
    }
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".gz") != 0) {
      break;
    }
    path.resize(path.size() - 3);
  }
  return identity;
}

bool IsString(const rapidjson::Value &object, const char *key, std::string_view expected) {
  const auto member = object.FindMember(key);
  return member != object.MemberEnd() && member->value.IsString() &&
         std::string_view(member->value.GetString(), member->value.GetStringLength()) == expected;
}

std::string CacheKey(uint16_t vendor, uint16_t device) {
  return fmt::format("{:04x}:{:04x}", vendor, device);
}

// The XDG cache directory's file, or "" when there is no home to keep it in.
std::string DefaultCacheFile() {
  const char *xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    return std::string(xdg) + "/kelsim/pci-names.json";
  }
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.cache/kelsim/pci-names.json";
  }
  return "";
}

// libpci reads all of pci.ids (1.4 MB) before it answers a first lookup,
// which costs more than a simulated boot. The names looked up are kept in a
// small cache file instead, believed only while the database file is the
// one they came from; a name the cache lacks loads the database as before.
// The cache is an optimisation: one that cannot be read or written is
// passed over in silence.
struct Database {
  std::unique_ptr<pci_access, PciAccessDeleter> access{NewAccess()};
  std::map<std::pair<uint16_t, uint16_t>, std::string> names;
  std::string cacheFile;
  std::string identity; // of the database when the cache was read
  bool cacheRead = false;
  bool added = false; // names the cache file does not hold yet

  ~Database() { WriteCache(); }

  void ReadCache() {
    cacheRead = true;
    identity = DatabaseIdentity(access.get());
    if (cacheFile.empty() || identity.empty()) {
      return;
    }
    // A regular file of a size the cache can reach; a directory in its
    // place opens too, and reports a size no string can hold.
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(cacheFile, error);
    if (error || size > kMaxCacheBytes || !std::filesystem::is_regular_file(cacheFile, error)) {
      return;
    }
    std::string text(size, '\0');
    std::ifstream(cacheFile, std::ios::binary).read(text.data(), static_cast<std::streamsize>(size));
    rapidjson::Document cache;
    cache.Parse(text.c_str(), text.size());
    if (cache.HasParseError() || !cache.IsObject() || !IsString(cache, "format", kCacheFormat) ||
        !IsString(cache, "database", identity) || !cache.HasMember("names") ||
        !cache["names"].IsObject()) {
      return;
    }
    const rapidjson::Value &list = cache["names"];
    for (const auto &entry : list.GetObject()) {
      const std::string_view key(entry.name.GetString(), entry.name.GetStringLength());
      uint16_t vendor = 0;
      uint16_t device = 0;
      if (!entry.value.IsString() || key.size() != 9 || key[4] != ':' ||
          std::from_chars(key.data(), key.data() + 4, vendor, 16).ptr != key.data() + 4 ||
          std::from_chars(key.data() + 5, key.data() + 9, device, 16).ptr != key.data() + 9) {
        continue;
      }
      names[{vendor, device}].assign(entry.value.GetString(), entry.value.GetStringLength());
    }
  }

  // Written whole or not at all, as every output is, so that a process
  // reading it at the same time sees the old cache or the new. Anything but
  // a regular file in its place (a pipe would block) is left alone.
  void WriteCache() {
    if (!added || cacheFile.empty() || identity.empty() || names.size() > kMaxCachedNames) {
      return;
    }
    added = false;
    rapidjson::StringBuffer text;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> out(text);
    out.StartObject();
    out.Key("format");
    out.String(kCacheFormat);
    out.Key("database");
    out.String(identity.c_str(), static_cast<rapidjson::SizeType>(identity.size()));
    out.Key("names");
    out.StartObject();
    for (const auto &[ids, name] : names) {
      out.Key(CacheKey(ids.first, ids.second).c_str());
      out.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
    }
    out.EndObject();
    out.EndObject();
    std::error_code error;
    if (std::filesystem::exists(cacheFile, error) &&
        !std::filesystem::is_regular_file(cacheFile, error)) {
      return;
    }
    std::filesystem::create_directories(std::filesystem::path(cacheFile).parent_path(), error);
    try {
      WriteWholeFiles({{cacheFile, std::string(text.GetString(), text.GetSize()) + "\n"}});
    } catch (const sim::InputError &) {
      // not written: the names are looked up again next time
    }
  }
};

Database &Names() {
  static Database db{.cacheFile = DefaultCacheFile()};
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
  if (!db.cacheRead) {
    db.ReadCache();
  }
  const auto key = std::make_pair(vendor, device);
  const auto known = db.names.find(key);
  if (known != db.names.end()) {
    return known->second;
  }
  std::string name = Lookup(PCI_LOOKUP_VENDOR | PCI_LOOKUP_DEVICE, vendor, device);
  if (name.empty()) {
    name = Lookup(PCI_LOOKUP_VENDOR, vendor, device);
  }
  db.added = true;
  return db.names[key] = name;
}

void UsePciIds(const std::string &path, const std::string &cacheFile) {
  Database &db = Names();
  db.WriteCache();
  db.access.reset(NewAccess());
  db.names.clear();
  db.cacheFile = cacheFile;
  db.cacheRead = false;
  // libpci keeps the pointer: hand it a copy it frees itself.
  pci_set_name_list_path(db.access.get(), strdup(path.c_str()), 1);
}

} // namespace kelsim
