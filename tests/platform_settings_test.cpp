// PCD access, the HOB list and heap import, the shared heap list at
// start-up, and hook dispatch.
#include "tests/test_support.h"

#include <map>

#include "sim/lspci.h"
#include "sim/reference_platform.h"

#include <cstring>

#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "platform/heap.h"
#include "platform/hooks.h"
#include "platform/pcd.h"
#include "sim/hob_builder.h"

namespace kel_test {
namespace {

std::vector<HeapNode *> HeapNodes() {
  std::vector<HeapNode *> nodes;
  for (LIST_ENTRY *e = gHeapList->ForwardLink; e != gHeapList; e = e->ForwardLink) {
    nodes.push_back(reinterpret_cast<HeapNode *>(e));
  }
  return nodes;
}

class HeapTest : public ::testing::Test {
protected:
  sim::Platform platform;
};

TEST_F(HeapTest, StartUpImportsValidHeapHobsAndPublishesTheList) {
  sim::HobListBuilder hobs;
  hobs.Generic(0x0003, std::vector<uint8_t>(16, 0xEE));
  hobs.Heap({.handle = 7, .persist = 8, .valid = 1, .data = {1, 2, 3, 4, 5}});
  hobs.Heap({.handle = 8, .persist = 0, .valid = 0, .data = {9}});
  hobs.Guid({0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}}, std::vector<uint8_t>(16, 0x48));
  hobs.Heap({.handle = 9, .persist = 0, .valid = 1, .data = {}});
  hobs.Heap({.handle = 10, .persist = 0, .valid = 1, .data = {7}, .signature = 0x50414549});
  platform.PublishHobList(hobs.End());
  ASSERT_EQ(platform.LoadDriver(), EFI_SUCCESS);

  const auto lists = platform.firmware.Interfaces(gHeapListProtocolGuid);
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(gHeapList, &static_cast<HEAP_LIST_PROTOCOL *>(lists[0])->List);
  EXPECT_EQ(static_cast<HEAP_LIST_PROTOCOL *>(lists[0])->Revision, 1u);
  const auto nodes = HeapNodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0]->Header.BufferHandle, 7u);
  EXPECT_EQ(nodes[0]->Header.BufferSize, 5u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t *>(nodes[0]) + 32, "\1\2\3\4\5", 5), 0);
  EXPECT_EQ(platform.firmware.Allocations().at(nodes[0]).type, EfiRuntimeServicesData);
  EXPECT_EQ(platform.firmware.Allocations().at(nodes[0]).size, 37u);
  EXPECT_EQ(nodes[1]->Header.BufferHandle, 9u);
  EXPECT_EQ(platform.firmware.Allocations().at(nodes[1]).type, EfiBootServicesData);
  EXPECT_EQ(nodes[1]->Link.BackLink, &nodes[0]->Link);
  EXPECT_EQ(gHeapList->BackLink, &nodes[1]->Link);
}

TEST_F(HeapTest, EndOfListStopsTheWalkEvenWithMoreBytes) {
  std::vector<uint8_t> list = sim::HobListBuilder().End();
  const auto more = sim::HobListBuilder().Heap({.handle = 1, .data = {1}}).End();
  list.insert(list.end(), more.begin(), more.end());
  platform.PublishHobList(list);
  platform.LoadDriver();
  EXPECT_TRUE(HeapNodes().empty());
}

TEST_F(HeapTest, ZeroLengthHobEndsTheWalk) {
  std::vector<uint8_t> list = sim::HobListBuilder().Heap({.handle = 1, .data = {1}}).End();
  std::vector<uint8_t> broken = {0x04, 0x00, 0x00, 0x00, 0, 0, 0, 0};
  broken.insert(broken.end(), list.begin(), list.end());
  platform.PublishHobList(broken);
  platform.LoadDriver();
  EXPECT_TRUE(HeapNodes().empty());
}

TEST_F(HeapTest, NoHobListImportsNothingAndStillPublishesTheList) {
  platform.LoadDriver();
  EXPECT_EQ(HobListGet(), nullptr);
  EXPECT_TRUE(HeapNodes().empty());
  EXPECT_EQ(platform.firmware.Interfaces(gHeapListProtocolGuid).size(), 1u);
}

