// S3 boot-script recording through the save-state protocol, the private
// table after SMM lock, and its hand-off to SMM at ready-to-boot.
#include "tests/test_support.h"

#include <cstring>

#include "base/debug_print.h"
#include "platform/diagnostics.h"
#include "platform/register_access.h"
#include "platform/s3_recording.h"
#include "sim/driver_image.h"

namespace kel_test {
namespace {

constexpr uint64_t kPcdPrivate = 0x49C;
constexpr uint64_t kPcdTable = 0x34F;
constexpr uint64_t kPcdTableSize = 0x431;

uint64_t U64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t U32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

class S3RecordingTest : public ::testing::Test {
protected:
  explicit S3RecordingTest(sim::PlatformModules modules = {}) : platform(modules) {
    platform.AddSilicon(kHostBridge);
  }
  void Start() {
    ASSERT_EQ(platform.LoadDriver(), EFI_SUCCESS);
    platform.log.Clear();
  }
  uint8_t *Table() { return reinterpret_cast<uint8_t *>(platform.pcd[kPcdTable]); }
  uint64_t UsedLength() { return U64(Table() + 0x28); }
  UINT32 RecordDword(UINT32 value, UINT32 reg = 0x3C) {
    PciWrite(kHostBridge | reg, AccessWidth32 | S3Save, &value);
    return value;
  }
  std::vector<uint64_t> FatalStops() const {
    std::vector<uint64_t> codes;
    for (const auto &e : platform.log.Of(sim::EventKind::FatalStop)) {
      codes.push_back(e.value);
    }
    return codes;
  }

