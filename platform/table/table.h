// The conduit table library: tables of rows laid out by a schema of typed fields, records that
// are cursors on rows, iterators that walk and sort a table, the Date Book record and schema,
// and the library's own table file form.
//
// Date Book field layout (CDateBkSchema; CVuzurSchema adds field 15):
//   0 record ID (integer)        5 description (text)     10 private flag (integer 0/1)
//   1 status (integer)           6 alarm advance (integer) 11 repeating (boolean)
//   2 category index (integer)   7 note (text)             12 alarm unit (integer)
//   3 start time (time)          8 untimed (boolean)       13 repeat interval (integer, 0 if none)
//   4 end time (integer)         9 alarm set (boolean)     14 repeat rule and exceptions (repeat)
// Everything the host can change about an event lies in fields 3 to 13; the record ID, status,
// category and the repeat details lie outside. The archive mark is a mark of the row, not a field.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/classlib.h"
#include "platform/table/category.h"
#include "platform/table/repeat.h"

using RecordId = uint32_t;

enum RecordStatus : int32_t {
  kStatusNone = 0,
  kStatusAdded = 1,
  kStatusModified = 2,
  kStatusDeleted = 4,
  kStatusPending = 8,
};

// Status codes of the library.
inline constexpr long kTblOk = 0;
inline constexpr long kTblEndOfTable = 12001;     // FindFirst/FindNext/FindByRecordId: no row
inline constexpr long kTblNotPositioned = 12002;  // the record is on no row
inline constexpr long kTblNoField = 12003;        // the row has no such field
inline constexpr long kTblWrongFieldType = 12004;
inline constexpr long kTblBadValue = 12005;  // a value the field cannot take
inline constexpr long kTblNoSchema = 12006;
inline constexpr long kTblWrongTable = 12007;   // the record is bound to another table
inline constexpr long kTblNoException = 12008;  // FindFirstException/FindNextException: no more
inline constexpr long kTblFileMissing = 24582;  // OpenFrom: the file does not exist

// Field type codes.
enum FieldTypeCode : uint16_t {
  kFieldInteger = 1,
  kFieldTime = 3,
  kFieldText = 5,
  kFieldBoolean = 6,
  kFieldRepeat = 8,
};

enum DateBookField : int {
  kFldRecordId = 0,
  kFldStatus = 1,
  kFldCategory = 2,
  kFldStartTime = 3,
  kFldEndTime = 4,
  kFldDescription = 5,
  kFldAlarmAdvance = 6,
  kFldNote = 7,
  kFldUntimed = 8,
  kFldAlarmSet = 9,
  kFldPrivate = 10,
  kFldRepeating = 11,
  kFldAlarmUnit = 12,
  kFldRepeatInterval = 13,
  kFldRepeatRule = 14,
  kDateBookFieldCount = 15,
};

class CBaseField;
class CIntegerField;
class CBooleanField;
class CTextField;
class CRepeatField;
class CBaseTable;
struct CRow;

class CBaseField {
 public:
  virtual ~CBaseField() = default;
  // The field as one of the library's value classes (or a class derived from one), else null.
  // Every field of every row is looked at this way, where a dynamic_cast would cost a walk of
  // the class hierarchy each time.
  virtual const CIntegerField* AsInteger() const { return nullptr; }
  virtual const CBooleanField* AsBoolean() const { return nullptr; }
  virtual const CTextField* AsText() const { return nullptr; }
  virtual const CRepeatField* AsRepeat() const { return nullptr; }
  virtual uint16_t GetType() const = 0;
  // 0 when equal; nonzero otherwise (also for a field of another type).
  virtual int Compare(const CBaseField& other) const = 0;
  virtual std::unique_ptr<CBaseField> Clone() const = 0;
  // Takes the value of a field of the same type; false for another type.
  virtual bool CopyFrom(const CBaseField& other) = 0;
  // The library's file form of the value.
  virtual void Store(CArchive& archive) const = 0;
  virtual void Load(CArchive& archive) = 0;  // throws CArchiveException on bad input
};

