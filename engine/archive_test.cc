#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/sync_monitor.h"
#include "platform/testing/test_support.h"

namespace engine_test {
namespace {

namespace fs = std::filesystem;

// (record ID, category, description, status) of a row.
using Row = std::tuple<RecordId, int32_t, std::string, int32_t>;

void Append(CBaseTable& table, const Row& row) {
  CDateBkRecord record(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(record), 0);
  record.SetRecordId(std::get<0>(row));
  record.SetCategoryId(std::get<1>(row));
  record.SetDescription(std::get<2>(row));
  record.SetStatus(std::get<3>(row));
}

std::vector<Row> RowsOf(CBaseTable& table) {
  std::vector<Row> rows;
  CBaseIterator iterator(table);
  CDateBkRecord record(table, 0);
  for (long found = iterator.FindFirst(record); found == 0; found = iterator.FindNext(record)) {
    Row row;
    record.GetRecordId(std::get<0>(row));
    record.GetCategoryId(std::get<1>(row));
    record.GetDescription(std::get<2>(row));
    record.GetStatus(std::get<3>(row));
    rows.push_back(row);
  }
  return rows;
}

class ArchiveTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_.path();
    std::string directory = dir_.string() + "/";
    ASSERT_LT(directory.size(), sizeof props.directory);
    std::strcpy(props.directory, directory.c_str());

    monitor_ = std::make_unique<TestMonitor>(props, module);
    monitor_->DesktopTable = new CDateBkTable();
    monitor_->ArchiveTable = new CDateBkTable();
    Fill(*monitor_->DesktopTable->GetCategoryManager(),
         {{1, 0, "Unfiled"}, {13, 3, "Work"}, {17, 7, "Travel Plans"}});
  }
  void TearDown() override {
    monitor_.reset();
    EngineTest::TearDown();
  }

  std::vector<Row> Archive(const std::string& name) {
    CDateBkTable table;
    EXPECT_EQ(table.OpenFrom((dir_ / name).string(), 0), 0) << name;
    return RowsOf(table);
  }
  void WriteArchive(const std::string& name, const std::vector<Row>& rows) {
    CDateBkTable table;
    for (const Row& row : rows) Append(table, row);
    ASSERT_EQ(table.SaveTo((dir_ / name).string()), 0);
  }
  std::vector<std::string> Files() const { return scratch_.Names(); }

  velqor::test_support::ScratchDir scratch_;
  fs::path dir_;
  std::unique_ptr<TestMonitor> monitor_;
};