  sim::Platform platform;
};

TEST_F(S3RecordingTest, SetUpPublishesPrivateDataAndAnEmptyTable) {
  platform.cpu.msrs[0xC0010058] = 0x0000000E0000021ULL;
  Start();
  EXPECT_EQ(gS3MmioBase, 0xE0000000u);
  ASSERT_NE(platform.pcd[kPcdPrivate], 0u);
  ASSERT_NE(platform.pcd[kPcdTable], 0u);
  const uint8_t *priv = reinterpret_cast<const uint8_t *>(platform.pcd[kPcdPrivate]);
  EXPECT_EQ(priv[0], 0) << "Locked";
  EXPECT_EQ(priv[1], 0) << "Closed";
  EXPECT_EQ(U64(priv + 8), platform.pcd[kPcdTable]);
  EXPECT_EQ(platform.firmware.Allocations().at(Table()).type, EfiRuntimeServicesData);
  EXPECT_EQ(platform.firmware.Allocations().at(Table()).size, 0x4004u);
  EXPECT_EQ(U32(Table()), 0x5433534Bu);
  EXPECT_EQ(U32(Table() + 4), 1u);
  for (int i = 8; i < 0x20; ++i) {
    EXPECT_EQ(Table()[i], 0) << "reserved byte " << i;
  }
  EXPECT_EQ(U64(Table() + 0x20), 0x4000u);
  EXPECT_EQ(UsedLength(), 0x30u);
  EXPECT_EQ(U32(Table() + 0x4000), 0x01558844u);
}

TEST_F(S3RecordingTest, WritesBeforeLockGoToSaveStateAndAfterLockToTheTableSmmReceives) {
  Start();
  RecordDword(0x11);
  ASSERT_EQ(platform.saveState.size(), 1u);

  platform.InstallSmmReadyToLock();
  RecordDword(0x22);
  UINT8 byte = 0x33;
  PciWrite(kHostBridge | 0x0C, AccessWidth8 | S3Save, &byte);
  EXPECT_EQ(platform.saveState.size(), 1u) << "after lock nothing goes to the save-state protocol";
  EXPECT_EQ(UsedLength(), 0x30u + 2 * 24);

  platform.SignalReadyToBoot();
  ASSERT_EQ(platform.smmReceived.size(), 1u);
  const sim::SmmHandoff &h = platform.smmReceived[0];
  ASSERT_EQ(h.message.size(), 40u);
  const EFI_GUID expectedGuid = {
      0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
  EXPECT_EQ(std::memcmp(h.message.data(), &expectedGuid, 16), 0);
  EXPECT_EQ(U64(h.message.data() + 0x10), 0x10u);
  EXPECT_EQ(U32(h.message.data() + 0x18), 1u);
  EXPECT_EQ(U32(h.message.data() + 0x1C), 0u);
  EXPECT_EQ(h.privateData, platform.pcd[kPcdPrivate]);

  const uint8_t *t = h.table.data();
  ASSERT_EQ(h.table.size(), 0x4004u);
  EXPECT_EQ(U64(t + 0x28), 0x60u);
  // Entry 1: 32-bit write of 0x22 at the ECAM address of register 0x3C.
  EXPECT_EQ(t[0x30], 3);
  EXPECT_EQ(U32(t + 0x34), 2u);
  EXPECT_EQ(U64(t + 0x38), 0xF0000000u | kHostBridge | 0x3Cu);
  EXPECT_EQ(U64(t + 0x40), 0x22u);
  // Entry 2: the byte write.
  EXPECT_EQ(U32(t + 0x4C), 0u);
  EXPECT_EQ(U64(t + 0x58), 0x33u);
  EXPECT_EQ(t[0x60], 0xFF);
  EXPECT_EQ(t[0x61], 0xFF);
  EXPECT_EQ(U32(t + 0x4000), 0x01558844u);

  EXPECT_EQ(platform.firmware.Allocations().count(reinterpret_cast<void *>(platform.pcd[kPcdTable])),
            0u)
      << "the table is freed after the hand-off";
  const uint8_t *priv = reinterpret_cast<const uint8_t *>(platform.pcd[kPcdPrivate]);
  EXPECT_EQ(priv[1], 1) << "Closed";
  EXPECT_EQ(platform.log.DebugLines(DebugLevelDriver),
            std::vector<std::string>{"KelS3SaveCloseTableCallBack\n"});

  platform.log.Clear();
  const UINT32 late = 0x99;
  EXPECT_EQ(S3SaveMemWrite(3, 0x1234, &late), S3RecordOk) << "closed: accepted and dropped";
  EXPECT_EQ(platform.saveState.size(), 1u);
  EXPECT_TRUE(platform.log.Faults().empty());
}

TEST_F(S3RecordingTest, TableTakesExactly680MemoryWrites) {
  Start();
  platform.InstallSmmReadyToLock();
  for (int i = 0; i < 680; ++i) {
    ASSERT_EQ(S3SaveMemWrite(3, 0x1000 + 4 * i, &i), S3RecordOk) << i;
  }
  EXPECT_EQ(UsedLength(), 0x3FF0u);
  EXPECT_TRUE(FatalStops().empty());
  const int extra = 681;
  EXPECT_EQ(S3SaveMemWrite(3, 0x2000, &extra), S3RecordFailed);
  EXPECT_EQ(UsedLength(), 0x3FF0u);
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA0744});
  EXPECT_EQ(platform.log.DebugLines(DebugLevelDriver),
            std::vector<std::string>{"No enough space for s3 data save\n"});

  platform.SignalReadyToBoot();
  ASSERT_EQ(platform.smmReceived.size(), 1u);
  EXPECT_EQ(platform.smmReceived[0].table[0x3FF0], 0xFF) << "end marker right after the last";
  EXPECT_EQ(platform.smmReceived[0].table[0x3FF1], 0xFF);
}

TEST_F(S3RecordingTest, CorruptedBoundaryStopsAppendsAndTheHandOff) {
  Start();
  platform.InstallSmmReadyToLock();
  Table()[0x4000] ^= 0xFF;
  const UINT32 v = 1;
  EXPECT_EQ(S3SaveMemWrite(3, 0x1000, &v), S3RecordFailed);
  EXPECT_EQ(S3SaveMemWrite(3, 0x1004, &v), S3RecordFailed);
  EXPECT_EQ(UsedLength(), 0x30u);
  EXPECT_EQ(FatalStops(), (std::vector<uint64_t>{0xA0702, 0xA0702}));
  platform.SignalReadyToBoot();
  EXPECT_TRUE(platform.smmReceived.empty());
  const auto lines = platform.log.DebugLines(DebugLevelDriver);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "KelS3Lib table boundary check fail\n"), 3);
}

