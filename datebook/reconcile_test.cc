#include "datebook/datebook_test_support.h"

namespace datebook_test {
namespace {

constexpr uint32_t kId = 0x10;

enum class Change { kNone, kDeleted, kModified };
enum class Pilot { kClean, kModified, kDeleted, kArchived, kModifiedArchived };

struct ReconcileCase {
  const char* name;
  Change change;
  bool changeEqualsPilot;  // the host's version has the handheld's content
  bool desktopFound;
  Pilot pilot;
  // Expected afterwards ("P" is the handheld's content, "H" the host's, "D" the desktop's).
  std::vector<std::string> desktop;  // "text id status host" per row
  std::vector<std::string> change_;  // "text id status" per row
  int archived;
  std::vector<int32_t> codes;  // activity codes of the log lines, header included
  std::string described;       // the record the message describes, if any
};

std::string DesktopRow(const Row& r) {
  return r.text + " " + std::to_string(r.id) + " " + std::to_string(r.status) + " " +
         std::to_string(r.host);
}
std::string ChangeRow(const Row& r) {
  return r.text + " " + std::to_string(r.id) + " " + std::to_string(r.status);
}

void PrintTo(const ReconcileCase& c, std::ostream* out) {
  *out << c.name;
}

const std::vector<int32_t> kModifiedAndDeletedCodes = {-1, 2, -1, -1};
const std::vector<int32_t> kDoubleModifyCodes = {-1, 1, -1, -1, -1};

const ReconcileCase kCases[] = {
    {"NewOnPilotIsCopiedAdded",
     Change::kNone,
     false,
     false,
     Pilot::kModified,
     {"P 16 1 0"},
     {},
     0,
     {},
     ""},
    {"DeletedOnPilotOnlyAddsNothing",
     Change::kNone,
     false,
     false,
     Pilot::kDeleted,
     {},
     {},
     0,
     {},
     ""},
    {"ArchivedOnPilotOnlyIsArchived",
     Change::kNone,
     false,
     false,
     Pilot::kArchived,
     {},
     {},
     1,
     {},
     ""},
    {"ChangedOnPilotTakesOverDesktopKeepingHostNumber",
     Change::kNone,
     false,
     true,
     Pilot::kModified,
     {"P 16 2 42"},
     {},
     0,
     {},
     ""},
    {"DeletedOnPilotDeletesDesktop",
     Change::kNone,
     false,
     true,
     Pilot::kDeleted,
     {"D 16 4 42"},
     {},
     0,
     {},
     ""},
    {"ArchivedOnPilotDeletesDesktopAndArchives",
     Change::kNone,
     false,
     true,
     Pilot::kArchived,
     {"D 16 4 42"},
     {},
     1,
     {},
     ""},
    {"HostDeletedPilotUnchanged",
     Change::kDeleted,
     false,
     false,
     Pilot::kClean,
     {},
     {"H 16 4"},
     0,
     {},
     ""},
    {"HostDeletedPilotDeleted",
     Change::kDeleted,
     false,
     false,
     Pilot::kDeleted,
     {},
     {"H 16 4"},
     0,
     {},
     ""},
    {"HostDeletedPilotModifiedAndArchived",
     Change::kDeleted,
     false,
     false,
     Pilot::kModifiedArchived,
     {},
     {"H 16 4"},
     1,
     {},
     ""},
    {"HostDeletedPilotChangedSurvivesOnBothSides",
     Change::kDeleted,
     false,
     false,
     Pilot::kModified,
     {"P 16 1 0"},
     {"P 16 2"},
     0,
     kModifiedAndDeletedCodes,
     "       P, 3/13/1997, 1:00pm"},
    {"HostChangedPilotDeletedTheSameVersion",
     Change::kModified,
     true,
     true,
     Pilot::kDeleted,
     {"D 16 4 42"},
     {"P 16 4"},
     0,
     {},
     ""},
    {"HostChangedPilotArchivedTheSameVersion",
     Change::kModified,
     true,
     false,
     Pilot::kArchived,
     {},
     {"P 16 4"},
     1,
     {},
     ""},
    {"HostChangedPilotChangedAndArchivedIsAConflict",
     Change::kModified,
     false,
     true,
     Pilot::kModifiedArchived,
     {"D 16 0 42", "P 0 1 0"},
     {"H 16 2"},
     0,
     kDoubleModifyCodes,
     "       P, 3/13/1997, 1:00pm"},
    {"HostChangedPilotDeletedAnOlderVersion",
     Change::kModified,
     false,
     true,
     Pilot::kDeleted,
     {"D 16 0 42"},
     {"H 16 2"},
     0,
     kModifiedAndDeletedCodes,
     "       H, 3/13/1997, 1:00pm"},
    {"HostChangedPilotArchivedAnOlderVersionIsNotArchived",
     Change::kModified,
     false,
     true,
     Pilot::kArchived,
     {"D 16 0 42"},
     {"H 16 2"},
     0,
     kModifiedAndDeletedCodes,
     "       H, 3/13/1997, 1:00pm"},
    {"ChangedIdenticallyOnBothSides",
     Change::kModified,
     true,
     true,
     Pilot::kModified,
     {"D 16 0 42"},
     {"P 16 2"},
     0,
     {},
     ""},
    {"HostChangedPilotUnchanged",
     Change::kModified,
     false,
     true,
     Pilot::kClean,
     {"D 16 0 42"},
     {"H 16 2"},
     0,
     {},
     ""},
    {"ChangedDifferentlyOnBothSidesIsDuplicated",
     Change::kModified,
     false,
     true,
     Pilot::kModified,
     {"D 16 0 42", "P 0 1 0"},
     {"H 16 2"},
     0,
     kDoubleModifyCodes,
     "       P, 3/13/1997, 1:00pm"},
};

class ReconcileRecordTest : public DatebookTest,
                            public ::testing::WithParamInterface<ReconcileCase> {};

TEST_P(ReconcileRecordTest, FollowsTheDecisionTable) {
  const ReconcileCase& c = GetParam();
  TestMonitor& m = MakeMonitor();
  GiveTables(m);
  const int32_t start = Local(1997, 3, 13, 13, 0);
  if (c.desktopFound) Append(*m.DesktopTable, {.id = kId, .text = "D", .start = start, .host = 42});
  if (c.change != Change::kNone) {
    Append(*m.ChangeTable,
           {.id = kId,
            .text = c.changeEqualsPilot ? "P" : "H",
            .start = start,
            .status = c.change == Change::kDeleted ? kStatusDeleted : kStatusModified,
            .host = 42});
  }
  // Another record on each side, so that the lookups must find the right one.
  Append(*m.DesktopTable, {.id = 0x20, .text = "Other", .start = start, .host = 7});
  Append(*m.ChangeTable, {.id = 0x08, .text = "Other", .start = start, .status = kStatusDeleted});

  CVuzurTable scratch;
  CVuzurRecord h(scratch, 0);
  ASSERT_EQ(scratch.AppendBlankRecord(h), 0);
  Event pilot{.id = kId, .text = "P", .start = start};
  switch (c.pilot) {
    case Pilot::kClean:
      break;
    case Pilot::kModified:
      pilot.status = kStatusModified;
      break;
    case Pilot::kDeleted:
      pilot.status = kStatusDeleted;
      break;
    case Pilot::kArchived:
      pilot.status = kStatusDeleted;
      pilot.archived = true;
      break;
    case Pilot::kModifiedArchived:
      pilot.status = kStatusModified;
      pilot.archived = true;
      break;
  }
  Fill(h, pilot);

  CVuzurRecord d(*m.DesktopTable, 0);
  CVuzurRecord ch(*m.ChangeTable, 0);
  EXPECT_EQ(m.ReconcileRecord(h, d, ch), 0);

  std::vector<std::string> desktop, change;
  for (const Row& r : RowsOf(*m.DesktopTable)) {
    if (r.id != 0x20) {
      desktop.push_back(DesktopRow(r));
    } else {
      EXPECT_EQ(r.status, kStatusNone) << "the other desktop record is left alone";
    }
  }
  for (const Row& r : RowsOf(*m.ChangeTable)) {
    if (r.id != 0x08) change.push_back(ChangeRow(r));
  }
  EXPECT_EQ(desktop, c.desktop);
  EXPECT_EQ(change, c.change_);
  EXPECT_EQ(m.ArchiveTable->GetRecordCount(), c.archived);

  std::vector<int32_t> codes;
  for (const auto& [text, code] : Lines()) codes.push_back(code);
  EXPECT_EQ(codes, c.codes);
  if (!c.described.empty()) {
    ASSERT_GE(Lines().size(), 4u);
    const LogLines lines = Lines();
    EXPECT_EQ(lines[0].first, kHeader);
    const bool doubleModify = lines[1].second == 1;
    EXPECT_EQ(lines[1].first, doubleModify ? kDoubleModify : kModifiedAndDeleted);
    EXPECT_EQ(lines[2].first, doubleModify ? c.described : kModifiedVersion);
    EXPECT_EQ(lines[3].first, doubleModify ? kDuplicated : c.described);
    if (doubleModify) {
      EXPECT_EQ(lines[4].first, kNotArchivedAdvice);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReconcileRecordTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatebookTest, AnArchivedRecordLeavesTheArchiveWithoutStatusOrMark) {
  TestMonitor& m = MakeMonitor();
  GiveTables(m);
  CVuzurTable scratch;
  CVuzurRecord h(scratch, 0);
  ASSERT_EQ(scratch.AppendBlankRecord(h), 0);
  Fill(h, {.id = kId,
           .text = "Trip",
           .start = Local(1997, 3, 13, 9, 0),
           .status = kStatusDeleted,
           .archived = true,
           .category = 3});
  CVuzurRecord d(*m.DesktopTable, 0), ch(*m.ChangeTable, 0);
  ASSERT_EQ(m.ReconcileRecord(h, d, ch), 0);
  CBaseIterator walk(*m.ArchiveTable);
  CDateBkRecord archived(*m.ArchiveTable, 0);
  ASSERT_EQ(walk.FindFirst(archived), 0);
  std::string text;
  archived.GetDescription(text);
  int32_t category = -1;
  archived.GetCategoryId(category);
  EXPECT_EQ(text, "Trip");
  EXPECT_EQ(category, 3);  // the archive files are chosen by it
  EXPECT_EQ(archived.IsDeleted(), 0);
  EXPECT_EQ(archived.IsArchived(), 0);
}

TEST_F(DatebookTest, AFailedCopyIntoTheDesktopIsReported) {
  TestMonitor& m = MakeMonitor();
  m.DesktopTable = new CVuzurTable();
  m.ChangeTable = new CVuzurTable();
  CVuzurTable scratch;
  CVuzurRecord h(scratch, 0);
  ASSERT_EQ(scratch.AppendBlankRecord(h), 0);
  Fill(h, {.id = kId, .text = "P", .start = Local(1997, 3, 13, 9, 0), .status = kStatusModified});
  // A cursor bound to another table makes the table refuse the copy.
  CVuzurRecord wrong(scratch, 0);
  CVuzurRecord ch(*m.ChangeTable, 0);
  EXPECT_EQ(m.ReconcileRecord(h, wrong, ch), kDbkCopyFailed);
  EXPECT_EQ(m.DesktopTable->GetRecordCount(), 0);
}

// SendDateBookChanges.

class SendChangesTest : public DatebookTest {
 protected:
  void SetUp() override {
    DatebookTest::SetUp();
    TestMonitor& m = MakeMonitor();
    GiveTables(m);
    ASSERT_EQ(HhOpenDatabase(kDbName, 0, &m.DbHandle, kOpenModeReadWrite), 0);
    start = Local(1997, 3, 13, 9, 0);
    // On the handheld: three records the change table speaks of, and one it does not.
    for (uint32_t id : {0x31u, 0x32u, 0x33u, 0x34u}) {
      AddPilot({.event = {.id = id, .text = "pilot " + std::to_string(id), .start = start}});
    }
  }
  int32_t Send() {
    CVuzurRecord d(*monitor->DesktopTable, 0), ch(*monitor->ChangeTable, 0);
    return monitor->SendDateBookChanges(ch, d);
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const Unpacked& u : PilotRecords()) texts.push_back(u.event.text);
    return texts;
  }
  int32_t start = 0;
};

TEST_F(SendChangesTest, DeletesModifiesAddsAndPurges) {
  TestMonitor& m = *monitor;
  Append(*m.ChangeTable, {.id = 0x31, .text = "gone", .start = start, .status = kStatusDeleted});
  Append(*m.ChangeTable, {.id = 0, .text = "never", .start = start, .status = kStatusDeleted});
  Append(*m.ChangeTable,
         {.id = 0x32, .text = "host change", .start = start, .status = kStatusModified});
  Append(*m.ChangeTable, {.id = 0x33, .text = "archive me", .start = start, .archived = true});
  Append(*m.DesktopTable,
         {.id = 0, .text = "new on host", .start = start, .status = kStatusPending, .host = 5});
  Append(*m.DesktopTable,
         {.id = 0, .text = "conflict copy", .start = start, .status = kStatusAdded});
  Append(*m.DesktopTable,
         {.id = 0x77, .text = "from pilot", .start = start, .status = kStatusAdded});
  Append(*m.DesktopTable, {.id = 0x34, .text = "unchanged", .start = start});
  // A record the handheld marked deleted stays until the run has saved its result.
  Db().records.push_back(
      Pack({.event = {.id = 0x40, .text = "purged", .start = start}, .attributes = kAttrDeleted}));

  ASSERT_EQ(Send(), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"host change", "pilot 52", "purged", "conflict copy",
                                               "new on host"}));
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(m.ArchiveTable->GetRecordCount(), 1);