class CIntegerField : public CBaseField {
 public:
  explicit CIntegerField(int32_t value = 0) : value_(value) {}
  // A copy holds the value only; the table's watch stays with the row's own field.
  CIntegerField(const CIntegerField& other) : CBaseField(other), value_(other.value_) {}
  CIntegerField& operator=(const CIntegerField& other) {
    Set(other.value_);
    return *this;
  }
  long GetValue(int32_t& value) const {
    value = value_;
    return kTblOk;
  }
  long SetValue(int32_t value) {
    Set(value);
    return kTblOk;
  }
  const CIntegerField* AsInteger() const override { return this; }
  uint16_t GetType() const override { return kFieldInteger; }
  int Compare(const CBaseField& other) const override;
  std::unique_ptr<CBaseField> Clone() const override;
  bool CopyFrom(const CBaseField& other) override;
  void Store(CArchive& archive) const override;
  void Load(CArchive& archive) override;

 protected:
  // Every change of the value goes through here, so that a table indexing its rows by this
  // field hears of it before it happens.
  void Set(int32_t value) {
    if (value == value_) return;
    if (watch_ != nullptr) NotifyWatch(value);
    value_ = value;
  }
  int32_t value_;

 private:
  friend class CBaseTable;
  void NotifyWatch(int32_t value);
  CBaseTable* watch_ = nullptr;  // the table whose record-ID index holds this row
  CRow* watchedRow_ = nullptr;
};

class CTimeField : public CIntegerField {
 public:
  using CIntegerField::CIntegerField;
  uint16_t GetType() const override { return kFieldTime; }
  std::unique_ptr<CBaseField> Clone() const override;
};

class CBooleanField : public CBaseField {
 public:
  bool Get() const { return value_; }
  void Set(bool value) { value_ = value; }
  const CBooleanField* AsBoolean() const override { return this; }
  uint16_t GetType() const override { return kFieldBoolean; }
  int Compare(const CBaseField& other) const override;
  std::unique_ptr<CBaseField> Clone() const override;
  bool CopyFrom(const CBaseField& other) override;
  void Store(CArchive& archive) const override;
  void Load(CArchive& archive) override;

 private:
  bool value_ = false;
};

class CTextField : public CBaseField {
 public:
  const std::string& Get() const { return value_; }
  void Set(const std::string& value) { value_ = value; }
  void Set(std::string&& value) { value_ = std::move(value); }
  const CTextField* AsText() const override { return this; }
  uint16_t GetType() const override { return kFieldText; }
  int Compare(const CBaseField& other) const override;
  std::unique_ptr<CBaseField> Clone() const override;
  bool CopyFrom(const CBaseField& other) override;
  void Store(CArchive& archive) const override;
  void Load(CArchive& archive) override;

 private:
  std::string value_;
};

// A repeat rule (its brand, end date and parameters; the interval lives in field 13) and the
// event's exception dates, each the local midnight of an excepted day, in the order added.
class CRepeatField : public CBaseField {
 public:
  CRepeateDayInfo rule;
  // Changed through CDateBkRecord's exception calls or replaced whole (CopyFrom, Load); code
  // that edits the list in place calls ExceptionsChanged() afterwards.
  std::vector<int32_t> exceptions;
  // The start's local hour × 60 + minute as the handheld keeps it, or -1. Set only when the
  // start day skipped that hour at a clock change, so that the time cannot say it; the
  // occurrences on other days keep it. Not part of comparisons or of the file form.
  int32_t startClock = -1;
  const CRepeatField* AsRepeat() const override { return this; }
  uint16_t GetType() const override { return kFieldRepeat; }
  int Compare(const CBaseField& other) const override;
  std::unique_ptr<CBaseField> Clone() const override;
  bool CopyFrom(const CBaseField& other) override;
  void Store(CArchive& archive) const override;
  void Load(CArchive& archive) override;

  // Whether an exception falls on the local day that begins at `day`.
  bool HasExceptionDay(int32_t day) const;
  // Appends `day` (a local midnight) to the exceptions.
  void AppendExceptionDay(int32_t day);
  void ExceptionsChanged() { dayIndex_.Clear(); }

 private:
  // The local day of every exception, so that looking one up costs no local-time conversion
  // per exception. It holds for the list and the time zone it was built for; a copy of the
  // field builds its own.
  struct DayIndex {
    DayIndex() = default;
    DayIndex(const DayIndex&) {}
    DayIndex& operator=(const DayIndex&) {
      Clear();
      return *this;
    }
    void Clear() {
      valid = false;
      days.clear();
    }
    bool valid = false;
    const int32_t* data = nullptr;  // the list's storage and length when built
    size_t count = 0;
    bool zoneSet = false;  // TZ when built
    std::string zone;
    std::unordered_set<int32_t> days;
  };
  const DayIndex& Days() const;
  mutable DayIndex dayIndex_;
};