TEST_F(S3RecordingTest, CorruptedSignatureIsReportedWithItsCode) {
  Start();
  platform.InstallSmmReadyToLock();
  Table()[0] = 'X';
  const UINT32 v = 1;
  EXPECT_EQ(S3SaveMemWrite(3, 0x1000, &v), S3RecordFailed);
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA0697});
  EXPECT_EQ(platform.log.DebugLines(DebugLevelDriver),
            std::vector<std::string>{"KelS3Lib table Signature check fail\n"});
}

TEST_F(S3RecordingTest, CorruptedUsedLengthNeverWritesOutsideTheTable) {
  Start();
  platform.InstallSmmReadyToLock();
  const uint64_t huge = 0x100000;
  std::memcpy(Table() + 0x28, &huge, sizeof huge);
  const UINT32 v = 1;
  EXPECT_EQ(S3SaveMemWrite(3, 0x1000, &v), S3RecordFailed);
  platform.SignalReadyToBoot();
  EXPECT_TRUE(platform.smmReceived.empty());
}

TEST_F(S3RecordingTest, ReadyToBootBeforeLockHandsOverAnEmptyTable) {
  Start();
  platform.SignalReadyToBoot();
  ASSERT_EQ(platform.smmReceived.size(), 1u);
  EXPECT_EQ(platform.smmReceived[0].table[0x30], 0xFF);
  EXPECT_EQ(platform.smmReceived[0].table[0x31], 0xFF);
  RecordDword(0x44);
  ASSERT_EQ(platform.saveState.size(), 1u) << "still open: later records use the protocol";
  EXPECT_EQ(platform.saveState[0].value, 0x44u);
}

TEST_F(S3RecordingTest, LargerBufferSizeKeepsTheBoundaryAt0x4000) {
  platform.pcd[kPcdTableSize] = 0x10000;
  Start();
  EXPECT_EQ(platform.firmware.Allocations().at(Table()).size, 0x10004u);
  EXPECT_EQ(U64(Table() + 0x20), 0x4000u);
  EXPECT_EQ(U32(Table() + 0x4000), 0x01558844u);
}

TEST_F(S3RecordingTest, BufferSizeThatWouldWrapIsRefusedNotAllocatedShort) {
  platform.pcd[kPcdTableSize] = ~0ULL - 1;
  Start();
  EXPECT_EQ(platform.pcd.count(kPcdTable), 0u);
  for (const auto &[pointer, allocation] : platform.firmware.Allocations()) {
    EXPECT_NE(allocation.size, 2u) << "no short buffer may hold the table";
  }
}

TEST_F(S3RecordingTest, LockInstalledBeforeTheDriverIsNoticedAtOnce) {
  platform.InstallSmmReadyToLock();
  Start();
  RecordDword(0x55);
  EXPECT_TRUE(platform.saveState.empty());
  EXPECT_EQ(UsedLength(), 0x30u + 24);
}

TEST_F(S3RecordingTest, SecondDriverSharesTheFirstDriversTable) {
  Start();
  const size_t allocations = platform.firmware.Allocations().size();
  const size_t events = platform.firmware.OpenEventCount();
  const uint64_t table = platform.pcd[kPcdTable];
  // Another image carrying the same recording code, with its own globals.
  sim::DriverImage second(KEL_DRIVER_IMAGE);
  ASSERT_EQ(second.Start(platform), EFI_SUCCESS);
  EXPECT_EQ(platform.firmware.Allocations().size(), allocations) << "allocates nothing";
  EXPECT_EQ(platform.firmware.OpenEventCount(), events + 1)
      << "only its own PCI I/O notification: no S3 events";
  EXPECT_EQ(platform.pcd[kPcdTable], table);

  platform.InstallSmmReadyToLock();
  RecordDword(0x66);
  second.RecordedWrite32(kHostBridge | 0x3C, 0x77);
  EXPECT_EQ(UsedLength(), 0x30u + 2 * 24) << "both drivers append to one table";
  EXPECT_EQ(U64(Table() + 0x40), 0x66u);
  EXPECT_EQ(U64(Table() + 0x58), 0x77u);

  platform.SignalReadyToBoot();
  ASSERT_EQ(platform.smmReceived.size(), 1u) << "the table is handed over once";
  second.RecordedWrite32(kHostBridge | 0x3C, 0x88);
  EXPECT_EQ(platform.saveState.size(), 0u) << "closed for the second driver too";
}

