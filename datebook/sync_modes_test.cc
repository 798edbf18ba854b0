#include "datebook/datebook_test_support.h"

namespace datebook_test {
namespace {

// A monitor with the handheld database open and empty desktop tables.
class SyncModeTest : public DatebookTest {
 protected:
  TestMonitor& Open(int32_t syncType = kSyncTypeFast) {
    TestMonitor& m = MakeMonitor(syncType);
    EXPECT_EQ(m.OpenPilotDB(), 0);
    m.DesktopTable = new CVuzurTable();
    m.ArchiveTable = new CDateBkTable();
    return m;
  }
  // A desktop series entry as change detection leaves it: the occurrence rows, deleted in the
  // desktop table and copied into the entry.
  void AddOccurrences(TestMonitor& m, uint32_t id, const std::vector<int32_t>& starts) {
    for (int32_t start : starts) {
      CVuzurRecord row(*m.DesktopTable, 0);
      ASSERT_EQ(m.DesktopTable->AppendBlankRecord(row), 0);
      Fill(row, {.id = id, .text = "series", .start = start, .repeating = true, .host = 9});
      m.AddToDesktopSeries(row);
      row.SetStatus(kStatusDeleted);
    }
  }
  std::vector<std::string> AddedStarts(TestMonitor& m) {
    std::vector<std::string> starts;
    for (const Row& r : RowsOf(*m.DesktopTable)) {
      if (r.status == kStatusAdded) starts.push_back(r.start);
    }
    return starts;
  }
  static CRepeateDayInfo Daily() { return CDayName(0, 1, -1, 0); }
};

TEST_F(SyncModeTest, ASingleEventCountsOnTheLastDayOnlyAtItsMidnight) {
  TestMonitor& m = Open();
  const int32_t end = windowEnd;  // 00:00 on 19 March
  AddPilot({.event = {.id = 1, .text = "at midnight", .start = end}, .attributes = kAttrDirty});
  AddPilot(
      {.event = {.id = 2, .text = "a minute later", .start = end + 60}, .attributes = kAttrDirty});
  AddPilot({.event = {.id = 3, .text = "first instant", .start = windowStart},
            .attributes = kAttrDirty});
  AddPilot({.event = {.id = 4, .text = "a minute before", .start = windowStart - 60},
            .attributes = kAttrDirty});
  AddPilot({.event = {.id = 5, .text = "late", .start = Local(1997, 3, 19, 23, 0)},
            .rule = CDayName(0, 1, Local(1997, 3, 30), 0),
            .attributes = kAttrDirty});
  ASSERT_EQ(m.FastSync(), 0);
  std::vector<std::string> texts;
  for (const Row& r : RowsOf(*m.DesktopTable)) texts.push_back(r.text + " " + r.start);
  EXPECT_EQ(texts,
            (std::vector<std::string>{"at midnight 1997-03-19 00:00",
                                      "first instant 1997-03-12 00:00", "late 1997-03-19 23:00"}));
}

TEST_F(SyncModeTest, ADeletedEventBeforeTheWindowStillDeletesItsDesktopRecord) {
  TestMonitor& m = Open();
  const int32_t lastWeek = Local(1997, 3, 5, 9, 0);
  Append(*m.DesktopTable, {.id = 7, .text = "old", .start = lastWeek, .host = 3});
  AddPilot({.event = {.id = 7, .text = "old", .start = lastWeek}, .attributes = kAttrDeleted});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_EQ(RowsOf(*m.DesktopTable),
            (std::vector<Row>{{7, "old", "1997-03-05 09:00", kStatusDeleted, false, 3}}));
  ASSERT_EQ(Db().records.size(), 1u) << "purged by the run once saved";
  EXPECT_NE(Db().records[0].attributes & kAttrDeleted, 0);
}

// A daily event at 09:30 over a window of seven days, with a clock change in the window.
struct ClockChangeCase {
  const char* name;
  const char* zone;
  int month, day;  // the window's first day in 1997
};

void PrintTo(const ClockChangeCase& c, std::ostream* out) {
  *out << c.name;
}

class ClockChangeTest : public SyncModeTest,
                        public ::testing::WithParamInterface<ClockChangeCase> {};

TEST_P(ClockChangeTest, GivesEightOccurrencesAtTheEventsLocalTime) {
  const ClockChangeCase& c = GetParam();
  ScopedTimeZone zone(c.zone);
  windowStart = Local(1997, c.month, c.day);
  windowEnd = static_cast<int32_t>(velqor::platform::AddLocalDays(windowStart, 7));
  TestMonitor& m = Open();
  AddPilot({.event = {.id = 0x21, .text = "stand-up", .start = Local(1997, 1, 6, 9, 30)},
            .rule = Daily(),
            .attributes = kAttrDirty});
  ASSERT_EQ(m.FastSync(), 0);
  std::vector<std::string> expected;
  // Built from local fields, so that a wrong hour cannot hide in the expectation.
  for (int i = 0; i < 8; ++i) {
    velqor::platform::LocalTime day{};
    velqor::platform::BreakDownLocal(velqor::platform::AddLocalDays(windowStart, i), &day);
    expected.push_back(Show(Local(day.year, day.month, day.day, 9, 30)));
    EXPECT_EQ(expected.back().substr(11), "09:30");
  }
  EXPECT_EQ(AddedStarts(m), expected);
  for (const Row& r : RowsOf(*m.DesktopTable)) {
    EXPECT_EQ(r.id, 0x21u);
    EXPECT_TRUE(r.repeating);
  }
}

// A weekly event that starts at 02:30 on the Sunday the clocks skip from 02:00 to 03:00: that
// one occurrence moves past the gap, the others keep 02:30, and the event written back to the
// handheld (here with an exception day from the host) still starts at 02:30.
TEST_F(SyncModeTest, AStartInASkippedHourKeepsItsClockOnOtherDays) {
  ScopedTimeZone zone("Europe/Berlin");
  windowStart = Local(1997, 3, 29);
  windowEnd = static_cast<int32_t>(velqor::platform::AddLocalDays(windowStart, 14));
  TestMonitor& m = Open();
  velqor::platform::HandheldRecord record =
      Pack({.event = {.id = 0x22, .text = "bells", .start = Local(1997, 3, 30, 3, 30)},
            .rule = CWeekly(1 << 0, 1, -1, 0),
            .attributes = kAttrDirty});
  ASSERT_EQ(record.data[0], 3);
  record.data[0] = 2;  // as the handheld keeps it: 02:30
  Db().records.push_back(record);
  AddOccurrences(m, 0x22, {Local(1997, 4, 6, 2, 30)});
  m.DesktopSeries[0].ExceptionDates = {Local(1997, 4, 13)};
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_EQ(AddedStarts(m), (std::vector<std::string>{"1997-03-30 03:30", "1997-04-06 02:30"}));
  const velqor::platform::HandheldRecord* written = PilotRecord(0x22);
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(written->data[0], 2);
  EXPECT_EQ(written->data[1], 30);
  ASSERT_EQ(PilotRecords().size(), 1u);
  EXPECT_EQ(PilotRecords()[0].exceptions, (std::vector<int32_t>{Local(1997, 4, 13)}));
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ClockChangeTest,
    ::testing::Values(ClockChangeCase{"SpringOnFirstDay", "America/New_York", 4, 6},
                      ClockChangeCase{"SpringInTheMiddle", "America/New_York", 4, 3},
                      ClockChangeCase{"SpringOnLastDay", "America/New_York", 3, 30},
                      ClockChangeCase{"AutumnOnFirstDay", "America/New_York", 10, 26},
                      ClockChangeCase{"AutumnInTheMiddle", "America/New_York", 10, 22},
                      ClockChangeCase{"AutumnOnLastDay", "America/New_York", 10, 19},
                      ClockChangeCase{"BerlinSpringInTheMiddle", "Europe/Berlin", 3, 27},
                      ClockChangeCase{"BerlinAutumnOnLastDay", "Europe/Berlin", 10, 19}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncModeTest, AnExceptionDayGetsNoOccurrence) {
  TestMonitor& m = Open();
  AddPilot({.event = {.id = 0x22, .text = "walk", .start = Local(1997, 3, 1, 7, 0)},
            .rule = Daily(),
            .exceptions = {Local(1997, 3, 14)},
            .attributes = kAttrDirty});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_EQ(AddedStarts(m),
            (std::vector<std::string>{"1997-03-12 07:00", "1997-03-13 07:00", "1997-03-15 07:00",
                                      "1997-03-16 07:00", "1997-03-17 07:00", "1997-03-18 07:00",
                                      "1997-03-19 07:00"}));
}

TEST_F(SyncModeTest, ADeletedRepeatingEventWritesNothingAndLeavesTheSeriesList) {
  TestMonitor& m = Open();
  AddOccurrences(m, 0x23, {Local(1997, 3, 12, 8, 0), Local(1997, 3, 13, 8, 0)});
  // The record before it repeats, so that a deleted record's leftover repeat marking would
  // show if it decided the way.
  AddPilot({.event = {.id = 0x24, .text = "other", .start = Local(1997, 3, 1, 7, 0)},
            .rule = CDayName(0, 1, Local(1997, 3, 10), 0),
            .attributes = kAttrDirty});
  AddPilot({.event = {.id = 0x23, .text = "series", .start = Local(1997, 3, 1, 8, 0)},
            .rule = Daily(),
            .attributes = kAttrDeleted});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_TRUE(m.DesktopSeries.empty());
  EXPECT_TRUE(AddedStarts(m).empty());
  EXPECT_EQ(link.CountOf("HhReadRecordById"), 0);
}

TEST_F(SyncModeTest, ARepeatingEventMarkedForArchivingIsArchived) {
  TestMonitor& m = Open();
  AddOccurrences(m, 0x2C, {Local(1997, 3, 12, 8, 0)});
  AddPilot({.event = {.id = 0x2C, .text = "course", .start = Local(1997, 3, 1, 8, 0)},
            .rule = Daily(),
            .attributes = kAttrDeleted | kAttrArchive});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_TRUE(AddedStarts(m).empty());
  ASSERT_EQ(m.ArchiveTable->GetRecordCount(), 1);
  CBaseIterator walk(*m.ArchiveTable);
  CDateBkRecord archived(*m.ArchiveTable, 0);
  ASSERT_EQ(walk.FindFirst(archived), 0);
  EXPECT_NE(archived.IsRepeatingEvt(), 0) << "archived with its repeat rule";
  ASSERT_EQ(Db().records.size(), 1u) << "purged by the run once saved";
  EXPECT_NE(Db().records[0].attributes & kAttrDeleted, 0);
}

TEST_F(SyncModeTest, ADeletedSingleEventAfterARepeatingOneIsReconciled) {
  TestMonitor& m = Open();
  Append(*m.DesktopTable, {.id = 0x26, .text = "lunch", .start = Local(1997, 3, 13, 12, 0)});
  AddPilot({.event = {.id = 0x25, .text = "daily", .start = Local(1997, 3, 1, 7, 0)},
            .rule = Daily(),
            .attributes = kAttrDirty});
  Db().records.push_back({0x26, kAttrDeleted, 0, {}});  // deleted without data
  ASSERT_EQ(m.FastSync(), 0);
  const std::vector<Row> rows = RowsOf(*m.DesktopTable);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0].status, kStatusDeleted);
  EXPECT_EQ(AddedStarts(m).size(), 8u);
}

TEST_F(SyncModeTest, UnchangedRepeatingEventsOfTheExtractAreWrittenAgain) {
  TestMonitor& m = Open();
  AddOccurrences(m, 0x27, {Local(1997, 3, 12, 8, 0)});
  AddOccurrences(m, 0x28, {Local(1997, 3, 12, 9, 0)});   // no longer on the handheld
  AddOccurrences(m, 0x29, {Local(1997, 3, 12, 10, 0)});  // a single event now
  // The previous synchronization gave the host the event the handheld has deleted since.
  CVuzurRecord previous(*m.DesktopTable, 0);
  CBaseIterator desktopWalk(*m.DesktopTable);
  ASSERT_EQ(desktopWalk.FindByRecordId(0x28, previous), 0);
  m.AddToBackupSeries(previous);
  AddPilot({.event = {.id = 0x27, .text = "series", .start = Local(1997, 3, 1, 8, 0)},
            .rule = CDayName(0, 1, Local(1997, 3, 13), 0)});
  AddPilot({.event = {.id = 0x29, .text = "once", .start = Local(1997, 3, 12, 10, 0)}});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_TRUE(m.DesktopSeries.empty());
  EXPECT_EQ(AddedStarts(m), (std::vector<std::string>{"1997-03-12 08:00", "1997-03-13 08:00"}));
  EXPECT_EQ(link.CountOf("HhReadRecordById"), 3);
}

TEST_F(SyncModeTest, ExceptionDaysFromTheHostGoBackToTheHandheld) {
  TestMonitor& m = Open();
  AddOccurrences(m, 0x2A, {Local(1997, 3, 12, 8, 0)});
  m.DesktopSeries[0].ExceptionDates = {Local(1997, 3, 13), Local(1997, 3, 15)};
  AddPilot({.event = {.id = 0x2A, .text = "series", .start = Local(1997, 3, 1, 8, 0)},
            .rule = Daily(),
            .exceptions = {Local(1997, 3, 15)}});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_EQ(AddedStarts(m).size(), 6u);
  const std::vector<Unpacked> pilot = PilotRecords();
  ASSERT_EQ(pilot.size(), 1u);
  EXPECT_TRUE(pilot[0].repeating);
  EXPECT_EQ(pilot[0].exceptions, (std::vector<int32_t>{Local(1997, 3, 15), Local(1997, 3, 13)}));
}

TEST_F(SyncModeTest, AnEventBefore1970IsLoggedAndMoved) {
  TestMonitor& m = Open();
  AddPilot({.event = {.id = 0x2B, .text = "old habit", .start = Local(1969, 3, 14, 6, 15)},
            .rule = Daily(),
            .attributes = kAttrDirty});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_EQ(AddedStarts(m).size(), 8u);
  EXPECT_EQ(Lines(), (LogLines{{kHeader, -1},
                               {"   - Pilot Desktop does not support events before 1970.  The "
                                "following",
                                5},
                               {"     event was moved to 1970:", -1},
                               {"       old habit, 3/14/1970, 6:15am", -1}}));
}

// Unchanged handheld events a fast synchronization does not read as changes: those the host
// cannot know yet reach the desktop as additions, those it knows are left alone.
TEST_F(SyncModeTest, FastSyncSendsUnchangedEventsTheHostHasNotHad) {
  TestMonitor& m = Open();
  const int32_t thursday = Local(1997, 3, 13, 9, 0);
  // Single events.
  AddPilot({.event = {.id = 0x60, .text = "came into the window", .start = thursday}});
  AddPilot({.event = {.id = 0x61, .text = "on the host", .start = thursday}});
  Append(*m.DesktopTable, {.id = 0x61, .text = "on the host", .start = thursday, .host = 3});
  AddPilot({.event = {.id = 0x62, .text = "deleted on the host", .start = thursday}});
  Append(*m.ChangeTable,
         {.id = 0x62, .text = "deleted on the host", .start = thursday, .status = kStatusDeleted});
  AddPilot({.event = {.id = 0x63, .text = "beyond", .start = windowEnd + 3600}});
  // Repeating events: one new to the window, one the extract carried, one whose occurrences
  // the host removed since the previous window.
  AddPilot({.event = {.id = 0x64, .text = "weekly", .start = Local(1997, 3, 14, 18, 0)},
            .rule = CWeekly(1 << 5, 1, -1, 0)});
  AddPilot({.event = {.id = 0x65, .text = "series", .start = Local(1997, 3, 1, 8, 0)},
            .rule = CDayName(0, 1, Local(1997, 3, 12), 0)});
  AddOccurrences(m, 0x65, {Local(1997, 3, 12, 8, 0)});
  AddPilot({.event = {.id = 0x66, .text = "removed on host", .start = Local(1997, 3, 1, 7, 0)},
            .rule = Daily()});
  CVuzurTable previous;
  Append(previous, {.id = 0x66,
                    .text = "removed on host",
                    .start = Local(1997, 3, 13, 7, 0),
                    .repeating = true});
  CVuzurRecord previousRow(previous, 0);
  CBaseIterator previousWalk(previous);
  ASSERT_EQ(previousWalk.FindFirst(previousRow), 0);
  m.AddToBackupSeries(previousRow);

  ASSERT_EQ(m.FastSync(), 0);
  std::vector<Row> added;
  for (const Row& r : RowsOf(*m.DesktopTable)) {
    if (r.status != kStatusDeleted) added.push_back(r);
  }
  EXPECT_EQ(added, (std::vector<Row>{
                       {0x61, "on the host", "1997-03-13 09:00", kStatusNone, false, 3},
                       {0x65, "series", "1997-03-12 08:00", kStatusAdded, true, 0},
                       {0x60, "came into the window", "1997-03-13 09:00", kStatusAdded, false, 0},
                       {0x64, "weekly", "1997-03-14 18:00", kStatusAdded, true, 0},
                   }));
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(PilotRecords().size(), 6u) << "the host's deletion was sent";
  EXPECT_EQ(PilotRecord(0x62), nullptr);
}

TEST_F(SyncModeTest, AReadFailureWhileLookingForEventsNewToTheWindowIsTheResult) {
  TestMonitor& m = Open();
  AddPilot({.event = {.id = 0x67, .text = "later", .start = Local(1997, 3, 13, 9, 0)}});
  Append(*m.DesktopTable,
         {.id = 0, .text = "new on host", .start = Local(1997, 3, 13, 9, 0), .status = 8});
  link.FailNth("HhReadRecordByIndex", 1, 0x2004);
  EXPECT_EQ(m.FastSync(), 0x2004);
  EXPECT_TRUE(m.ReadIncomplete);
  EXPECT_EQ(Lines(), (LogLines{{kHeader, -1}, {kReadFailed, 8}, {kCheckConnections, -1}}));
  EXPECT_EQ(link.CountOf("HhWriteRecord"), 0);
}

TEST_F(SyncModeTest, SlowSyncReadsEveryRecord) {
  TestMonitor& m = Open(kSyncTypeSlow);
  for (uint32_t id = 1; id <= 3; ++id) {
    AddPilot({.event = {.id = id,
                        .text = "e" + std::to_string(id),
                        .start = Local(1997, 3, 13, 8 + static_cast<int>(id), 0)}});
  }
  // Occurrences of an event the handheld does not have and the backup never had came from the
  // host: they stay, as an event of their own that the handheld gets too.
  AddOccurrences(m, 0x50, {Local(1997, 3, 12, 8, 0)});
  ASSERT_EQ(m.SlowSync(), 0);
  EXPECT_EQ(AddedStarts(m), (std::vector<std::string>{"1997-03-13 09:00", "1997-03-13 10:00",
                                                      "1997-03-13 11:00", "1997-03-12 08:00"}));
  EXPECT_EQ(link.CountOf("HhReadRecordByIndex"), 4);
  EXPECT_EQ(link.CountOf("HhReadRecordById"), 0);
}

struct ReadFailure {
  const char* name;
  const char* function;
  int32_t status;
};

void PrintTo(const ReadFailure& c, std::ostream* out) {
  *out << c.name;
}

class ReadFailureTest : public SyncModeTest, public ::testing::WithParamInterface<ReadFailure> {};

// A read that fails leaves the records after it unread: the failure is the result, nothing is
// sent, and the monitor remembers that the run must not save.
TEST_P(ReadFailureTest, IsLoggedAndBecomesTheResult) {
  const ReadFailure& c = GetParam();
  TestMonitor& m = Open();
  AddOccurrences(m, 0x30, {Local(1997, 3, 12, 8, 0)});
  AddPilot(
      {.event = {.id = 0x30, .text = "series", .start = Local(1997, 3, 1, 8, 0)}, .rule = Daily()});
  AddPilot({.event = {.id = 0x31, .text = "changed", .start = Local(1997, 3, 13, 8, 0)},
            .attributes = kAttrDirty});
  Append(*m.DesktopTable,
         {.id = 0, .text = "new on host", .start = Local(1997, 3, 13, 9, 0), .status = 8});
  link.FailFrom(c.function, 1, c.status);
  EXPECT_EQ(m.FastSync(), c.status);
  EXPECT_TRUE(m.ReadIncomplete);
  EXPECT_EQ(Lines(), (LogLines{{kHeader, -1}, {kReadFailed, 8}, {kCheckConnections, -1}}));
  EXPECT_EQ(link.CountOf("HhWriteRecord"), 0);
  EXPECT_EQ(link.CountOf("HhPurgeDeleted"), 0);
  if (std::string(c.function) == "HhReadNextModified") {
    EXPECT_EQ(link.CountOf("HhReadRecordById"), 0) << "no call after the failure";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ReadFailureTest,
    ::testing::Values(ReadFailure{"CommsInPhaseOne", "HhReadNextModified", 0x2004},
                      ReadFailure{"NonFatalInPhaseOne", "HhReadNextModified", 16403},
                      ReadFailure{"TooBigInPhaseOne", "HhReadNextModified", 16400},
                      ReadFailure{"CommsInPhaseTwo", "HhReadRecordById", 0x2004}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncModeTest, AFirstFailureIsNotReplacedByPhaseTwo) {
  TestMonitor& m = Open();
  AddOccurrences(m, 0x32, {Local(1997, 3, 12, 8, 0)});
  AddPilot(
      {.event = {.id = 0x32, .text = "series", .start = Local(1997, 3, 1, 8, 0)}, .rule = Daily()});
  // A live record without its fixed part does not convert.
  Db().records.push_back({0x33, kAttrDirty, 0, {1, 2}});
  EXPECT_EQ(m.FastSync(), kDbkFromRawFailed);
  EXPECT_EQ(link.CountOf("HhReadRecordById"), 0);
  EXPECT_EQ(link.CountOf("HhPurgeDeleted"), 0);
}

TEST_F(SyncModeTest, TheSameChangeOnBothSidesIsNoConflict) {
  // The host's version comes from the exchange file, the handheld's from its packed record.
  WriteExchangeFile(
      DesktopPath(),
      {{.id = 0x40, .text = "Lunch at noon", .start = Local(1997, 3, 13, 12, 0), .host = 4}});
  WriteExchangeFile(BackupPath(),
                    {{.id = 0x40, .text = "Lunch", .start = Local(1997, 3, 13, 12, 0), .host = 4}});
  TestMonitor& m = MakeMonitor();
  ASSERT_EQ(m.OpenPilotDB(), 0);
  ASSERT_EQ(m.OpenDesktopTables(), 0);
  ASSERT_EQ(m.ChangeTable->GetRecordCount(), 1);
  AddPilot({.event = {.id = 0x40, .text = "Lunch at noon", .start = Local(1997, 3, 13, 12, 0)},
            .attributes = kAttrDirty});
  ASSERT_EQ(m.FastSync(), 0);
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(m.DesktopTable->GetRecordCount(), 1);
  EXPECT_EQ(PilotRecords().size(), 1u);
}

}  // namespace
}  // namespace datebook_test
