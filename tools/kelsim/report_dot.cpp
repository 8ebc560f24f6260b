// The Graphviz picture of the PCI Express hierarchy and what the pass
// changed on each link.
#include "tools/kelsim/report.h"

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>

#include "sim/lspci.h"
#include "tools/kelsim/link_table.h"
#include "tools/kelsim/names.h"

namespace kelsim {

namespace {

std::string DotText(std::string text) {
  std::replace(text.begin(), text.end(), '"', '\'');
  return text;
}

// One setting, with its change when the pass made one: "ASPM Disabled->L1".
void Setting(std::vector<std::string> &lines, const std::string &name, const std::string &before,
             const std::string &after) {
  lines.push_back(name + " " + (before == after ? after : before + "->" + after));
}

std::string PlusMinus(bool on) { return on ? "on" : "off"; }

// The link-level settings of a function, before -> after where they changed.
std::string LinkSettings(const FunctionState &b, const FunctionState &a) {
  std::vector<std::string> lines;
  if (a.portType < 0) {
    return "";
  }
  Setting(lines, "MPS", std::to_string(b.mps), std::to_string(a.mps));
  Setting(lines, "MRRS", std::to_string(b.mrrs), std::to_string(a.mrrs));
  if (a.hasLink) {
    Setting(lines, "ASPM", AspmName(b.aspm), AspmName(a.aspm));
    Setting(lines, "CCC", PlusMinus(b.ccc), PlusMinus(a.ccc));
    Setting(lines, "ClkPM", PlusMinus(b.clkpm), PlusMinus(a.clkpm));
  }
  if (a.l1ss >= 0) {
    Setting(lines, "L1SS", L1ssName(b.l1ss), L1ssName(a.l1ss));
  }
  if (a.hasControl2) {
    Setting(lines, "LTR", PlusMinus(b.ltr.enabled), PlusMinus(a.ltr.enabled));
  }
  if (!a.slotPower.empty()) {
    Setting(lines, "slot", b.slotPower, a.slotPower);
  }
  std::string out;
  for (const std::string &l : lines) {
    out += "\\n" + l;
  }
  return out;
}

std::string FunctionLine(const DeviceReport &d) {
  const std::string name = DeviceName(d.after.vendor, d.after.device);
  return fmt::format("{} {:04x}:{:04x} {}{}", sim::BdfText(d.bdf), d.after.vendor, d.after.device,
                     PortTypeName(d.after.portType), name.empty() ? "" : "\\n" + DotText(name));
}

bool IsBridgeType(int portType) { return portType == 4 || portType == 5 || portType == 6 || portType == 7; }

// A link's edge: its speed and width, each function's changes on the
// device side (numbered when the device has several), blue where the pass
// changed something, red where the audit found an error or a warning.
std::string EdgeAttributes(const std::map<std::string, LinkRow> &links, const std::string &up,
                           const std::vector<const DeviceReport *> &functions) {
  const auto link = links.find(up);
  if (link == links.end()) {
    return ""; // a silicon's edge to its root port
  }
  std::string label = link->second.status + (link->second.downgraded ? " (downgraded)" : "");
  bool changed = false;
  for (const DeviceReport *d : functions) {
    changed |= !d->diff.empty();
    if (IsBridgeType(d->after.portType)) {
      continue; // a bridge carries its settings in its node
    }
    std::string settings = LinkSettings(d->before, d->after);
    if (functions.size() > 1 && !settings.empty()) {
      settings.insert(2, "fn " + std::to_string(d->bdf >> 12 & 7) + ": ");
    }
    label += settings;
  }
  std::string attributes = "label=\"" + label + "\"";
  if (link->second.worst && *link->second.worst != audit::Severity::Info) {
    attributes += ", color=\"red\", fontcolor=\"red\", penwidth=2";
  } else if (changed) {
    attributes += ", color=\"blue\", fontcolor=\"blue\", penwidth=2";
  }
  return " [" + attributes + "]";
}

void WriteLegend(std::ostream &out) {
  out << "  subgraph cluster_legend {\n    label=\"legend\";\n    node [shape=point];\n"
         "    \"l1\" -> \"l2\" [label=\"changed by the pass\", color=\"blue\", "
         "fontcolor=\"blue\", penwidth=2];\n"
         "    \"l3\" -> \"l4\" [label=\"audit error or warning on the link\", color=\"red\", "
         "fontcolor=\"red\", penwidth=2];\n"
         "    \"l5\" -> \"l6\" [label=\"unchanged, no finding\"];\n  }\n";
}

} // namespace

// The PCI Express hierarchy only: each silicon's host bridge, its root ports
// and what lies below them. Bridges are nodes of their own, carrying their
// settings; the functions of one device below a link share one node; each
// link's edge shows what the pass changed on the device's side.
void WriteDot(const RunResult &r, std::ostream &out) {
  out << "digraph pcie {\n  rankdir=LR;\n  node [shape=box, fontname=\"monospace\"];\n";
  std::map<uint32_t, const DeviceReport *> byBdf;
  for (const DeviceReport &d : r.devices) {
    byBdf[d.bdf] = &d;
  }
  std::map<uint32_t, uint32_t> hostBridgeOfPort;
  for (const EngineReport &e : r.features.engines) {
    hostBridgeOfPort[e.port & 0x0FFFF000] = e.silicon;
  }
  std::map<std::string, std::vector<uint32_t>> below; // upstream node -> functions
  for (const Link &l : r.links) {
    below[l.upstream].push_back(l.downstream);
  }
  // Node of a function: bridges by their address, other functions by their
  // device ("01:00"), so a multi-function device is one node.
  auto nodeOf = [&](uint32_t bdf) {
    const auto it = byBdf.find(bdf);
    const bool bridge = it != byBdf.end() && IsBridgeType(it->second->after.portType);
    return bridge ? sim::BdfText(bdf) : sim::BdfText(bdf).substr(0, 5);
  };
  std::map<std::string, std::vector<const DeviceReport *>> nodes;
  std::set<std::pair<std::string, std::string>> edges;
  std::vector<std::string> pending;
  for (const auto &[upstream, functions] : below) {
    if (upstream.rfind("silicon", 0) == 0) {
      pending.push_back(upstream);
    }
  }
  std::set<std::string> visited;
  while (!pending.empty()) {
    const std::string up = pending.back();
    pending.pop_back();
    if (!visited.insert(up).second) {
      continue;
    }
    for (const uint32_t bdf : below[up]) {
      const auto it = byBdf.find(bdf);
      if (it == byBdf.end()) {
        continue;
      }
      const std::string node = nodeOf(bdf);
      nodes[node].push_back(it->second);
      edges.insert({up, node});
      pending.push_back(sim::BdfText(bdf));
    }
  }
  for (const std::string &silicon : visited) {
    if (silicon.rfind("silicon", 0) != 0) {
      continue;
    }
    std::string hostBridge;
    for (const uint32_t port : below[silicon]) {
      if (hostBridgeOfPort.count(port) != 0) {
        hostBridge = "\\nhost bridge " + sim::BdfText(hostBridgeOfPort[port]);
        break;
      }
    }
    out << "  \"" << silicon << "\" [shape=ellipse, label=\"" << silicon << hostBridge << "\"];\n";
  }
  for (const auto &[node, functions] : nodes) {
    std::string label;
    for (const DeviceReport *d : functions) {
      label += (label.empty() ? "" : "\\n") + FunctionLine(*d);
    }
    const DeviceReport &first = *functions.front();
    if (IsBridgeType(first.after.portType)) {
      label += LinkSettings(first.before, first.after); // the port's own settings
    }
    out << "  \"" << node << "\" [label=\"" << label << "\"];\n";
  }
  std::map<std::string, LinkRow> links;
  for (LinkRow &l : LinkTable(r)) {
    links[sim::BdfText(l.port)] = std::move(l);
  }
  for (const auto &[up, node] : edges) {
    out << "  \"" << up << "\" -> \"" << node << "\"" << EdgeAttributes(links, up, nodes[node])
        << ";\n";
  }
  if (nodes.empty()) {
    out << "  \"note\" [shape=note, label=\"no root port with a device below: no PCI Express "
           "hierarchy to draw\"];\n";
  } else {
    WriteLegend(out);
  }
  out << "}\n";
}

} // namespace kelsim
