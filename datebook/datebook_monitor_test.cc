#include <cstring>

#include "datebook/datebook_test_support.h"

namespace datebook_test {
namespace {

// Remembers the record the database was created from.
class CreateRecordingLink : public velqor::platform::FaultInjectingLink {
 public:
  using FaultInjectingLink::FaultInjectingLink;
  int32_t CreateDatabase(DatabaseCreateInfo* info) override {
    const int32_t status = FaultInjectingLink::CreateDatabase(info);
    created = *info;
    return status;
  }
  DatabaseCreateInfo created{};
};

class OpenPilotDbTest : public DatebookTest {
 protected:
  void SetUp() override {
    DatebookTest::SetUp();
    velqor::platform::SetHandheldLink(&recording);
  }
  // Points the properties at a database the handheld does not have.
  void UseMissingDatabase() {
    props.databaseNames[0] = velqor::platform::RegisterPointer(const_cast<char*>(kNewName));
  }
  static constexpr char kNewName[] = "CalendarDB";
  CreateRecordingLink recording{&handheld};
};

TEST_F(OpenPilotDbTest, OpensTheExistingDatabaseAndMakesTheChangeTable) {
  TestMonitor& m = MakeMonitor();
  ASSERT_EQ(m.OpenPilotDB(), 0);
  EXPECT_NE(m.ChangeTable, nullptr);
  EXPECT_EQ(handheld.OpenDatabaseCount(), 1);
  EXPECT_EQ(recording.CountOf("HhCreateDatabase"), 0);
}

TEST_F(OpenPilotDbTest, CreatesAMissingDatabaseFromTheProperties) {
  UseMissingDatabase();
  props.creator = 0x64617465;
  props.creationByte = 0x5A;
  props.creationValue = 0x00010008;
  TestMonitor& m = MakeMonitor();
  ASSERT_EQ(m.OpenPilotDB(), 0);
  // Copied out of the packed record before they are compared.
  const uint32_t creator = recording.created.creator;
  const uint8_t creationByte = recording.created.creationByte;
  const uint32_t creationValue = recording.created.creationValue;
  const uint32_t reserved = recording.created.reserved5;
  EXPECT_EQ(creator, 0x64617465u);
  EXPECT_EQ(creationByte, 0x5A);
  EXPECT_EQ(creationValue, 0x00010008u);
  EXPECT_STREQ(recording.created.name, kNewName);
  EXPECT_EQ(reserved, 0u);
  const velqor::platform::HandheldDatabase* db = handheld.FindDatabase(kNewName);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->creator, 0x64617465u);
  EXPECT_NE(m.ChangeTable, nullptr);
  EXPECT_EQ(handheld.OpenDatabaseCount(), 1);
  EXPECT_EQ(m.DbHandle, recording.created.dbHandle);
}

struct OpenFailure {
  const char* name;
  const char* function;  // the call that fails, or "" for none
  int32_t status;
  bool longName;
  int32_t result;
  int creates;
};

void PrintTo(const OpenFailure& c, std::ostream* out) {
  *out << c.name;
}

class OpenFailureTest : public OpenPilotDbTest,
                        public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, ReturnsTheStatusAndLeavesNothingOpen) {
  const OpenFailure& c = GetParam();
  UseMissingDatabase();
  static char longName[40];
  std::memset(longName, 'D', 32);
  longName[32] = '\0';
  if (c.longName) {
    props.databaseNames[0] = velqor::platform::RegisterPointer(longName);
  }
  if (*c.function != '\0') recording.FailNth(c.function, 1, c.status);
  TestMonitor& m = MakeMonitor();
  EXPECT_EQ(m.OpenPilotDB(), c.result);
  EXPECT_EQ(recording.CountOf("HhCreateDatabase"), c.creates);
  EXPECT_EQ(handheld.OpenDatabaseCount(), 0);
  EXPECT_EQ(handheld.databases().size(), 1u) << "nothing was created";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OpenFailureTest,
    ::testing::Values(OpenFailure{"CreateFails", "HhCreateDatabase", 16402, false, 16402, 1},
                      OpenFailure{"OpenFailsOtherwise", "HhOpenDatabase", 0x2001, false, 0x2001, 0},
                      OpenFailure{"NameTooLongIsNotCreated", "", 0, true, kSyncErrNotFound, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Writing single records.
class PilotWriteTest : public DatebookTest {
 protected:
  void SetUp() override {
    DatebookTest::SetUp();
    TestMonitor& m = MakeMonitor();
    ASSERT_EQ(m.OpenPilotDB(), 0);
    m.DesktopTable = new CVuzurTable();
    AddPilot({.event = {.id = 0x71, .text = "old", .start = Local(1997, 3, 13, 9, 0)}});
  }
};

TEST_F(PilotWriteTest, AddGivesTheRecordItsNewId) {
  Append(*monitor->DesktopTable,
         {.id = 0, .text = "new", .start = Local(1997, 3, 14, 9, 0), .status = kStatusPending});
  CBaseIterator walk(*monitor->DesktopTable);
  CVuzurRecord row(*monitor->DesktopTable, 0);
  ASSERT_EQ(walk.FindFirst(row), 0);
  ASSERT_EQ(monitor->AddPilotRecord(row), 0);
  RecordId id = 0;
  row.GetRecordId(id);
  ASSERT_EQ(Db().records.size(), 2u);
  EXPECT_EQ(id, Db().records[1].id);
  EXPECT_NE(id, 0x71u);
  EXPECT_EQ(PilotRecords()[1].event.text, "new");
}

TEST_F(PilotWriteTest, ModifyReplacesTheRecordWithItsId) {
  Append(*monitor->DesktopTable,
         {.id = 0x71, .text = "host version", .start = Local(1997, 3, 13, 9, 0)});
  CBaseIterator walk(*monitor->DesktopTable);
  CVuzurRecord row(*monitor->DesktopTable, 0);
  ASSERT_EQ(walk.FindFirst(row), 0);
  ASSERT_EQ(monitor->ModifyPilotRecord(row), 0);
  ASSERT_EQ(Db().records.size(), 1u);
  EXPECT_EQ(PilotRecords()[0].event.text, "host version");
}

TEST_F(PilotWriteTest, FailuresAreReturnedAndChangeNothing) {
  Append(*monitor->DesktopTable, {.id = 0x99, .text = "x", .start = Local(1997, 3, 13, 9, 0)});
  CBaseIterator walk(*monitor->DesktopTable);
  CVuzurRecord row(*monitor->DesktopTable, 0);
  ASSERT_EQ(walk.FindFirst(row), 0);
  link.FailNth("HhWriteRecord", 1, 16402);
  link.FailNth("HhWriteRecord", 2, 0x2003);
  EXPECT_EQ(monitor->AddPilotRecord(row), 16402);
  EXPECT_EQ(monitor->ModifyPilotRecord(row), 0x2003);
  RecordId id = 0;
  row.GetRecordId(id);
  EXPECT_EQ(id, 0x99u);
  // A record the converter cannot pack is not written at all.
  CBaseRecord plain(*monitor->DesktopTable, 0);
  ASSERT_EQ(walk.FindFirst(plain), 0);
  EXPECT_EQ(monitor->AddPilotRecord(plain), kDbkToRawFailed);
  EXPECT_EQ(monitor->ModifyPilotRecord(plain), kDbkToRawFailed);
  plain.GetRecordId(id);
  EXPECT_EQ(id, 0x99u);
  EXPECT_EQ(link.CountOf("HhWriteRecord"), 2);
  EXPECT_EQ(Db().records.size(), 1u);
}

TEST_F(DatebookTest, CopyRecordToTableAndTheArchiveTable) {
  TestMonitor& m = MakeMonitor();
  CBaseTable* archive = nullptr;
  ASSERT_EQ(m.CreateArchiveTable(&archive), 0);
  ASSERT_NE(archive, nullptr);
  EXPECT_STREQ(archive->GetRuntimeClass()->className, "CDateBkTable");

  CVuzurTable source;
  Append(source, {.id = 0x81, .text = "to archive", .start = Local(1997, 3, 13, 9, 0)});
  CBaseIterator walk(source);
  CVuzurRecord row(source, 0);
  ASSERT_EQ(walk.FindFirst(row), 0);
  EXPECT_EQ(m.CopyRecordToTable(row, archive), 0);
  EXPECT_EQ(m.CopyRecordToTable(row, nullptr), kDbkCopyFailed);
  ASSERT_EQ(archive->GetRecordCount(), 1);
  CDateBkRecord copy(*archive, 0);
  CBaseIterator archiveWalk(*archive);
  ASSERT_EQ(archiveWalk.FindFirst(copy), 0);
  std::string text;
  copy.GetDescription(text);
  EXPECT_EQ(text, "to archive");
  delete archive;
}

TEST_F(DatebookTest, DisplayNameFromTheStringTable) {
  TestMonitor& m = MakeMonitor();
  char name[40] = {};
  EXPECT_EQ(m.GetDisplayName(name, sizeof name), 9);
  EXPECT_STREQ(name, "Date Book");
  char shortName[5] = {};
  EXPECT_EQ(m.GetDisplayName(shortName, sizeof shortName), 4);
  EXPECT_STREQ(shortName, "Date");
  EXPECT_EQ(m.GetDisplayName(nullptr, 40), 0);
}

struct PathCase {
  const char* localName;
  const char* backupName;
};

class BackupPathTest : public DatebookTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(BackupPathTest, LiesBesideTheDesktopFile) {
  std::strcpy(props.localFileName, GetParam().localName);
  TestMonitor& m = MakeMonitor();
  EXPECT_EQ(m.DesktopFilePath(), dir + GetParam().localName);
  EXPECT_EQ(m.BackupFilePath(), dir + GetParam().backupName);
}

INSTANTIATE_TEST_SUITE_P(Names, BackupPathTest,
                         ::testing::Values(PathCase{"datebook.dat", "datebook.bak"},
                                           PathCase{"dbook", "dbook.bak"},
                                           PathCase{"cal.text", "cal.bak"}));

}  // namespace
}  // namespace datebook_test
