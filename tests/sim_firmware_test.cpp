// The simulated UEFI core must behave like one, or tests on top of it prove
// nothing: protocol notifications, TPL dispatch, event groups, pools.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <numeric>
#include <vector>

#include "sim/platform.h"

namespace {

struct Counter {
  int calls = 0;
  EFI_TPL tplSeen = 0;
};

VOID EFIAPI CountingNotify(EFI_EVENT, VOID *context) {
  auto *c = static_cast<Counter *>(context);
  c->calls++;
  c->tplSeen = sim::Platform::Current()->firmware.CurrentTpl();
}

constexpr EFI_GUID kTestGuid = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr EFI_GUID kGroupGuid = {0x44444444, 0x5555, 0x6666, {8, 7, 6, 5, 4, 3, 2, 1}};

// Verify that every field of a GUID takes part in the comparison: each of
// these differs from kTestGuid in one of them.
constexpr EFI_GUID kNearTestGuid[] = {{0x11111110, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}},
                                      {0x11111111, 0x2223, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}},
                                      {0x11111111, 0x2222, 0x3332, {1, 2, 3, 4, 5, 6, 7, 8}},
                                      {0x11111111, 0x2222, 0x3333, {0, 2, 3, 4, 5, 6, 7, 8}},
                                      {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}}};
static_assert(GuidEqual(kTestGuid, EFI_GUID{0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}}));
static_assert(std::none_of(std::begin(kNearTestGuid), std::end(kNearTestGuid),
                           [](const EFI_GUID &g) { return GuidEqual(g, kTestGuid); }));

class SimFirmwareTest : public ::testing::Test {
protected:
  sim::Platform platform;
  EFI_BOOT_SERVICES *bs = platform.firmware.BootServices();
};

TEST_F(SimFirmwareTest, ProtocolNotifyRunsInsideInstallOnlyForLaterInstalls) {
  int earlier = 0;
  platform.firmware.InstallProtocol(kTestGuid, &earlier);
  Counter counter;
  EFI_EVENT event = nullptr;
  ASSERT_EQ(bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, CountingNotify, &counter, nullptr,
                              &event),
            EFI_SUCCESS);
  VOID *registration = nullptr;
  ASSERT_EQ(bs->RegisterProtocolNotify(&kTestGuid, event, &registration), EFI_SUCCESS);
  EXPECT_EQ(counter.calls, 0) << "an install before the registration must not signal";

  int later = 0;
  platform.firmware.InstallProtocol(kTestGuid, &later);
  EXPECT_EQ(counter.calls, 1);
  EXPECT_EQ(counter.tplSeen, TPL_NOTIFY);

  VOID *found = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&kTestGuid, registration, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &later);
  EXPECT_EQ(bs->LocateProtocol(&kTestGuid, registration, &found), EFI_NOT_FOUND);
}

TEST_F(SimFirmwareTest, ClosedEventNeverRunsAgainAndSecondCloseFails) {
  Counter counter;
  EFI_EVENT event = nullptr;
  ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountingNotify, &counter, &event),
            EFI_SUCCESS);
  VOID *registration = nullptr;
  bs->RegisterProtocolNotify(&kTestGuid, event, &registration);
  EXPECT_EQ(bs->CloseEvent(event), EFI_SUCCESS);
  int iface = 0;
  platform.firmware.InstallProtocol(kTestGuid, &iface);
  EXPECT_EQ(counter.calls, 0);
  EXPECT_EQ(bs->CloseEvent(event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->SignalEvent(event), EFI_INVALID_PARAMETER);
}

TEST_F(SimFirmwareTest, SignalWaitsUntilTplDropsBelowEventTpl) {
  Counter counter;
  EFI_EVENT event = nullptr;
  bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountingNotify, &counter, &event);
  const EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
  bs->SignalEvent(event);
  EXPECT_EQ(counter.calls, 0);
  bs->RestoreTPL(old);
  EXPECT_EQ(counter.calls, 1);
  EXPECT_EQ(counter.tplSeen, TPL_CALLBACK);
}

TEST_F(SimFirmwareTest, EventGroupSignalsEveryMemberOnce) {
  Counter a;
  Counter b;
  Counter outsider;
  EFI_EVENT ea = nullptr;
  EFI_EVENT eb = nullptr;
  EFI_EVENT eo = nullptr;
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountingNotify, &a, &kGroupGuid, &ea);
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountingNotify, &b, &kGroupGuid, &eb);
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountingNotify, &outsider, nullptr, &eo);
  bs->SignalEvent(ea);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 1);
  EXPECT_EQ(outsider.calls, 0);
  platform.firmware.SignalEventGroup(kGroupGuid);
  EXPECT_EQ(a.calls, 2);
  EXPECT_EQ(b.calls, 2);
}