  // The new records carry their handheld IDs; the pending one is now modified, the conflict
  // copy stays added, and the handheld's own addition was not sent back.
  const std::vector<Row> rows = RowsOf(*m.DesktopTable);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].id, Db().records[4].id);
  EXPECT_EQ(rows[0].status, kStatusModified);
  EXPECT_EQ(rows[0].host, 5);
  EXPECT_EQ(rows[1].id, Db().records[3].id);
  EXPECT_EQ(rows[1].status, kStatusAdded);
  EXPECT_NE(rows[0].id, 0u);
  EXPECT_NE(rows[1].id, rows[0].id);
  EXPECT_EQ(link.CountOf("HhDeleteRecord"), 2);  // 0x31 and the archived 0x33, not ID 0
  EXPECT_EQ(link.CountOf("HhPurgeDeleted"), 0);
}

// Host versions reach the handheld without a category; the records they overwrite stay filed
// where the handheld had them. A record the handheld no longer has keeps its own.
TEST_F(SendChangesTest, AHostVersionKeepsTheCategoryOfTheRecordItOverwrites) {
  TestMonitor& m = *monitor;
  Db().FindRecord(0x32)->category = 3;
  Db().FindRecord(0x34)->category = 5;
  Append(*m.ChangeTable,
         {.id = 0x32, .text = "host change", .start = start, .status = kStatusModified});
  Append(*m.ChangeTable, {.id = 0x99,
                          .text = "gone from pilot",
                          .start = start,
                          .status = kStatusModified,
                          .category = 2});
  Append(*m.DesktopTable,
         {.id = 0x34, .text = "host pending", .start = start, .status = kStatusPending});
  Append(*m.DesktopTable, {.id = 0, .text = "new", .start = start, .status = kStatusPending});

  ASSERT_EQ(Send(), 0);
  struct Expected {
    uint32_t id;
    std::string text;
    int category;
  };
  for (const Expected& e : {Expected{0x32, "host change", 3}, Expected{0x34, "host pending", 5},
                            Expected{0x99, "gone from pilot", 2}, Expected{0x31, "pilot 49", 0}}) {
    SCOPED_TRACE(e.text);
    const velqor::platform::HandheldRecord* record = PilotRecord(e.id);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Unpack(*record).event.text, e.text);
    EXPECT_EQ(static_cast<int>(record->category), e.category);
  }
  EXPECT_EQ(static_cast<int>(Db().records.back().category), 0)
      << "a new record is filed as the host gave it";
  EXPECT_EQ(link.CountOf("HhReadRecordById"), 3) << "no read for a record without an ID";
}

