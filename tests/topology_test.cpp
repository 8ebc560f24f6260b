// Topology walks over descriptors built at their contractual offsets.
#include <gtest/gtest.h>

#include "base/topology.h"
#include "sim/topology_builder.h"

namespace {

struct Visit {
  UINT8 wrapperId;
  UINT32 port;
};

std::vector<Visit> Walk(std::vector<uint8_t> &bytes, size_t silicon) {
  std::vector<Visit> out;
  PcieTopologyForEachEngine(
      reinterpret_cast<SiliconDescriptor *>(bytes.data() + silicon),
      [&out](SiliconDescriptor *, WrapperDescriptor *w, EngineDescriptor *e) {
        out.push_back({w->WrapperId, e->PortPciAddress});
      });
  return out;
}

sim::EngineLayout Port(uint32_t address, bool active = true) {
  sim::EngineLayout e;
  e.portPciAddress = address;
  e.active = active;
  return e;
}

TEST(TopologyTest, FirstRecordMayBeTheSiliconItself) {
  sim::BuiltTopology t = sim::BuildTopology({.silicons = {{.hostBridgeAddress = 0x100000}}});
  SiliconDescriptor *s = PcieTopologyFirstSilicon(t.bytes.data());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(s) - t.bytes.data(), 24);
  EXPECT_EQ(s->HostBridgeAddress, 0x100000u);
}

TEST(TopologyTest, IntermediateRecordsAreFollowedToEveryLevel) {
  sim::SiliconLayout s{.socketId = 3, .dieId = 1, .instanceId = 2, .hostBridgeAddress = 0x800000};
  s.recordsBeforeWrappers = 2;
  s.wrappers.push_back({.wrapperId = 1, .engines = {Port(0x8000)}, .recordsBeforeEngines = 3});
  sim::BuiltTopology t = sim::BuildTopology({.silicons = {s}, .recordsBeforeSilicon = 2});
  SiliconDescriptor *silicon = PcieTopologyFirstSilicon(t.bytes.data());
  ASSERT_NE(silicon, nullptr);
  EXPECT_EQ(silicon->SocketId, 3);
  EXPECT_EQ(silicon->DieId, 1);
  EXPECT_EQ(silicon->InstanceId, 2);
  const auto visits = Walk(t.bytes, t.siliconOffsets[0]);
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].wrapperId, 1);
  EXPECT_EQ(visits[0].port, 0x8000u);
}

TEST(TopologyTest, ChainEndingBeforeASiliconGivesNone) {
  sim::BuiltTopology t = sim::BuildTopology({.recordsBeforeSilicon = 3});
  EXPECT_EQ(PcieTopologyFirstSilicon(t.bytes.data()), nullptr);
}

TEST(TopologyTest, WalkSkipsInactiveEnginesAndEmptyWrappersInMemoryOrder) {
  sim::SiliconLayout s;
  s.wrappers.push_back({.wrapperId = 0, .engines = {Port(0x8000), Port(0x9000, false), Port(0xA000)}});
  s.wrappers.push_back({.wrapperId = 1});
  s.wrappers.push_back({.wrapperId = 2, .engines = {Port(0xB000)}});
  sim::BuiltTopology t = sim::BuildTopology({.silicons = {s}});
  const auto visits = Walk(t.bytes, t.siliconOffsets[0]);
  ASSERT_EQ(visits.size(), 3u);
  EXPECT_EQ(visits[0].port, 0x8000u);
  EXPECT_EQ(visits[1].port, 0xA000u);
  EXPECT_EQ(visits[2].wrapperId, 2);
}

TEST(TopologyTest, EngineListWhoseFirstIsLastHasOneEngine) {
  sim::SiliconLayout s;
  s.wrappers.push_back({.wrapperId = 0, .engines = {Port(0x8000)}});
  sim::BuiltTopology t = sim::BuildTopology({.silicons = {s}});
  // A second engine record after the last one must not be reached.
  std::vector<uint8_t> bytes = t.bytes;
  bytes.resize(bytes.size() + sim::kEngineSize, 0);
  bytes[bytes.size() - sim::kEngineSize + 3] = 0x10; // FlagEngineActive
  EXPECT_EQ(Walk(bytes, t.siliconOffsets[0]).size(), 1u);
}

TEST(TopologyTest, LinkWidthIgnoresLaneOrder) {
  struct Case {
    uint16_t start, end, width;
  };
  for (const Case c : {Case{0, 7, 8}, Case{7, 0, 8}, Case{16, 16, 1}, Case{20, 23, 4},
                       Case{0, 0xFFFF, 0}}) {
    EngineDescriptor e{};
    e.StartLane = c.start;
    e.EndLane = c.end;
    EXPECT_EQ(PcieEngineLinkWidth(&e), c.width) << c.start << ".." << c.end;
  }
}

TEST(TopologyTest, SiliconWalkStopsAtLastSiliconWhateverItsPeerOffset) {
  sim::BuiltTopology t = sim::BuildTopology(
      {.silicons = {{.hostBridgeAddress = 0}, {.hostBridgeAddress = 0x800000}}});
  t.bytes[t.siliconOffsets[1] + 6] = 0x24; // stray PeerOffset on the last silicon
  SiliconDescriptor *first = PcieTopologyFirstSilicon(t.bytes.data());
  SiliconDescriptor *second = PcieTopologyNextSilicon(first);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->HostBridgeAddress, 0x800000u);
  EXPECT_EQ(PcieTopologyNextSilicon(second), nullptr);
}

TEST(TopologyTest, SiliconWithoutLastFlagAndZeroPeerEndsTheWalk) {
  sim::SiliconLayout s{.omitLastSiliconFlag = true, .zeroPeerOffset = true};
  sim::BuiltTopology t = sim::BuildTopology({.silicons = {s}});
  EXPECT_EQ(PcieTopologyNextSilicon(PcieTopologyFirstSilicon(t.bytes.data())), nullptr);
}

} // namespace
