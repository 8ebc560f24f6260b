// Any request to the AER service, on a device tree built from the fuzz
// input (bridges whose buses may loop or be unset, functions with or without
// AER and ECRC bits). After each call:
//  - a refused request (status unsupported) wrote nothing;
//  - the call ends within a bounded number of accesses;
//  - every configuration write lies in the AER capability of a present
//    function.
#include <cstdint>
#include <cstdio>

#include "fuzz/fuzz_input.h"
#include "ras/aer_service.h"
#include "sim/catalogue.h"
#include "sim/platform.h"

namespace {

using sim::Bdf;

constexpr size_t kMaxAccesses = 2000000;

[[noreturn]] void Broken(const char *invariant) {
  std::fprintf(stderr, "invariant broken: %s\n", invariant);
  __builtin_trap();
}

uint16_t AerOffset(const sim::ConfigFunction &f) {
  uint16_t at = 0x100;
  for (int n = 0; n < 960 && at >= 0x100 && at <= 0xFFC; ++n) {
    const uint32_t header = f.Peek(at, 4);
    if ((header & 0xFFFF) == 1) {
      return at;
    }
    if (header == 0 || header == 0xFFFFFFFF) {
      break;
    }
    at = static_cast<uint16_t>(header >> 20);
  }
  return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  sim::Platform p;
  p.pcd[1005] = in.Bool();
  const size_t functions = in.InRange<size_t>(1, 16);
  for (size_t i = 0; i < functions; ++i) {
    const uint8_t bus = in.InRange<uint8_t>(0, 6);
    const uint8_t device = in.InRange<uint8_t>(0, 2);
    const uint8_t function = in.InRange<uint8_t>(0, 1);
    if (p.config.Find(Bdf(bus, device, function)) != nullptr) {
      continue;
    }
    sim::PcieCapabilityFields s;
    s.type = in.Bool() ? sim::PortType::Endpoint : sim::PortType::DownstreamPort;
    sim::DeviceBuilder b;
    b.Ids(0x1234, static_cast<uint16_t>(i)).MultiFunction(in.Bool()).PciExpress(s);
    if (s.type == sim::PortType::DownstreamPort) {
      const uint8_t secondary = in.Integral<uint8_t>() & 7;
      b.Bridge(bus, secondary, secondary);
    }
    if (in.Bool()) {
      b.Aer({.capabilitiesControl = in.Integral<uint32_t>() & 0x1FF});
    }
    p.AddFunction(Bdf(bus, device, function), b.Build());
  }
  PcieAerRequest request{};
  request.AerEnable = in.InRange<uint8_t>(0, 2);
  request.PciBus = in.InRange<uint8_t>(0, 6);
  request.PciDevice = in.Integral<uint8_t>();
  request.PciFunction = in.Integral<uint8_t>();
  request.CorrectableMask = in.Integral<uint32_t>();
  request.UncorrectableMask = in.Integral<uint32_t>();
  request.UncorrectableSeverity = in.Integral<uint32_t>();
  p.LoadDriver();
  p.log.Clear();
  const EFI_STATUS status = NbioSetPcieAerFeature(&NbioPcieAerProtocol, &request);
  const auto writes = p.log.Of(sim::EventKind::CfgWrite);
  if (status != EFI_SUCCESS && !writes.empty()) {
    Broken("a refused request writes nothing");
  }
  if (p.log.Events().size() > kMaxAccesses) {
    Broken("the call ends within a bounded number of accesses");
  }
  for (const sim::Event &e : writes) {
    const sim::ConfigFunction *f = p.config.Find(static_cast<uint32_t>(e.address));
    const uint16_t aer = f == nullptr ? 0 : AerOffset(*f);
    const uint16_t offset = static_cast<uint16_t>(e.address & 0xFFF);
    if (aer == 0 || offset < aer || offset >= aer + 0x48) {
      Broken("writes stay in the AER capability of a present function");
    }
  }
  return 0;
}