TEST_F(SendChangesTest, AFailedDeletionThatIsNotACommunicationErrorIsPassedOver) {
  TestMonitor& m = *monitor;
  Append(*m.ChangeTable, {.id = 0x32, .text = "refused", .start = start, .status = 4});
  Append(*m.ChangeTable, {.id = 0x31, .text = "gone", .start = start, .status = 4});
  Append(*m.ChangeTable, {.id = 0x99, .text = "gone already", .start = start, .status = 4});
  Append(*m.DesktopTable, {.id = 0, .text = "new", .start = start, .status = kStatusPending});
  link.FailNth("HhDeleteRecord", 1, 16404);
  ASSERT_EQ(Send(), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"pilot 50", "pilot 51", "pilot 52", "new"}));
  EXPECT_EQ(Lines(), (LogLines{{kHeader, -1},
                               {kDeleteFailed, 12},
                               {"       refused, 3/13/1997, 9:00am", -1},
                               {kCheckConnections, -1}}))
      << "the description is of the record that failed; a record the handheld no longer has "
         "is deleted already";
}

TEST_F(SendChangesTest, ACommunicationErrorStopsEverything) {
  TestMonitor& m = *monitor;
  Append(*m.ChangeTable, {.id = 0x31, .text = "gone", .start = start, .status = 4});
  Append(*m.ChangeTable, {.id = 0x32, .text = "gone too", .start = start, .status = 4});
  Append(*m.DesktopTable, {.id = 0, .text = "new", .start = start, .status = kStatusPending});
  link.FailFrom("HhDeleteRecord", 1, 0x2006);
  EXPECT_EQ(Send(), 0x2006);
  EXPECT_EQ(link.CountOf("HhDeleteRecord"), 1);
  EXPECT_EQ(link.CountOf("HhWriteRecord"), 0);
  EXPECT_EQ(link.CountOf("HhPurgeDeleted"), 0);
  EXPECT_EQ(Db().records.size(), 4u);
}

