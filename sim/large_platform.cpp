#include "sim/large_platform.h"

#include "sim/catalogue.h"

namespace sim {

namespace {

namespace cat = catalogue;

constexpr unsigned Silicons = 4;
constexpr unsigned PortsPerCore = 8;
constexpr unsigned SwitchDownstreamPorts = 4;
constexpr uint8_t FunctionsPerEndpoint = 8;
constexpr uint8_t BusesPerSilicon = 0x40;

uint8_t AddEndpoint(Platform &p, uint8_t bus) {
  for (uint8_t f = 0; f < FunctionsPerEndpoint; ++f) {
    p.AddFunction(Bdf(bus, 0, f), cat::MultiFunctionEndpoint(f).Build());
  }
  return FunctionsPerEndpoint;
}

// A switch on `bus`: its downstream ports on bus + 1, an endpoint below each.
// Returns the functions added; the switch uses buses bus..bus+1+ports.
size_t AddSwitch(Platform &p, uint8_t bus) {
  const auto last = static_cast<uint8_t>(bus + 1 + SwitchDownstreamPorts);
  p.AddFunction(Bdf(bus, 0, 0),
                cat::SwitchUpstreamPort(bus, static_cast<uint8_t>(bus + 1), last).Build());
  size_t functions = 1;
  for (uint8_t d = 1; d <= SwitchDownstreamPorts; ++d) {
    const auto below = static_cast<uint8_t>(bus + 1 + d);
    p.AddFunction(Bdf(static_cast<uint8_t>(bus + 1), d, 0),
                  cat::SwitchDownstreamPort(static_cast<uint8_t>(bus + 1), below, below).Build());
    functions += 1 + AddEndpoint(p, below);
  }
  return functions;
}

// Every link feature requested on the port: ASPM L0s and L1, L1 substates
// with LTR, clock PM on a CLKREQ# signal, a slot power limit; SRIS on the
// last port of each core.
EngineLayout RequestEverything(unsigned port, uint8_t core, uint8_t bus, uint8_t devFn) {
  EngineLayout e;
  e.startLane = static_cast<uint16_t>(core * 32 + port * 2);
  e.endLane = static_cast<uint16_t>(e.startLane + 1);
  e.portDeviceFunction = devFn;
  e.portLocation = static_cast<uint8_t>(((core * PortsPerCore + port) << 4) | core);
  e.portPciAddress = Bdf(bus, devFn >> 3, devFn & 7);
  e.maxPayloadSize = 5;
  e.portAspm = 0x30;
  e.portControl = 0x02;
  e.clkReqMap = static_cast<uint8_t>(1 + port % 5);
  e.portPmOptions = 0x30;
  e.slotPowerLimitValue = 25;
  e.srisOptions = port == PortsPerCore - 1 ? 0x30 : 0;
  return e;
}

SiliconLayout AddSilicon(Platform &p, unsigned index, size_t &functions) {
  const auto base = static_cast<uint8_t>(index * BusesPerSilicon);
  p.AddSilicon(Bdf(base, 0, 0));
  SiliconLayout s{.socketId = static_cast<uint8_t>(index / 2),
                  .dieId = static_cast<uint8_t>(index % 2),
                  .instanceId = static_cast<uint8_t>(index),
                  .hostBridgeAddress = Bdf(base, 0, 0)};
  auto next = static_cast<uint8_t>(base + 1);
  for (uint8_t core = 0; core < 2; ++core) {
    WrapperLayout w{.wrapperId = core, .wrapperFeatures = 0x0C};
    for (unsigned port = 0; port < PortsPerCore; ++port) {
      // Ports 0-6 of a core at functions 1-7 of one device, port 7 at
      // function 1 of the next, as the reference platform places them.
      const auto device = static_cast<uint8_t>(1 + 2 * core + port / 7);
      const auto function = static_cast<uint8_t>(port < 7 ? port + 1 : 1);
      const bool withSwitch = port % 2 == 0;
      const auto last =
          static_cast<uint8_t>(next + (withSwitch ? 1 + SwitchDownstreamPorts : 0));
      DeviceBuilder root = cat::RootPort(next, 2, true, 0x00000C80);
      root.Bridge(base, next, last);
      p.AddRootPort(Bdf(base, device, function), root.Build());
      functions += 1 + (withSwitch ? AddSwitch(p, next) : AddEndpoint(p, next));
      w.engines.push_back(
          RequestEverything(port, core, base, static_cast<uint8_t>((device << 3) | function)));
      next = static_cast<uint8_t>(last + 1);
    }
    s.wrappers.push_back(w);
  }
  return s;
}

} // namespace

LargePlatform BuildLargePlatform(Platform &p) {
  LargePlatform large;
  for (unsigned i = 0; i < Silicons; ++i) {
    large.topology.silicons.push_back(AddSilicon(p, i, large.functions));
  }
  large.built = BuildTopology(large.topology);
  p.cpu.packageTypeBits = 4; // package type 16: the SMU request is made
  p.pcd[67] = 1;
  p.pcd[205] = 2;
  p.pcd[418] = 1;
  p.pcd[665] = 1;
  p.pcd[588] = 1;
  p.pcd[1005] = 1;
  p.pcd[456] = 0x00000F0F;
  p.pcd[311] = 0x0000000F;
  TrainLinks(p.config);
  p.PublishTopology(large.built.bytes);
  return large;
}

} // namespace sim