TEST_F(SimFirmwareTest, FailedLocatesAreLoggedWithTheirGuidAndDuplicateInstallIsRefused) {
  VOID *iface = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&kTestGuid, nullptr, &iface), EFI_NOT_FOUND);
  EXPECT_EQ(bs->LocateProtocol(nullptr, nullptr, &iface), EFI_INVALID_PARAMETER);
  const std::vector<sim::Event> locates = platform.log.Of(sim::EventKind::Locate);
  ASSERT_EQ(locates.size(), 2u);
  EXPECT_EQ(sim::LocateGuid(locates[0]), "11111111-2222-3333-0102-030405060708");
  EXPECT_EQ(locates[0].value, EFI_NOT_FOUND);
  EXPECT_EQ(sim::LocateGuid(locates[1]), "null");
  int x = 0;
  EFI_HANDLE handle = platform.firmware.InstallProtocol(kTestGuid, &x);
  EXPECT_EQ(bs->InstallProtocolInterface(&handle, &kTestGuid, EFI_NATIVE_INTERFACE, &x),
            EFI_INVALID_PARAMETER);
}

TEST_F(SimFirmwareTest, PoolTracksTypesAndReportsDoubleFree) {
  VOID *p = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiRuntimeServicesData, 64, &p), EFI_SUCCESS);
  ASSERT_EQ(platform.firmware.Allocations().count(p), 1u);
  EXPECT_EQ(platform.firmware.Allocations().at(p).type, EfiRuntimeServicesData);
  EXPECT_EQ(bs->FreePool(p), EFI_SUCCESS);
  EXPECT_TRUE(platform.log.Faults().empty());
  EXPECT_EQ(bs->FreePool(p), EFI_INVALID_PARAMETER);
  EXPECT_EQ(platform.log.Faults().size(), 1u);

  platform.firmware.failAllocation = [](EFI_MEMORY_TYPE, size_t) { return true; };
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &p), EFI_OUT_OF_RESOURCES);
}

// Verify that a log keeps its events in order as it grows past what it
// reserved and when it is moved, and that a log started after another ended
// (and took its buffer) starts empty.
TEST(SimLogTest, KeepsEventsInOrderAcrossGrowthAndMoves) {
  constexpr uint64_t kEvents = 40000; // twice past the 16,384 reserved
  std::vector<uint64_t> expected(kEvents);
  std::iota(expected.begin(), expected.end(), 0);
  sim::Log kept;
  {
    sim::Log log;
    for (const uint64_t value : expected) {
      log.Add({.kind = sim::EventKind::IoWrite, .address = 0x80, .value = value});
    }
    kept = std::move(log);
    EXPECT_TRUE(log.Events().empty());
    log.Add({.kind = sim::EventKind::IoWrite, .address = 0x80, .value = 1});
    EXPECT_EQ(log.PortWrites(0x80), std::vector<uint64_t>{1});
  }
  EXPECT_EQ(kept.PortWrites(0x80), expected);
  const sim::Log next;
  EXPECT_TRUE(next.Events().empty());
}

TEST(SimNbioTest, RasHandshakeDropsReadyOnEveryGroupWrite) {
  sim::Log log;
  sim::Nbio nbio(0, log);
  nbio.ras.pollsBeforeReady = 2;
  nbio.Write(sim::smn::kRasGroupControl, 0);
  EXPECT_EQ(nbio.Read(sim::smn::kRasGroupControl) & sim::smn::kRasReady, 0u);
  EXPECT_EQ(nbio.Read(sim::smn::kRasGroupControl) & sim::smn::kRasReady, 0u);
  EXPECT_NE(nbio.Read(sim::smn::kRasGroupControl) & sim::smn::kRasReady, 0u);
  nbio.Write(sim::smn::kRasGroupControl, 0xC0051234);
  EXPECT_EQ(nbio.Read(sim::smn::kRasGroupControl), 0x40051234u) << "ready drops, fields stay";
  nbio.ras.becomesReady = false;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(nbio.Read(sim::smn::kRasGroupControl) & sim::smn::kRasReady, 0u);
  }
}

TEST(SimNbioTest, SmuAnswersAfterItsPollsAndWritesResults) {
  sim::Log log;
  sim::Nbio nbio(0, log);
  nbio.smu.pollsBeforeAnswer = 2;
  nbio.smu.response = 0x1;
  nbio.smu.results[2] = 0x77;
  EXPECT_EQ(nbio.Read(sim::smn::kSmuResponse), 0u) << "no request, no answer";
  nbio.Write(sim::smn::kSmuMessage, 0xF);
  EXPECT_EQ(nbio.Read(sim::smn::kSmuResponse), 0u);
  EXPECT_EQ(nbio.Read(sim::smn::kSmuResponse), 0u);
  EXPECT_EQ(nbio.Read(sim::smn::kSmuResponse), 1u);
  EXPECT_EQ(nbio.Peek(sim::smn::kSmuArgument0 + 8), 0x77u);
  EXPECT_EQ(log.Of(sim::EventKind::SmnRead).size(), 4u);
}

} // namespace

// Verify that padded topology bytes read as zeros to their last byte and that
// a read past them faults, as the fuzz target's "no read beyond the walks'
// reach" relies on.
TEST(SimZeroedBytesTest, ReadsZerosAndFaultsPastTheEnd) {
  const sim::ZeroedBytes bytes(sim::kTopologyReach);
  const std::span<uint8_t> span = bytes.Span();
  ASSERT_EQ(span.size(), sim::kTopologyReach);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(span.data()) % 8, 0u);
  EXPECT_EQ(span.front() | span[span.size() / 2] | span.back(), 0);
  EXPECT_DEATH(
      {
        const volatile uint8_t *past = span.data() + ((span.size() + 7) & ~size_t{7});
        std::exit(*past);
      },
      "");
}
