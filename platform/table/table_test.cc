#include "platform/table/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/testing/table_support.h"
#include "platform/testing/test_support.h"

namespace table_test {
namespace {

using velqor::test_support::Local;
using velqor::test_support::ScopedTimeZone;
using velqor::test_support::WideTable;

// A layout whose description field has a code the library does not know, and whose start
// time is a text: the description is missing from every row, the start time of another type.
class OddSchema : public CDateBkSchema {
 public:
  long DefineFields() override {
    CDateBkSchema::DefineFields();
    m_fieldTypes[kFldDescription] = 99;
    m_fieldTypes[kFldStartTime] = kFieldText;
    return 0;
  }
};

class OddTable : public CDateBkTable {
 public:
  OddTable() {
    SetSchema(new OddSchema);
    m_pSchema->DefineFields();
  }
};

// Appends a row with the given ID, status and category and a description naming it.
void AddRow(CDateBkTable& table, RecordId id, int32_t status, int32_t category,
            const std::string& name) {
  CDateBkRecord r(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
  ASSERT_EQ(r.SetRecordId(id), kTblOk);
  ASSERT_EQ(r.SetStatus(status), kTblOk);
  ASSERT_EQ(r.SetCategoryId(category), kTblOk);
  ASSERT_EQ(r.SetDescription(name), kTblOk);
}

std::string Walk(CBaseIterator& it, CDateBkTable& table) {
  CDateBkRecord r(table, 0);
  std::string names;
  for (long s = it.FindFirst(r); s == kTblOk; s = it.FindNext(r)) {
    std::string d;
    r.GetDescription(d);
    names += d;
  }
  return names;
}

// Sets every property of a record to a value derived from `seed`.
void Fill(CDateBkRecord& r, int seed) {
  ASSERT_EQ(r.SetRecordId(1000 + seed), kTblOk);
  ASSERT_EQ(r.SetStatus(kStatusModified), kTblOk);
  ASSERT_EQ(r.SetCategoryId(seed % 16), kTblOk);
  ASSERT_EQ(r.SetStartTime(900000000 + seed), kTblOk);
  ASSERT_EQ(r.SetEndTime(900003600 + seed), kTblOk);
  ASSERT_EQ(r.SetDescription("Meeting " + std::to_string(seed)), kTblOk);
  ASSERT_EQ(r.SetAlarmAdvTime(10 + seed), kTblOk);
  ASSERT_EQ(r.SetNote("line one\r\nline two"), kTblOk);
  ASSERT_EQ(r.SetUnTimedFlag(1), kTblOk);
  ASSERT_EQ(r.SetAlarmFlag(1), kTblOk);
  ASSERT_EQ(r.SetPrivate(1), kTblOk);
  ASSERT_EQ(r.SetAlarmAdvUnit(kAlarmHours), kTblOk);
  ASSERT_EQ(r.SetRepWeekly(CWeekly(0x2A, 2, -1, kMonday)), kTblOk);
  ASSERT_EQ(r.AddException(900000000 + 7 * 86400), kTblOk);
  ASSERT_EQ(r.SetArchiveBit(1), kTblOk);
}

// Changes the value of field `index` of the record's row, whatever its type.
void Mutate(CBaseRecord& r, int index) {
  CBaseField* f = r.GetField(index);
  ASSERT_NE(f, nullptr);
  if (auto* n = dynamic_cast<CIntegerField*>(f)) {
    int32_t v = 0;
    n->GetValue(v);
    n->SetValue(v + 1);
  } else if (auto* b = dynamic_cast<CBooleanField*>(f)) {
    b->Set(!b->Get());
  } else if (auto* t = dynamic_cast<CTextField*>(f)) {
    t->Set(t->Get() + "!");
  } else if (auto* rep = dynamic_cast<CRepeatField*>(f)) {
    rep->exceptions.push_back(12345);
  } else {
    FAIL() << "field " << index << " of no known type";
  }
}

// ---------------------------------------------------------------------------------------------
// Schemas, fields and blank rows

TEST(TableLibSchemaTest, DateBookSchemaLaysOutFifteenTypedFields) {
  CDateBkSchema schema;
  EXPECT_EQ(schema.DefineFields(), 0);
  const uint16_t expected[] = {1, 1, 1, 3, 1, 5, 1, 5, 6, 6, 1, 6, 1, 1, 8};
  ASSERT_EQ(schema.GetFieldCount(), 15);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(schema.GetFieldType(i), expected[i]) << i;
  EXPECT_EQ(schema.GetFieldType(15), 0);
  EXPECT_EQ(schema.GetFieldType(-1), 0);
  EXPECT_EQ(schema.RecordIdField(), 0);
  EXPECT_EQ(schema.StatusField(), 1);
  EXPECT_EQ(schema.PrivateField(), 10);
  EXPECT_EQ(schema.CategoryField(), 2);
  EXPECT_EQ(schema.DefineFields(), 0);  // defining again does not grow the list
  EXPECT_EQ(schema.GetFieldCount(), 15);
  EXPECT_EQ(schema.GetFieldType(15), 0);
}

TEST(TableLibSchemaTest, FieldsAreMadeFromTheirCodesAndCompareOnlyWithTheirOwnType) {
  for (uint16_t code : {kFieldInteger, kFieldTime, kFieldText, kFieldBoolean, kFieldRepeat}) {
    auto a = CreateField(code);
    ASSERT_NE(a, nullptr) << code;
    EXPECT_EQ(a->GetType(), code);
    auto b = a->Clone();
    EXPECT_EQ(b->GetType(), code);
    EXPECT_EQ(a->Compare(*b), 0);
  }
  for (uint16_t code : {0, 2, 4, 7, 9, 0xFFFF}) EXPECT_EQ(CreateField(code), nullptr) << code;

  CIntegerField number(5);
  CTimeField time(5);
  EXPECT_NE(number.Compare(time), 0);  // same value, another type
  EXPECT_FALSE(number.CopyFrom(time));
  CIntegerField other(6);
  EXPECT_NE(number.Compare(other), 0);
  EXPECT_TRUE(number.CopyFrom(other));
  EXPECT_EQ(number.Compare(other), 0);
  int32_t v = 0;
  EXPECT_EQ(number.GetValue(v), 0);
  EXPECT_EQ(v, 6);

  CRepeatField r1, r2;
  r1.exceptions = {3, 1, 2};
  r2.exceptions = {1, 2, 3};
  EXPECT_EQ(r1.Compare(r2), 0);  // the same days, added in another order
  r2.exceptions = {1, 2};
  EXPECT_NE(r1.Compare(r2), 0);
}

TEST(TableLibRecordTest, ABlankRowHoldsDefaultsAndPositionsTheRecord) {
  CDateBkTable table;
  CDateBkRecord r(table, 0);
  EXPECT_FALSE(r.IsPositioned());
  ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
  EXPECT_TRUE(r.IsPositioned());
  EXPECT_EQ(table.GetRecordCount(), 1);

  RecordId id = 99;
  int32_t status = 9, category = 9, start = 9, end = 9, advance = 9, unit = 9, count = 9;
  std::string description = "x", note = "x";
  EXPECT_EQ(r.GetRecordId(id), kTblOk);
  EXPECT_EQ(r.GetStatus(status), kTblOk);
  EXPECT_EQ(r.GetCategoryId(category), kTblOk);
  EXPECT_EQ(r.GetStartTime(start), kTblOk);
  EXPECT_EQ(r.GetEndTime(end), kTblOk);
  EXPECT_EQ(r.GetAlarmAdvTime(advance), kTblOk);
  EXPECT_EQ(r.GetAlarmAdvUnit(unit), kTblOk);
  EXPECT_EQ(r.GetDescription(description), kTblOk);
  EXPECT_EQ(r.GetNote(note), kTblOk);
  EXPECT_EQ(r.GetNumExceptions(count), kTblOk);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(category, 0);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, 0);
  EXPECT_EQ(advance, 0);
  EXPECT_EQ(unit, 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(description, "");
  EXPECT_EQ(note, "");
  EXPECT_EQ(r.IsNote(), 0);
  EXPECT_EQ(r.IsPrivate(), 0);
  EXPECT_EQ(r.IsUnTimed(), 0);
  EXPECT_EQ(r.IsAlarmSet(), 0);
  EXPECT_EQ(r.IsRepeatingEvt(), 0);
  EXPECT_EQ(r.IsArchived(), 0);
  CRepeateDayInfo info;
  EXPECT_EQ(r.GetRepeateInfo(info), kTblBadValue);  // a single event has no rule
}

TEST(TableLibRecordTest, PropertiesReadBackAsWritten) {
  CDateBkTable table;
  CDateBkRecord r(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
  ASSERT_NO_FATAL_FAILURE(Fill(r, 3));
  RecordId id = 0;
  int32_t v = 0;
  std::string text;
  EXPECT_EQ(r.GetRecordId(id), kTblOk);
  EXPECT_EQ(id, 1003u);
  EXPECT_EQ(r.GetCategoryId(v), kTblOk);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(r.GetStartTime(v), kTblOk);
  EXPECT_EQ(v, 900000003);
  EXPECT_EQ(r.GetEndTime(v), kTblOk);
  EXPECT_EQ(v, 900003603);
  EXPECT_EQ(r.GetAlarmAdvTime(v), kTblOk);
  EXPECT_EQ(v, 13);
  EXPECT_EQ(r.GetAlarmAdvUnit(v), kTblOk);
  EXPECT_EQ(v, kAlarmHours);
  EXPECT_EQ(r.GetDescription(text), kTblOk);
  EXPECT_EQ(text, "Meeting 3");
  EXPECT_EQ(r.GetNote(text), kTblOk);
  EXPECT_EQ(text, "line one\r\nline two");
  EXPECT_EQ(r.IsNote(), 1);
  EXPECT_EQ(r.IsUnTimed(), 1);
  EXPECT_EQ(r.IsAlarmSet(), 1);
  EXPECT_EQ(r.IsPrivate(), 1);
  EXPECT_EQ(r.IsModified(), 1);
  EXPECT_EQ(r.IsArchived(), 1);
  EXPECT_EQ(r.IsRepeatingEvt(), 1);
  CRepeateDayInfo info;
  ASSERT_EQ(r.GetRepeateInfo(info), kTblOk);
  EXPECT_EQ(info.GetMyBrand(), kRepeatWeekly);
  EXPECT_EQ(info.GetInterval(), 2);
  EXPECT_EQ(info.GetWeekDayMask(), 0x2A);
  EXPECT_EQ(info.GetFirstDayOfWeek(), kMonday);
  EXPECT_EQ(info.GetEndDate(), maxDate());
  // The record ID is unsigned all the way.
  EXPECT_EQ(r.SetRecordId(0xFFFFFFF0u), kTblOk);
  EXPECT_EQ(r.GetRecordId(id), kTblOk);
  EXPECT_EQ(id, 0xFFFFFFF0u);
}

TEST(TableLibRecordTest, ValuesAFieldCannotTakeAreRefused) {
  CDateBkTable table;
  CDateBkRecord r(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
  for (int32_t unit : {0, 1, 2}) EXPECT_EQ(r.SetAlarmAdvUnit(unit), kTblOk) << unit;
  for (int32_t unit : {-1, 3, 255}) {
    EXPECT_EQ(r.SetAlarmAdvUnit(unit), kTblBadValue) << unit;
    int32_t v = -9;
    r.GetAlarmAdvUnit(v);
    EXPECT_EQ(v, 2) << "a refused unit leaves the old one";
  }
  EXPECT_EQ(r.SetAlarmAdvTime(-1), kTblOk);  // "no alarm advance" is a value like any other
  EXPECT_EQ(r.SetDescription(std::string(kMaxTextLength, 'a')), kTblOk);
  EXPECT_EQ(r.SetNote(std::string(kMaxTextLength + 1, 'a')), kTblBadValue);
  EXPECT_EQ(r.IsNote(), 0);
}

TEST(TableLibRecordTest, AccessorsReportAnUnpositionedRecordAndMissingFields) {
  CDateBkTable table;
  CDateBkRecord nowhere(table, 0);
  int32_t v = 42;
  RecordId id = 42;
  std::string text = "kept";
  CRepeateDayInfo info;
  const std::vector<std::pair<const char*, std::function<long()>>> calls = {
      {"GetRecordId", [&] { return nowhere.GetRecordId(id); }},
      {"SetRecordId", [&] { return nowhere.SetRecordId(1); }},
      {"GetStatus", [&] { return nowhere.GetStatus(v); }},
      {"SetStatus", [&] { return nowhere.SetStatus(1); }},
      {"GetCategoryId", [&] { return nowhere.GetCategoryId(v); }},
      {"SetArchiveBit", [&] { return nowhere.SetArchiveBit(1); }},
      {"GetStartTime", [&] { return nowhere.GetStartTime(v); }},
      {"SetEndTime", [&] { return nowhere.SetEndTime(1); }},
      {"SetAlarmAdvUnit", [&] { return nowhere.SetAlarmAdvUnit(1); }},
      {"GetDescription", [&] { return nowhere.GetDescription(text); }},
      {"SetNote", [&] { return nowhere.SetNote("x"); }},
      {"StopRepeatingEvt", [&] { return nowhere.StopRepeatingEvt(); }},
      {"GetRepeateInfo", [&] { return nowhere.GetRepeateInfo(info); }},
      {"SetRepDaily", [&] { return nowhere.SetRepDaily(CDayName(0, 1, -1, 0)); }},
      {"AddException", [&] { return nowhere.AddException(0); }},
      {"GetNumExceptions", [&] { return nowhere.GetNumExceptions(v); }},
      {"FindFirstException", [&] { return nowhere.FindFirstException(v); }},
      {"CalcNextOccurrance", [&] { return nowhere.CalcNextOccurrance(0, v); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), kTblNotPositioned) << name;
  EXPECT_EQ(v, 42);
  EXPECT_EQ(id, 42u);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(nowhere.IsDeleted() + nowhere.IsArchived() + nowhere.IsPrivate() +
                nowhere.IsRepeatingEvt() + nowhere.IsException(0) + nowhere.IsNote(),
            0);
  EXPECT_EQ(nowhere.IsEqual(nowhere), 0);

  OddTable odd;
  CDateBkRecord r(odd, 0);
  ASSERT_EQ(odd.AppendBlankRecord(r), kTblOk);
  EXPECT_EQ(r.GetField(kFldDescription), nullptr);
  EXPECT_EQ(r.GetDescription(text), kTblNoField);
  EXPECT_EQ(r.SetDescription("x"), kTblNoField);
  EXPECT_EQ(r.GetStartTime(v), kTblWrongFieldType);
  EXPECT_EQ(r.GetField(-1), nullptr);
  EXPECT_EQ(r.GetField(15), nullptr);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(r.IsEqual(r), 0);  // a missing field is a difference, even with itself
}

TEST(TableLibRecordTest, AppendsRefuseRecordsOfAnotherTable) {
  CDateBkTable a, b;
  CDateBkRecord onA(a, 0), onB(b, 0);
  EXPECT_EQ(a.AppendBlankRecord(onB), kTblWrongTable);
  ASSERT_EQ(a.AppendBlankRecord(onA), kTblOk);
  EXPECT_EQ(a.AppendDuplicateRecord(onA, onB, 1), kTblWrongTable);
  CDateBkRecord unpositioned(a, 0);
  EXPECT_EQ(b.AppendDuplicateRecord(unpositioned, onB, 1), kTblNotPositioned);
  EXPECT_EQ(a.GetRecordCount(), 1);
  EXPECT_EQ(b.GetRecordCount(), 0);
  CBaseTable bare;  // no schema: nothing to lay a row out by
  CBaseRecord onBare(bare, 0);
  EXPECT_EQ(bare.AppendBlankRecord(onBare), kTblNoSchema);
}

// ---------------------------------------------------------------------------------------------
// Status and archive mark

TEST(TableLibStatusTest, EachPredicateHoldsForExactlyItsValue) {
  CDateBkTable table;
  CDateBkRecord r(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
  struct Case {
    int32_t status;
    int added, modified, deleted, pending;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0},  {1, 1, 0, 0, 0},  {2, 0, 1, 0, 0},  {3, 0, 0, 0, 0},
      {4, 0, 0, 1, 0},  {5, 0, 0, 0, 0},  {6, 0, 0, 0, 0},  {8, 0, 0, 0, 1},
      {12, 0, 0, 0, 0}, {16, 0, 0, 0, 0}, {-4, 0, 0, 0, 0}, {0x104, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    ASSERT_EQ(r.SetStatus(c.status), kTblOk);
    int32_t back = -99;
    EXPECT_EQ(r.GetStatus(back), kTblOk);
    EXPECT_EQ(back, c.status);
    EXPECT_EQ(r.IsAdded(), c.added);
    EXPECT_EQ(r.IsModified(), c.modified);
    EXPECT_EQ(r.IsDeleted(), c.deleted);
    EXPECT_EQ(r.IsPending(), c.pending);
    EXPECT_EQ(r.IsArchived(), 0);
  }
}

TEST(TableLibStatusTest, TheArchiveMarkIsApartFromTheStatus) {
  CDateBkTable table;
  CDateBkRecord r(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
  ASSERT_EQ(r.SetStatus(kStatusDeleted), kTblOk);
  ASSERT_EQ(r.SetArchiveBit(1), kTblOk);
  EXPECT_EQ(r.IsArchived(), 1);
  EXPECT_EQ(r.IsDeleted(), 1);
  ASSERT_EQ(r.SetStatus(kStatusNone), kTblOk);
  EXPECT_EQ(r.IsArchived(), 1);
  ASSERT_EQ(r.SetArchiveBit(0), kTblOk);
  EXPECT_EQ(r.IsArchived(), 0);
  int32_t status = -1;
  r.GetStatus(status);
  EXPECT_EQ(status, 0);
}

TEST(TableLibStatusTest, PurgingDeletedRowsKeepsTheOthersInOrder) {
  CDateBkTable table;
  AddRow(table, 1, kStatusDeleted, 0, "a");
  AddRow(table, 2, kStatusNone, 0, "b");
  AddRow(table, 3, kStatusDeleted | kStatusModified, 0, "c");  // 6 is not "deleted"
  AddRow(table, 4, kStatusDeleted, 0, "d");
  AddRow(table, 5, kStatusPending, 0, "e");
  {
    // An archived row is purged for its status, not kept for its mark, and the reverse.
    CDateBkRecord r(table, 0);
    CBaseIterator it(table);
    ASSERT_EQ(it.FindFirst(r), kTblOk);
    r.SetArchiveBit(1);
    ASSERT_EQ(it.FindNext(r), kTblOk);
    r.SetArchiveBit(1);
  }
  EXPECT_EQ(table.PurgeDeletedRecords(), kTblOk);
  CBaseIterator it(table);
  EXPECT_EQ(Walk(it, table), "bce");
  CDateBkRecord r(table, 0);
  ASSERT_EQ(it.FindFirst(r), kTblOk);
  EXPECT_EQ(r.IsArchived(), 1);
  EXPECT_EQ(table.PurgeDeletedRecords(), kTblOk);
  EXPECT_EQ(table.GetRecordCount(), 3);
}

TEST(TableLibStatusTest, PurgingAllOrDestroyingEmptiesTheRowsButKeepsCategories) {
  for (int destroy = 0; destroy < 2; ++destroy) {
    CDateBkTable table;
    table.GetCategoryManager()->Add(new CCategory(10, 1, "Work"));
    AddRow(table, 1, 0, 1, "a");
    AddRow(table, 2, 4, 1, "b");
    EXPECT_EQ(destroy ? table.DestroyAllFields() : table.PurgeAllRecords(), kTblOk);
    EXPECT_EQ(table.GetRecordCount(), 0);
    EXPECT_EQ(table.GetCategoryManager()->GetCount(), 1);
    CDateBkRecord r(table, 0);
    CBaseIterator it(table);
    EXPECT_EQ(it.FindFirst(r), kTblEndOfTable);
    AddRow(table, 3, 0, 1, "c");  // the table is usable again
    EXPECT_EQ(Walk(it, table), "c");
  }
}

TEST(TableLibStatusTest, CursorsOnDroppedRowsAreLeftOnNoRow) {
  CDateBkTable table;
  AddRow(table, 1, 0, 0, "a");
  AddRow(table, 2, kStatusDeleted, 0, "b");
  AddRow(table, 3, 0, 0, "c");
  CDateBkRecord onA(table, 0), onB(table, 0);
  CBaseIterator it(table);
  ASSERT_EQ(it.FindFirst(onA), kTblOk);
  ASSERT_EQ(it.FindNext(onB), kTblOk);  // the walk stands on b, next is c
  CDateBkRecord copyOfB(onB);
  ASSERT_EQ(table.PurgeDeletedRecords(), kTblOk);

  std::string d;
  EXPECT_EQ(onB.GetDescription(d), kTblNotPositioned);
  EXPECT_EQ(copyOfB.GetDescription(d), kTblNotPositioned);
  EXPECT_EQ(onA.GetDescription(d), kTblOk);
  EXPECT_EQ(d, "a");
  int32_t position = -1;
  EXPECT_EQ(it.GetCurrentRowPosition(position), kTblEndOfTable);
  ASSERT_EQ(it.FindNext(onB), kTblOk);  // the walk goes on with c
  onB.GetDescription(d);
  EXPECT_EQ(d, "c");
  EXPECT_EQ(it.GetCurrentRowPosition(position), kTblOk);
  EXPECT_EQ(position, 1);
}

TEST(TableLibStatusTest, RecordsAndIteratorsMayOutliveTheirTable) {
  auto table = std::make_unique<CDateBkTable>();
  AddRow(*table, 1, 0, 0, "a");
  CDateBkRecord r(*table, 0);
  CBaseIterator it(*table);
  ASSERT_EQ(it.FindFirst(r), kTblOk);
  table.reset();
  std::string d;
  EXPECT_EQ(r.GetDescription(d), kTblNotPositioned);
  EXPECT_EQ(it.FindNext(r), kTblEndOfTable);
  EXPECT_EQ(it.SortByRecordId(), kTblNoSchema);
}

// ---------------------------------------------------------------------------------------------
// Copies, equality and assignment

TEST(TableLibCopyTest, EveryFieldTakesPartInEqualityAndAssignment) {
  CDateBkTable table;
  CDateBkRecord a(table, 0), b(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(a), kTblOk);
  ASSERT_NO_FATAL_FAILURE(Fill(a, 5));
  ASSERT_EQ(table.AppendBlankRecord(b), kTblOk);
  EXPECT_EQ(a.IsEqual(b), 0);
  ASSERT_EQ(b.Assign(a), kTblOk);
  ASSERT_EQ(a.IsEqual(b), 1);
  EXPECT_EQ(b.IsArchived(), 0) << "the archive mark is no field";

  for (int i = 0; i < kDateBookFieldCount; ++i) {
    SCOPED_TRACE(i);
    ASSERT_NO_FATAL_FAILURE(Mutate(b, i));
    EXPECT_EQ(a.IsEqual(b), 0);
    EXPECT_EQ(b.IsEqual(a), 0);
    ASSERT_EQ(b.Assign(a), kTblOk);
    EXPECT_EQ(a.IsEqual(b), 1);
  }
  CDateBkRecord nowhere(table, 0);
  EXPECT_EQ(b.Assign(nowhere), kTblNotPositioned);
  EXPECT_EQ(nowhere.Assign(a), kTblNotPositioned);
  EXPECT_EQ(a.Assign(a), kTblOk);
}

TEST(TableLibCopyTest, AssignCopiesTheExtraFieldBetweenWideRows) {
  WideTable table;
  CDateBkRecord a(table, 0), b(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(a), kTblOk);
  ASSERT_EQ(table.AppendBlankRecord(b), kTblOk);
  static_cast<CIntegerField*>(a.GetField(15))->SetValue(777);
  ASSERT_EQ(b.Assign(a), kTblOk);
  int32_t v = 0;
  static_cast<CIntegerField*>(b.GetField(15))->GetValue(v);
  EXPECT_EQ(v, 777);
}

TEST(TableLibCopyTest, DuplicatesCrossTablesOfOtherWidthsAsFarAsBothGo) {
  CDateBkTable narrow;
  WideTable wide;
  CDateBkRecord n(narrow, 0), w(wide, 0);
  ASSERT_EQ(wide.AppendBlankRecord(w), kTblOk);
  ASSERT_NO_FATAL_FAILURE(Fill(w, 9));
  static_cast<CIntegerField*>(w.GetField(15))->SetValue(4242);

  // Wide to narrow: the first fifteen fields and the archive mark.
  CDateBkRecord target(narrow, 0);
  ASSERT_EQ(narrow.AppendDuplicateRecord(w, target, 1), kTblOk);
  EXPECT_EQ(narrow.GetRecordCount(), 1);
  ASSERT_EQ(target.GetRow()->fields.size(), 15u);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(target.GetField(i)->Compare(*w.GetField(i)), 0) << i;
  }
  EXPECT_EQ(target.IsArchived(), 1);

  // Narrow back to wide: the extra field starts at its default.
  CDateBkRecord back(wide, 0);
  ASSERT_EQ(wide.AppendDuplicateRecord(target, back, 1), kTblOk);
  int32_t extra = -1;
  static_cast<CIntegerField*>(back.GetField(15))->GetValue(extra);
  EXPECT_EQ(extra, 0);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(back.GetField(i)->Compare(*w.GetField(i)), 0) << i;

  // A row duplicated into its own table is a separate row.
  CDateBkRecord twin(wide, 0);
  ASSERT_EQ(wide.AppendDuplicateRecord(w, twin, 1), kTblOk);
  EXPECT_EQ(twin.IsEqual(w), 1);
  twin.SetDescription("changed");
  EXPECT_EQ(twin.IsEqual(w), 0);
  EXPECT_EQ(wide.GetRecordCount(), 3);
}

TEST(TableLibCopyTest, AFieldOfAnotherTypeKeepsItsDefaultInADuplicate) {
  CDateBkTable plain;
  OddTable odd;
  CDateBkRecord p(plain, 0), o(odd, 0);
  ASSERT_EQ(plain.AppendBlankRecord(p), kTblOk);
  ASSERT_NO_FATAL_FAILURE(Fill(p, 1));
  ASSERT_EQ(odd.AppendDuplicateRecord(p, o, 1), kTblOk);
  // The start time is a text in this layout: the source's time does not reach it.
  EXPECT_EQ(static_cast<CTextField*>(o.GetField(kFldStartTime))->Get(), "");
  std::string note;
  o.GetNote(note);
  EXPECT_EQ(note, "line one\r\nline two");
  EXPECT_EQ(o.Assign(p), kTblWrongFieldType);  // copied all it could, and says so
  o.GetNote(note);
  EXPECT_EQ(note, "line one\r\nline two");
}

// ---------------------------------------------------------------------------------------------
// Iterators

class TableLibIteratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Name, ID, status, category.
    AddRow(table_, 3, 4, 2, "a");
    AddRow(table_, 1, 0, 2, "b");
    AddRow(table_, 3, 1, 0, "c");
    AddRow(table_, 2, 0, 1, "d");
    AddRow(table_, 0x80000001u, 0, 1, "e");
  }
  CDateBkTable table_;
};

TEST_F(TableLibIteratorTest, TheNaturalWalkIsTheLiveAppendOrder) {
  CBaseIterator it(table_);
  CDateBkRecord r(table_, 0);
  ASSERT_EQ(it.FindFirst(r), kTblOk);
  AddRow(table_, 9, 0, 0, "f");  // appended during the walk: still visited
  std::string names = "a";
  while (it.FindNext(r) == kTblOk) {
    std::string d;
    r.GetDescription(d);
    names += d;
  }
  EXPECT_EQ(names, "abcdef");
  EXPECT_EQ(it.FindNext(r), kTblEndOfTable);
  std::string d;
  r.GetDescription(d);
  EXPECT_EQ(d, "f") << "a failed find leaves the record where it was";
  CDateBkTable empty;
  CDateBkRecord e(empty, 0);
  CBaseIterator none(empty);
  EXPECT_EQ(none.FindFirst(e), kTblEndOfTable);
  EXPECT_EQ(none.FindNext(e), kTblEndOfTable);
  EXPECT_EQ(none.FindFirst(r), kTblWrongTable);
}

TEST_F(TableLibIteratorTest, SortsAreStableAndUnSortRestoresTheAppendOrder) {
  struct Case {
    const char* name;
    long (CBaseIterator::*sort)();
    const char* order;
  };
  const Case cases[] = {
      {"by ID", &CBaseIterator::SortByRecordId, "bdace"},
      {"by status", &CBaseIterator::SortByRecordStatus,
       "bdec"
       "a"},
      {"by category", &CBaseIterator::SortByCatId, "cdeab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CBaseIterator it(table_);
    ASSERT_EQ((it.*c.sort)(), kTblOk);
    EXPECT_EQ(Walk(it, table_), c.order);
    EXPECT_EQ(it.UnSort(), kTblOk);
    EXPECT_EQ(Walk(it, table_), "abcde");
  }
}

TEST(TableLibSortTest, EqualKeysKeepTheAppendOrderInLargeTables) {
  // Enough rows that an unstable sort would mix equal keys.
  CDateBkTable table;
  const int kRows = 200;
  for (int i = 0; i < kRows; ++i) {
    CDateBkRecord r(table, 0);
    ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
    r.SetRecordId(static_cast<RecordId>((i * 7) % 5));
    r.SetStatus((i * 3) % 4);
    r.SetCategoryId((i * 11) % 6);
    r.SetAlarmAdvTime(i);  // the append position
  }
  for (auto sort : {&CBaseIterator::SortByRecordId, &CBaseIterator::SortByRecordStatus,
                    &CBaseIterator::SortByCatId}) {
    CBaseIterator it(table);
    ASSERT_EQ((it.*sort)(), kTblOk);
    CDateBkRecord r(table, 0);
    int64_t lastKey = -1;
    int32_t lastPosition = -1;
    int visited = 0;
    for (long s = it.FindFirst(r); s == kTblOk; s = it.FindNext(r), ++visited) {
      RecordId id = 0;
      int32_t status = 0, category = 0, position = 0;
      r.GetRecordId(id);
      r.GetStatus(status);
      r.GetCategoryId(category);
      r.GetAlarmAdvTime(position);
      const int64_t key = sort == &CBaseIterator::SortByRecordId       ? id
                          : sort == &CBaseIterator::SortByRecordStatus ? status
                                                                       : category;
      ASSERT_GE(key, lastKey);
      if (key == lastKey) {
        ASSERT_GT(position, lastPosition);
      }
      lastKey = key;
      lastPosition = position;
    }
    EXPECT_EQ(visited, kRows);
  }
}

TEST_F(TableLibIteratorTest, RowsAppendedAfterASortJoinOnlyTheUnsortedWalk) {
  CBaseIterator it(table_);
  ASSERT_EQ(it.SortByRecordId(), kTblOk);
  AddRow(table_, 0, 0, 0, "z");
  EXPECT_EQ(Walk(it, table_), "bdace");
  CDateBkRecord r(table_, 0);
  EXPECT_EQ(it.FindByRecordId(0, r), kTblEndOfTable);
  it.UnSort();
  EXPECT_EQ(Walk(it, table_), "abcdez");
  EXPECT_EQ(it.FindByRecordId(0, r), kTblOk);
  ASSERT_EQ(it.SortByRecordId(), kTblOk);  // sorting again takes the new row in
  EXPECT_EQ(Walk(it, table_), "zbdace");
}

TEST_F(TableLibIteratorTest, FindByRecordIdFindsTheFirstMatchInEveryWalk) {
  struct Case {
    const char* name;
    std::function<long(CBaseIterator&)> prepare;
  };
  const Case cases[] = {
      {"unsorted", [](CBaseIterator&) { return kTblOk; }},
      {"by ID", [](CBaseIterator& it) { return it.SortByRecordId(); }},
      {"by status", [](CBaseIterator& it) { return it.SortByRecordStatus(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CBaseIterator it(table_);
    ASSERT_EQ(c.prepare(it), kTblOk);
    CDateBkRecord r(table_, 0);
    struct Lookup {
      RecordId id;
      const char* found;
      int32_t position;
    };
    // With status order (b d e c a) the first ID 3 is c; otherwise a.
    const bool byStatus = std::string(c.name) == "by status";
    const Lookup lookups[] = {
        {1, "b", 1},
        {2, "d", 3},
        {3, byStatus ? "c" : "a", byStatus ? 2 : 0},
        {0x80000001u, "e", 4},
        {4, nullptr, -1},
        {0, nullptr, -1},
        {1u << 31, nullptr, -1},
    };
    for (const Lookup& l : lookups) {
      SCOPED_TRACE(l.id);
      const long status = it.FindByRecordId(l.id, r, 0);
      int32_t position = -7;
      if (l.found == nullptr) {
        EXPECT_EQ(status, kTblEndOfTable);
        EXPECT_EQ(it.GetCurrentRowPosition(position), kTblEndOfTable);
        continue;
      }
      ASSERT_EQ(status, kTblOk);
      std::string d;
      r.GetDescription(d);
      EXPECT_EQ(d, l.found);
      EXPECT_EQ(it.GetCurrentRowPosition(position), kTblOk);
      EXPECT_EQ(position, l.position);
    }
  }
}

TEST_F(TableLibIteratorTest, FindNextGoesOnFromARecordFoundById) {
  CBaseIterator it(table_);
  ASSERT_EQ(it.SortByRecordId(), kTblOk);
  CDateBkRecord r(table_, 0);
  ASSERT_EQ(it.FindByRecordId(3, r), kTblOk);
  ASSERT_EQ(it.FindNext(r), kTblOk);
  std::string d;
  r.GetDescription(d);
  EXPECT_EQ(d, "c");
}

// The rows in append order with their IDs read one by one: what a sort by ID must agree with.
std::string ByIdReference(CDateBkTable& table) {
  std::vector<std::pair<uint32_t, std::string>> rows;
  CBaseIterator natural(table);
  CDateBkRecord r(table, 0);
  for (long s = natural.FindFirst(r); s == kTblOk; s = natural.FindNext(r)) {
    RecordId id = 0;
    std::string d;
    r.GetRecordId(id);
    r.GetDescription(d);
    rows.emplace_back(id, d);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string names;
  for (const auto& row : rows) names += row.second;
  return names;
}

TEST_F(TableLibIteratorTest, EachSortByIdSeesTheChangesMadeSinceTheLastOne) {
  // The table keeps its ID order between sorts; every way a row's ID changes, a row comes or a
  // row goes must reach it.
  CDateBkTable other;
  AddRow(other, 7, 0, 0, "o");
  CDateBkRecord source(other, 0);
  CBaseIterator(other).FindFirst(source);
  CDateBkRecord r(table_, 0);
  auto onRow = [&](const char* name) {
    CBaseIterator walk(table_);
    for (long s = walk.FindFirst(r); s == kTblOk; s = walk.FindNext(r)) {
      std::string d;
      r.GetDescription(d);
      if (d == name) return;
    }
    FAIL() << "no row " << name;
  };
  struct Step {
    const char* name;
    std::function<void()> change;
  };
  const Step steps[] = {
      {"nothing changed", [] {}},
      {"SetRecordId",
       [&] {
         onRow("c");
         r.SetRecordId(0);
       }},
      {"an ID set through the field itself",
       [&] {
         onRow("e");
         FieldAs<CIntegerField>(r.GetField(kFldRecordId))->SetValue(2);
       }},
      {"Assign from a row of another table",
       [&] {
         onRow("b");
         r.Assign(source);  // b now reads "o" with ID 7
       }},
      {"AppendDuplicateRecord", [&] { table_.AppendDuplicateRecord(source, r, 1); }},
      {"AppendBlankRecord then SetRecordId",
       [&] {
         table_.AppendBlankRecord(r);
         r.SetRecordId(1);
         r.SetDescription("n");
       }},
      {"PurgeDeletedRecords", [&] { table_.PurgeDeletedRecords(); }},  // drops a
      {"SetRecordId to the value it has", [&] {
         onRow("d");
         r.SetRecordId(2);
       }}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    CBaseIterator it(table_);
    ASSERT_EQ(it.SortByRecordId(), kTblOk);
    for (RecordId id : {0u, 1u, 2u, 3u, 7u, 0x80000001u}) {
      SCOPED_TRACE(id);
      // The first row with the ID in a stable order is the first in append order.
      CBaseIterator natural(table_);
      const long expected = natural.FindByRecordId(id, r);
      std::string want;
      if (expected == kTblOk) r.GetDescription(want);
      ASSERT_EQ(it.FindByRecordId(id, r), expected);
      if (expected != kTblOk) continue;
      std::string got;
      r.GetDescription(got);
      EXPECT_EQ(got, want);
    }
    EXPECT_EQ(Walk(it, table_), ByIdReference(table_));
  }
}

TEST_F(TableLibIteratorTest, AWalkGoesOnFromARowFoundByIdEvenWhenThatRowIsPurged) {
  CBaseIterator it(table_);
  ASSERT_EQ(it.SortByRecordId(), kTblOk);  // b d a c e
  CDateBkRecord r(table_, 0);
  ASSERT_EQ(it.FindByRecordId(3, r), kTblOk);  // a, status 4
  ASSERT_EQ(table_.PurgeDeletedRecords(), kTblOk);
  EXPECT_FALSE(r.IsPositioned());
  ASSERT_EQ(it.FindNext(r), kTblOk);
  std::string d;
  r.GetDescription(d);
  EXPECT_EQ(d, "c");
}

TEST_F(TableLibIteratorTest, TheCurrentRowPositionIsTheAppendPosition) {
  CBaseIterator it(table_);
  CDateBkRecord r(table_, 0);
  int32_t position = -1;
  EXPECT_EQ(it.GetCurrentRowPosition(position), kTblEndOfTable);
  ASSERT_EQ(it.SortByCatId(), kTblOk);  // c d e a b
  const int32_t expected[] = {2, 3, 4, 0, 1};
  int i = 0;
  for (long s = it.FindFirst(r); s == kTblOk; s = it.FindNext(r), ++i) {
    ASSERT_EQ(it.GetCurrentRowPosition(position), kTblOk);
    EXPECT_EQ(position, expected[i]);
  }
  EXPECT_EQ(i, 5);
  EXPECT_EQ(it.GetCurrentRowPosition(position), kTblEndOfTable);
  it.UnSort();
  ASSERT_EQ(it.FindFirst(r), kTblOk);
  ASSERT_EQ(it.FindNext(r), kTblOk);
  EXPECT_EQ(it.GetCurrentRowPosition(position), kTblOk);
  EXPECT_EQ(position, 1);
}

TEST_F(TableLibIteratorTest, ASortedWalkSkipsRowsPurgedAfterTheSort) {
  CBaseIterator it(table_);
  ASSERT_EQ(it.SortByRecordId(), kTblOk);  // b d a c e; a has status 4
  CDateBkRecord r(table_, 0);
  ASSERT_EQ(it.FindFirst(r), kTblOk);
  ASSERT_EQ(it.FindNext(r), kTblOk);  // on d
  ASSERT_EQ(table_.PurgeDeletedRecords(), kTblOk);
  std::string names;
  while (it.FindNext(r) == kTblOk) {
    std::string d;
    r.GetDescription(d);
    names += d;
  }
  EXPECT_EQ(names, "ce");
  EXPECT_EQ(Walk(it, table_), "bdce");
  EXPECT_EQ(it.FindByRecordId(3, r), kTblOk);
  int32_t position = -1;
  EXPECT_EQ(it.GetCurrentRowPosition(position), kTblOk);
  EXPECT_EQ(position, 1);
}

TEST_F(TableLibIteratorTest, CopiedIteratorsWalkOnTheirOwn) {
  CBaseIterator it(table_);
  ASSERT_EQ(it.SortByRecordId(), kTblOk);
  CDateBkRecord r(table_, 0);
  ASSERT_EQ(it.FindFirst(r), kTblOk);
  CBaseIterator copy(it);
  ASSERT_EQ(copy.FindNext(r), kTblOk);
  std::string d;
  r.GetDescription(d);
  EXPECT_EQ(d, "d");
  ASSERT_EQ(it.FindNext(r), kTblOk);
  r.GetDescription(d);
  EXPECT_EQ(d, "d");
  table_.PurgeAllRecords();
  EXPECT_EQ(copy.FindNext(r), kTblEndOfTable);
}

// ---------------------------------------------------------------------------------------------
// Repetition through a record

class TableLibRepeatTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(table_.AppendBlankRecord(r_), kTblOk); }
  std::vector<int32_t> Exceptions() {
    std::vector<int32_t> dates;
    int32_t date = 0;
    for (long s = r_.FindFirstException(date); s == kTblOk; s = r_.FindNextException(date)) {
      dates.push_back(date);
    }
    return dates;
  }
  CDateBkTable table_;
  CDateBkRecord r_{table_, 0};
};

TEST_F(TableLibRepeatTest, ExceptionsAreKeptAsLocalDays) {
  struct Case {
    const char* zone;
    std::vector<std::array<int, 5>> added;  // y, m, d, h, min
    std::vector<std::array<int, 3>> days;   // the exception days that result
  };
  const Case cases[] = {
      // A 25-hour day: 00:30 and 23:30 are one local day though a UTC day apart.
      {"America/New_York", {{2024, 11, 3, 0, 30}, {2024, 11, 3, 23, 30}}, {{2024, 11, 3}}},
      // The same UTC day, two local days.
      {"America/New_York",
       {{2024, 11, 3, 23, 30}, {2024, 11, 4, 0, 30}},
       {{2024, 11, 3}, {2024, 11, 4}}},
      // A 23-hour day in spring.
      {"Europe/Berlin",
       {{2024, 3, 31, 15, 0}, {2024, 3, 31, 1, 0}, {2024, 3, 30, 23, 59}},
       {{2024, 3, 31}, {2024, 3, 30}}},
      {"UTC", {{2000, 2, 29, 12, 0}, {2000, 2, 29, 0, 0}}, {{2000, 2, 29}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    ScopedTimeZone tz(c.zone);
    ASSERT_EQ(r_.StopRepeatingEvt(), kTblOk);
    for (const auto& a : c.added)
      ASSERT_EQ(r_.AddException(Local(a[0], a[1], a[2], a[3], a[4])), kTblOk);
    std::vector<int32_t> expected;
    for (const auto& d : c.days) expected.push_back(Local(d[0], d[1], d[2]));
    EXPECT_EQ(Exceptions(), expected);
    int32_t count = -1;
    EXPECT_EQ(r_.GetNumExceptions(count), kTblOk);
    EXPECT_EQ(count, static_cast<int32_t>(expected.size()));
    for (const auto& d : c.days) {
      EXPECT_EQ(r_.IsException(Local(d[0], d[1], d[2], 0, 0)), 1);
      EXPECT_EQ(r_.IsException(Local(d[0], d[1], d[2], 23, 59)), 1);
    }
  }
}

TEST_F(TableLibRepeatTest, IsExceptionComparesLocalDaysNotInstants) {
  ScopedTimeZone tz("America/New_York");
  ASSERT_EQ(r_.AddException(Local(2024, 7, 4, 9, 0)), kTblOk);
  EXPECT_EQ(r_.IsException(Local(2024, 7, 4, 23, 59)), 1);
  EXPECT_EQ(r_.IsException(Local(2024, 7, 5, 0, 0)), 0);  // the same UTC day, the next local one
  EXPECT_EQ(r_.IsException(Local(2024, 7, 3, 23, 59)), 0);
  int32_t date = 0;
  ASSERT_EQ(r_.FindFirstException(date), kTblOk);
  EXPECT_EQ(r_.FindNextException(date), kTblNoException);
}

TEST_F(TableLibRepeatTest, ManyExceptionsKeepTheirOrderAndNoDayTwice) {
  ScopedTimeZone tz("Europe/Berlin");
  // Days scattered over about twelve years, each added twice at different hours.
  std::vector<int32_t> days;
  for (int i = 0; i < 1000; ++i) days.push_back(Local(2020, 1, 1 + (i * 379) % 4400));
  for (int round = 0; round < 2; ++round) {
    for (int32_t day : days) ASSERT_EQ(r_.AddException(day + (round == 0 ? 3600 : 79200)), kTblOk);
  }
  EXPECT_EQ(Exceptions(), days);
  for (size_t i = 0; i < days.size(); i += 7) {
    EXPECT_EQ(r_.IsException(days[i] + 43200), 1) << i;
  }
  EXPECT_EQ(r_.IsException(Local(2019, 12, 31, 12, 0)), 0);
  EXPECT_EQ(r_.IsException(Local(2020, 1, 2, 12, 0)), 0);  // (i * 379) % 4400 skips day 1
}

TEST_F(TableLibRepeatTest, ExceptionDaysFollowTheZoneAndEveryReplacementOfTheList) {
  auto* field = static_cast<CRepeatField*>(r_.GetField(kFldRepeatRule));
  ASSERT_NE(field, nullptr);
  {
    ScopedTimeZone tz("America/New_York");
    ASSERT_EQ(r_.AddException(Local(2024, 7, 4, 9, 0)), kTblOk);  // 04:00 UTC
    EXPECT_EQ(r_.IsException(Local(2024, 7, 4, 12, 0)), 1);
  }
  {
    // The same instant is the evening of 3 July on the west coast: that is the excepted day.
    ScopedTimeZone tz("America/Los_Angeles");
    EXPECT_EQ(r_.IsException(Local(2024, 7, 3, 12, 0)), 1);
    EXPECT_EQ(r_.IsException(Local(2024, 7, 4, 12, 0)), 0);
    ASSERT_EQ(r_.AddException(Local(2024, 7, 3, 8, 0)), kTblOk);
    EXPECT_EQ(Exceptions().size(), 1u);
    ASSERT_EQ(r_.AddException(Local(2024, 7, 4, 8, 0)), kTblOk);
    EXPECT_EQ(Exceptions().size(), 2u);
  }
  ScopedTimeZone tz("UTC");
  const int32_t day = 19000 * 86400;
  EXPECT_EQ(r_.IsException(Local(2024, 7, 4, 12, 0)), 1);
  // A list of the same length copied over this one.
  CRepeatField other;
  other.exceptions = {day, day + 86400};
  ASSERT_TRUE(field->CopyFrom(other));
  EXPECT_EQ(r_.IsException(day + 100), 1);
  EXPECT_EQ(r_.IsException(Local(2024, 7, 4, 12, 0)), 0);
  // An edit in place, announced.
  field->exceptions[1] = day + 5 * 86400;
  field->ExceptionsChanged();
  EXPECT_EQ(r_.IsException(day + 86400), 0);
  EXPECT_EQ(r_.IsException(day + 5 * 86400), 1);
  ASSERT_EQ(r_.AddException(day + 5 * 86400 + 7), kTblOk);
  EXPECT_EQ(Exceptions(), (std::vector<int32_t>{day, day + 5 * 86400}));
  // A copy of the field answers for its own list.
  CRepeatField copy(*field);
  copy.exceptions = {day + 9 * 86400, day + 10 * 86400};
  EXPECT_TRUE(copy.HasExceptionDay(day + 9 * 86400));
  EXPECT_FALSE(copy.HasExceptionDay(day));
  EXPECT_TRUE(field->HasExceptionDay(day));
}

TEST_F(TableLibRepeatTest, StopRepeatingClearsRuleIntervalAndExceptions) {
  ScopedTimeZone tz("Europe/Berlin");
  ASSERT_EQ(r_.SetRepDaily(CDayName(kMonday, 3, -1, 0)), kTblOk);
  ASSERT_EQ(r_.AddException(Local(2024, 5, 1, 10, 0)), kTblOk);
  ASSERT_EQ(r_.AddException(Local(2024, 5, 4, 10, 0)), kTblOk);
  EXPECT_EQ(r_.IsRepeatingEvt(), 1);
  // Another rule replaces the first and keeps the exceptions.
  ASSERT_EQ(r_.SetRepMonthlyByDate(CDateOfMonth(15, 1, -1, kSunday)), kTblOk);
  EXPECT_EQ(Exceptions().size(), 2u);
  CRepeateDayInfo info;
  ASSERT_EQ(r_.GetRepeateInfo(info), kTblOk);
  EXPECT_EQ(info.GetMyBrand(), kRepeatMonthlyByDate);
  EXPECT_EQ(info.GetDayOfMonth(), 15);

  ASSERT_EQ(r_.StopRepeatingEvt(), kTblOk);
  EXPECT_EQ(r_.IsRepeatingEvt(), 0);
  EXPECT_EQ(r_.GetRepeateInfo(info), kTblBadValue);
  EXPECT_TRUE(Exceptions().empty());
  EXPECT_EQ(r_.IsException(Local(2024, 5, 1, 10, 0)), 0);
  int32_t interval = -1;
  static_cast<CIntegerField*>(r_.GetField(kFldRepeatInterval))->GetValue(interval);
  EXPECT_EQ(interval, 0);
  EXPECT_EQ(static_cast<CRepeatField*>(r_.GetField(kFldRepeatRule))->rule, CRepeateDayInfo());
  int32_t next = 0;
  EXPECT_NE(r_.CalcNextOccurrance(0, next), kTblOk);
}

TEST_F(TableLibRepeatTest, EveryRuleSetterStoresItsRuleAndInterval) {
  ScopedTimeZone tz("UTC");
  struct Case {
    const char* name;
    std::function<long(CDateBkRecord&)> set;
    eRepeateBrand brand;
    int32_t interval;
  };
  const Case cases[] = {
      {"daily", [](CDateBkRecord& r) { return r.SetRepDaily(CDayName(2, 4, -1, 0)); }, kRepeatDaily,
       4},
      {"weekly", [](CDateBkRecord& r) { return r.SetRepWeekly(CWeekly(0x41, 2, -1, 1)); },
       kRepeatWeekly, 2},
      {"monthly by day",
       [](CDateBkRecord& r) { return r.SetRepMonthlyByDay(CDayOfMonth(4, 5, 3, -1, 0)); },
       kRepeatMonthlyByDay, 3},
      {"monthly by date",
       [](CDateBkRecord& r) { return r.SetRepMonthlyByDate(CDateOfMonth(31, 1, -1, 0)); },
       kRepeatMonthlyByDate, 1},
      {"yearly",
       [](CDateBkRecord& r) { return r.SetRepYearlyByDate(CDateOfYear(1, 29, 5, -1, 0)); },
       kRepeatYearlyByDate, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.set(r_), kTblOk);
    CRepeateDayInfo info;
    ASSERT_EQ(r_.GetRepeateInfo(info), kTblOk);
    EXPECT_EQ(info.GetMyBrand(), c.brand);
    EXPECT_EQ(info.GetInterval(), c.interval);
    int32_t interval = -1;
    static_cast<CIntegerField*>(r_.GetField(kFldRepeatInterval))->GetValue(interval);
    EXPECT_EQ(interval, c.interval);
  }
}

TEST_F(TableLibRepeatTest, NextOccurrenceUsesTheRecordsRuleIntervalAndStart) {
  ScopedTimeZone tz("Europe/Berlin");
  // Every second day at 09:00 from Friday 29 March 2024, across the spring change.
  const int32_t start = Local(2024, 3, 29, 9, 0);
  ASSERT_EQ(r_.SetStartTime(start), kTblOk);
  ASSERT_EQ(r_.SetRepDaily(CDayName(kFriday, 2, Local(2024, 4, 6), 0)), kTblOk);
  struct Case {
    int32_t after;
    long status;
    int32_t next;
  };
  const Case cases[] = {
      {start - 86400, kTblOk, start},
      {start, kTblOk, start},
      {start + 1, kTblOk, Local(2024, 3, 31, 9, 0)},  // 47 hours later, not 48
      {Local(2024, 3, 31, 9, 0), kTblOk, Local(2024, 3, 31, 9, 0)},
      {Local(2024, 4, 4, 9, 1), kTblOk, Local(2024, 4, 6, 9, 0)},
      {Local(2024, 4, 6, 9, 1), kTblEndOfTable, 0},  // past the end date
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    int32_t next = -1;
    EXPECT_EQ(r_.CalcNextOccurrance(c.after, next), c.status);
    if (c.status == kTblOk) {
      EXPECT_EQ(next, c.next);
    }
  }
  // The interval is taken from the record: every day now.
  static_cast<CIntegerField*>(r_.GetField(kFldRepeatInterval))->SetValue(1);
  int32_t next = -1;
  ASSERT_EQ(r_.CalcNextOccurrance(start + 1, next), kTblOk);
  EXPECT_EQ(next, Local(2024, 3, 30, 9, 0));
}

TEST_F(TableLibRepeatTest, ExceptionsSurviveDuplicationAndCountInEquality) {
  ScopedTimeZone tz("UTC");
  ASSERT_EQ(r_.SetRepDaily(CDayName(0, 1, -1, 0)), kTblOk);
  ASSERT_EQ(r_.AddException(86400 * 3 + 5), kTblOk);
  CDateBkRecord copy(table_, 0);
  ASSERT_EQ(table_.AppendDuplicateRecord(r_, copy, 1), kTblOk);
  EXPECT_EQ(copy.IsException(86400 * 3), 1);
  EXPECT_EQ(copy.IsEqual(r_), 1);
  ASSERT_EQ(copy.AddException(86400 * 5), kTblOk);
  EXPECT_EQ(copy.IsEqual(r_), 0);
  EXPECT_EQ(r_.IsException(86400 * 5), 0);
}

// ---------------------------------------------------------------------------------------------

TEST(TableLibRuntimeTest, ADateBookTableIsCreatedByName) {
  const CRuntimeClass* cls = CRuntimeClass::FromName("CDateBkTable");
  ASSERT_NE(cls, nullptr);
  std::unique_ptr<CObject> object(cls->CreateObject());
  auto* table = dynamic_cast<CDateBkTable*>(object.get());
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->GetRuntimeClass(), cls);
  ASSERT_NE(table->GetSchema(), nullptr);
  EXPECT_EQ(table->GetSchema()->GetFieldCount(), 15);
  CDateBkRecord r(*table, 0);
  EXPECT_EQ(table->AppendBlankRecord(r), kTblOk);
  EXPECT_EQ(r.SetDescription("made by name"), kTblOk);
}

}  // namespace
}  // namespace table_test