struct ModifyFailure {
  int32_t status;
  int32_t result;  // of SendDateBookChanges
  int adds;        // records added afterwards
};

class ModifyFailureTest : public SendChangesTest,
                          public ::testing::WithParamInterface<ModifyFailure> {};

TEST_P(ModifyFailureTest, IsLoggedAndStopsUnlessNonFatal) {
  TestMonitor& m = *monitor;
  Append(*m.ChangeTable, {.id = 0x32, .text = "host change", .start = start, .status = 2});
  Append(*m.DesktopTable, {.id = 0, .text = "new", .start = start, .status = kStatusPending});
  link.FailNth("HhWriteRecord", 1, GetParam().status);
  EXPECT_EQ(Send(), GetParam().result);
  EXPECT_EQ(Lines().at(1).second, 11);
  EXPECT_EQ(link.CountOf("HhWriteRecord"), 1 + GetParam().adds);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ModifyFailureTest,
                         ::testing::Values(ModifyFailure{16403, 0, 1}, ModifyFailure{16404, 0, 1},
                                           ModifyFailure{16402, 16402, 0},
                                           ModifyFailure{0x2001, 0x2001, 0}));

TEST_F(SendChangesTest, AFailedAdditionStopsBeforeThePurge) {
  TestMonitor& m = *monitor;
  Append(*m.DesktopTable, {.id = 0, .text = "first", .start = start, .status = kStatusPending});
  Append(*m.DesktopTable, {.id = 0, .text = "second", .start = start, .status = kStatusPending});
  link.FailNth("HhWriteRecord", 1, 16402);
  EXPECT_EQ(Send(), 16402);
  EXPECT_EQ(link.CountOf("HhWriteRecord"), 1);
  EXPECT_EQ(link.CountOf("HhPurgeDeleted"), 0);
  EXPECT_EQ(Lines(), (LogLines{{kHeader, -1},
                               {kAddFailed, 9},
                               {"       first, 3/13/1997, 9:00am", -1},
                               {kPilotFull, -1}}));
  EXPECT_EQ(RowsOf(*m.DesktopTable)[0].status, kStatusPending);
}

}  // namespace
}  // namespace datebook_test