TEST_F(HeapTest, AnotherDriversListIsUsedAsItIs) {
  HEAP_LIST_PROTOCOL other{1, {nullptr, nullptr}};
  other.List.ForwardLink = other.List.BackLink = &other.List;
  platform.firmware.InstallProtocol(gHeapListProtocolGuid, &other);
  platform.PublishHobList(sim::HobListBuilder().Heap({.handle = 3, .data = {1}}).End());
  const size_t handles = platform.firmware.HandleCount();
  platform.LoadDriver();
  EXPECT_EQ(gHeapList, &other.List);
  EXPECT_TRUE(HeapNodes().empty()) << "the owner of the list imported the HOBs";
  EXPECT_EQ(platform.firmware.Interfaces(gHeapListProtocolGuid).size(), 1u);
  EXPECT_EQ(platform.firmware.HandleCount(), handles + 1) << "only the AER service's handle";
}

TEST_F(HeapTest, NodeAllocationFailureStopsWithThePoolsCode) {
  platform.firmware.failAllocation = [](EFI_MEMORY_TYPE, size_t size) { return size == 33; };
  platform.PublishHobList(sim::HobListBuilder()
                              .Heap({.handle = 1, .persist = 8, .data = {1}})
                              .Heap({.handle = 2, .persist = 0, .data = {2}})
                              .End());
  platform.LoadDriver();
  std::vector<uint64_t> codes;
  for (const auto &e : platform.log.Of(sim::EventKind::FatalStop)) {
    codes.push_back(e.value);
  }
  EXPECT_EQ(codes, (std::vector<uint64_t>{0x80202, 0x80205}));
  EXPECT_TRUE(HeapNodes().empty());
}

class PcdTest : public DriverUnitTest {};

TEST_F(PcdTest, ProtocolIsLocatedOnceAndValuesReadByToken) {
  platform.pcd[205] = 0x105;
  platform.pcd[588] = 1;
  platform.pcd[1180] = 0x123456789ULL;
  PcdResetState();
  EXPECT_EQ(PcdGet8(205), 0x05);
  EXPECT_EQ(PcdGetBool(588), TRUE);
  EXPECT_EQ(PcdGetBool(418), FALSE);
  EXPECT_EQ(PcdGet64(1180), 0x123456789ULL);
  EXPECT_EQ(PcdSet8(1085, 1), EFI_SUCCESS);
  EXPECT_EQ(platform.pcd[1085], 1u);
  EXPECT_NE(PcdProtocolGet(), nullptr);
  EXPECT_EQ(PcdProtocolGet(), PcdProtocolGet());
}

class NoPcdTest : public DriverUnitTest {
protected:
  NoPcdTest() : DriverUnitTest(sim::PlatformModules{.pcd = false}) {}
};

TEST_F(NoPcdTest, MissingProtocolReadsNoSettingAndRefusesSets) {
  EXPECT_EQ(PcdProtocolGet(), nullptr);
  EXPECT_EQ(PcdGet8(205), PcdNoByteSetting) << "0 would ask for 128-byte read requests";
  EXPECT_EQ(PcdGet32(456), 0u);
  EXPECT_EQ(PcdGetBool(67), FALSE);
  EXPECT_EQ(PcdSet64(1180, 5), EFI_NOT_FOUND);
  platform.InstallPcd();
  EXPECT_NE(PcdProtocolGet(), nullptr) << "a later protocol is found on the next use";
}

// Verify that a pass without platform settings sizes nothing on a made-up
// value: Device Control (read request and payload sizes) stays as found on
// every function, and nothing of it is recorded.
TEST_F(NoPcdTest, APassWithoutSettingsLeavesDeviceControlAlone) {
  sim::BuildReferencePlatform(platform);
  std::map<uint32_t, uint32_t> before;
  for (const auto &[bdf, f] : platform.config.Functions()) {
    if (f.pcieCap != 0) {
      before[bdf] = f.Peek(f.pcieCap + 8, 2);
    }
  }
  platform.LoadDriver();
  platform.InstallPciIo();
  for (const auto &[bdf, value] : before) {
    const sim::ConfigFunction &f = *platform.config.Find(bdf);
    EXPECT_EQ(f.Peek(f.pcieCap + 8, 2), value) << sim::BdfText(bdf);
  }
  for (const std::string &line : platform.log.DebugLines()) {
    EXPECT_EQ(line.find("MaxReadRequestSize"), std::string::npos) << line;
  }
}