struct EntryCase {
  uint16_t type;
  size_t size;
  std::vector<uint64_t> args;
  // (offset, width) of each argument in the entry
  std::vector<std::pair<size_t, size_t>> fields;
};

class S3EntryEncodingTest : public S3RecordingTest,
                            public ::testing::WithParamInterface<EntryCase> {};

UINT32 Append(uint16_t type, const std::vector<uint64_t> &a) {
  std::vector<uint64_t> p = a;
  p.resize(6, 0);
  return S3TableAppend(type, p[0], p[1], p[2], p[3], p[4], p[5]);
}

TEST_P(S3EntryEncodingTest, LaysOutEveryArgumentAtItsOffset) {
  const EntryCase &c = GetParam();
  Start();
  platform.InstallSmmReadyToLock();
  ASSERT_EQ(Append(c.type, c.args), S3RecordOk);
  ASSERT_EQ(UsedLength(), 0x30u + c.size);
  const uint8_t *e = Table() + 0x30;
  EXPECT_EQ(e[0] | (e[1] << 8), c.type);
  std::vector<bool> covered(c.size, false);
  covered[0] = covered[1] = true;
  for (size_t i = 0; i < c.fields.size(); ++i) {
    const auto [offset, width] = c.fields[i];
    uint64_t v = 0;
    std::memcpy(&v, e + offset, width);
    const uint64_t mask = width == 8 ? ~0ULL : (1ULL << (8 * width)) - 1;
    EXPECT_EQ(v, c.args[i] & mask) << "argument " << i + 1;
    for (size_t b = 0; b < width; ++b) {
      covered[offset + b] = true;
    }
  }
  for (size_t b = 0; b < c.size; ++b) {
    if (!covered[b]) {
      EXPECT_EQ(e[b], 0) << "byte " << b << " must be zero";
    }
  }
}

const std::vector<uint64_t> kArgs = {0xA1A1A1A1A1A1A1A1ULL, 0xB2B2B2B2B2B2B2B2ULL,
                                     0xC3C3C3C3C3C3C3C3ULL, 0xD4D4D4D4D4D4D4D4ULL,
                                     0xE5E5E5E5E5E5E5E5ULL, 0xF6F6F6F6F6F6F6F6ULL};
std::vector<uint64_t> First(size_t n) { return {kArgs.begin(), kArgs.begin() + n}; }

INSTANTIATE_TEST_SUITE_P(
    AllTypes, S3EntryEncodingTest,
    ::testing::Values(EntryCase{0, 24, First(3), {{4, 4}, {8, 8}, {16, 8}}},
                      EntryCase{3, 24, First(3), {{4, 4}, {8, 8}, {16, 8}}},
                      EntryCase{1, 32, First(4), {{4, 4}, {8, 8}, {16, 8}, {24, 8}}},
                      EntryCase{4, 32, First(4), {{4, 4}, {8, 8}, {16, 8}, {24, 8}}},
                      EntryCase{2, 40, First(5), {{4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}}},
                      EntryCase{5, 40, First(5), {{4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}}},
                      EntryCase{6, 32, First(4), {{4, 4}, {8, 2}, {16, 8}, {24, 8}}},
                      EntryCase{7, 40, First(5), {{4, 4}, {8, 2}, {16, 8}, {24, 8}, {32, 8}}},
                      EntryCase{8, 48, First(6),
                                {{4, 4}, {8, 2}, {16, 8}, {24, 8}, {32, 8}, {40, 8}}},
                      EntryCase{9, 24, First(2), {{8, 8}, {16, 8}}}));

TEST_F(S3RecordingTest, UnknownEntryTypeIsAFailedRecord) {
  Start();
  platform.InstallSmmReadyToLock();
  EXPECT_EQ(Append(10, First(3)), S3RecordFailed);
  EXPECT_EQ(UsedLength(), 0x30u);
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA0685});
}

