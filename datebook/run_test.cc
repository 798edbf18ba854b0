#include <filesystem>
#include <fstream>
#include <iterator>

#include "datebook/datebook_test_support.h"

namespace datebook_test {
namespace {

const LogLines kCleanRun = {{"", 19}, {"Date Book", 20}};

class RunTest : public DatebookTest {
 protected:
  int32_t RunSync(int32_t syncType = kSyncTypeFast) { return MakeMonitor(syncType).StartSync(); }
  bool Exists(const std::string& path) { return std::filesystem::exists(path); }
  static std::string Bytes(const std::string& path) { return velqor::test_support::ReadFile(path); }
  int32_t ClosingActivity() { return log.entries().back().activity; }
  void HostEvents() {
    WriteExchangeFile(
        DesktopPath(),
        {{.id = 0, .text = "from host", .start = Local(1997, 3, 13, 9, 0), .host = 3}});
  }
};

TEST_F(RunTest, ACleanRunWritesTwoLinesAndBothFiles) {
  HostEvents();
  AddPilot({.event = {.id = 0x11, .text = "from pilot", .start = Local(1997, 3, 14, 9, 0)},
            .attributes = kAttrDirty});
  ASSERT_EQ(RunSync(), 0);
  EXPECT_EQ(Lines(), kCleanRun);
  EXPECT_FALSE(handheld.IsRegistered());
  EXPECT_EQ(handheld.OpenDatabaseCount(), 0);
  EXPECT_EQ(link.CountOf("HhCloseDatabase"), 1);
  EXPECT_EQ(link.CountOf("HhResetSyncFlags"), 1);
  // The desktop file carries the statuses for the host, the backup the result without them.
  const std::vector<Row> desktop = ReadExchangeFile(DesktopPath());
  ASSERT_EQ(desktop.size(), 2u);
  EXPECT_EQ(desktop[0].text, "from host");
  EXPECT_EQ(desktop[0].status, kStatusModified);  // now on the handheld, with its new ID
  EXPECT_NE(desktop[0].id, 0u);
  EXPECT_EQ(desktop[1].text, "from pilot");
  EXPECT_EQ(desktop[1].status, kStatusAdded);
  EXPECT_EQ(ReadExchangeFile(BackupPath()).size(), 2u);
  EXPECT_EQ(PilotRecords().size(), 2u);
  for (const auto& r : Db().records) EXPECT_EQ(r.attributes & kAttrDirty, 0) << "flags reset";
}

struct ModeCase {
  const char* name;
  int32_t syncType;
  bool backup;
  bool fast;
};

void PrintTo(const ModeCase& c, std::ostream* out) {
  *out << c.name;
}

class ModeChoiceTest : public RunTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeChoiceTest, PicksTheSyncMode) {
  const ModeCase& c = GetParam();
  HostEvents();
  if (c.backup) WriteExchangeFile(BackupPath(), {});
  AddPilot({.event = {.id = 0x11, .text = "p", .start = Local(1997, 3, 14, 9, 0)}});
  ASSERT_EQ(RunSync(c.syncType), 0);
  EXPECT_EQ(link.CountOf("HhReadNextModified") > 0, c.fast);
  // The fast mode reads by index too, after its phases, for events that came into the window.
  if (!c.fast) {
    EXPECT_GT(link.CountOf("HhReadRecordByIndex"), 0);
  }
  EXPECT_EQ(Lines(), kCleanRun);
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeChoiceTest,
                         ::testing::Values(ModeCase{"NoBackupMeansSlow", 0, false, false},
                                           ModeCase{"FastWithBackup", 0, true, true},
                                           ModeCase{"SlowType", 1, true, false},
                                           ModeCase{"HandheldOverwrites", 2, true, false},
                                           ModeCase{"DesktopOverwrites", 3, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, SyncTypeTwoSkipsDetectionAndRewritesTheOccurrences) {
  WriteExchangeFile(DesktopPath(), {{.id = 0x12,
                                     .text = "series",
                                     .start = Local(1997, 3, 12, 8, 0),
                                     .repeating = true,
                                     .host = 4}});
  WriteExchangeFile(BackupPath(),
                    {{.id = 0x13, .text = "was there", .start = Local(1997, 3, 13, 9, 0)}});
  AddPilot({.event = {.id = 0x12, .text = "series", .start = Local(1997, 3, 1, 8, 0)},
            .rule = CDayName(0, 1, Local(1997, 3, 13), 0)});
  ASSERT_EQ(RunSync(kSyncTypeHandheldOverwrites), 0);
  std::vector<int32_t> statuses;
  for (const Row& r : ReadExchangeFile(DesktopPath())) statuses.push_back(r.status);
  // The extract's occurrence goes, the handheld's two occurrences come; "was there" is not
  // looked for, since nothing compares with the backup.
  EXPECT_EQ(statuses, (std::vector<int32_t>{kStatusDeleted, kStatusAdded, kStatusAdded}));
  EXPECT_EQ(link.CountOf("HhDeleteRecord"), 0);
}

TEST_F(RunTest, ANonFatalStatusOfTheSyncModeStillSavesBothFiles) {
  HostEvents();
  link.FailNth("HhWriteRecord", 1, 16403);  // adding the host's event
  ASSERT_EQ(RunSync(), 0);
  EXPECT_TRUE(Exists(DesktopPath()));
  EXPECT_TRUE(Exists(BackupPath()));
  EXPECT_EQ(link.CountOf("HhResetSyncFlags"), 1);
  EXPECT_EQ(ClosingActivity(), 21) << "the failed addition was logged";
  EXPECT_FALSE(handheld.IsRegistered());
}

struct FailedRunCase {
  const char* name;
  const char* function;
  int32_t status;
  int32_t result;
  bool unregisters;
  int closes;
};

void PrintTo(const FailedRunCase& c, std::ostream* out) {
  *out << c.name;
}

class FailedRunTest : public RunTest, public ::testing::WithParamInterface<FailedRunCase> {};

// A failure before or during the sync mode saves nothing, closes a database that was opened
// exactly once, ends with 21 and leaves the registration alone after a communication error.
TEST_P(FailedRunTest, SavesNothing) {
  const FailedRunCase& c = GetParam();
  HostEvents();
  WriteExchangeFile(BackupPath(), {});
  AddPilot({.event = {.id = 0x11, .text = "p", .start = Local(1997, 3, 14, 9, 0)},
            .attributes = kAttrDirty});
  const std::string backupBefore = Bytes(BackupPath());
  link.FailFrom(c.function, 1, c.status);
  EXPECT_EQ(RunSync(), c.result);
  EXPECT_EQ(ClosingActivity(), 21);
  EXPECT_EQ(log.entries().back().text, "Date Book");
  EXPECT_EQ(link.CountOf("HhResetSyncFlags"), 0);
  EXPECT_EQ(link.CountOf("HhCloseDatabase"), c.closes);
  EXPECT_EQ(handheld.IsRegistered(), !c.unregisters);
  EXPECT_EQ(handheld.OpenDatabaseCount(), 0);
  EXPECT_EQ(Bytes(BackupPath()), backupBefore);
  EXPECT_EQ(ReadExchangeFile(DesktopPath())[0].status, kStatusNone) << "the extract as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedRunTest,
    ::testing::Values(
        FailedRunCase{"OpenFails", "HhOpenDatabase", 16386, 16386, true, 0},
        FailedRunCase{"CommsAtOpen", "HhOpenDatabase", 0x2001, 0x2001, false, 0},
        FailedRunCase{"NonFatalInPreparation", "HhReadCategoryBlock", 16403, 16403, true, 1},
        FailedRunCase{"CommsInPreparation", "HhReadCategoryBlock", 0x2005, 0x2005, false, 1},
        FailedRunCase{"CommsWhileReading", "HhReadNextModified", 0x2004, 0x2004, false, 1},
        FailedRunCase{"NonFatalWhileReading", "HhReadNextModified", 16404, 16404, true, 1},
        FailedRunCase{"CommsWhileSending", "HhWriteRecord", 0x2006, 0x2006, false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, ARegistrationFailureIsReturnedWithoutALine) {
  link.FailNth("HhRegisterConduit", 1, 0x2001);
  EXPECT_EQ(RunSync(), 0x2001);
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(link.CountOf("HhOpenDatabase"), 0);
}

TEST_F(RunTest, AFailedSaveOfTheDesktopFileSavesNothingMore) {
  std::strcpy(props.directory, (dir + "missing/").c_str());
  EXPECT_NE(RunSync(), 0);
  const LogLines lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], (std::pair<std::string, int32_t>{kHeader, -1}));
  EXPECT_EQ(lines[2], (std::pair<std::string, int32_t>{kDesktopNotSaved, 17}));
  EXPECT_EQ(lines[3], (std::pair<std::string, int32_t>{kDesktopFull, -1}));
  EXPECT_EQ(lines[4], (std::pair<std::string, int32_t>{"Date Book", 21}));
  EXPECT_EQ(link.CountOf("HhResetSyncFlags"), 0);
  EXPECT_EQ(link.CountOf("HhCloseDatabase"), 1);
  EXPECT_FALSE(handheld.IsRegistered()) << "no communication error: unregistered";
}

TEST_F(RunTest, AFailedSaveOfTheBackupIsReported) {
  HostEvents();
  std::filesystem::create_directory(BackupPath());  // nothing can replace a directory
  EXPECT_NE(RunSync(kSyncTypeHandheldOverwrites), 0);
  EXPECT_TRUE(Exists(DesktopPath()));
  // The handheld keeps its change flags, so the next run reads its changes again.
  EXPECT_EQ(link.CountOf("HhResetSyncFlags"), 0);
  EXPECT_EQ(Lines().at(2).second, 17);
  EXPECT_EQ(ClosingActivity(), 21);
}

TEST_F(RunTest, RecordsThatWereNotArchivedMakeAProblemRun) {
  AddPilot({.event = {.id = 0x14, .text = "old trip", .start = Local(1997, 3, 1, 9, 0)},
            .attributes = kAttrDeleted | kAttrArchive});
  std::filesystem::create_directory(dir + "Unfiled.DBA");  // cannot be read as an archive
  EXPECT_EQ(RunSync(), 0);
  const LogLines lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], (std::pair<std::string, int32_t>{
                          "   - Some or all of your deleted records were not archived.", 16}));
  EXPECT_EQ(lines[4], (std::pair<std::string, int32_t>{"Date Book", 21}));
  EXPECT_TRUE(Exists(BackupPath()));
}

TEST_F(RunTest, ArchivedRecordsGoToTheirCategorysFile) {
  AddPilot({.event = {.id = 0x14, .text = "old trip", .start = Local(1997, 3, 1, 9, 0)},
            .attributes = kAttrDeleted | kAttrArchive});
  ASSERT_EQ(RunSync(), 0);
  EXPECT_EQ(Lines(), kCleanRun);
  CDateBkTable archive;
  ASSERT_EQ(archive.OpenFrom(dir + "Unfiled.DBA", 0), 0);
  EXPECT_EQ(archive.GetRecordCount(), 1);
  EXPECT_TRUE(Db().records.empty());
}

TEST_F(RunTest, AResetFailureIsAProblemButTheBackupIsWritten) {
  HostEvents();
  link.FailNth("HhResetSyncFlags", 1, 0x2007);
  EXPECT_EQ(RunSync(), 0);
  EXPECT_TRUE(Exists(BackupPath()));
  EXPECT_EQ(Lines(), (LogLines{{"", 19}, {"Date Book", 21}}));
  EXPECT_TRUE(handheld.IsRegistered()) << "the connection is gone: no unregistration";
}

TEST_F(RunTest, TheBackupIsReadUnderTheNameItIsWrittenUnder) {
  std::strcpy(props.localFileName, "dbook");
  WriteExchangeFile(dir + "dbook", {});
  ASSERT_EQ(RunSync(), 0);
  EXPECT_TRUE(Exists(dir + "dbook.bak"));
  link.ClearCalls();
  monitor.reset();
  log.Clear();
  ASSERT_EQ(RunSync(), 0);
  EXPECT_GT(link.CountOf("HhReadNextModified"), 0) << "the backup was found: fast";
}

// DescribeRecord.

struct DescribeCase {
  int hour, minute;
  bool untimed;
  std::string text;
  std::string expected;
};

class DescribeRecordTest : public DatebookTest,
                           public ::testing::WithParamInterface<DescribeCase> {};

TEST_P(DescribeRecordTest, Describes) {
  const DescribeCase& c = GetParam();
  TestMonitor& m = MakeMonitor();
  CVuzurTable table;
  Append(table, {.id = 1,
                 .text = c.text,
                 .start = Local(1997, 3, 7, c.hour, c.minute),
                 .untimed = c.untimed});
  CBaseIterator walk(table);
  CVuzurRecord row(table, 0);
  ASSERT_EQ(walk.FindFirst(row), 0);
  char buffer[kLogTextSize] = {};
  m.DescribeRecord(row, buffer);
  EXPECT_EQ(std::string(buffer), c.expected);
}

const std::string kFifty = "0123456789abcdefghijABCDEFGHIJklmnopqrstKLMNOPQRST";

INSTANTIATE_TEST_SUITE_P(
    Times, DescribeRecordTest,
    ::testing::Values(
        DescribeCase{9, 5, false, "Staff meeting", "       Staff meeting, 3/7/1997, 9:05am"},
        DescribeCase{12, 30, false, "Staff meeting", "       Staff meeting, 3/7/1997, 12:30am"},
        DescribeCase{0, 5, false, "Staff meeting", "       Staff meeting, 3/7/1997, 0:05am"},
        DescribeCase{13, 0, false, "Staff meeting", "       Staff meeting, 3/7/1997, 1:00pm"},
        DescribeCase{0, 0, true, "Staff meeting", "       Staff meeting, 3/7/1997, Untimed"},
        DescribeCase{9, 5, false, kFifty,
                     "       " + kFifty.substr(0, 40) + ", 3/7/1997, 9:05am"}));

// The handheld's deleted records are purged once the result is saved; a failed purge is
// reported and leaves them marked, for the next run to read again.
TEST_F(RunTest, DeletedRecordsArePurgedAfterTheSaveAndAFailedPurgeIsReported) {
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails);
    Db().records.clear();
    AddPilot({.event = {.id = 0x41, .text = "gone", .start = Local(1997, 3, 13, 9, 0)},
              .attributes = kAttrDeleted});
    if (fails) link.FailNth("HhPurgeDeleted", link.CountOf("HhPurgeDeleted") + 1, 0x2002);
    log.Clear();
    EXPECT_EQ(RunSync(), fails ? 0x2002 : 0);
    EXPECT_TRUE(Exists(BackupPath()));
    EXPECT_EQ(Db().records.size(), fails ? 1u : 0u);
    bool reported = false;
    for (const auto& [text, activity] : Lines()) {
      reported |= text == "   - Could not purge the deleted records on Pilot.";
    }
    EXPECT_EQ(reported, fails);
    EXPECT_EQ(ClosingActivity(), fails ? 21 : 20);
  }
}

}  // namespace
}  // namespace datebook_test
