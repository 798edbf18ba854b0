#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/datebook_converter.h"
#include "engine/engine_test_support.h"
#include "engine/sync_monitor.h"
#include "platform/handles.h"

namespace engine_test {
namespace {

using velqor::platform::HandheldDatabase;
using velqor::platform::HandheldRecord;
using velqor::platform::ResolveAs;
using velqor::platform::ResolvePointer;

std::vector<Cat> Clean(std::vector<Cat> list) {
  for (Cat& cat : list) cat.dirty = 0;
  return list;
}

class CategoryTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ResetDatabase();
  }

  void ResetDatabase() {
    if (dbHandle_ != 0) HhCloseDatabase(dbHandle_);
    // One handheld record in each category index.
    HandheldDatabase database;
    database.name = kDbName;
    for (uint8_t index = 0; index < kCategoryCount; ++index) {
      HandheldRecord record;
      record.id = 100u + index;
      record.category = index;
      database.records.push_back(record);
    }
    handheld.AddDatabase(std::move(database));
    ASSERT_EQ(HhOpenDatabase(kDbName, 0, &dbHandle_, kOpenModeReadWrite), 0);
  }

  // A monitor over a desktop table holding one record per category index in `records`.
  std::unique_ptr<TestMonitor> MakeMonitor(int32_t syncType, int32_t indicator,
                                           const std::vector<Cat>& desktop,
                                           const std::vector<int32_t>& records,
                                           CBaseConverter* converter) {
    props.syncType = syncType;
    props.firstSyncIndicator = indicator;
    auto monitor = std::make_unique<TestMonitor>(props, module);
    monitor->Converter = converter;
    monitor->DbHandle = dbHandle_;
    monitor->DesktopTable = new CDateBkTable();
    Fill(*monitor->DesktopTable->GetCategoryManager(), desktop);
    for (int32_t category : records) {
      CDateBkRecord record(*monitor->DesktopTable, 0);
      monitor->DesktopTable->AppendBlankRecord(record);
      record.SetCategoryId(category);
    }
    return monitor;
  }

  static std::vector<int32_t> RecordCategories(CBaseTable& table) {
    std::vector<int32_t> categories;
    CBaseIterator iterator(table);
    CBaseRecord record(table, 0);
    for (long found = iterator.FindFirst(record); found == 0; found = iterator.FindNext(record)) {
      int32_t category = -99;
      record.GetCategoryId(category);
      categories.push_back(category);
    }
    return categories;
  }

  std::vector<int> HandheldRecordCategories() {
    std::vector<int> categories;
    for (const HandheldRecord& record : handheld.FindDatabase(kDbName)->records) {
      categories.push_back(record.category);
    }
    return categories;
  }

  uint8_t dbHandle_ = 0;
};

const std::vector<Cat> kStandard = {{0, 0, "Unfiled"}, {1, 1, "Business"}, {2, 2, "Personal"}};

std::vector<Cat> With(std::vector<Cat> list, const std::vector<Cat>& more) {
  list.insert(list.end(), more.begin(), more.end());
  return list;
}

std::vector<int> Identity() {
  std::vector<int> categories;
  for (int i = 0; i < kCategoryCount; ++i) categories.push_back(i);
  return categories;
}

std::vector<int> Moved(int from, int to) {
  std::vector<int> categories = Identity();
  categories[from] = to;
  return categories;
}

const std::pair<std::string, int32_t> kHeader = {"-- Date Book", -1};
const std::pair<std::string, int32_t> kMovedToUnfiled = {
    "     the records in this category have been moved to 'Unfiled'.", -1};

// Sixteen handheld categories, every index taken; named on the handheld since the last sync.
std::vector<Cat> FullHandheld() {
  std::vector<Cat> list = {{0, 0, "Unfiled", 1}};
  for (int i = 1; i < kCategoryCount; ++i) list.push_back({i, i, "C" + std::to_string(i), 1});
  return list;
}