TEST_F(S3RecordingTest, DisabledConfigurationBaseIsAFatalStop) {
  platform.cpu.msrs[0xC0010058] = 0xE0000020;
  Start();
  // The stop happened during start-up, before the log was cleared.
  EXPECT_EQ(gS3MmioBase, 0u);
}

class S3AllocationFailureTest : public S3RecordingTest {};

TEST_F(S3AllocationFailureTest, PrivateDataFailureKeepsRecordingThroughTheProtocol) {
  platform.firmware.failAllocation = [](EFI_MEMORY_TYPE t, size_t s) {
    return t == EfiRuntimeServicesData && s == 16;
  };
  platform.LoadDriver();
  const auto fatal = platform.log.Of(sim::EventKind::FatalStop);
  ASSERT_EQ(fatal.size(), 1u);
  EXPECT_EQ(fatal[0].value, 0xA0873u);
  const auto lines = platform.log.DebugLines(DebugLevelDriver);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "KelS3LibPrivateData allocate fail\n"),
            lines.end());
  EXPECT_EQ(platform.pcd.count(kPcdTable), 0u);
  platform.InstallSmmReadyToLock();
  RecordDword(0x77);
  ASSERT_EQ(platform.saveState.size(), 1u);
  EXPECT_EQ(platform.saveState[0].value, 0x77u);
  platform.SignalReadyToBoot();
  EXPECT_TRUE(platform.smmReceived.empty());
}

TEST_F(S3AllocationFailureTest, TableFailureIsReportedByEveryAppend) {
  platform.firmware.failAllocation = [](EFI_MEMORY_TYPE, size_t s) { return s == 0x4004; };
  Start();
  EXPECT_EQ(platform.pcd.count(kPcdTable), 0u);
  platform.InstallSmmReadyToLock();
  const UINT32 v = 1;
  EXPECT_EQ(S3SaveMemWrite(3, 0x1000, &v), S3RecordFailed);
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA0727});
  EXPECT_EQ(platform.log.DebugLines(DebugLevelDriver),
            std::vector<std::string>{"KelS3Lib table allocate fail\n"});
  platform.SignalReadyToBoot();
  EXPECT_TRUE(platform.smmReceived.empty());
}

class NoSaveStateS3Test : public S3RecordingTest {
protected:
  NoSaveStateS3Test() : S3RecordingTest(sim::PlatformModules{.s3SaveState = false}) {}
};

TEST_F(NoSaveStateS3Test, MissingProtocolIsReportedAndALaterOneIsUsed) {
  Start();
  const UINT32 v = 0x88;
  EXPECT_EQ(S3SaveMemWrite(3, 0xF0001000, &v), S3RecordFailed);
  EXPECT_EQ(platform.log.DebugLines(DebugLevelDriver),
            std::vector<std::string>{
                "KelS3SaveLib no S3 save state protocol: 0xf0001000 not recorded\n"});
  platform.InstallS3SaveState();
  EXPECT_EQ(S3SaveMemWrite(3, 0xF0001000, &v), S3RecordOk);
  ASSERT_EQ(platform.saveState.size(), 1u);
  EXPECT_EQ(platform.saveState[0].value, 0x88u);
}

class NoSmmS3Test : public S3RecordingTest {
protected:
  NoSmmS3Test() : S3RecordingTest(sim::PlatformModules{.smmCommunication = false}) {}
};

TEST_F(NoSmmS3Test, MissingSmmCommunicationKeepsTheTable) {
  Start();
  platform.InstallSmmReadyToLock();
  platform.SignalReadyToBoot();
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA0831});
  const auto lines = platform.log.DebugLines(DebugLevelDriver);
  EXPECT_EQ(lines.back(), "KelS3SaveLib locate SmmCommunicationProtocol fail \n");
  EXPECT_EQ(platform.firmware.Allocations().count(Table()), 1u);
}

TEST_F(S3RecordingTest, MissingCommunicationBufferStopsTheHandOff) {
  platform.pcd[0x446] = 0;
  Start();
  platform.SignalReadyToBoot();
  EXPECT_EQ(FatalStops(), std::vector<uint64_t>{0xA0817});
  EXPECT_TRUE(platform.smmReceived.empty());
}

} // namespace
} // namespace kel_test