// The field as the class T (one of the four value classes above), or null.
template <typename T>
const T* FieldAs(const CBaseField* field);
template <>
inline const CIntegerField* FieldAs<CIntegerField>(const CBaseField* field) {
  return field != nullptr ? field->AsInteger() : nullptr;
}
template <>
inline const CBooleanField* FieldAs<CBooleanField>(const CBaseField* field) {
  return field != nullptr ? field->AsBoolean() : nullptr;
}
template <>
inline const CTextField* FieldAs<CTextField>(const CBaseField* field) {
  return field != nullptr ? field->AsText() : nullptr;
}
template <>
inline const CRepeatField* FieldAs<CRepeatField>(const CBaseField* field) {
  return field != nullptr ? field->AsRepeat() : nullptr;
}
template <typename T>
T* FieldAs(CBaseField* field) {
  return const_cast<T*>(FieldAs<T>(static_cast<const CBaseField*>(field)));
}

// The field a type code makes, or null for a code the library does not know.
std::unique_ptr<CBaseField> CreateField(uint16_t typeCode);
// The bytes Store writes for a field of one of the library's own types; false for any other.
bool EncodeFieldValue(const CBaseField& field, std::string* out);
// The longest text a text field takes (setters refuse longer ones with kTblBadValue).
inline constexpr uint32_t kMaxTextLength = 1u << 22;

class CBaseSchema : public CObject {
 public:
  CBaseSchema() = default;
  explicit CBaseSchema(long tag) : m_tag(tag) {}
  // Lays out the fields: sets the count, the type list and the four field-index settings.
  virtual long DefineFields() { return 0; }

  int GetFieldCount() const { return m_nFields; }
  uint16_t GetFieldType(int index) const;  // 0 outside the list
  long GetTag() const { return m_tag; }
  int RecordIdField() const { return m_nRecordIdField; }
  int StatusField() const { return m_nStatusField; }
  int PrivateField() const { return m_nPrivateField; }
  int CategoryField() const { return m_nCategoryField; }

 protected:
  int m_nFields = 0;
  std::vector<uint16_t> m_fieldTypes;
  // The four field-index settings, in member order.
  int m_nRecordIdField = 0;
  int m_nStatusField = 1;
  int m_nPrivateField = 10;
  int m_nCategoryField = 2;
  long m_tag = 0;  // stored in the library's table files
};

class CDateBkSchema : public CBaseSchema {
 public:
  CDateBkSchema() = default;
  explicit CDateBkSchema(long tag) : CBaseSchema(tag) {}
  long DefineFields() override;  // the 15 Date Book fields
};

class CBaseRecord;
class CDateBkRecord;
class CBaseIterator;

struct CRow {
  std::vector<std::unique_ptr<CBaseField>> fields;  // null where the type code is unknown
  bool archived = false;
  uint64_t sequence = 0;  // rises with every row its table appends; the append order
};

class CBaseTable : public CObject {
 public:
  CBaseTable();
  ~CBaseTable() override;
  CBaseTable(const CBaseTable&) = delete;
  CBaseTable& operator=(const CBaseTable&) = delete;

  // The library's file form: schema, categories and every row with its archive mark.
  void Serialize(CArchive& archive) override;
  virtual std::unique_ptr<CBaseField> ConstructProperField(uint16_t typeCode);
  // Appends a row of default values and positions the record on it.
  virtual long AppendBlankRecord(CBaseRecord& record);
  // Appends a copy of the source's fields (by index, as far as both schemas have them) and
  // archive mark; positions `target`, which must be bound to this table, on the new row.
  virtual long AppendDuplicateRecord(CBaseRecord& source, CBaseRecord& target, int flag);
  virtual void DumpRecords();

  long GetRecordCount() const { return static_cast<long>(rows_.size()); }
  long PurgeDeletedRecords();  // drops the rows with status 4; records on them become unpositioned
  long PurgeAllRecords();
  long DestroyAllFields();  // empties the table of its rows
  // Replaces the file atomically with what Serialize writes on a storing archive.
  long SaveTo(const std::string& path);
  // Reads a file through Serialize on a loading archive; kTblFileMissing when it does not
  // exist, a failure cause otherwise. On failure the rows read so far stay.
  long OpenFrom(const std::string& path, long flag);

