#include "hostfile/vuzur_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"

namespace {

using velqor::test_support::MakeReadOnly;
using velqor::test_support::ReadFile;
using velqor::test_support::ScopedTimeZone;
using velqor::test_support::ScratchDir;
using velqor::test_support::WriteFile;

constexpr int32_t kNy19980305_0930 = 889108200;  // America/New_York
constexpr int32_t kNy19980305_1015 = 889110900;

// A timed record line on 5 March 1998, 09:30 to 10:15.
std::string Line(const std::string& id, const std::string& host, const std::string& text,
                 char status = '0') {
  char length[8];
  std::snprintf(length, sizeof length, "%04zu", text.size());
  return id + host + "1998030509:3010:15" + status + "000" + "0" + length + text + "\r\n";
}

const std::string kLine1 = Line("00000001", "0011", "First");
const std::string kLine2 = Line("00000002", "0022", "Second;with note");
const std::string kLine3 = Line("00000003", "0033", "Third", '3');

void ExpectVuzurSchema(const CBaseSchema* schema) {
  ASSERT_NE(schema, nullptr);
  const uint16_t types[] = {1, 1, 1, 3, 1, 5, 1, 5, 6, 6, 1, 6, 1, 1, 8, 1};
  ASSERT_EQ(schema->GetFieldCount(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(schema->GetFieldType(i), types[i]) << "field " << i;
  EXPECT_EQ(schema->RecordIdField(), 0);
  EXPECT_EQ(schema->StatusField(), 1);
  EXPECT_EQ(schema->PrivateField(), 10);
  EXPECT_EQ(schema->CategoryField(), 2);
}

// The record IDs of the table's rows, in row order.
std::vector<RecordId> Ids(CVuzurTable& table) {
  std::vector<RecordId> ids;
  CVuzurRecord record(table, 0);
  CBaseIterator it(table);
  for (long r = it.FindFirst(record, 0); r == 0; r = it.FindNext(record, 0)) {
    RecordId id = 0;
    record.GetRecordId(id);
    ids.push_back(id);
  }
  return ids;
}

void AddRow(CVuzurTable& table, RecordId id, int32_t host, const std::string& description,
            int32_t status = kStatusNone) {
  CVuzurRecord r(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(r), 0);
  r.SetRecordId(id);
  r.SetHostNumber(host);
  r.SetStartTime(kNy19980305_0930);
  r.SetEndTime(kNy19980305_1015);
  r.SetDescription(description);
  r.SetStatus(status);
}

TEST(VuzurTableClass, CarriesTheHostSchema) {
  CVuzurTable table;
  ExpectVuzurSchema(table.GetSchema());
  EXPECT_EQ(table.GetSchema()->GetTag(), 54);
  EXPECT_STREQ(table.GetRuntimeClass()->className, "CVuzurTable");
  EXPECT_EQ(table.GetRuntimeClass()->schema, 1);
  EXPECT_STREQ(table.GetSchema()->GetRuntimeClass()->className, "CVuzurSchema");
  CVuzurRecord record(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(record), 0);
  int32_t host = -1;
  EXPECT_EQ(record.GetHostNumber(host), 0);
  EXPECT_EQ(record.GetField(16), nullptr);
}

TEST(VuzurTableClass, MadeByNameLikeByConstructor) {
  const CRuntimeClass* tableClass = CRuntimeClass::FromName("CVuzurTable");
  ASSERT_NE(tableClass, nullptr);
  EXPECT_EQ(tableClass->schema, 1);
  std::unique_ptr<CObject> object(tableClass->CreateObject());
  auto* table = dynamic_cast<CVuzurTable*>(object.get());
  ASSERT_NE(table, nullptr);
  ExpectVuzurSchema(table->GetSchema());
  EXPECT_EQ(table->GetSchema()->GetTag(), 54);

  const CRuntimeClass* schemaClass = CRuntimeClass::FromName("CVuzurSchema");
  ASSERT_NE(schemaClass, nullptr);
  EXPECT_EQ(schemaClass->schema, 1);
  std::unique_ptr<CObject> schemaObject(schemaClass->CreateObject());
  auto* schema = dynamic_cast<CVuzurSchema*>(schemaObject.get());
  ASSERT_NE(schema, nullptr);
  EXPECT_EQ(schema->GetFieldCount(), 0);
  EXPECT_EQ(schema->DefineFields(), 0);
  ExpectVuzurSchema(schema);
}

class TableFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  // A table holding two rows that a load must either keep or replace.
  void Prefill(CVuzurTable& table) {
    AddRow(table, 0x901, 1, "old one");
    AddRow(table, 0x902, 2, "old two");
  }

  ScopedTimeZone zone_{"America/New_York"};
  ScratchDir dir_;
};

// ---------------------------------------------------------------------------------------------
// Loading

TEST_F(TableFileTest, LoadsRecordsAsTheCountSays) {
  struct Case {
    const char* name;
    std::string bytes;
    long result;
    std::vector<RecordId> ids;
  };
  const Case cases[] = {
      {"only a count of zero", "0000", 0, {}},
      {"zero count, rest not looked at", "0000garbage", 0, {}},
      {"three records", "0003" + kLine1 + kLine2 + kLine3, 0, {1, 2, 3}},
      {"count smaller than the records", "0001" + kLine1 + kLine2 + "not a record", 0, {1}},
      {"count larger than the records", "0003" + kLine1 + kLine2, kCauseEndOfFile, {1, 2}},
      {"file ends inside a record",
       "0003" + kLine1 + kLine2 + kLine3.substr(0, 37),
       kCauseEndOfFile,
       {1, 2}},
      {"file ends inside a text", "0002" + kLine1 + kLine2.substr(0, 45), kCauseEndOfFile, {1}},
      {"last line end missing", "0002" + kLine1 + kLine2.substr(0, kLine2.size() - 2), 0, {1, 2}},
      {"count with leading blanks", "   1" + kLine1, 0, {1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.File("load.dat");
    WriteFile(path, c.bytes);
    CVuzurTable table;
    Prefill(table);
    EXPECT_EQ(table.LoadFrom(path, 0), c.result);
    EXPECT_EQ(Ids(table), c.ids);
  }
}

TEST_F(TableFileTest, LoadedRowsHoldTheFileData) {
  const std::string path = dir_.File("load.dat");
  WriteFile(path, "0002" + kLine2 + kLine3);
  CVuzurTable table;
  ASSERT_EQ(table.LoadFrom(path, 0), 0);
  CVuzurRecord r(table, 0);
  CBaseIterator it(table);
  ASSERT_EQ(it.FindFirst(r, 0), 0);
  int32_t host = 0, start = 0, status = -1;
  std::string description, note;
  r.GetHostNumber(host);
  r.GetStartTime(start);
  r.GetDescription(description);
  r.GetNote(note);
  EXPECT_EQ(host, 22);
  EXPECT_EQ(start, kNy19980305_0930);
  EXPECT_EQ(description, "Second");
  EXPECT_EQ(note, "with note");
  ASSERT_EQ(it.FindNext(r, 0), 0);
  r.GetStatus(status);
  EXPECT_EQ(status, kStatusModified);
  EXPECT_NE(it.FindNext(r, 0), 0);
}

TEST_F(TableFileTest, MalformedFieldsFailTheLoad) {
  auto at = [](std::string line, size_t offset, const std::string& field) {
    return line.replace(offset, field.size(), field);
  };
  struct Case {
    const char* name;
    std::string bad;
  };
  const Case cases[] = {
      {"30 February", at(kLine3, 12, "19980230")},
      {"month 13", at(kLine3, 12, "19981305")},
      {"day 0", at(kLine3, 12, "19980300")},
      {"letters in the date", at(kLine3, 12, "1998O305")},
      {"blank date", at(kLine3, 12, "        ")},
      {"year before any time value", at(kLine3, 12, "00010305")},
      {"29 February of a common year", at(kLine3, 12, "19990229")},
      {"hour 24", at(kLine3, 20, "24:00")},
      {"minute 60", at(kLine3, 20, "09:60")},
      {"no colon", at(kLine3, 20, "09-30")},
      {"letters in the time", at(kLine3, 20, "9x:30")},
      {"bad end of a timed event", at(kLine3, 25, "10:9x")},
      {"length with a letter", at(kLine3, 35, "00x5")},
      {"blank length", at(kLine3, 35, "    ")},
      {"negative length", at(kLine3, 35, "-005")},
      {"record ID not hexadecimal", at(kLine3, 0, "0000XYZ3")},
      {"host number with a letter", at(kLine3, 8, "12a4")},
      {"negative host number", at(kLine3, 8, "-001")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.File("bad.dat");
    WriteFile(path, "0003" + kLine1 + c.bad + kLine2);
    CVuzurTable table;
    EXPECT_EQ(table.LoadFrom(path, 0), kCauseBadFormat);
    EXPECT_EQ(Ids(table), std::vector<RecordId>{1});
  }
  // The unbroken file loads, so each case fails for its own field.
  const std::string path = dir_.File("good.dat");
  WriteFile(path, "0003" + kLine1 + kLine3 + kLine2);
  CVuzurTable table;
  EXPECT_EQ(table.LoadFrom(path, 0), 0);
}

TEST_F(TableFileTest, MalformedCountFailsTheLoad) {
  struct Case {
    const char* name;
    std::string bytes;
    long result;
  };
  const Case cases[] = {
      {"negative count", "-001" + kLine1, kCauseBadFormat},
      {"letters", "abcd" + kLine1, kCauseBadFormat},
      {"blank count", "    " + kLine1, kCauseBadFormat},
      {"empty file", "", kCauseEndOfFile},
      {"cut count", "00", kCauseEndOfFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.File("count.dat");
    WriteFile(path, c.bytes);
    CVuzurTable table;
    Prefill(table);
    EXPECT_EQ(table.LoadFrom(path, 0), c.result);
    EXPECT_EQ(table.GetRecordCount(), 0);
  }
}

// Refuses every row after the first `allowed`.
class RefusingTable : public CVuzurTable {
 public:
  explicit RefusingTable(int allowed) : allowed_(allowed) {}
  using CVuzurTable::AppendBlankRecord;
  long AppendBlankRecord(CDateBkRecord& record) override {
    if (allowed_ <= 0) return kTblBadValue;
    --allowed_;
    return CVuzurTable::AppendBlankRecord(record);
  }

 private:
  int allowed_;
};

TEST_F(TableFileTest, RefusedRowFailsTheLoad) {
  const std::string path = dir_.File("three.dat");
  WriteFile(path, "0003" + kLine1 + kLine2 + kLine3);
  RefusingTable table(2);
  const long result = table.LoadFrom(path, 0);
  EXPECT_NE(result, 0);
  EXPECT_NE(result, kTblFileMissing);
  EXPECT_EQ(Ids(table), (std::vector<RecordId>{1, 2}));
  RefusingTable roomy(3);
  EXPECT_EQ(roomy.LoadFrom(path, 0), 0);
}

TEST_F(TableFileTest, MissingFileLeavesTheTableAlone) {
  CVuzurTable table;
  Prefill(table);
  EXPECT_EQ(table.LoadFrom(dir_.File("absent.dat"), 0), kTblFileMissing);
  EXPECT_EQ(table.LoadFrom(dir_.File("no/such/dir.dat"), 0), kTblFileMissing);
  EXPECT_EQ(Ids(table), (std::vector<RecordId>{0x901, 0x902}));
}

TEST_F(TableFileTest, UnopenableFileFailsAndLeavesTheTableAlone) {
  const std::string readOnly = dir_.File("readonly.dat");
  WriteFile(readOnly, "0001" + kLine1);
  // Root opens files without write bits; only a file system with an immutable flag stops it.
  const bool readOnlyMade = MakeReadOnly(readOnly);

  const std::string held = dir_.File("held.dat");
  WriteFile(held, "0001" + kLine1);
  CFile holder;
  int32_t cause = 0;
  ASSERT_TRUE(holder.Open(held, CFile::modeReadWrite | CFile::shareDenyWrite, &cause));

  const std::string directory = dir_.File("subdir");
  std::filesystem::create_directory(directory);

  std::vector<std::string> paths = {held, directory};
  if (readOnlyMade) paths.push_back(readOnly);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    CVuzurTable table;
    Prefill(table);
    const long result = table.LoadFrom(path, 0);
    EXPECT_NE(result, 0);
    EXPECT_NE(result, kTblFileMissing);
    EXPECT_EQ(Ids(table), (std::vector<RecordId>{0x901, 0x902}));
  }
  holder.Close();
  CVuzurTable table;
  EXPECT_EQ(table.LoadFrom(held, 0), 0);
  EXPECT_EQ(Ids(table), std::vector<RecordId>{1});
  if (!readOnlyMade) GTEST_SKIP() << "this file system cannot make a file read-only for root";
}

// ---------------------------------------------------------------------------------------------
// Saving

TEST_F(TableFileTest, EmptyTableSavesAsZeroCount) {
  const std::string path = dir_.File("empty.dat");
  CVuzurTable table;
  ASSERT_EQ(table.SaveTo(path), 0);
  EXPECT_EQ(ReadFile(path), "0000");
  CVuzurTable loaded;
  AddRow(loaded, 5, 5, "x");
  EXPECT_EQ(loaded.LoadFrom(path, 0), 0);
  EXPECT_EQ(loaded.GetRecordCount(), 0);
}

TEST_F(TableFileTest, SavesEveryRowAndDropsPurgedOnes) {
  const std::string path = dir_.File("save.dat");
  CVuzurTable table;
  AddRow(table, 1, 11, "First");
  AddRow(table, 2, 22, "Gone", kStatusDeleted);
  AddRow(table, 3, 33, "Third", kStatusModified);
  ASSERT_EQ(table.SaveTo(path), 0);
  EXPECT_EQ(ReadFile(path), "0003" + kLine1 + Line("00000002", "0022", "Gone", '2') + kLine3);

  ASSERT_EQ(table.PurgeDeletedRecords(), 0);
  ASSERT_EQ(table.SaveTo(path), 0);
  EXPECT_EQ(ReadFile(path), "0002" + kLine1 + kLine3);
}

TEST_F(TableFileTest, SavedTableLoadsBackInOrder) {
  for (const char* zoneName : {"America/New_York", "Europe/Berlin"}) {
    SCOPED_TRACE(zoneName);
    ScopedTimeZone zone(zoneName);
    const std::string path = dir_.File("roundtrip.dat");
    CVuzurTable table;
    const int32_t statuses[] = {kStatusNone, kStatusAdded, kStatusDeleted, kStatusModified};
    for (int i = 0; i < 40; ++i) {
      AddRow(table, 1000 - i, i * 7, "Event " + std::to_string(i) + std::string(i % 15 * 3, '.'),
             statuses[i % 4]);
      CVuzurRecord r(table, 0);
      CBaseIterator it(table);
      ASSERT_EQ(it.FindFirst(r, 0), 0);
      for (int k = 0; k < i; ++k) ASSERT_EQ(it.FindNext(r, 0), 0);
      r.SetNote(i % 3 == 0 ? "" : "note\r\nline " + std::to_string(i));
      r.SetStartTime(kNy19980305_0930 + i * 86400 * 5);  // over summer time and back
      r.SetEndTime(kNy19980305_0930 + i * 86400 * 5 + 3600);
      if (i % 5 == 0) {
        r.SetUnTimedFlag(1);
        const int32_t midnight =
            static_cast<int32_t>(velqor::platform::LocalMidnight(kNy19980305_0930 + i * 432000));
        r.SetStartTime(midnight);
        r.SetEndTime(midnight);
      }
      if (i % 4 == 1) {
        r.SetAlarmFlag(1);
        r.SetAlarmAdvTime(i);
        r.SetAlarmAdvUnit(i % 3);
      }
    }
    ASSERT_EQ(table.SaveTo(path), 0);
    CVuzurTable loaded;
    ASSERT_EQ(loaded.LoadFrom(path, 0), 0);
    ASSERT_EQ(loaded.GetRecordCount(), table.GetRecordCount());
    CVuzurRecord a(table, 0), b(loaded, 0);
    CBaseIterator ia(table), ib(loaded);
    long ra = ia.FindFirst(a, 0), rb = ib.FindFirst(b, 0);
    for (int i = 0; ra == 0 && rb == 0; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(a.IsEqual(b), 1);
      RecordId ida = 0, idb = 1;
      int32_t ha = 0, hb = 1, sa = 0, sb = 1;
      a.GetRecordId(ida);
      b.GetRecordId(idb);
      a.GetHostNumber(ha);
      b.GetHostNumber(hb);
      a.GetStatus(sa);
      b.GetStatus(sb);
      EXPECT_EQ(ida, idb);
      EXPECT_EQ(ha, hb);
      EXPECT_EQ(sa, sb);
      ra = ia.FindNext(a, 0);
      rb = ib.FindNext(b, 0);
    }
    EXPECT_NE(ra, 0);
    EXPECT_NE(rb, 0);
    // A second save of the loaded table writes the same bytes.
    const std::string first = ReadFile(path);
    ASSERT_EQ(loaded.SaveTo(path), 0);
    EXPECT_EQ(ReadFile(path), first);
  }
}

TEST_F(TableFileTest, RefusedSaveLeavesTheOldFileWhole) {
  struct Case {
    const char* name;
    std::function<void(CVuzurTable&)> fill;
  };
  const Case cases[] = {
      {"host number above 9999", [](CVuzurTable& t) { AddRow(t, 1, 10000, "x"); }},
      {"negative host number", [](CVuzurTable& t) { AddRow(t, 1, -3, "x"); }},
      {"text too long", [](CVuzurTable& t) { AddRow(t, 1, 1, std::string(12000, 'x')); }},
      {"bad record after good ones",
       [](CVuzurTable& t) {
         AddRow(t, 1, 1, "fine");
         AddRow(t, 2, 2, std::string(5000, 'y'));
         AddRow(t, 3, 12345, "host too wide");
       }},
      {"more than 9999 records",
       [](CVuzurTable& t) {
         for (int i = 0; i < 10000; ++i) AddRow(t, i, 1, "");
       }},
  };
  const std::string path = dir_.File("keep.dat");
  CVuzurTable good;
  AddRow(good, 7, 77, "keep me");
  ASSERT_EQ(good.SaveTo(path), 0);
  const std::string before = ReadFile(path);
  ASSERT_EQ(before, "0001" + Line("00000007", "0077", "keep me"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CVuzurTable table;
    c.fill(table);
    EXPECT_NE(table.SaveTo(path), 0);
    EXPECT_EQ(ReadFile(path), before);
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path.substr(0, path.rfind('/')))) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 1u) << "a temporary file was left behind";
  }
  // 9999 records still fit.
  CVuzurTable full;
  for (int i = 0; i < 9999; ++i) AddRow(full, i, 1, "");
  ASSERT_EQ(full.SaveTo(path), 0);
  EXPECT_EQ(ReadFile(path).substr(0, 4), "9999");
}

}  // namespace