TEST_F(CategoryTest, FastAndSlowSynchronizationsReconcileBothLists) {
  struct Case {
    const char* what;
    int32_t syncType;
    int32_t indicator;
    std::vector<Cat> handheld;
    std::vector<Cat> desktop;
    std::vector<int32_t> records;       // desktop record categories before
    std::vector<int32_t> recordsAfter;  // and after
    std::vector<Cat> agreed;            // both lists afterwards
    LogLines log;
    std::vector<int> handheldRecords = Identity();
    bool failMove = false;
  };
  const Case cases[] = {
      {"unchanged lists", 0, 0, kStandard, kStandard, {0, 1, 2}, {0, 1, 2}, kStandard, {}},
      {"renamed on the desktop",
       0,
       0,
       kStandard,
       {{0, 0, "Unfiled"}, {1, 1, "Work", 1}, {2, 2, "Personal"}},
       {1},
       {1},
       {{0, 0, "Unfiled"}, {1, 1, "Work"}, {2, 2, "Personal"}},
       {}},
      {"renamed on the handheld",
       0,
       0,
       {{0, 0, "Unfiled"}, {1, 1, "Work", 1}, {2, 2, "Personal"}},
       kStandard,
       {1},
       {1},
       {{0, 0, "Unfiled"}, {1, 1, "Work"}, {2, 2, "Personal"}},
       {}},
      {"renamed on the desktop under another index",
       0,
       0,
       kStandard,
       {{0, 0, "Unfiled"}, {1, 1, "Business"}, {2, 5, "Private", 1}},
       {5, 1},
       {2, 1},
       {{0, 0, "Unfiled"}, {1, 1, "Business"}, {2, 2, "Private"}},
       {}},
      {"the same name under different indexes",
       0,
       0,
       kStandard,
       {{0, 0, "Unfiled"}, {9, 4, "Business"}, {2, 2, "Personal"}},
       {4, 2, 1},
       {1, 2, 1},
       kStandard,
       {}},
      {"deleted on the desktop",
       0,
       0,
       With(kStandard, {{3, 3, "Travel"}}),
       kStandard,
       {3},
       {3},
       kStandard,
       {kHeader, {"   - Pilot category 'Travel' has been deleted and all of", 4}, kMovedToUnfiled},
       Moved(3, 0)},
      {"deleted on the desktop, but the handheld cannot move its records",
       0,
       0,
       With(kStandard, {{3, 3, "Travel"}}),
       kStandard,
       {},
       {},
       With(kStandard, {{3, 3, "Travel"}}),
       {kHeader,
        {"   - Could not move the Pilot records in category 'Travel' to 'Unfiled'.", 7},
        {"     Please check your connections and try again.", -1}},
       Identity(),
       true},
      {"deleted on the handheld",
       0,
       0,
       kStandard,
       With(kStandard, {{3, 3, "Travel"}}),
       {3, 2, 3},
       {0, 2, 0},
       kStandard,
       {kHeader,
        {"   - Desktop category 'Travel' has been deleted and all of", 4},
        kMovedToUnfiled}},
      {"new on the desktop at a free index",
       0,
       0,
       kStandard,
       With(kStandard, {{8, 5, "Golf", 1}}),
       {5},
       {5},
       With(kStandard, {{8, 5, "Golf"}}),
       {}},
      {"new on the desktop at a taken index",
       0,
       0,
       With(kStandard, {{3, 3, "Travel", 1}}),
       With(kStandard, {{8, 3, "Golf", 1}}),
       {3, 1},
       {4, 1},
       With(kStandard, {{3, 3, "Travel"}, {8, 4, "Golf"}}),
       {}},
      {"new on the desktop with all sixteen indexes taken",
       0,
       0,
       FullHandheld(),
       {{0, 0, "Unfiled"}, {20, 5, "Golf", 1}},
       {5, 0},
       {0, 0},
       Clean(FullHandheld()),
       {kHeader,
        {"   - Only 15 categories are allowed.  All records in category 'Golf'", 3},
        {"     were changed to 'Unfiled'.", -1}}},
      {"index changes that would chain",
       0,
       0,
       {{0, 0, "Unfiled"}, {11, 2, "B"}, {12, 3, "C"}},
       {{0, 0, "Unfiled"}, {11, 1, "B"}, {12, 2, "C"}},
       {1, 2, 0},
       {2, 3, 0},
       {{0, 0, "Unfiled"}, {11, 2, "B"}, {12, 3, "C"}},
       {}},
      {"first synchronization of a new handheld keeps its categories",
       0,
       1,
       With(kStandard, {{3, 3, "Travel"}}),
       kStandard,
       {3},
       {3},
       With(kStandard, {{3, 3, "Travel"}}),
       {}},
      {"slow synchronization keeps the handheld's categories",
       1,
       0,
       With(kStandard, {{3, 3, "Travel"}}),
       kStandard,
       {},
       {},
       With(kStandard, {{3, 3, "Travel"}}),
       {}},
      {"first synchronization of a new desktop adds its categories",
       0,
       2,
       kStandard,
       With(kStandard, {{3, 3, "Travel"}}),
       {3},
       {3},
       With(kStandard, {{3, 3, "Travel"}}),
       {}},
      {"an empty desktop list takes the handheld's",
       0,
       0,
       With(kStandard, {{3, 3, "Travel"}}),
       {},
       {0, 0},
       {0, 0},
       With(kStandard, {{3, 3, "Travel"}}),
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetDatabase();  // a fresh handheld database for every case
    log.Clear();
    link.ClearCalls();
    velqor::platform::FaultInjectingLink failing(&handheld);
    if (c.failMove) {
      failing.FailFrom("SyncChangeCategory", 1, 16385);  // refused, the connection intact
      velqor::platform::SetHandheldLink(&failing);
    }
    auto* converter = new FakeConverter();
    converter->handheld = c.handheld;
    auto monitor = MakeMonitor(c.syncType, c.indicator, c.desktop, c.records, converter);

    ASSERT_EQ(monitor->ReadPilotCategories(), 0);
    EXPECT_EQ(monitor->SyncCategories(), 0);

    EXPECT_EQ(converter->writes, 1);
    EXPECT_EQ(Clean(converter->written), c.agreed);
    EXPECT_EQ(ListOf(*monitor->DesktopTable->GetCategoryManager()), c.agreed);
    EXPECT_EQ(monitor->DesktopCategories, monitor->DesktopTable->GetCategoryManager());
    EXPECT_EQ(RecordCategories(*monitor->DesktopTable), c.recordsAfter);
    EXPECT_EQ(HandheldRecordCategories(), c.handheldRecords);
    EXPECT_EQ(Lines(), c.log);
    velqor::platform::SetHandheldLink(&link);
  }
}

// Two handheld categories deleted on the desktop; the first move finds the connection gone.
// The pass ends there: the second category is not tried and no block is written.
TEST_F(CategoryTest, ALostConnectionWhileMovingRecordsEndsTheSynchronization) {
  link.FailFrom("SyncChangeCategory", 1, 0x2004);
  auto* converter = new FakeConverter();
  converter->handheld = With(kStandard, {{3, 3, "Travel"}, {4, 4, "Golf"}});
  auto monitor = MakeMonitor(0, 0, kStandard, {1, 2}, converter);
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  link.ClearCalls();

  EXPECT_EQ(monitor->SyncCategories(), 0x2004);

  ASSERT_EQ(link.calls().size(), 1u);
  EXPECT_EQ(link.calls()[0].function, "SyncChangeCategory");
  EXPECT_EQ(converter->writes, 0);
  EXPECT_EQ(HandheldRecordCategories(), Identity());
  EXPECT_EQ(
      Lines(),
      (LogLines{kHeader,
                {"   - Could not move the Pilot records in category 'Travel' to 'Unfiled'.", 7},
                {"     Please check your connections and try again.", -1}}));
}

TEST_F(CategoryTest, HandheldOverwritingTheDesktopSendsNothingToTheHandheld) {
  auto* converter = new FakeConverter();
  converter->handheld = With(kStandard, {{4, 4, "Travel", 1}});
  auto monitor = MakeMonitor(2, 0, {{0, 0, "Unfiled"}, {9, 3, "Golf", 1}}, {3, 4}, converter);
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_EQ(monitor->SyncCategories(), 0);

  EXPECT_EQ(ListOf(*monitor->DesktopTable->GetCategoryManager()),
            With(kStandard, {{4, 4, "Travel"}}));
  EXPECT_EQ(RecordCategories(*monitor->DesktopTable), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(converter->writes, 0);
  EXPECT_EQ(link.CountOf("HhWriteCategoryBlock"), 0);
  EXPECT_EQ(link.CountOf("SyncChangeCategory"), 0);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(CategoryTest, DesktopOverwritingTheHandheldSendsTheDesktopListAsItIs) {
  const std::vector<Cat> desktop = {{0, 0, "Unfiled"}, {9, 3, "Golf", 1}, {5, 7, "Home"}};
  auto* converter = new FakeConverter();
  converter->handheld = With(kStandard, {{4, 4, "Travel"}});
  auto monitor = MakeMonitor(3, 0, desktop, {3, 7, 1}, converter);
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_EQ(monitor->SyncCategories(), 0);

  EXPECT_EQ(converter->written, desktop);
  EXPECT_EQ(ListOf(*monitor->DesktopTable->GetCategoryManager()), desktop);
  EXPECT_EQ(RecordCategories(*monitor->DesktopTable), (std::vector<int32_t>{3, 7, 1}));
  EXPECT_EQ(link.CountOf("HhWriteCategoryBlock"), 1);
  EXPECT_EQ(link.CountOf("SyncChangeCategory"), 0);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(CategoryTest, DesktopOverwritingTheHandheldWithNoCategoriesKeepsTheHandheldsList) {
  auto* converter = new FakeConverter();
  converter->handheld = With(kStandard, {{4, 4, "Travel"}});
  auto monitor = MakeMonitor(3, 0, {}, {0, 0}, converter);
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_EQ(monitor->SyncCategories(), 0);

  EXPECT_EQ(converter->writes, 0);
  EXPECT_EQ(link.CountOf("HhWriteCategoryBlock"), 0);
  EXPECT_EQ(ListOf(*monitor->DesktopTable->GetCategoryManager()),
            With(kStandard, {{4, 4, "Travel"}}));
}

TEST_F(CategoryTest, AFailedBlockWriteIsTheResult) {
  link.FailNth("HhWriteCategoryBlock", 1, 0x2004);
  auto* converter = new FakeConverter();
  converter->handheld = kStandard;
  auto monitor = MakeMonitor(0, 0, kStandard, {}, converter);
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_EQ(monitor->SyncCategories(), 0x2004);
}

TEST_F(CategoryTest, SyncWithoutCategoryManagersIsRefused) {
  auto monitor = MakeMonitor(0, 0, kStandard, {}, new FakeConverter());
  EXPECT_EQ(monitor->SyncCategories(), kEngNoCategoryBuffer);  // nothing read from the handheld
  EXPECT_EQ(link.CountOf("HhWriteCategoryBlock"), 0);
}

TEST_F(CategoryTest, RemapPairsApplyOnceToEachRecord) {
  auto monitor = MakeMonitor(0, 0, {}, {0, 1, 2, 3, 1}, new FakeConverter());
  CategoryRemapList list;
  ASSERT_TRUE(list.Add(1, 2));
  ASSERT_TRUE(list.Add(2, 3));
  monitor->ApplyCategoryRemap(list);
  EXPECT_EQ(RecordCategories(*monitor->DesktopTable), (std::vector<int32_t>{0, 2, 3, 3, 2}));

  monitor->ApplyCategoryRemap(CategoryRemapList{});
  EXPECT_EQ(RecordCategories(*monitor->DesktopTable), (std::vector<int32_t>{0, 2, 3, 3, 2}));
}

TEST(CategoryRemapListTest, HoldsSixteenPairs) {
  CategoryRemapList list;
  for (int i = 0; i < kCategoryCount; ++i) EXPECT_TRUE(list.Add(i, 0));
  EXPECT_FALSE(list.Add(16, 0));
  EXPECT_EQ(list.count, kCategoryCount);
}

TEST_F(CategoryTest, ReadPilotCategoriesAsksForTheCurrentDatabasesBlock) {
  auto* converter = new FakeConverter();
  converter->handheld = kStandard;
  auto monitor = MakeMonitor(0, 0, {}, {}, converter);
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_STREQ(monitor->CategoryBlock.databaseName, kDbName);
  EXPECT_EQ(monitor->CategoryBlock.bufferSize, kCategoryBlockBufferSize);
  EXPECT_NE(ResolvePointer(monitor->CategoryBlock.buffer), nullptr);
  EXPECT_EQ(converter->readBlockName, kDbName);
  EXPECT_EQ(ListOf(*monitor->PilotCategories), kStandard);

  // A second read starts afresh: a new manager and a new buffer, the old one released.
  const uint32_t firstBuffer = monitor->CategoryBlock.buffer;
  converter->handheld = {{0, 0, "Unfiled"}};
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_EQ(ListOf(*monitor->PilotCategories), (std::vector<Cat>{{0, 0, "Unfiled"}}));
  EXPECT_EQ(ResolvePointer(firstBuffer), nullptr);
}

TEST_F(CategoryTest, ReadPilotCategoriesReturnsTheFirstFailure) {
  {
    link.FailNth("HhReadCategoryBlock", 1, 0x2003);
    auto* converter = new FakeConverter();
    auto monitor = MakeMonitor(0, 0, {}, {}, converter);
    EXPECT_EQ(monitor->ReadPilotCategories(), 0x2003);
    EXPECT_EQ(converter->reads, 0);
  }
  {
    auto* converter = new FakeConverter();
    converter->readStatus = kConvNoBlockRead;
    auto monitor = MakeMonitor(0, 0, {}, {}, converter);
    EXPECT_EQ(monitor->ReadPilotCategories(), kConvNoBlockRead);
  }
  {
    auto monitor = MakeMonitor(0, 0, {}, {}, nullptr);
    EXPECT_EQ(monitor->ReadPilotCategories(), kEngNotSupplied);  // no converter
  }
  {
    // A database index the properties have no name for.
    props.databaseNames[0] = 0;
    auto monitor = MakeMonitor(0, 0, {}, {}, new FakeConverter());
    EXPECT_EQ(monitor->ReadPilotCategories(), 0);
    EXPECT_STREQ(monitor->CategoryBlock.databaseName, "");
  }
}

// The handheld's category block as the Date Book keeps it: mask, sixteen names, sixteen IDs,
// then whatever else the application keeps there.
std::vector<uint8_t> Block(const std::vector<Cat>& categories, size_t size) {
  std::vector<uint8_t> block(size, 0xAB);
  std::fill(block.begin(), block.begin() + 274, 0);
  uint16_t mask = 0;
  for (const Cat& cat : categories) {
    std::memcpy(&block[2 + 16 * cat.index], cat.name.data(), cat.name.size());
    block[258 + cat.index] = static_cast<uint8_t>(cat.id);
    if (cat.dirty) mask |= static_cast<uint16_t>(1u << cat.index);
  }
  block[0] = static_cast<uint8_t>(mask >> 8);
  block[1] = static_cast<uint8_t>(mask);
  return block;
}

TEST_F(CategoryTest, WithTheDateBookConverterTheHandheldBlockCarriesTheAgreedList) {
  HandheldDatabase* database = handheld.FindDatabase(kDbName);
  database->hasAppInfo = true;
  // Personal was named on the handheld since the last sync; Travel was deleted on the desktop.
  database->appInfo =
      Block({{0, 0, "Unfiled"}, {1, 1, "Business"}, {2, 2, "Personal", 1}, {7, 7, "Travel"}}, 300);
  auto monitor = MakeMonitor(0, 0, {{0, 0, "Unfiled"}, {1, 1, "Work", 1}, {20, 2, "Golf", 1}},
                             {2, 1, 0}, new CDateBkConverter());

  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_EQ(ListOf(*monitor->PilotCategories),
            (std::vector<Cat>{
                {0, 0, "Unfiled"}, {1, 1, "Business"}, {2, 2, "Personal", 1}, {7, 7, "Travel"}}));
  EXPECT_EQ(monitor->SyncCategories(), 0);

  const std::vector<Cat> agreed = {
      {0, 0, "Unfiled"}, {1, 1, "Work"}, {2, 2, "Personal"}, {20, 3, "Golf"}};
  EXPECT_EQ(database->appInfo, Block(agreed, 300));
  EXPECT_EQ(ListOf(*monitor->DesktopTable->GetCategoryManager()), agreed);
  EXPECT_EQ(RecordCategories(*monitor->DesktopTable), (std::vector<int32_t>{3, 1, 0}));
  EXPECT_EQ(HandheldRecordCategories(), Moved(7, 0));
  const LogLines expected = {
      kHeader, {"   - Pilot category 'Travel' has been deleted and all of", 4}, kMovedToUnfiled};
  EXPECT_EQ(Lines(), expected);
}

TEST_F(CategoryTest, WithTheDateBookConverterAnEmptyDesktopLeavesTheHandheldBlockAsItWas) {
  HandheldDatabase* database = handheld.FindDatabase(kDbName);
  database->hasAppInfo = true;
  const std::vector<uint8_t> block = Block(With(kStandard, {{7, 7, "Travel"}}), 274);
  database->appInfo = block;
  auto monitor = MakeMonitor(0, 0, {}, {}, new CDateBkConverter());
  ASSERT_EQ(monitor->ReadPilotCategories(), 0);
  EXPECT_EQ(monitor->SyncCategories(), 0);
  EXPECT_EQ(database->appInfo, block);
  EXPECT_EQ(HandheldRecordCategories(), Identity());
  EXPECT_EQ(ListOf(*monitor->DesktopTable->GetCategoryManager()),
            With(kStandard, {{7, 7, "Travel"}}));
}

}  // namespace
}  // namespace engine_test