TEST_F(ArchiveTest, ArchiveRecordClearsStatusAndMarkAndCopies) {
  CDateBkTable handheldSide;
  CDateBkRecord record(handheldSide, 0);
  Append(handheldSide, {9, 3, "Dentist", kStatusModified});
  CBaseIterator(handheldSide).FindFirst(record);
  record.SetArchiveBit(1);

  EXPECT_EQ(monitor_->ArchiveRecord(record, monitor_->ArchiveTable), 0);
  EXPECT_EQ(record.IsArchived(), 0);
  EXPECT_EQ(RowsOf(*monitor_->ArchiveTable), (std::vector<Row>{{9, 3, "Dentist", kStatusNone}}));
  CDateBkRecord copy(*monitor_->ArchiveTable, 0);
  CBaseIterator(*monitor_->ArchiveTable).FindFirst(copy);
  EXPECT_EQ(copy.IsArchived(), 0);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(ArchiveTest, AFailedArchiveCopyIsLoggedAndReported) {
  CDateBkTable handheldSide;
  CDateBkRecord record(handheldSide, 0);
  Append(handheldSide, {9, 3, "Dentist", kStatusDeleted});
  CBaseIterator(handheldSide).FindFirst(record);
  record.SetArchiveBit(1);

  monitor_->failCopyCall = 1;
  EXPECT_EQ(monitor_->ArchiveRecord(record, monitor_->ArchiveTable), kEngCopyFailed);
  EXPECT_EQ(monitor_->ArchiveRecord(record, nullptr), kEngCopyFailed);  // no table at all
  int32_t status = -1;
  record.GetStatus(status);
  EXPECT_EQ(status, kStatusNone);
  EXPECT_EQ(record.IsArchived(), 0);
  EXPECT_EQ(monitor_->ArchiveTable->GetRecordCount(), 0);
  const LogLines expected = {{"-- Date Book", -1},
                             {"   - Could not copy the following record to the Desktop:", 13},
                             {"       record 9", -1},
                             {"   - Could not copy the following record to the Desktop:", 13},
                             {"       record 9", -1}};
  EXPECT_EQ(Lines(), expected);
}

TEST_F(ArchiveTest, RecordsGoToOneFilePerCategoryKeepingEarlierRecordsLessDeletedOnes) {
  WriteArchive("Work.DBA", {{100, 0, "old kept", kStatusNone},
                            {101, 0, "old deleted", kStatusDeleted},
                            {102, 0, "old modified", kStatusModified}});
  CBaseTable& archived = *monitor_->ArchiveTable;
  Append(archived, {1, 7, "trip", kStatusNone});
  Append(archived, {2, 3, "meeting", kStatusNone});
  Append(archived, {3, 3, "review", kStatusNone});

  EXPECT_EQ(monitor_->SaveArchives(), 0);

  EXPECT_EQ(Files(), (std::vector<std::string>{"Travel_Plans.DBA", "Work.DBA"}));
  EXPECT_EQ(Archive("Work.DBA"), (std::vector<Row>{{100, 0, "old kept", kStatusNone},
                                                   {102, 0, "old modified", kStatusModified},
                                                   {2, 0, "meeting", kStatusNone},
                                                   {3, 0, "review", kStatusNone}}));
  EXPECT_EQ(Archive("Travel_Plans.DBA"), (std::vector<Row>{{1, 0, "trip", kStatusNone}}));
  // The archive table keeps its records, filed under 0 now.
  EXPECT_EQ(RowsOf(archived), (std::vector<Row>{{1, 0, "trip", kStatusNone},
                                                {2, 0, "meeting", kStatusNone},
                                                {3, 0, "review", kStatusNone}}));
  EXPECT_EQ(monitor_->createCalls, 2);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(ArchiveTest, CategoriesOutsideTheRangeAndUnknownOnesAreFiledByRule) {
  CCategory* unfiled = nullptr;
  monitor_->DesktopTable->GetCategoryManager()->FindIndex(0, &unfiled);
  ASSERT_NE(unfiled, nullptr);
  unfiled->SetName("General");  // so that category 0's file tells itself from the fallback
  Append(*monitor_->ArchiveTable, {1, 16, "sixteen", kStatusNone});
  Append(*monitor_->ArchiveTable, {2, -1, "minus one", kStatusNone});
  Append(*monitor_->ArchiveTable, {3, 5, "no such category", kStatusNone});
  Append(*monitor_->ArchiveTable, {4, 0, "zero", kStatusNone});

  EXPECT_EQ(monitor_->SaveArchives(), 0);

  EXPECT_EQ(Files(), (std::vector<std::string>{"General.DBA", "Unfiled.DBA"}));
  EXPECT_EQ(Archive("General.DBA"), (std::vector<Row>{{2, 0, "minus one", kStatusNone},
                                                      {4, 0, "zero", kStatusNone},
                                                      {1, 0, "sixteen", kStatusNone}}));
  EXPECT_EQ(Archive("Unfiled.DBA"), (std::vector<Row>{{3, 0, "no such category", kStatusNone}}));
}

TEST_F(ArchiveTest, NothingToArchiveWritesNothing) {
  EXPECT_EQ(monitor_->SaveArchives(), 0);
  delete monitor_->ArchiveTable;
  monitor_->ArchiveTable = nullptr;
  EXPECT_EQ(monitor_->SaveArchives(), 0);
  EXPECT_EQ(monitor_->createCalls, 0);
  EXPECT_TRUE(Files().empty());
}

TEST_F(ArchiveTest, ACategoryFileNameThatWouldLeaveTheDirectoryIsNotUsed) {
  CCategory* work = nullptr;
  monitor_->DesktopTable->GetCategoryManager()->FindIndex(3, &work);
  ASSERT_NE(work, nullptr);
  work->SetFileName("../escaped");
  Append(*monitor_->ArchiveTable, {1, 3, "meeting", kStatusNone});
  EXPECT_EQ(monitor_->SaveArchives(), 0);
  EXPECT_EQ(Files().size(), 1u);  // in the user's directory, under whatever safe name
  EXPECT_FALSE(fs::exists(dir_.parent_path() / "escaped.DBA"));
}

TEST_F(ArchiveTest, FailuresEndTheLoopAndLeaveUnfinishedFilesAlone) {
  const std::vector<Row> earlier = {{100, 0, "earlier", kStatusNone}};
  struct Case {
    const char* what;
    int failCreateCall;
    int failCopyCall;
    bool corruptTravelFile;
    int32_t status;
    std::vector<std::string> files;
    size_t workRecords;  // records in Work.DBA afterwards
  };
  // Records: categories 3, 3, 7 in that order. Work.DBA holds one earlier record, and in the
  // corrupt case Travel_Plans.DBA holds bytes that are no table.
  const Case cases[] = {
      {"no table for the first category", 1, 0, false, -1, {"Work.DBA"}, 1},
      {"no table for the second category", 2, 0, false, -1, {"Work.DBA"}, 3},
      {"copy of the second record fails", 0, 2, false, kEngCopyFailed, {"Work.DBA"}, 1},
      {"copy of the last record fails", 0, 3, false, kEngCopyFailed, {"Work.DBA"}, 3},
      {"unreadable archive file", 0, 0, true, -2, {"Travel_Plans.DBA", "Work.DBA"}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
    WriteArchive("Work.DBA", earlier);
    const std::string corrupt = "not a table file";
    if (c.corruptTravelFile) velqor::test_support::WriteFile(dir_ / "Travel_Plans.DBA", corrupt);
    log.Clear();
    monitor_->createCalls = 0;
    monitor_->copyCalls = 0;
    monitor_->failCreateCall = c.failCreateCall;
    monitor_->failCopyCall = c.failCopyCall;
    monitor_->ArchiveTable->PurgeAllRecords();
    Append(*monitor_->ArchiveTable, {1, 3, "meeting", kStatusNone});
    Append(*monitor_->ArchiveTable, {2, 3, "review", kStatusNone});
    Append(*monitor_->ArchiveTable, {3, 7, "trip", kStatusNone});

    const int32_t status = monitor_->SaveArchives();
    if (c.status == -2) {
      EXPECT_NE(status, 0);
      EXPECT_EQ(velqor::test_support::ReadFile(dir_ / "Travel_Plans.DBA"), corrupt);
    } else {
      EXPECT_EQ(status, c.status);
    }
    EXPECT_EQ(Files(), c.files);
    EXPECT_EQ(Archive("Work.DBA").size(), c.workRecords);
  }
}

TEST_F(ArchiveTest, ATableHandedOutAsNullStopsArchiving) {
  monitor_->nullCreateCall = 1;
  Append(*monitor_->ArchiveTable, {1, 3, "meeting", kStatusNone});
  EXPECT_EQ(monitor_->SaveArchives(), kEngNoArchiveTable);
  EXPECT_EQ(monitor_->copyCalls, 0);
  EXPECT_TRUE(Files().empty());
}

TEST_F(ArchiveTest, AnUnwritableDirectoryIsReported) {
  std::strcpy(monitor_->Properties.directory, (dir_ / "missing/").string().c_str());
  Append(*monitor_->ArchiveTable, {1, 3, "meeting", kStatusNone});
  EXPECT_NE(monitor_->SaveArchives(), 0);
  EXPECT_TRUE(Files().empty());
}

}  // namespace
}  // namespace engine_test