// Verify that the protocol is located once and kept, not on every read.
TEST_F(PcdTest, TheProtocolIsLocatedOnceAndKept) {
  platform.log.Clear();
  PcdGet8(205);
  PcdGetBool(67);
  PcdGet32(456);
  size_t locates = 0;
  for (const sim::Event &e : platform.log.Of(sim::EventKind::Locate)) {
    locates += sim::LocateGuid(e) == "11B34006-D85B-4D0A-A290-D5A571310EF7";
  }
  EXPECT_LE(locates, 1u);
  EXPECT_EQ(platform.log.Of(sim::EventKind::PcdGet).size(), 3u);
}

struct HookRecord {
  std::vector<uint32_t> ids;
  void *data = nullptr;
  uint32_t status = 0;
};
HookRecord gHook;

UINT32 RecordingHook(UINT32 id, UINT64, VOID *data) {
  gHook.ids.push_back(id);
  gHook.data = data;
  return gHook.status;
}

class HookTest : public DriverUnitTest {
protected:
  HookTest() { gHook = {}; }
};

TEST_F(HookTest, DriverTableHasNoHandlerForTheAerHookId) {
  int data = 0;
  EXPECT_EQ(VtrHookDispatch(&VtrHookTable, HookIdNbioPcieAerConfig, &data), HookDispatchNoHandler);
  EXPECT_TRUE(platform.log.DebugLines().empty());
}

TEST_F(HookTest, DispatchResultFollowsTheHandlersStatuses) {
  const HookEntry entries[] = {{0xB0000009, 0, RecordingHook},
                               {0x1, 0, RecordingHook},
                               {0xB0000009, 0, RecordingHook},
                               {HookIdEndOfList, 0, nullptr}};
  const HookTable table = {HookTableSignature, 1, {}, entries};
  int data = 0;
  EXPECT_EQ(VtrHookDispatch(&table, 0xB0000009, &data), HookDispatchAllSucceeded);
  EXPECT_EQ(gHook.ids, (std::vector<uint32_t>{0xB0000009, 0xB0000009}));
  EXPECT_EQ(gHook.data, &data);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelHook),
            (std::vector<std::string>{"VtrHookFunc HookId b0000009\n", "VtrHookFunc HookId b0000009\n"}));
  gHook.status = 5;
  EXPECT_EQ(VtrHookDispatch(&table, 0xB0000009, &data), 5u);
}

TEST_F(HookTest, BrokenTableStopsAndCountsAsNoHandler) {
  const HookEntry entries[] = {{0xB0000009, 0, RecordingHook}, {HookIdEndOfList, 0, nullptr}};
  for (const HookTable table : {HookTable{0x12345678, 1, {}, entries},
                                HookTable{HookTableSignature, 2, {}, entries}}) {
    platform.log.Clear();
    EXPECT_EQ(VtrHookDispatch(&table, 0xB0000009, nullptr), HookDispatchNoHandler);
    EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0x20800133});
  }
  EXPECT_TRUE(gHook.ids.empty());
}

struct ProtocolHookRecord {
  EFI_BOOT_SERVICES *bs = nullptr;
  HOOK_CALLOUT callout{};
  uint32_t id = 0;
  int calls = 0;
};
ProtocolHookRecord gProtocolHook;

EFI_STATUS EFIAPI ProtocolHook(EFI_BOOT_SERVICES *bs, HOOK_CALLOUT *callout, UINT32 id) {
  gProtocolHook.bs = bs;
  gProtocolHook.callout = *callout;
  gProtocolHook.id = id;
  gProtocolHook.calls++;
  return EFI_UNSUPPORTED;
}

TEST_F(HookTest, ProtocolCallPassesBootServicesCalloutAndId) {
  gProtocolHook = {};
  int data = 0;
  VtrHookProtocolCall(0xB0000009, &data);
  EXPECT_EQ(gProtocolHook.calls, 0) << "no protocol, no call";
  VTR_HOOK_PROTOCOL hook = {ProtocolHook};
  platform.firmware.InstallProtocol(gVtrHookProtocolGuid, &hook);
  VtrHookProtocolCall(0xB0000009, &data);
  EXPECT_EQ(gProtocolHook.calls, 1);
  EXPECT_EQ(gProtocolHook.bs, platform.firmware.BootServices());
  EXPECT_EQ(gProtocolHook.callout.Reserved, 0u);
  EXPECT_EQ(gProtocolHook.callout.Data, reinterpret_cast<uint64_t>(&data));
  EXPECT_EQ(gProtocolHook.id, 0xB0000009u);
}

} // namespace
} // namespace kel_test
