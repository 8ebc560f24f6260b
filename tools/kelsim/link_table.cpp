#include "tools/kelsim/link_table.h"

#include <algorithm>

#include <fmt/format.h>

#include "sim/lspci.h"
#include "tools/kelsim/names.h"

namespace kelsim {

namespace {

const DeviceReport *DeviceAt(const RunResult &r, uint32_t bdf) {
  for (const DeviceReport &d : r.devices) {
    if (d.bdf == bdf) {
      return &d;
    }
  }
  return nullptr;
}

const EngineReport *EngineAt(const RunResult &r, uint32_t port) {
  for (const EngineReport &e : r.features.engines) {
    if ((e.port & 0x0FFFF000) == port) {
      return &e;
    }
  }
  return nullptr;
}

bool HasLinkBelow(int portType) { return portType == 4 || portType == 6; }

std::string Flag(bool on) { return on ? "+" : "-"; }

// One value for both ends when they agree, else the port's|the device's.
std::string Ends(const std::string &port, const std::string &device) {
  return port == device ? port : port + "|" + device;
}

struct LinkEnds {
  const FunctionState &port;
  const FunctionState *device; // function 0 of the device below, or none
};

void AddFeatures(const LinkEnds &before, const LinkEnds &after, const EngineReport *engine,
                 std::vector<LinkFeature> &out) {
  auto both = [&](const char *name, auto text) {
    const std::string b = before.device ? Ends(text(before.port), text(*before.device))
                                        : text(before.port);
    const std::string a = after.device ? Ends(text(after.port), text(*after.device))
                                       : text(after.port);
    out.push_back({name, b, a});
  };
  both("ASPM", [](const FunctionState &s) { return AspmName(s.aspm); });
  // L1 PM substates need the capability at both ends (PCI Express Base r5.0, 5.5).
  if (after.port.l1ss >= 0 && after.device && after.device->l1ss >= 0) {
    both("L1SS", [](const FunctionState &s) { return L1ssStates(s.l1ss); });
  }
  both("CommClk", [](const FunctionState &s) { return Flag(s.ccc); });
  if (after.device) {
    // Enable Clock Power Management lives in the upstream port's Link Control.
    out.push_back({"ClockPM", Flag(before.device->clkpm), Flag(after.device->clkpm)});
  }
  both("LTR", [](const FunctionState &s) { return s.hasControl2 ? Flag(s.ltr.enabled) : "absent"; });
  both("MaxPayload", [](const FunctionState &s) { return std::to_string(s.mps); });
  if (after.device) {
    out.push_back({"MaxReadReq", std::to_string(before.device->mrrs),
                   std::to_string(after.device->mrrs)});
  }
  if (!after.port.slotPower.empty()) {
    out.push_back({"PowerLimit", before.port.slotPower, after.port.slotPower}); // "75 W"
  }
  if (engine != nullptr && engine->sris) {
    out.push_back({"SRIS", "+", "+"});
  }
}

// What kept a state both ends support from being enabled, as far as the
// run can tell: the engine's request, a blacklist row, ASPM L1 for the
// substates.
void AddHeldBack(const RunResult &r, const FunctionState &port, const FunctionState &device,
                 const EngineReport *engine, std::vector<std::string> &out) {
  const bool blacklistOn = std::any_of(r.settings.begin(), r.settings.end(), [](const SettingUsed &s) {
    return s.token == 418 && s.value.value_or(0) != 0;
  });
  const audit::BlacklistVerdict blacklist =
      audit::BlacklistFor(port.vendor | (uint32_t{port.device} << 16),
                          device.vendor | (uint32_t{device.device} << 16));
  const int aspmSupported =
      static_cast<int>((port.linkCapabilities >> 10) & (device.linkCapabilities >> 10) & 3);
  const int aspmMissing = aspmSupported & ~(port.aspm & device.aspm);
  for (const int bit : {1, 2}) {
    if ((aspmMissing & bit) == 0) {
      continue;
    }
    std::string why;
    if (engine != nullptr && (engine->linkConfigSkipped || !engine->ready)) {
      why = engine->linkConfigSkipped ? "PortControl skips link configuration"
                                      : "engine not ready (PortStatus)";
    } else if (blacklistOn && (blacklist.aspmRemoved & static_cast<uint32_t>(bit)) != 0) {
      why = fmt::format("blacklist row {}", blacklist.aspmRow);
    } else if (engine != nullptr && ((engine->portAspmAfter >> 4) & bit) == 0) {
      why = ((engine->portAspmBefore >> 4) & bit) == 0
                ? fmt::format("PortAspm 0x{:02x}", engine->portAspmAfter)
            : ClearedBySris(*engine)
                ? "SRIS"
                : fmt::format("PortAspm 0x{:02x}->0x{:02x} in the pass", engine->portAspmBefore,
                              engine->portAspmAfter);
    } else if (engine == nullptr && port.portType == 4) {
      why = "no engine for the root port";
    } else {
      why = "left off by the pass (--trace)";
    }
    out.push_back(std::string(bit == 1 ? "L0s: " : "L1: ") + why);
  }
  if (port.l1ssSupported < 0 || device.l1ssSupported < 0) {
    return;
  }
  const int l1ssMissing = port.l1ssSupported & device.l1ssSupported & ~(port.l1ss & device.l1ss) & 0xF;
  if (l1ssMissing == 0) {
    return;
  }
  std::string why;
  if (blacklistOn && (blacklist.l1ssRemoved & static_cast<uint32_t>(l1ssMissing)) != 0) {
    why = fmt::format("blacklist row {}", blacklist.l1ssRow);
  } else if (engine != nullptr && (engine->portPmOptionsAfter & 0x30) != 0x30) {
    why = fmt::format("PortPmOptions 0x{:02x}", engine->portPmOptionsAfter);
  } else if ((port.aspm & device.aspm & 2) == 0) {
    why = "ASPM L1 off";
  } else {
    why = "left off by the pass (--trace)";
  }
  out.push_back("L1SS " + L1ssStates(l1ssMissing) + ": " + why);
}

void AddAuditVerdict(const RunResult &r, LinkRow &row) {
  if (!r.audit) {
    return;
  }
  for (const audit::Finding &f : *r.audit) {
    const bool names = std::any_of(f.functions.begin(), f.functions.end(), [&](uint32_t b) {
      return b == row.port || std::find(row.below.begin(), row.below.end(), b) != row.below.end();
    });
    if (!names) {
      continue;
    }
    ++row.findings;
    if (!row.worst || f.severity < *row.worst) {
      row.worst = f.severity;
      row.worstId = f.id;
    }
  }
}

} // namespace

std::string FeatureText(const LinkFeature &f) {
  return f.Changed() ? f.before + " -> " + f.after : f.after;
}

std::vector<LinkRow> LinkTable(const RunResult &r) {
  std::vector<LinkRow> rows;
  for (const DeviceReport &port : r.devices) {
    if (!HasLinkBelow(port.after.portType) || !port.after.hasLink) {
      continue;
    }
    LinkRow row;
    row.port = port.bdf;
    for (const Link &l : r.links) {
      if (l.upstream == sim::BdfText(port.bdf)) {
        row.below.push_back(l.downstream);
      }
    }
    const DeviceReport *device = row.below.empty() ? nullptr : DeviceAt(r, row.below.front());
    if (device != nullptr && !device->after.hasLink) {
      device = nullptr; // conventional PCI below a bridge has no PCI Express link to show
    }
    uint32_t capability = port.after.linkCapabilities;
    if (device != nullptr) {
      const std::string name = DeviceName(device->after.vendor, device->after.device);
      row.belowName = name.empty() ? fmt::format("{:04x}:{:04x}", device->after.vendor,
                                                 device->after.device)
                                   : name;
      const uint32_t other = device->after.linkCapabilities;
      capability = std::min(capability & 0xF, other & 0xF) |
                   (std::min(capability & 0x3F0, other & 0x3F0));
    }
    const uint32_t status = port.after.linkStatus;
    row.status = LinkSpeedWidth(status);
    row.capability = LinkSpeedWidth(capability);
    row.downgraded = (status & 0xF) < (capability & 0xF) || (status & 0x3F0) < (capability & 0x3F0);
    const EngineReport *engine = EngineAt(r, port.bdf);
    AddFeatures({port.before, device ? &device->before : nullptr},
                {port.after, device ? &device->after : nullptr}, engine, row.features);
    if (device != nullptr && r.passRan) {
      AddHeldBack(r, port.after, device->after, engine, row.heldBack);
    }
    AddAuditVerdict(r, row);
    rows.push_back(std::move(row));
  }
  return rows;
}

} // namespace kelsim
