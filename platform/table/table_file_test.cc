#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/table/table.h"
#include "platform/testing/table_support.h"
#include "platform/testing/test_support.h"

namespace table_file_test {
namespace {

// The damage tests rewrite a file thousands of times; a memory file system keeps that quick
// where one is at hand.
std::string ScratchBase() {
  return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

using velqor::test_support::ReadFile;
using velqor::test_support::ScratchDir;
using velqor::test_support::WideTable;
using velqor::test_support::WriteFile;

// A layout with a field of a code the library does not know before one it knows: rows have no
// such field, and the file form has no value for it.
class HoleSchema : public CDateBkSchema {
 public:
  using CDateBkSchema::CDateBkSchema;
  long DefineFields() override {
    CDateBkSchema::DefineFields();
    m_nFields = 17;
    m_fieldTypes.push_back(77);
    m_fieldTypes.push_back(kFieldInteger);
    return 0;
  }
};

class HoleTable : public CDateBkTable {
 public:
  HoleTable() {
    SetSchema(new HoleSchema(54));
    m_pSchema->DefineFields();
  }
};

// A table whose own file form writes a little and then fails.
class FailingTable : public CDateBkTable {
 public:
  void Serialize(CArchive& archive) override {
    archive.WriteString(std::string(10000, 'x'));
    throw CArchiveException(kCauseHardIo);
  }
};

void AddRow(CDateBkTable& table, int seed) {
  CDateBkRecord r(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(r), kTblOk);
  ASSERT_EQ(r.SetRecordId(0x00A00000u + seed), kTblOk);
  ASSERT_EQ(r.SetStatus(seed % 3 == 0 ? kStatusDeleted : kStatusPending), kTblOk);
  ASSERT_EQ(r.SetCategoryId(seed % 16), kTblOk);
  ASSERT_EQ(r.SetStartTime(-86400 * seed - 1), kTblOk);  // before 1970 too
  ASSERT_EQ(r.SetEndTime(INT32_MAX - seed), kTblOk);
  ASSERT_EQ(r.SetDescription("Row " + std::to_string(seed) + std::string("\0\r\n\xFF", 4)), kTblOk);
  ASSERT_EQ(r.SetAlarmAdvTime(-1), kTblOk);
  ASSERT_EQ(r.SetNote(seed % 2 ? std::string(1500, 'n') : std::string()), kTblOk);
  ASSERT_EQ(r.SetUnTimedFlag(seed % 2), kTblOk);
  ASSERT_EQ(r.SetAlarmFlag(1 - seed % 2), kTblOk);
  ASSERT_EQ(r.SetPrivate(seed % 2), kTblOk);
  ASSERT_EQ(r.SetAlarmAdvUnit(seed % 3), kTblOk);
  if (seed % 2 == 0) {
    ASSERT_EQ(r.SetRepMonthlyByDay(CDayOfMonth(4, 3, 2, 1500000000, 1)), kTblOk);
    ASSERT_EQ(r.AddException(1400000000 + seed * 86400), kTblOk);
    ASSERT_EQ(r.AddException(1300000000), kTblOk);
  }
  ASSERT_EQ(r.SetArchiveBit(seed % 4 == 1), kTblOk);
}

void AddCategories(CBaseTable& table) {
  CCategoryMgr* mgr = table.GetCategoryManager();
  ASSERT_EQ(mgr->Add(new CCategory(0, 0, "Unfiled")), kCatOk);
  auto* work = new CCategory(17, 3, "Work & Play");
  work->SetNameDirty(1);
  ASSERT_EQ(mgr->Add(work), kCatOk);
  auto* old = new CCategory(250, 15, "Old");
  old->SetFileName("Archive-Old");
  ASSERT_EQ(mgr->Add(old), kCatOk);
}

// Every row of `a` equals the row of `b` at the same position, archive mark included.
void ExpectSameRows(CBaseTable& a, CBaseTable& b) {
  ASSERT_EQ(a.GetRecordCount(), b.GetRecordCount());
  CBaseIterator ia(a), ib(b);
  CDateBkRecord ra(a, 0), rb(b, 0);
  long sa = ia.FindFirst(ra), sb = ib.FindFirst(rb);
  int row = 0;
  for (; sa == kTblOk && sb == kTblOk; sa = ia.FindNext(ra), sb = ib.FindNext(rb), ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(ra.IsEqual(rb), 1);
    EXPECT_EQ(ra.IsArchived(), rb.IsArchived());
  }
  EXPECT_EQ(sa, kTblEndOfTable);
  EXPECT_EQ(sb, kTblEndOfTable);
}

class TableFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(AddCategories(table_));
    for (int seed = 0; seed < 6; ++seed) ASSERT_NO_FATAL_FAILURE(AddRow(table_, seed));
    path_ = dir_.File("Work.DBA");
    ASSERT_EQ(table_.SaveTo(path_), kTblOk);
    bytes_ = ReadFile(path_);
    ASSERT_FALSE(bytes_.empty());
  }
  ScratchDir dir_{ScratchBase()};
  CDateBkTable table_;
  std::string path_;
  std::string bytes_;
};

TEST_F(TableFileTest, ARoundTripKeepsEveryRowPropertyAndCategory) {
  CDateBkTable loaded;
  ASSERT_EQ(loaded.OpenFrom(path_, 0), kTblOk);
  ExpectSameRows(table_, loaded);

  CCategoryMgr* mgr = loaded.GetCategoryManager();
  ASSERT_EQ(mgr->GetCount(), 3);
  CCategory* c = nullptr;
  ASSERT_EQ(mgr->FindIndex(3, &c), kCatOk);
  EXPECT_EQ(c->GetID(), 17);
  EXPECT_EQ(c->GetName(), "Work & Play");
  EXPECT_EQ(c->IsNameDirty(), 1);
  EXPECT_EQ(c->GetFileName(), "Work___Play");
  ASSERT_EQ(mgr->FindIndex(15, &c), kCatOk);
  EXPECT_EQ(c->GetID(), 250);
  EXPECT_EQ(c->IsNameDirty(), 0);
  EXPECT_EQ(c->GetFileName(), "Archive-Old");
  ASSERT_EQ(mgr->FindIndex(0, &c), kCatOk);
  EXPECT_EQ(c->GetName(), "Unfiled");

  // The same content saves to the same bytes.
  ASSERT_EQ(loaded.SaveTo(dir_.File("again")), kTblOk);
  EXPECT_EQ(ReadFile(dir_.File("again")), bytes_);
}

TEST_F(TableFileTest, OpeningReplacesWhatTheTableHeld) {
  CDateBkTable other;
  ASSERT_NO_FATAL_FAILURE(AddRow(other, 40));
  ASSERT_EQ(other.GetCategoryManager()->Add(new CCategory(9, 9, "Gone")), kCatOk);
  ASSERT_EQ(other.OpenFrom(path_, 0), kTblOk);
  ExpectSameRows(table_, other);
  EXPECT_EQ(other.GetCategoryManager()->FindName("Gone"), nullptr);
}

TEST_F(TableFileTest, EmptyTablesAndUnknownFieldCodesRoundTrip) {
  CDateBkTable empty, loaded;
  ASSERT_EQ(empty.SaveTo(dir_.File("empty")), kTblOk);
  ASSERT_NO_FATAL_FAILURE(AddRow(loaded, 1));
  ASSERT_EQ(loaded.OpenFrom(dir_.File("empty"), 0), kTblOk);
  EXPECT_EQ(loaded.GetRecordCount(), 0);
  EXPECT_EQ(loaded.GetCategoryManager()->GetCount(), 0);

  HoleTable holes, holesBack;
  ASSERT_NO_FATAL_FAILURE(AddRow(holes, 2));
  ASSERT_NO_FATAL_FAILURE(AddRow(holes, 3));
  {
    CBaseIterator it(holes);
    CDateBkRecord r(holes, 0);
    for (long s = it.FindFirst(r); s == kTblOk; s = it.FindNext(r)) {
      RecordId id = 0;
      r.GetRecordId(id);
      static_cast<CIntegerField*>(r.GetField(16))->SetValue(static_cast<int32_t>(id) * 3);
    }
  }
  ASSERT_EQ(holes.SaveTo(dir_.File("holes")), kTblOk);
  ASSERT_EQ(holesBack.OpenFrom(dir_.File("holes"), 0), kTblOk);
  ASSERT_EQ(holesBack.GetRecordCount(), 2);
  CBaseIterator it(holesBack);
  CDateBkRecord r(holesBack, 0);
  for (long s = it.FindFirst(r); s == kTblOk; s = it.FindNext(r)) {
    EXPECT_EQ(r.GetField(15), nullptr);
    RecordId id = 0;
    int32_t extra = 0;
    r.GetRecordId(id);
    static_cast<CIntegerField*>(r.GetField(16))->GetValue(extra);
    EXPECT_EQ(extra, static_cast<int32_t>(id) * 3);
  }
  ASSERT_EQ(it.FindFirst(r), kTblOk);
  std::string d;
  r.GetDescription(d);
  EXPECT_EQ(d, "Row 2" + std::string("\0\r\n\xFF", 4));
}

TEST_F(TableFileTest, AMissingFileIsReportedAndLeavesTheTableAlone) {
  CDateBkTable target;
  ASSERT_NO_FATAL_FAILURE(AddRow(target, 1));
  EXPECT_EQ(target.OpenFrom(dir_.File("nothing.DBA"), 0), kTblFileMissing);
  EXPECT_EQ(target.OpenFrom(dir_.File("no/dir/file"), 0), kTblFileMissing);
  EXPECT_EQ(target.GetRecordCount(), 1);
  ::mkdir(dir_.File("adir").c_str(), 0755);
  const long status = target.OpenFrom(dir_.File("adir"), 0);
  EXPECT_NE(status, kTblOk);
  EXPECT_NE(status, kTblFileMissing);
  ::rmdir(dir_.File("adir").c_str());
  EXPECT_EQ(target.GetRecordCount(), 1);
}

TEST_F(TableFileTest, EveryTruncationFailsAndKeepsOnlyWholeRows) {
  const std::string cut = dir_.File("cut");
  long lastCount = 0;
  for (size_t length = 0; length < bytes_.size(); ++length) {
    WriteFile(cut, bytes_.substr(0, length));
    CDateBkTable target;
    const long status = target.OpenFrom(cut, 0);
    ASSERT_NE(status, kTblOk) << length;
    ASSERT_NE(status, kTblFileMissing) << length;
    ASSERT_LE(target.GetRecordCount(), table_.GetRecordCount()) << length;
    ASSERT_GE(target.GetRecordCount(), lastCount) << length;  // more file, never fewer rows
    lastCount = target.GetRecordCount();
  }
  EXPECT_EQ(lastCount, table_.GetRecordCount()) << "only the checksum was missing at the end";
}

TEST_F(TableFileTest, AChangeToAnyByteOrAnExtraByteFails) {
  const std::string bad = dir_.File("bad");
  for (size_t at = 0; at < bytes_.size(); ++at) {
    // A one-bit change and a change of every bit, on alternate bytes.
    for (unsigned char flip : {at % 2 ? 0x01 : 0xFF}) {
      std::string changed = bytes_;
      changed[at] = static_cast<char>(changed[at] ^ flip);
      WriteFile(bad, changed);
      CDateBkTable target;
      const long status = target.OpenFrom(bad, 0);
      ASSERT_NE(status, kTblOk) << "byte " << at << " ^ " << int(flip);
      ASSERT_NE(status, kTblFileMissing);
    }
  }
  WriteFile(bad, bytes_ + '\0');
  CDateBkTable target;
  EXPECT_EQ(target.OpenFrom(bad, 0), kCauseBadFormat);
}

TEST_F(TableFileTest, StructuralDamageIsABadFormat) {
  // Offsets of the file form's header: magic 0, version 4, tag 8, type count 12, codes 16.
  struct Case {
    const char* name;
    size_t at;
    std::string bytes;
  };
  const Case cases[] = {
      {"magic", 0, "XQTB"},
      {"version", 4, std::string("\x02\0\0\0", 4)},
      {"schema tag", 8, std::string("\x37\0\0\0", 4)},
      {"type count", 12, std::string("\x10\0\0\0", 4)},
      {"type code", 16, std::string("\x03\0", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string changed = bytes_;
    changed.replace(c.at, c.bytes.size(), c.bytes);
    WriteFile(dir_.File("damaged"), changed);
    CDateBkTable target;
    ASSERT_NO_FATAL_FAILURE(AddRow(target, 1));
    EXPECT_EQ(target.OpenFrom(dir_.File("damaged"), 0), kCauseBadFormat);
    EXPECT_EQ(target.GetRecordCount(), 1) << "a bad header leaves the table as it was";
  }
}

TEST_F(TableFileTest, AFileOfAnotherSchemaDoesNotLoad) {
  WideTable wide;
  ASSERT_NO_FATAL_FAILURE(AddRow(wide, 1));
  ASSERT_EQ(wide.SaveTo(dir_.File("wide")), kTblOk);
  CDateBkTable narrow;
  EXPECT_EQ(narrow.OpenFrom(dir_.File("wide"), 0), kCauseBadFormat);
  EXPECT_EQ(narrow.GetRecordCount(), 0);
  WideTable wideBack;
  EXPECT_EQ(wideBack.OpenFrom(path_, 0), kCauseBadFormat);
  EXPECT_EQ(wideBack.OpenFrom(dir_.File("wide"), 0), kTblOk);
  ExpectSameRows(wide, wideBack);
  // A file in no table form at all.
  WriteFile(dir_.File("text"), "0001 some exchange file\r\n");
  EXPECT_EQ(narrow.OpenFrom(dir_.File("text"), 0), kCauseBadFormat);
}

TEST_F(TableFileTest, AFailedSaveLeavesTheOldFileWhole) {
  // A category name too long for the file form fails the save in the middle.
  CDateBkTable tooLong;
  ASSERT_NO_FATAL_FAILURE(AddRow(tooLong, 1));
  ASSERT_EQ(tooLong.GetCategoryManager()->Add(new CCategory(1, 1, std::string(5000, 'c'))), kCatOk);
  EXPECT_EQ(tooLong.SaveTo(path_), kCauseBadFormat);
  EXPECT_EQ(ReadFile(path_), bytes_);

  FailingTable failing;
  EXPECT_EQ(failing.SaveTo(path_), kCauseHardIo);
  EXPECT_EQ(ReadFile(path_), bytes_);
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"Work.DBA"}) << "no temporary file is left";

  EXPECT_EQ(table_.SaveTo(dir_.File("missing/dir/x.DBA")), kCauseFileNotFound);
  CDateBkTable loaded;
  ASSERT_EQ(loaded.OpenFrom(path_, 0), kTblOk);
  ExpectSameRows(table_, loaded);
}

TEST_F(TableFileTest, SavingWritesRowsOfEveryStatusInAppendOrder) {
  // Deleted, pending and archived rows all go to the file; a purge before the next save drops
  // the deleted ones.
  CDateBkTable loaded;
  ASSERT_EQ(loaded.OpenFrom(path_, 0), kTblOk);
  EXPECT_EQ(loaded.GetRecordCount(), 6);
  ASSERT_EQ(table_.PurgeDeletedRecords(), kTblOk);
  ASSERT_EQ(table_.SaveTo(path_), kTblOk);
  ASSERT_EQ(loaded.OpenFrom(path_, 0), kTblOk);
  EXPECT_EQ(loaded.GetRecordCount(), 4);
  ExpectSameRows(table_, loaded);
  CBaseIterator it(loaded);
  CDateBkRecord r(loaded, 0);
  for (long s = it.FindFirst(r); s == kTblOk; s = it.FindNext(r)) EXPECT_EQ(r.IsDeleted(), 0);
}

TEST_F(TableFileTest, AFileHeldByAnotherWriterIsNotRead) {
  CFile holder;
  ASSERT_TRUE(holder.Open(path_, CFile::modeReadWrite | CFile::shareDenyWrite, nullptr));
  CDateBkTable target;
  EXPECT_EQ(target.OpenFrom(path_, 0), kCauseSharingViolation);
  holder.Close();
  EXPECT_EQ(target.OpenFrom(path_, 0), kTblOk);
}

}  // namespace
}  // namespace table_file_test
