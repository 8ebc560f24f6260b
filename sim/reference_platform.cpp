#include "sim/reference_platform.h"

#include "sim/catalogue.h"

namespace sim {

namespace {

namespace cat = catalogue;

// Root ports: core 0 ports (PortId 0-7) at device 1 functions 1-7 and device
// 2 function 1; core 1 ports (PortId 8-15) at device 3 functions 1-7 and
// device 4 function 1.
constexpr uint8_t DevFn(uint8_t device, uint8_t function) {
  return static_cast<uint8_t>((device << 3) | function);
}
constexpr uint8_t Location(uint8_t portId, uint8_t coreId) {
  return static_cast<uint8_t>((portId << 4) | coreId);
}

EngineLayout Engine(uint8_t bus, uint8_t device, uint8_t function, uint8_t portId, uint8_t coreId,
                  uint16_t startLane, uint16_t endLane) {
  EngineLayout e;
  e.startLane = startLane;
  e.endLane = endLane;
  e.portDeviceFunction = DevFn(device, function);
  e.portLocation = Location(portId, coreId);
  e.portPciAddress = Bdf(bus, device, function);
  e.maxPayloadSize = 5;
  return e;
}

void AddRootPort(Platform &p, uint32_t bdf, const DeviceBuilder &b) {
  p.AddRootPort(bdf, b.Build());
}

SiliconLayout Silicon0(Platform &p) {
  p.AddSilicon(Bdf(0, 0, 0));
  SiliconLayout s{.socketId = 0, .dieId = 0, .instanceId = 0, .hostBridgeAddress = Bdf(0, 0, 0)};

  // Core 0: x16 GPU, x4 NVMe SSD with L1 substates and LTR, x1 Wi-Fi card.
  WrapperLayout core0{.wrapperId = 0, .wrapperFeatures = 0x0C};
  AddRootPort(p, Bdf(0, 1, 1), cat::RootPort(1, 16, true, 0x00002000));
  p.AddFunction(Bdf(1, 0, 0), cat::Gpu().Build());
  p.AddFunction(Bdf(1, 0, 1), cat::GpuAudio().Build());
  EngineLayout gpu = Engine(0, 1, 1, 0, 0, 0, 15);
  gpu.portAspm = 0x20;
  gpu.slotPowerLimitValue = 75;
  core0.engines.push_back(gpu);

  AddRootPort(p, Bdf(0, 1, 2), cat::RootPort(2, 4));
  p.AddFunction(Bdf(2, 0, 0), cat::NvmeSsd().Build());
  EngineLayout nvme = Engine(0, 1, 2, 1, 0, 19, 16);
  nvme.portAspm = 0x30;
  nvme.clkReqMap = 2;
  nvme.portPmOptions = 0x30;
  core0.engines.push_back(nvme);

  AddRootPort(p, Bdf(0, 1, 3), cat::RootPort(3, 1));
  p.AddFunction(Bdf(3, 0, 0), cat::WifiCard().Build());
  EngineLayout wifi = Engine(0, 1, 3, 2, 0, 20, 20);
  wifi.portAspm = 0x20;
  wifi.portControl = 0x02; // clock power management
  wifi.clkReqMap = 3;
  wifi.portPmOptions = 0x30;
  core0.engines.push_back(wifi);

  EngineLayout unused = Engine(0, 1, 4, 3, 0, 21, 21);
  unused.active = false;
  unused.portStatus = 0;
  core0.engines.push_back(unused);

  // An x1 slot holding a gigabit controller with broken L0s: the blacklist
  // narrows the port to L1, writes its ASPM strap, applies the device fix
  // and shuts L0s off in the root port; the x1 override caps the slot.
  AddRootPort(p, Bdf(0, 1, 5), cat::RootPort(0x0A, 1, true, 0x00000C80));
  p.AddFunction(Bdf(0x0A, 0, 0), cat::GigabitNicL0sBroken().Build());
  p.RootPortIndirect(Bdf(0, 1, 5))[0xA0] = 0x00000F00;
  EngineLayout nic = Engine(0, 1, 5, 4, 0, 22, 22);
  nic.portAspm = 0x30;
  nic.slotPowerLimitValue = 25;
  core0.engines.push_back(nic);
  s.wrappers.push_back(core0);

  // Core 1: a switch with three endpoints, and a port whose link is left
  // as the producer configured it.
  WrapperLayout core1{.wrapperId = 1, .wrapperFeatures = 0x08};
  AddRootPort(p, Bdf(0, 3, 1), cat::RootPort(4, 4).Bridge(0, 4, 8)); // the switch below spans 4-8
  p.AddFunction(Bdf(4, 0, 0), cat::SwitchUpstreamPort(4, 5, 8).Build());
  for (uint8_t d = 1; d <= 3; ++d) {
    p.AddFunction(Bdf(5, d, 0),
                  cat::SwitchDownstreamPort(5, static_cast<uint8_t>(5 + d), static_cast<uint8_t>(5 + d))
                      .Build());
  }
  p.AddFunction(Bdf(6, 0, 0), cat::EthernetNic().Build());
  p.AddFunction(Bdf(7, 0, 0), cat::NvmeSsd().Build());
  p.AddFunction(Bdf(8, 0, 0), cat::MultiFunctionEndpoint(0).Build());
  p.AddFunction(Bdf(8, 0, 1), cat::MultiFunctionEndpoint(1).Build());
  EngineLayout sw = Engine(0, 3, 1, 8, 1, 32, 35);
  sw.portAspm = 0x30;
  core1.engines.push_back(sw);

  AddRootPort(p, Bdf(0, 3, 2), cat::RootPort(9, 1));
  p.AddFunction(Bdf(9, 0, 0), cat::EthernetNic().Build());
  EngineLayout skip = Engine(0, 3, 2, 9, 1, 36, 36);
  skip.portControl = 0x01; // PortLinkConfigSkip
  skip.portAspm = 0x30;
  core1.engines.push_back(skip);
  s.wrappers.push_back(core1);
  return s;
}

SiliconLayout Silicon1(Platform &p) {
  const uint8_t bus = 0x80;
  p.AddSilicon(Bdf(bus, 0, 0));
  SiliconLayout s{.socketId = 1, .dieId = 0, .instanceId = 1, .hostBridgeAddress = Bdf(bus, 0, 0)};

  // A slot with a power limit, running with separate reference clocks, and
  // a PCI Express-to-PCI bridge in it.
  WrapperLayout core0{.wrapperId = 0, .wrapperFeatures = 0x04};
  AddRootPort(p, Bdf(bus, 1, 1), cat::RootPort(0x81, 8, true, 0x00002000).Bridge(bus, 0x81, 0x82));
  p.AddFunction(Bdf(0x81, 0, 0), cat::PcieToPciBridge(0x81, 0x82).Build());
  p.AddFunction(Bdf(0x82, 0, 0), cat::ConventionalPciDevice().Build());
  EngineLayout sris = Engine(bus, 1, 1, 0, 0, 0, 7);
  sris.srisOptions = 0x30;
  sris.portAspm = 0x20;
  sris.slotPowerLimitValue = 25;
  sris.portPmOptions = 0x40; // scale 1 (0.1x)
  core0.engines.push_back(sris);

  AddRootPort(p, Bdf(bus, 1, 2), cat::RootPort(0x83, 4));
  p.AddFunction(Bdf(0x83, 0, 0), cat::NvmeSsd().Build());
  EngineLayout nvme = Engine(bus, 1, 2, 1, 0, 8, 11);
  nvme.portAspm = 0x30;
  nvme.clkReqMap = 1;
  nvme.portPmOptions = 0x20;
  core0.engines.push_back(nvme);

  // The maker's own coprocessor: listed for the L1 exit latency strap, on
  // separate reference clocks, with lower SKP ordered sets agreed at the
  // link (the port generates them, the device receives them, each in its
  // Link Capabilities 2).
  AddRootPort(p, Bdf(bus, 1, 3), cat::RootPort(0x85, 4));
  p.AddFunction(Bdf(0x85, 0, 0), cat::PlatformCoprocessor(0x1E03).Build());
  for (const auto &[bdf, vectors] : {std::pair{Bdf(bus, 1, 3), 0x00000200u},
                                     std::pair{Bdf(0x85, 0, 0), 0x00010000u}}) {
    sim::ConfigFunction &f = *p.config.Find(bdf);
    f.Poke(f.pcieCap + 0x2C, 4, vectors);
  }
  EngineLayout coprocessor = Engine(bus, 1, 3, 2, 0, 12, 15);
  coprocessor.portAspm = 0x30;
  coprocessor.srisOptions = 0x30;
  core0.engines.push_back(coprocessor);
  s.wrappers.push_back(core0);

  WrapperLayout core1{.wrapperId = 1, .wrapperFeatures = 0x00};
  AddRootPort(p, Bdf(bus, 3, 1), cat::RootPort(0x84, 2));
  EngineLayout empty = Engine(bus, 3, 1, 8, 1, 32, 33);
  empty.portStatus = 0; // nothing trained on this port
  core1.engines.push_back(empty);
  s.wrappers.push_back(core1);
  return s;
}

} // namespace

ReferencePlatform BuildReferencePlatform(Platform &p) {
  ReferencePlatform ref;
  ref.topology.silicons.push_back(Silicon0(p));
  ref.topology.silicons.push_back(Silicon1(p));
  ref.built = BuildTopology(ref.topology);
  p.cpu.packageTypeBits = 4; // package type 16: the SMU request is made
  p.pcd[67] = 1;               // program Max Payload Size
  p.pcd[205] = 2;              // Max Read Request Size 512 bytes
  p.pcd[1128] = 1;             // SMU request argument 3
  p.pcd[418] = 1;              // blacklist and device fixes inside the ASPM link pass
  p.pcd[665] = 1;              // x1 slots advertise 10 W
  p.pcd[588] = 1;              // RAS control groups
  p.pcd[1005] = 1;             // ECRC errors are fatal where ECRC is on
  p.pcd[456] = 0x00000F0F;     // RAS words of package types 2, 16 and 128
  p.pcd[311] = 0x0000000F;
  // Completion payload limiting is available on the GPU, NVMe and switch ports.
  p.NbioAt(Bdf(0, 0, 0)).Seed(0x11100068, 0x20000000);
  p.NbioAt(Bdf(0, 0, 0)).Seed(0x11101068, 0x20000000);
  p.NbioAt(Bdf(0, 0, 0)).Seed(0x11200068, 0x20000000);
  p.NbioAt(Bdf(0x80, 0, 0)).Seed(0x11101068, 0x20000000);
  TrainLinks(p.config);
  p.PublishTopology(ref.built.bytes);
  return ref;
}

} // namespace sim
