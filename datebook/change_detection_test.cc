#include "datebook/datebook_test_support.h"

namespace datebook_test {
namespace {

class ChangeDetectionTest : public DatebookTest {
 protected:
  TestMonitor& Detect(const std::vector<Event>& extract, const std::vector<Event>& backup) {
    TestMonitor& m = MakeMonitor();
    GiveTables(m);
    for (const Event& e : extract) Append(*m.DesktopTable, e);
    for (const Event& e : backup) Append(*m.BackupTable, e);
    EXPECT_EQ(m.DetectDesktopChanges(), 0);
    return m;
  }
  static Event Occurrence(uint32_t id, int32_t start, const std::string& text = "series") {
    return {.id = id, .text = text, .start = start, .repeating = true};
  }
};

TEST_F(ChangeDetectionTest, FirstSynchronizationMakesEverySingleEventPending) {
  TestMonitor& m = Detect({{.id = 0, .text = "a", .start = Local(1997, 3, 12, 9, 0), .host = 1},
                           {.id = 0x11, .text = "b", .start = Local(1997, 3, 13, 9, 0), .host = 2},
                           Occurrence(0x12, Local(1997, 3, 12, 8, 0))},
                          {});
  std::vector<int32_t> statuses;
  for (const Row& r : RowsOf(*m.DesktopTable)) statuses.push_back(r.status);
  EXPECT_EQ(statuses, (std::vector<int32_t>{kStatusPending, kStatusPending, kStatusDeleted}));
  EXPECT_EQ(m.ChangeTable->GetRecordCount(), 0);
  EXPECT_TRUE(m.BackupSeries.empty());
  ASSERT_EQ(m.DesktopSeries.size(), 1u);
  EXPECT_TRUE(m.DesktopSeries[0].ExceptionDates.empty());
}

TEST_F(ChangeDetectionTest, HostDeletionsAndChangesGoIntoTheChangeTable) {
  const int32_t t = Local(1997, 3, 14, 15, 0);
  TestMonitor& m = Detect(
      {
          {.id = 0x21, .text = "kept", .start = t, .host = 1},
          {.id = 0x22, .text = "changed by host", .start = t, .host = 2},
          {.id = 0x24, .text = "renumbered", .start = t, .host = 77},
          {.id = 0, .text = "new", .start = t, .host = 5},
      },
      {
          {.id = 0x21, .text = "kept", .start = t, .status = kStatusAdded, .host = 1},
          {.id = 0x22, .text = "original", .start = t, .host = 2},
          {.id = 0x23, .text = "deleted by host", .start = t, .status = kStatusModified, .host = 3},
          {.id = 0x24, .text = "renumbered", .start = t},
      });
  EXPECT_EQ(RowsOf(*m.DesktopTable),
            (std::vector<Row>{{0x21, "kept", Show(t), kStatusNone, false, 1},
                              {0x22, "changed by host", Show(t), kStatusNone, false, 2},
                              {0x24, "renumbered", Show(t), kStatusNone, false, 77},
                              {0, "new", Show(t), kStatusPending, false, 5}}));
  EXPECT_EQ(RowsOf(*m.ChangeTable),
            (std::vector<Row>{{0x22, "changed by host", Show(t), kStatusModified, false, 2},
                              {0x23, "deleted by host", Show(t), kStatusDeleted, false, 3}}));
}

TEST_F(ChangeDetectionTest, BackupEventsAreComparedInsideTheWindowOnly) {
  // Missing from the extract: reported as deleted when the backup's start lies in the window,
  // both ends included.
  TestMonitor& m = Detect({}, {{.id = 0x31, .text = "before", .start = windowStart - 60},
                               {.id = 0x32, .text = "at start", .start = windowStart},
                               {.id = 0x33, .text = "at end", .start = windowEnd},
                               {.id = 0x34, .text = "after", .start = windowEnd + 60}});
  std::vector<uint32_t> deleted;
  for (const Row& r : RowsOf(*m.ChangeTable)) {
    EXPECT_EQ(r.status, kStatusDeleted);
    deleted.push_back(r.id);
  }
  EXPECT_EQ(deleted, (std::vector<uint32_t>{0x32, 0x33}));
}

TEST_F(ChangeDetectionTest, AnEventWhoseBackupLiesOutsideTheWindowStaysPending) {
  TestMonitor& m = Detect({{.id = 0x35, .text = "moved in", .start = Local(1997, 3, 14, 9, 0)}},
                          {{.id = 0x35, .text = "moved in", .start = Local(1997, 3, 1, 9, 0)}});
  EXPECT_EQ(RowsOf(*m.DesktopTable)[0].status, kStatusPending);
  EXPECT_EQ(m.ChangeTable->GetRecordCount(), 0);
}

TEST_F(ChangeDetectionTest, ABackupRecordWithoutHandheldIdMatchesNothing) {
  // Left in the backup by a run that could not add it; the host's new event must still go to
  // the handheld.
  const int32_t t = Local(1997, 3, 14, 9, 0);
  TestMonitor& m = Detect({{.id = 0, .text = "new", .start = t, .host = 8}},
                          {{.id = 0, .text = "stuck", .start = t, .host = 6}});
  EXPECT_EQ(RowsOf(*m.DesktopTable)[0].status, kStatusPending);
  EXPECT_EQ(m.ChangeTable->GetRecordCount(), 0);
}

// Occurrences of one repeating event, 0x40, daily at 08:00 from 12 to 19 March.
class OccurrenceTest : public ChangeDetectionTest {
 protected:
  std::vector<Event> Week(int firstDay = 12) {
    std::vector<Event> week;
    for (int day = firstDay; day <= 19; ++day) {
      week.push_back(Occurrence(0x40, Local(1997, 3, day, 8, 0)));
    }
    return week;
  }
  std::vector<std::string> Exceptions(TestMonitor& m) {
    std::vector<std::string> days;
    EXPECT_EQ(m.DesktopSeries.size(), 1u);
    if (m.DesktopSeries.empty()) return days;
    for (int32_t day : m.DesktopSeries[0].ExceptionDates) days.push_back(Show(day));
    return days;
  }
  std::vector<Row> NewSingles(TestMonitor& m) {
    std::vector<Row> rows;
    for (const Row& r : RowsOf(*m.DesktopTable)) {
      if (!r.repeating) rows.push_back(r);
    }
    return rows;
  }
};

TEST_F(OccurrenceTest, UnchangedOccurrencesRecordNothing) {
  TestMonitor& m = Detect(Week(), Week());
  EXPECT_TRUE(Exceptions(m).empty());
  EXPECT_TRUE(NewSingles(m).empty());
  for (const Row& r : RowsOf(*m.DesktopTable)) EXPECT_EQ(r.status, kStatusDeleted);
  // The series copies keep no status.
  CBaseIterator walk(*m.DesktopSeries[0].Table);
  CVuzurRecord row(*m.DesktopSeries[0].Table, 0);
  int count = 0;
  for (long f = walk.FindFirst(row); f == 0; f = walk.FindNext(row), ++count) {
    EXPECT_EQ(row.IsDeleted(), 0);
  }
  EXPECT_EQ(count, 8);
}

TEST_F(OccurrenceTest, ChangedDeletedAndMovedOccurrences) {
  const std::vector<Event> extract = {
      Occurrence(0x40, Local(1997, 3, 12, 8, 0)),
      Occurrence(0x40, Local(1997, 3, 13, 8, 0), "series, room 4"),  // changed
      Occurrence(0x40, Local(1997, 3, 14, 8, 0)),
      // the 15th deleted
      Occurrence(0x40, Local(1997, 3, 16, 8, 0)),
      Occurrence(0x40, Local(1997, 3, 17, 13, 0)),  // moved to the afternoon
      // the 18th moved to the 19th, where the event already occurs
      Occurrence(0x40, Local(1997, 3, 19, 8, 0)),
      Occurrence(0x40, Local(1997, 3, 19, 10, 0)),
  };
  TestMonitor& m = Detect(extract, Week());
  EXPECT_EQ(Exceptions(m), (std::vector<std::string>{"1997-03-13 00:00", "1997-03-15 00:00",
                                                     "1997-03-17 00:00", "1997-03-18 00:00"}));
  // The changed occurrences live on as single events of their own, new on both sides.
  EXPECT_EQ(NewSingles(m),
            (std::vector<Row>{{0, "series, room 4", "1997-03-13 08:00", kStatusAdded, false, 0},
                              {0, "series", "1997-03-17 13:00", kStatusAdded, false, 0}}));
}

TEST_F(OccurrenceTest, YesterdaysOccurrencesAreNoChange) {
  // The backup holds the previous window, from the 10th; the extract starts today.
  std::vector<Event> previous;
  for (int day = 10; day <= 17; ++day) {
    previous.push_back(Occurrence(0x40, Local(1997, 3, day, 8, 0)));
  }
  TestMonitor& m = Detect(Week(12), previous);
  EXPECT_TRUE(Exceptions(m).empty());
  EXPECT_TRUE(NewSingles(m).empty());
}

TEST_F(OccurrenceTest, ARepeatingEventNewOnTheHostGetsNoExceptions) {
  std::vector<Event> extract = Week();
  extract.push_back(Occurrence(0x41, Local(1997, 3, 14, 18, 0)));
  TestMonitor& m = Detect(extract, {});
  ASSERT_EQ(m.DesktopSeries.size(), 2u);
  EXPECT_EQ(m.DesktopSeries[1].RecordId, 0x41u);
  EXPECT_TRUE(m.DesktopSeries[0].ExceptionDates.empty());
  EXPECT_TRUE(m.DesktopSeries[1].ExceptionDates.empty());
}

TEST_F(OccurrenceTest, AnEventGoneFromTheExtractRecordsNothing) {
  TestMonitor& m = Detect({}, Week());
  EXPECT_TRUE(m.DesktopSeries.empty());
  EXPECT_EQ(m.BackupSeries.size(), 1u);
  EXPECT_EQ(m.ChangeTable->GetRecordCount(), 0) << "occurrences are not single events";
}

TEST_F(ChangeDetectionTest, SeriesAreGroupedByRecordIdWithTheCache) {
  TestMonitor& m = MakeMonitor();
  GiveTables(m);
  EXPECT_EQ(m.FindDesktopSeries(1), -1);
  EXPECT_EQ(m.FindBackupSeries(1), -1);
  for (uint32_t id : {5u, 5u, 6u, 5u, 7u, 6u}) {
    CVuzurRecord row(*m.DesktopTable, 0);
    ASSERT_EQ(m.DesktopTable->AppendBlankRecord(row), 0);
    Fill(row, Occurrence(id, Local(1997, 3, 12, 8, 0)));
    m.AddToDesktopSeries(row);
    EXPECT_EQ(m.LastDesktopSeriesId, id);
  }
  ASSERT_EQ(m.DesktopSeries.size(), 3u);
  EXPECT_EQ(m.FindDesktopSeries(5), 0);
  EXPECT_EQ(m.FindDesktopSeries(6), 1);
  EXPECT_EQ(m.FindDesktopSeries(7), 2);
  EXPECT_EQ(m.DesktopSeries[0].Table->GetRecordCount(), 3);
  EXPECT_EQ(m.DesktopSeries[1].Table->GetRecordCount(), 2);
  EXPECT_EQ(m.DesktopSeries[2].Table->GetRecordCount(), 1);
  EXPECT_EQ(m.LastDesktopSeriesTable, m.DesktopSeries[1].Table.get());
}

struct DayCase {
  const char* zone;
  int month, day, hour, minute;
};

class StartDayTest : public DatebookTest, public ::testing::WithParamInterface<DayCase> {};

TEST_P(StartDayTest, IsTheLocalMidnightOfTheDate) {
  const DayCase& c = GetParam();
  ScopedTimeZone zone(c.zone);
  TestMonitor& m = MakeMonitor();
  GiveTables(m);
  Append(*m.DesktopTable,
         {.id = 1, .text = "a", .start = Local(1997, c.month, c.day, c.hour, c.minute)});
  Append(*m.DesktopTable, {.id = 2, .text = "b", .start = Local(1997, c.month, c.day, 23, 59)});
  Append(*m.DesktopTable, {.id = 3, .text = "c", .start = Local(1997, c.month, c.day + 1, 0, 0)});
  CBaseIterator walk(*m.DesktopTable);
  CVuzurRecord a(*m.DesktopTable, 0), b(*m.DesktopTable, 0), next(*m.DesktopTable, 0);
  walk.FindFirst(a);
  walk.FindNext(b);
  walk.FindNext(next);
  EXPECT_EQ(m.StartDay(a), Local(1997, c.month, c.day));
  EXPECT_EQ(m.CompareStartDays(a, b), kSameDay);
  EXPECT_EQ(m.CompareStartDays(a, next), kEarlierDay);
  EXPECT_EQ(m.CompareStartDays(next, b), kLaterDay);
}

INSTANTIATE_TEST_SUITE_P(Days, StartDayTest,
                         ::testing::Values(DayCase{"America/New_York", 3, 14, 9, 30},
                                           // After the clock moved forward, and back.
                                           DayCase{"America/New_York", 4, 6, 9, 30},
                                           DayCase{"America/New_York", 10, 26, 1, 30},
                                           DayCase{"Europe/Berlin", 3, 30, 23, 0},
                                           DayCase{"Europe/Berlin", 10, 26, 0, 5}));

// Through OpenDesktopTables, from the files.

TEST_F(DatebookTest, NoFilesAtAllIsAnEmptyFirstSynchronization) {
  TestMonitor& m = MakeMonitor();
  ASSERT_EQ(m.OpenPilotDB(), 0);
  EXPECT_EQ(m.OpenDesktopTables(), 0);
  EXPECT_EQ(m.DesktopTable->GetRecordCount(), 0);
  ASSERT_NE(m.BackupTable, nullptr);
  EXPECT_EQ(m.BackupTable->GetRecordCount(), 0);
  EXPECT_STREQ(m.ArchiveExtension, ".DBA");
}

TEST_F(DatebookTest, AnUnreadableBackupIsReportedAfterDetection) {
  WriteExchangeFile(DesktopPath(), {{.id = 0x51, .text = "x", .start = Local(1997, 3, 14, 9, 0)}});
  std::ofstream(BackupPath(), std::ios::binary) << "0002"
                                                << "garbage";
  TestMonitor& m = MakeMonitor();
  ASSERT_EQ(m.OpenPilotDB(), 0);
  EXPECT_EQ(m.OpenDesktopTables(), kDbkBackupUnreadable);
  EXPECT_EQ(RowsOf(*m.DesktopTable)[0].status, kStatusPending);  // detection ran
  EXPECT_EQ(m.BackupTable->GetRecordCount(), 0);
}

TEST_F(DatebookTest, AnUnreadableDesktopFileFailsTheTables) {
  std::ofstream(DesktopPath(), std::ios::binary) << "0001"
                                                 << "short";
  TestMonitor& m = MakeMonitor();
  ASSERT_EQ(m.OpenPilotDB(), 0);
  EXPECT_EQ(m.OpenDesktopTables(), kDbkNoDesktopTable);
  EXPECT_EQ(m.ArchiveTable, nullptr);
}

class OverwriteTypeTest : public DatebookTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(OverwriteTypeTest, SkipsDetectionButDropsTheExtractsOccurrences) {
  WriteExchangeFile(
      DesktopPath(),
      {{.id = 0x61, .text = "single", .start = Local(1997, 3, 14, 9, 0)},
       {.id = 0x62, .text = "series", .start = Local(1997, 3, 14, 8, 0), .repeating = true}});
  WriteExchangeFile(BackupPath(),
                    {{.id = 0x63, .text = "gone", .start = Local(1997, 3, 14, 9, 0)}});
  TestMonitor& m = MakeMonitor(GetParam());
  ASSERT_EQ(m.OpenPilotDB(), 0);
  EXPECT_EQ(m.OpenDesktopTables(), 0);
  EXPECT_EQ(m.BackupTable, nullptr);
  EXPECT_EQ(m.ChangeTable->GetRecordCount(), 0);
  EXPECT_TRUE(m.DesktopSeries.empty());
  std::vector<int32_t> statuses;
  for (const Row& r : RowsOf(*m.DesktopTable)) statuses.push_back(r.status);
  EXPECT_EQ(statuses, (std::vector<int32_t>{kStatusNone, kStatusDeleted}));
}

INSTANTIATE_TEST_SUITE_P(SyncTypes, OverwriteTypeTest,
                         ::testing::Values(kSyncTypeHandheldOverwrites,
                                           kSyncTypeDesktopOverwrites));

}  // namespace
}  // namespace datebook_test
