// Checks of a platform before it is built: one function per address, lanes
// and port numbers not shared, bus numbers that form a tree.
#include <map>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "tools/kelsim/scenario_internal.h"

namespace kelsim::internal {

BusRange RootPortBuses(const EngineEntry &e) {
  int secondary = e.rootPort.secondaryBus;
  int highest = -1;
  for (const DeviceEntry &d : e.devices) {
    const int bus = BusOf(d.address);
    if (e.rootPort.secondaryBus < 0 && (secondary < 0 || bus < secondary)) {
      secondary = bus;
    }
    highest = std::max({highest, bus, d.secondaryBus, d.subordinateBus});
  }
  secondary = std::max(secondary, 0);
  const int subordinate =
      e.rootPort.subordinateBus >= 0 ? e.rootPort.subordinateBus : std::max(highest, secondary);
  return {secondary, subordinate};
}

namespace {

// The bus-number structure must be a tree: every bridge leads strictly
// further from the root, no two bridges claim the same bus, and every device
// sits on a bus some bridge leads to (or on bus 0). A captured bridge is what
// a machine held, and the driver guards against every such fault: there they
// are warnings, and the run shows what the driver makes of them.
struct BridgeInfo {
  uint32_t bdf;
  int secondary;
  int subordinate;
  std::string where;
  bool captured = false;
};

void CheckTree(const std::vector<BridgeInfo> &bridges, const std::vector<std::pair<uint32_t, std::string>> &devices,
               const std::string &file, std::vector<std::string> &warnings) {
  auto fault = [&](const BridgeInfo &b, const std::string &what) {
    if (!b.captured) {
      throw sim::InputError(file, b.where, what);
    }
    warnings.push_back(file + ": " + b.where + ": " + what);
  };
  std::map<int, const BridgeInfo *> owner;
  for (const BridgeInfo &b : bridges) {
    const int bus = static_cast<int>((b.bdf >> 20) & 0xFF);
    if (b.secondary == 0) {
      continue; // not configured: nothing below it is reached
    }
    if (b.secondary <= bus) {
      fault(b, "bridge loop: " + sim::BdfText(b.bdf) + " leads to bus " +
                   std::to_string(b.secondary) + ", which is not below its own bus " +
                   std::to_string(bus));
      continue;
    }
    if (b.subordinate >= 0 && b.subordinate < b.secondary) {
      fault(b, "subordinate bus " + std::to_string(b.subordinate) + " is below secondary bus " +
                   std::to_string(b.secondary));
    }
    auto [it, fresh] = owner.emplace(b.secondary, &b);
    if (!fresh) {
      fault(b, "bus " + std::to_string(b.secondary) + " is already the secondary bus of " +
                   sim::BdfText(it->second->bdf));
    }
  }
  // A bridge's buses lie inside its parent bridge's secondary-subordinate
  // range: a root port routes nothing else down (PCI-to-PCI Bridge r1.2,
  // 3.2.5.3-3.2.5.6).
  for (const BridgeInfo &b : bridges) {
    const int bus = static_cast<int>((b.bdf >> 20) & 0xFF);
    const auto parent = owner.find(bus);
    if (b.secondary == 0 || bus == 0 || parent == owner.end() || parent->second->subordinate < 0) {
      continue;
    }
    const int last = std::max(b.secondary, b.subordinate);
    if (last > parent->second->subordinate) {
      fault(b, "bus " + std::to_string(last) + " lies outside the buses " +
                   std::to_string(parent->second->secondary) + "-" +
                   std::to_string(parent->second->subordinate) + " that " +
                   sim::BdfText(parent->second->bdf) + " routes");
    }
  }
  for (const auto &[bdf, where] : devices) {
    const int bus = static_cast<int>((bdf >> 20) & 0xFF);
    if (bus != 0 && owner.count(bus) == 0) {
      throw sim::InputError(file, where,
                            sim::BdfText(bdf) + " is on bus " + std::to_string(bus) +
                                ", which no bridge leads to");
    }
  }
}

} // namespace

// Two active ports of one silicon cannot own the same lane.
void CheckLanes(const SiliconEntry &silicon, const std::string &file) {
  std::vector<std::tuple<int, int, std::string>> taken;
  for (const WrapperEntry &w : silicon.wrappers) {
    for (const EngineEntry &e : w.engines) {
      if (!e.engine.active) {
        continue;
      }
      const int lo = std::min(e.engine.startLane, e.engine.endLane);
      const int hi = std::max(e.engine.startLane, e.engine.endLane);
      for (const auto &[olo, ohi, where] : taken) {
        if (lo <= ohi && olo <= hi) {
          throw sim::InputError(file, e.path,
                                "lanes " + std::to_string(lo) + "-" + std::to_string(hi) +
                                    " overlap lanes " + std::to_string(olo) + "-" +
                                    std::to_string(ohi) + " of " + where);
        }
      }
      taken.emplace_back(lo, hi, e.path);
    }
  }
}

// Two engines with one PortId on one core would share their NBIO port
// registers and CLKREQ# map field; a ClkReqNumber of 6-15 names no signal,
// which the driver treats as none.
void CheckPortNumbers(const SiliconEntry &silicon, const std::string &file,
                      std::vector<std::string> &warnings) {
  std::map<uint8_t, std::string> taken;
  for (const WrapperEntry &w : silicon.wrappers) {
    for (const EngineEntry &e : w.engines) {
      const uint8_t location = e.engine.portLocation;
      const auto [it, fresh] = taken.emplace(location, e.path);
      if (!fresh) {
        throw sim::InputError(file, e.path + ".PortLocation",
                              fmt::format("PortId {} of core {} is also {}'s; give each engine its "
                                          "own PortLocation",
                                          location >> 4, location & 0xF, it->second));
      }
      const unsigned clkReq = e.engine.clkReqMap & 0xF;
      if (clkReq > 5) {
        warnings.push_back(file + ": " + e.path + ".ClkReqMap: CLKREQ number " +
                           std::to_string(clkReq) +
                           " names no signal (1-5 are CLKREQB_0-4); the driver treats the port "
                           "as one without a signal");
      }
    }
  }
}

void Validate(Scenario &s, const std::string &file) {
  std::map<uint32_t, std::string> taken;
  std::vector<BridgeInfo> bridges;
  std::vector<std::pair<uint32_t, std::string>> devices;
  auto claim = [&](uint32_t bdf, const std::string &where) {
    auto [it, fresh] = taken.emplace(bdf, where);
    if (!fresh) {
      throw sim::InputError(file, where,
                            sim::BdfText(bdf) + " is already described at " + it->second);
    }
  };
  // Captured functions may sit on further root buses (bus 0xff uncore
  // devices, say); only described devices must be reachable.
  for (const auto &c : s.captured) {
    claim(c.bdf, "capture line " + std::to_string(c.line));
    if ((c.bytes[0x0E] & 0x7F) == 1) {
      bridges.push_back(
          {c.bdf, c.bytes[0x19], c.bytes[0x1A], "capture line " + std::to_string(c.line), true});
    }
  }
  std::set<uint32_t> hostBridges;
  for (size_t si = 0; si < s.silicons.size(); ++si) {
    const SiliconEntry &silicon = s.silicons[si];
    CheckLanes(silicon, file);
    CheckPortNumbers(silicon, file, s.warnings);
    const std::string where = "$.Silicons[" + std::to_string(si) + "].HostBridgeAddress";
    if (!hostBridges.insert(silicon.hostBridgeAddress).second) {
      throw sim::InputError(file, where,
                            "two silicons share host bridge " + sim::BdfText(silicon.hostBridgeAddress));
    }
    // A captured host bridge keeps its bytes and gains the SMN pair.
    if (std::none_of(s.captured.begin(), s.captured.end(),
                     [&](const auto &c) { return c.bdf == silicon.hostBridgeAddress; })) {
      claim(silicon.hostBridgeAddress, where);
    }
    for (const WrapperEntry &w : silicon.wrappers) {
      for (const EngineEntry &e : w.engines) {
        const uint32_t port = e.engine.portPciAddress;
        const bool captured = std::any_of(s.captured.begin(), s.captured.end(),
                                          [port](const auto &c) { return c.bdf == port; });
        if (!captured) {
          claim(port, e.path + ".PortPciAddress");
        }
        for (const DeviceEntry &d : e.devices) {
          claim(d.address, d.path);
          devices.emplace_back(d.address, d.path);
          if (d.secondaryBus >= 0) {
            bridges.push_back({d.address, d.secondaryBus,
                               d.subordinateBus < 0 ? d.secondaryBus : d.subordinateBus, d.path});
          }
        }
        if (!captured) {
          const BusRange buses = RootPortBuses(e);
          bridges.push_back({port, buses.secondary, buses.subordinate, e.path});
        }
      }
    }
  }
  CheckTree(bridges, devices, file, s.warnings);
}

} // namespace kelsim::internal