  CBaseSchema* GetSchema() const { return m_pSchema; }
  void SetSchema(CBaseSchema* schema);  // takes ownership, deletes the previous one
  CCategoryMgr* GetCategoryManager() { return &categories_; }

  // Row access for records and iterators.
  size_t RowCount() const { return rows_.size(); }
  CRow* RowAt(size_t position) const {  // null outside the table
    return position < rows_.size() ? rows_[position].get() : nullptr;
  }
  long PositionOf(const CRow* row) const;  // -1 when the row is not in this table

 protected:
  CRow* NewRow();
  CBaseSchema* m_pSchema = nullptr;

 private:
  friend class CBaseRecord;
  friend class CBaseIterator;
  friend class CIntegerField;

  // The rows in record ID order, kept up to date as rows are appended, dropped and change
  // their IDs, so that a lookup by ID costs a search and not a sort. Built by the first sort
  // by record ID; the record-ID fields of indexed rows tell the table of every change.
  struct IdEntry {
    uint64_t key;       // 0 for a row without an integer ID field, else 2^32 + the ID
    uint64_t sequence;  // equal IDs keep the append order
    CRow* row;
    bool operator<(const IdEntry& other) const {
      return key != other.key ? key < other.key : sequence < other.sequence;
    }
  };
  static uint64_t IdKey(uint32_t id) { return (uint64_t{1} << 32) | id; }
  uint64_t IdKeyOf(const CRow& row) const;
  void BuildIdIndex();
  void DropIdIndex();
  void IndexRow(CRow* row);
  void RecordIdChanging(CRow* row, int32_t from, int32_t to);
  // Appends the row (its fields already made) with the next sequence number.
  CRow* AdoptRow(std::unique_ptr<CRow> row);

  std::set<IdEntry> idIndex_;
  bool idIndexBuilt_ = false;
  int idIndexField_ = -1;
  uint64_t nextSequence_ = 0;

  // Drops the rows marked in `drop` (by position) and unbinds every record and iterator entry
  // that pointed at one of them, so that no cursor is left on freed memory.
  void RemoveRows(const std::vector<bool>& drop);
  std::vector<std::unique_ptr<CRow>> rows_;
  CCategoryMgr categories_;
  // Records and iterators bound to this table; the table unbinds them when it drops their
  // rows and detaches them when it is destroyed.
  std::vector<CBaseRecord*> records_;
  std::vector<CBaseIterator*> iterators_;
};

class CDateBkTable : public CBaseTable {
  VQ_DECLARE_DYNCREATE(CDateBkTable)
 public:
  CDateBkTable();  // with a CDateBkSchema whose fields are defined
  using CBaseTable::AppendBlankRecord;
  virtual long AppendBlankRecord(CDateBkRecord& record);
};

class CBaseRecord {
 public:
  // `flag` is kept and has no effect on the record's behaviour.
  CBaseRecord(CBaseTable& table, uint16_t flag);
  virtual ~CBaseRecord();
  CBaseRecord(const CBaseRecord& other);
  CBaseRecord& operator=(const CBaseRecord& other);
  // 1 when every field of both rows compares equal, 0 otherwise (also when unpositioned).
  virtual int IsEqual(const CBaseRecord& other) const;
  // Copies all fields of the other record's row (by index, as far as both have them).
  virtual long Assign(const CBaseRecord& other);
  virtual long GetRawDataSize() const;

  CBaseTable& GetTable() const { return *table_; }
  bool IsPositioned() const { return row_ != nullptr; }
  CRow* GetRow() const { return row_; }
  void Bind(CRow* row) { row_ = row; }    // for the table and its iterators
  CBaseField* GetField(int index) const;  // null when unpositioned or missing

  long GetRecordId(RecordId& id) const;
  long SetRecordId(RecordId id);
  long GetCategoryId(int32_t& category) const;
  long SetCategoryId(int32_t category);
  long GetStatus(int32_t& status) const;
  long SetStatus(int32_t status);
  int IsAdded() const;
  int IsModified() const;
  int IsDeleted() const;
  int IsPending() const;
  long SetArchiveBit(int on);
  int IsArchived() const;

 protected:
  friend class CBaseTable;
  friend class CBaseIterator;
  long GetInt(int index, int32_t& value) const;
  long SetInt(int index, int32_t value);
  CBaseTable* table_;
  CRow* row_ = nullptr;
  uint16_t flag_;
};

