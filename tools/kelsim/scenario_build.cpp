// The simulated platform a scenario describes: captured functions as they
// were, catalogue devices with their overrides, the NBIO of each silicon and
// the published topology.
#include <map>
#include <set>

#include "sim/catalogue.h"
#include "sim/large_platform.h"
#include "sim/power_on.h"
#include "sim/reference_platform.h"
#include "tools/kelsim/scenario_internal.h"

namespace kelsim {

namespace internal {

namespace {

uint8_t SecondaryOf(const DeviceEntry &d) { return static_cast<uint8_t>(std::max(d.secondaryBus, 0)); }
uint8_t SubordinateOf(const DeviceEntry &d) {
  return static_cast<uint8_t>(d.subordinateBus < 0 ? SecondaryOf(d) : d.subordinateBus);
}

sim::DeviceBuilder WithBuses(sim::DeviceBuilder b, const DeviceEntry &d) {
  b.Raw().Poke(0x18, 1, BusOf(d.address));
  b.Raw().Poke(0x1A, 1, SubordinateOf(d));
  return b;
}

const std::vector<Model> &Models() {
  namespace cat = sim::catalogue;
  static const std::vector<Model> kModels = {
      {"root_port", true,
       [](const DeviceEntry &d) { return WithBuses(cat::RootPort(SecondaryOf(d), 4), d); }},
      {"switch_upstream", true,
       [](const DeviceEntry &d) {
         return cat::SwitchUpstreamPort(BusOf(d.address), SecondaryOf(d), SubordinateOf(d));
       }},
      {"switch_downstream", true,
       [](const DeviceEntry &d) {
         return cat::SwitchDownstreamPort(BusOf(d.address), SecondaryOf(d), SubordinateOf(d));
       }},
      {"pcie_pci_bridge", true,
       [](const DeviceEntry &d) {
         return WithBuses(cat::PcieToPciBridge(BusOf(d.address), SecondaryOf(d)), d);
       }},
      {"nvme", false, [](const DeviceEntry &) { return cat::NvmeSsd(); }},
      {"nic", false, [](const DeviceEntry &) { return cat::EthernetNic(); }},
      {"wifi", false, [](const DeviceEntry &) { return cat::WifiCard(); }},
      {"gpu", false, [](const DeviceEntry &) { return cat::Gpu(); }},
      {"gpu_audio", false, [](const DeviceEntry &) { return cat::GpuAudio(); }},
      {"pci_device", false, [](const DeviceEntry &) { return cat::ConventionalPciDevice(); }},
      {"multifunction", false,
       [](const DeviceEntry &d) {
         return cat::MultiFunctionEndpoint(static_cast<uint8_t>((d.address >> 12) & 7));
       }},
      {"endpoint", false,
       [](const DeviceEntry &) { return cat::PcieEndpoint(0xFFF1, 0x0001, 2, true); }},
  };
  return kModels;
}

} // namespace

const Model *FindModel(const std::string &name) {
  for (const Model &m : Models()) {
    if (name == m.name) {
      return &m;
    }
  }
  return nullptr;
}

bool IsRootPort(const sim::CapturedFunction &c) {
  const sim::ConfigFunction f = sim::FunctionFromCapture(c);
  return f.pcieCap != 0 && ((f.Peek(f.pcieCap + 2, 2) >> 4) & 0xF) == 4;
}

} // namespace internal

using namespace internal;

namespace {

void ApplyOverrides(sim::ConfigFunction &f, const json &o) {
  auto num = [&o](const char *k) { return Reader(o.at(k), k, "").Unsigned(~0ULL); };
  const uint16_t c = f.pcieCap;
  auto setBits = [&f](uint16_t offset, unsigned bytes, uint32_t mask, uint32_t value) {
    f.Poke(offset, bytes, (f.Peek(offset, bytes) & ~mask) | (value & mask));
  };
  if (o.contains("VendorId")) {
    f.Poke(0, 2, static_cast<uint32_t>(num("VendorId")));
  }
  if (o.contains("DeviceId")) {
    f.Poke(2, 2, static_cast<uint32_t>(num("DeviceId")));
  }
  if (c == 0) {
    return;
  }
  if (o.contains("MaxPayloadSupported")) {
    setBits(c + 4, 4, 0x7, static_cast<uint32_t>(num("MaxPayloadSupported")));
  }
  if (o.contains("ExtendedTags")) {
    setBits(c + 4, 4, 0x20, o.at("ExtendedTags").get<bool>() ? 0x20 : 0);
  }
  if (o.contains("AspmSupport")) {
    setBits(c + 0xC, 4, 0xC00, static_cast<uint32_t>(num("AspmSupport") << 10));
  }
  if (o.contains("ClockPm")) {
    setBits(c + 0xC, 4, 1u << 18, o.at("ClockPm").get<bool>() ? 1u << 18 : 0);
  }
  if (o.contains("SlotClock")) {
    setBits(c + 0x12, 2, 1u << 12, o.at("SlotClock").get<bool>() ? 1u << 12 : 0);
  }
  if (o.contains("LinkWidth")) {
    const uint32_t w = static_cast<uint32_t>(num("LinkWidth"));
    setBits(c + 0xC, 4, 0x3F0, w << 4);
    setBits(c + 0x12, 2, 0x3F0, w << 4);
  }
  if (o.contains("LinkSpeed")) {
    const uint32_t v = static_cast<uint32_t>(num("LinkSpeed"));
    setBits(c + 0xC, 4, 0xF, v);
    setBits(c + 0x12, 2, 0xF, v);
  }
  if (o.contains("DeviceControl")) {
    f.Poke(c + 8, 2, static_cast<uint32_t>(num("DeviceControl")));
  }
  if (o.contains("LinkControl")) {
    f.Poke(c + 0x10, 2, static_cast<uint32_t>(num("LinkControl")) & ~0x20u);
  }
  if (o.contains("LtrSupported")) {
    setBits(c + 0x24, 4, 1u << 11, o.at("LtrSupported").get<bool>() ? 1u << 11 : 0);
  }
  if (o.contains("LinkTrainingReads")) {
    f.linkTrainingReads = static_cast<unsigned>(num("LinkTrainingReads"));
  }
  // Hostile links: training that never ends, a link that drops when
  // retrained, a device pulled out after so many configuration accesses.
  if (o.contains("TrainsForever")) {
    f.trainsForever = o.at("TrainsForever").get<bool>();
  }
  if (o.contains("VanishesOnRetrain")) {
    f.vanishesOnRetrain = o.at("VanishesOnRetrain").get<bool>();
  }
  if (o.contains("AccessesBeforeRemoval")) {
    f.accessesBeforeRemoval = static_cast<int>(num("AccessesBeforeRemoval"));
  }
  if (o.contains("L1Substates")) {
    for (uint16_t ext = 0x100; ext >= 0x100 && ext <= 0xFFC;) {
      const uint32_t header = f.Peek(ext, 4);
      if (header == 0) {
        break;
      }
      if ((header & 0xFFFF) == 0x001E) {
        f.Poke(ext + 4, 4, static_cast<uint32_t>(num("L1Substates")));
        break;
      }
      ext = static_cast<uint16_t>(header >> 20);
    }
  }
}

sim::BuiltTopology BuildDescribedPlatform(const Scenario &s, sim::Platform &p,
                                          sim::TopologyLayout &described) {
  if (s.reference) {
    sim::ReferencePlatform reference = sim::BuildReferencePlatform(p);
    described = reference.topology;
    return reference.built;
  }
  if (s.large) {
    sim::LargePlatform large = sim::BuildLargePlatform(p);
    described = large.topology;
    return large.built;
  }
  for (const auto &c : s.captured) {
    p.AddFunction(c.bdf, sim::FunctionFromCapture(c));
    if (IsRootPort(c)) {
      p.RootPortIndirect(c.bdf); // its index/data pair at 0xE0/0xE4, as built root ports have
    }
  }
  sim::TopologyLayout topology;
  std::map<uint32_t, int> functionsPerDevice;
  for (const SiliconEntry &si : s.silicons) {
    for (const WrapperEntry &w : si.wrappers) {
      for (const EngineEntry &e : w.engines) {
        for (const DeviceEntry &d : e.devices) {
          functionsPerDevice[d.address & ~0x7000u]++;
        }
      }
    }
  }
  for (const SiliconEntry &si : s.silicons) {
    sim::Nbio &nbio = p.AddSilicon(si.hostBridgeAddress);
    for (const auto &[address, value] : si.smn) {
      nbio.Seed(address, value);
    }
    nbio.smu = si.smu;
    nbio.ras = si.ras;
    sim::SiliconLayout layout{.socketId = si.socketId, .dieId = si.dieId, .instanceId = si.instanceId,
                          .hostBridgeAddress = si.hostBridgeAddress};
    for (const WrapperEntry &w : si.wrappers) {
      sim::WrapperLayout ws{.wrapperId = w.wrapperId, .wrapperFeatures = w.wrapperFeatures};
      for (const EngineEntry &e : w.engines) {
        ws.engines.push_back(e.engine);
        const uint32_t port = e.engine.portPciAddress;
        // An inactive engine's port is not in use: it has no function unless
        // a capture provides one.
        if (p.config.Find(port) == nullptr && e.engine.active) {
          const BusRange buses = RootPortBuses(e);
          const uint16_t lanes = static_cast<uint16_t>(
              (e.engine.endLane > e.engine.startLane ? e.engine.endLane - e.engine.startLane
                                                     : e.engine.startLane - e.engine.endLane) + 1);
          const uint8_t width = static_cast<uint8_t>(e.rootPort.linkWidth > 0 ? e.rootPort.linkWidth
                                                                              : std::min<uint16_t>(lanes, 32));
          sim::DeviceBuilder b = sim::catalogue::RootPort(static_cast<uint8_t>(buses.secondary),
                                                          width, e.rootPort.slot,
                                                          e.rootPort.slotCapabilities);
          b.Raw().Poke(0x18, 1, BusOf(port));
          b.Raw().Poke(0x1A, 1, static_cast<uint32_t>(buses.subordinate));
          sim::ConfigFunction f = b.Build();
          ApplyOverrides(f, e.rootPort.overrides);
          p.AddRootPort(port, std::move(f));
        }
        for (const auto &[index, value] : e.rootPort.indirect) {
          p.RootPortIndirect(port)[index] = value;
        }
        for (const DeviceEntry &d : e.devices) {
          sim::DeviceBuilder b = FindModel(d.model)->make(d);
          if (functionsPerDevice[d.address & ~0x7000u] > 1) {
            b.MultiFunction(true);
          }
          sim::ConfigFunction f = b.Build();
          ApplyOverrides(f, d.overrides);
          p.AddFunction(d.address, std::move(f));
        }
      }
      layout.wrappers.push_back(std::move(ws));
    }
    topology.silicons.push_back(std::move(layout));
  }
  for (const auto &[token, value] : s.pcd) {
    p.pcd[token] = value;
  }
  const uint64_t commBuffer = p.pcd.at(sim::kPcdSmmCommunicationBuffer);
  p.cpu = s.cpu;
  if (s.pcd.count(sim::kPcdSmmCommunicationBuffer) == 0) {
    p.pcd[sim::kPcdSmmCommunicationBuffer] = commBuffer;
  }
  std::set<uint32_t> captured;
  for (const auto &c : s.captured) {
    captured.insert(c.bdf);
  }
  sim::TrainLinks(p.config, captured);
  sim::BuiltTopology built = sim::BuildTopology(topology);
  described = topology;
  if (s.topologyBytes) {
    // Raw bytes stand in for the built topology; the engines the report
    // follows are not known in them.
    built = sim::BuiltTopology{*s.topologyBytes, {}, {}, {}};
  }
  if (s.modules.topology) {
    p.PublishTopology(built.bytes, s.topologyBytes ? sim::kTopologyReach : 0);
  }
  return built;
}

} // namespace

sim::BuiltTopology BuildPlatform(const Scenario &s, sim::Platform &p, sim::TopologyLayout *layout) {
  sim::TopologyLayout built;
  sim::BuiltTopology topology = BuildDescribedPlatform(s, p, built);
  if (layout != nullptr) {
    *layout = std::move(built);
  }
  if (s.powerOn) {
    for (auto &[bdf, f] : p.config.Functions()) {
      sim::ResetToPowerOn(f);
    }
  }
  return topology;
}

} // namespace kelsim
