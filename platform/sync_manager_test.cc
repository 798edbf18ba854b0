#include "platform/sync_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "platform/fault_link.h"
#include "platform/handles.h"
#include "platform/memory_handheld.h"

namespace velqor::platform {
namespace {

// Packed record fields are copied before the test macros bind references to them.
template <typename T>
T Val(T value) {
  return value;
}

using Call = std::pair<const char*, std::function<int32_t()>>;

class SyncManagerTest : public ::testing::Test {
 protected:
  void TearDown() override { SetHandheldLink(nullptr); }
  RawRecord record{};
  CategoryBlockRecord block{};
  HandheldSystemInfo info{};
  DatabaseCreateInfo create{};
  uint32_t conduit = 0;
  uint8_t db = 0;
};

TEST_F(SyncManagerTest, EveryFunctionAnswersNoLinkWithoutAHandheld) {
  SetHandheldLink(nullptr);
  const Call calls[] = {
      {"HhRegisterConduit", [&] { return HhRegisterConduit(&conduit); }},
      {"HhUnregisterConduit", [&] { return HhUnregisterConduit(1); }},
      {"HhOpenDatabase", [&] { return HhOpenDatabase("DatebookDB", 0, &db, kOpenModeReadWrite); }},
      {"HhCreateDatabase", [&] { return HhCreateDatabase(&create); }},
      {"HhCloseDatabase", [&] { return HhCloseDatabase(1); }},
      {"HhReadRecordById", [&] { return HhReadRecordById(&record); }},
      {"HhReadRecordByIndex", [&] { return HhReadRecordByIndex(&record); }},
      {"HhReadNextModified", [&] { return HhReadNextModified(&record); }},
      {"HhWriteRecord", [&] { return HhWriteRecord(&record); }},
      {"HhDeleteRecord", [&] { return HhDeleteRecord(&record); }},
      {"HhPurgeDeleted", [&] { return HhPurgeDeleted(1); }},
      {"HhResetSyncFlags", [&] { return HhResetSyncFlags(1); }},
      {"HhReadCategoryBlock", [&] { return HhReadCategoryBlock(1, &block); }},
      {"HhWriteCategoryBlock", [&] { return HhWriteCategoryBlock(1, &block); }},
      {"SyncReadSystemInfo", [&] { return SyncReadSystemInfo(&info); }},
      {"SyncChangeCategory", [&] { return SyncChangeCategory(1, 2, 0); }},
      {"SyncYieldCycles", [&] { return SyncYieldCycles(100); }},
  };
  for (const auto& [name, call] : calls) {
    int32_t status = call();
    EXPECT_EQ(status, kSyncErrNoLink) << name;
    EXPECT_TRUE(IsCommunicationStatus(status)) << name;
  }
}

TEST_F(SyncManagerTest, NullPointersAreRefusedBeforeReachingTheHandheld) {
  MemoryHandheld hh;
  FaultInjectingLink link(&hh);
  SetHandheldLink(&link);
  const Call calls[] = {
      {"HhRegisterConduit", [] { return HhRegisterConduit(nullptr); }},
      {"HhOpenDatabase name", [&] { return HhOpenDatabase(nullptr, 0, &db, kOpenModeReadWrite); }},
      {"HhOpenDatabase handle", [] { return HhOpenDatabase("X", 0, nullptr, kOpenModeReadWrite); }},
      {"HhCreateDatabase", [] { return HhCreateDatabase(nullptr); }},
      {"HhReadRecordById", [] { return HhReadRecordById(nullptr); }},
      {"HhReadRecordByIndex", [] { return HhReadRecordByIndex(nullptr); }},
      {"HhReadNextModified", [] { return HhReadNextModified(nullptr); }},
      {"HhWriteRecord", [] { return HhWriteRecord(nullptr); }},
      {"HhDeleteRecord", [] { return HhDeleteRecord(nullptr); }},
      {"HhReadCategoryBlock", [] { return HhReadCategoryBlock(1, nullptr); }},
      {"HhWriteCategoryBlock", [] { return HhWriteCategoryBlock(1, nullptr); }},
      {"SyncReadSystemInfo", [] { return SyncReadSystemInfo(nullptr); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), kSyncErrBadArgument) << name;
  EXPECT_TRUE(link.calls().empty());
}

TEST_F(SyncManagerTest, CallsReachTheInstalledLink) {
  MemoryHandheld hh;
  HandheldDatabase dates;
  dates.name = "DatebookDB";
  dates.records.push_back(HandheldRecord{0x42, kAttrDirty, 3, {1, 2}});
  hh.AddDatabase(std::move(dates));
  SetHandheldLink(&hh);
  EXPECT_EQ(GetHandheldLink(), &hh);

  ASSERT_EQ(HhRegisterConduit(&conduit), 0);
  EXPECT_TRUE(hh.IsRegistered());
  ASSERT_EQ(HhOpenDatabase("DatebookDB", 0, &db, kOpenModeReadWrite), 0);
  uint8_t buffer[8] = {};
  uint32_t slot = RegisterPointer(buffer);
  record.dbHandle = db;
  record.capacity = sizeof buffer;
  record.buffer = slot;
  ASSERT_EQ(HhReadNextModified(&record), 0);
  EXPECT_EQ(Val(record.recordId), 0x42u);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_EQ(HhReadNextModified(&record), kSyncErrNotFound);
  EXPECT_EQ(SyncYieldCycles(100), 0);
  EXPECT_EQ(hh.yield_cycles(), 1u);
  EXPECT_EQ(HhCloseDatabase(db), 0);
  EXPECT_EQ(HhUnregisterConduit(conduit), 0);
  EXPECT_FALSE(hh.IsRegistered());
  ReleasePointer(slot);
}

// The conduit's own codes must not be mistaken for a lost connection, and the lost connection
// must be recognised.
TEST(SyncStatusTest, CommunicationStatusRecognition) {
  const std::pair<int32_t, bool> cases[] = {
      {-1, false},
      {0, false},
      {0x2000, true},
      {0x6006, true},
      {kSyncErrNoLink, true},
      {kSyncErrNotFound, false},
      {kSyncErrNonFatalA, false},
      {kSyncErrNonFatalB, false},
      {kSyncErrBadArgument, false},
      {kSyncErrTooBig, false},
      {kSyncErrDbExists, false},
      {kSyncErrFull, false},
      {kSyncErrTooManyOpen, false},
  };
  for (const auto& [status, comm] : cases) EXPECT_EQ(IsCommunicationStatus(status), comm) << status;
}

}  // namespace
}  // namespace velqor::platform