class CDateBkRecord : public CBaseRecord {
 public:
  CDateBkRecord(CBaseTable& table, uint16_t flag) : CBaseRecord(table, flag) {}

  int IsPrivate() const;
  long SetPrivate(int on);
  long GetStartTime(int32_t& time) const;
  long SetStartTime(int32_t time);
  long GetEndTime(int32_t& time) const;
  long SetEndTime(int32_t time);
  int IsUnTimed() const;
  long SetUnTimedFlag(int on);
  int IsAlarmSet() const;
  long SetAlarmFlag(int on);
  long GetAlarmAdvTime(int32_t& advance) const;
  long SetAlarmAdvTime(int32_t advance);
  long GetAlarmAdvUnit(int32_t& unit) const;
  long SetAlarmAdvUnit(int32_t unit);
  long GetDescription(std::string& text) const;
  long SetDescription(const std::string& text);
  int IsNote() const;  // nonzero when the note is not empty
  long GetNote(std::string& text) const;
  long SetNote(const std::string& text);

  int IsRepeatingEvt() const;
  // The local hour and minute of the start as the handheld keeps them: those of the start
  // time, unless a repeating event's first day skipped its hour at a clock change.
  void GetStartClock(int32_t& hour, int32_t& minute) const;
  long SetStartClock(int32_t hour, int32_t minute);
  // Makes the event a single event: no rule, interval 0, and no exceptions.
  long StopRepeatingEvt();
  long GetRepeateInfo(CRepeateDayInfo& info) const;  // kTblBadValue when not repeating
  long SetRepDaily(const CDayName& rule);
  long SetRepWeekly(const CWeekly& rule);
  long SetRepMonthlyByDay(const CDayOfMonth& rule);
  long SetRepMonthlyByDate(const CDateOfMonth& rule);
  long SetRepYearlyByDate(const CDateOfYear& rule);
  long GetNumExceptions(int32_t& count) const;
  // Walk the exception dates in the order they were added; return 0 while one is found.
  long FindFirstException(int32_t& date);
  long FindNextException(int32_t& date);
  // Adds the local midnight of the day of `date` (a day already excepted is not added twice).
  long AddException(int32_t date);
  // Nonzero when the local day of `time` is an exception day.
  int IsException(int32_t time) const;
  // The first occurrence at or after `after` (exceptions not looked at); 0 while one follows.
  long CalcNextOccurrance(int32_t after, int32_t& next) const;

 private:
  long SetRule(const CRepeateDayInfo& rule);
  size_t exceptionCursor_ = 0;
};

class CBaseIterator {
 public:
  explicit CBaseIterator(CBaseTable& table);
  ~CBaseIterator();
  CBaseIterator(const CBaseIterator& other);
  CBaseIterator& operator=(const CBaseIterator& other);
  // Reorder the walk (stable sorts over the rows present now). Rows appended later are not
  // in a sorted walk; UnSort returns to the live append order. A sort by record ID takes the
  // IDs as they are when the walk is first stepped through; lookups by ID see the IDs of now.
  long SortByRecordId();
  long SortByRecordStatus();
  long SortByCatId();
  long UnSort();
  // `flag` is accepted for callers' sake and ignored. Return 0 when the record was positioned.
  long FindFirst(CBaseRecord& record, int flag = 0);
  long FindNext(CBaseRecord& record, int flag = 0);
  long FindByRecordId(RecordId id, CBaseRecord& record, int flag = 0);
  // The table position (0-based, in append order) of the row found last; 0 when there is one.
  long GetCurrentRowPosition(int32_t& position) const;

 private:
  friend class CBaseTable;
  long Position(CBaseRecord& record, size_t index);
  // Makes the walk of a sort by record ID out of the table's index when it is first walked.
  void TakeIdOrder();
  CBaseTable* table_;
  bool sorted_ = false;
  bool sortedById_ = false;   // FindByRecordId may search the walk by halves
  std::vector<CRow*> order_;  // the sorted walk
  size_t index_ = 0;
  CRow* current_ = nullptr;
  // A sort by record ID looks IDs up in the table's index and makes its walk only when walked:
  // most sorts serve a few lookups. The walk holds the rows appended before the sort.
  bool idOrderPending_ = false;
  uint64_t sortedBelow_ = 0;   // rows with a lower sequence number belong to the walk
  CRow* foundById_ = nullptr;  // where a pending walk goes on from
};
