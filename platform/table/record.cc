#include <algorithm>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/table/table.h"

namespace {

using velqor::platform::ClampTime32;
using velqor::platform::LocalMidnight;

constexpr size_t kMaxExceptionCount = 65535;  // as many as the file form carries

// A field of the row with the expected class, or the status that says why there is none.
template <typename T>
long FieldOf(const CBaseRecord& record, int index, T** out) {
  *out = nullptr;
  if (!record.IsPositioned()) return kTblNotPositioned;
  CBaseField* field = record.GetField(index);
  if (field == nullptr) return kTblNoField;
  *out = FieldAs<T>(field);
  return *out != nullptr ? kTblOk : kTblWrongFieldType;
}

long GetBool(const CBaseRecord& record, int index, bool& value) {
  CBooleanField* f = nullptr;
  const long status = FieldOf(record, index, &f);
  if (status == kTblOk) value = f->Get();
  return status;
}

long SetBool(const CBaseRecord& record, int index, bool value) {
  CBooleanField* f = nullptr;
  const long status = FieldOf(record, index, &f);
  if (status == kTblOk) f->Set(value);
  return status;
}

int TestBool(const CBaseRecord& record, int index) {
  bool value = false;
  return GetBool(record, index, value) == kTblOk && value ? 1 : 0;
}

long GetText(const CBaseRecord& record, int index, std::string& text) {
  CTextField* f = nullptr;
  const long status = FieldOf(record, index, &f);
  if (status == kTblOk) text = f->Get();
  return status;
}

long SetText(const CBaseRecord& record, int index, const std::string& text) {
  CTextField* f = nullptr;
  const long status = FieldOf(record, index, &f);
  if (status != kTblOk) return status;
  if (text.size() > kMaxTextLength) return kTblBadValue;
  f->Set(text);
  return kTblOk;
}

int32_t DayOf(int32_t time) {
  return ClampTime32(LocalMidnight(time));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Binding to the table

CBaseRecord::CBaseRecord(CBaseTable& table, uint16_t flag) : table_(&table), flag_(flag) {
  table_->records_.push_back(this);
}

CBaseRecord::~CBaseRecord() {
  if (table_ == nullptr) return;
  auto& list = table_->records_;
  auto it = std::find(list.begin(), list.end(), this);
  if (it != list.end()) list.erase(it);
}

CBaseRecord::CBaseRecord(const CBaseRecord& other)
    : table_(other.table_), row_(other.row_), flag_(other.flag_) {
  if (table_ != nullptr) table_->records_.push_back(this);
}

CBaseRecord& CBaseRecord::operator=(const CBaseRecord& other) {
  if (&other == this) return *this;
  if (table_ != other.table_) {
    if (table_ != nullptr) {
      auto& list = table_->records_;
      auto it = std::find(list.begin(), list.end(), this);
      if (it != list.end()) list.erase(it);
    }
    table_ = other.table_;
    if (table_ != nullptr) table_->records_.push_back(this);
  }
  row_ = other.row_;
  flag_ = other.flag_;
  return *this;
}

CBaseField* CBaseRecord::GetField(int index) const {
  if (row_ == nullptr || index < 0 || static_cast<size_t>(index) >= row_->fields.size()) {
    return nullptr;
  }
  return row_->fields[index].get();
}

long CBaseRecord::GetInt(int index, int32_t& value) const {
  CIntegerField* f = nullptr;
  const long status = FieldOf(*this, index, &f);
  if (status == kTblOk) f->GetValue(value);
  return status;
}

long CBaseRecord::SetInt(int index, int32_t value) {
  CIntegerField* f = nullptr;
  const long status = FieldOf(*this, index, &f);
  return status == kTblOk ? f->SetValue(value) : status;
}

// ---------------------------------------------------------------------------------------------
// Whole rows

int CBaseRecord::IsEqual(const CBaseRecord& other) const {
  if (row_ == nullptr || other.row_ == nullptr) return 0;
  if (row_->fields.size() != other.row_->fields.size()) return 0;
  for (size_t i = 0; i < row_->fields.size(); ++i) {
    const CBaseField* a = row_->fields[i].get();
    const CBaseField* b = other.row_->fields[i].get();
    if (a == nullptr || b == nullptr || a->Compare(*b) != 0) return 0;  // missing differs
  }
  return 1;
}

long CBaseRecord::Assign(const CBaseRecord& other) {
  if (row_ == nullptr || other.row_ == nullptr) return kTblNotPositioned;
  if (row_ == other.row_) return kTblOk;
  bool mismatch = false;
  const size_t common = std::min(row_->fields.size(), other.row_->fields.size());
  for (size_t i = 0; i < common; ++i) {
    CBaseField* to = row_->fields[i].get();
    const CBaseField* from = other.row_->fields[i].get();
    if (to == nullptr || from == nullptr) continue;
    if (!to->CopyFrom(*from)) mismatch = true;  // the other fields are still copied
  }
  return mismatch ? kTblWrongFieldType : kTblOk;
}

long CBaseRecord::GetRawDataSize() const {
  if (row_ == nullptr) return 0;
  long size = 0;
  std::string bytes;
  for (const auto& field : row_->fields) {
    if (field && EncodeFieldValue(*field, &bytes)) size += static_cast<long>(bytes.size());
  }
  return size;
}

// ---------------------------------------------------------------------------------------------
// Record ID, category, status and archive mark

namespace {
int RecordIdIndex(const CBaseTable* table) {
  return table != nullptr && table->GetSchema() ? table->GetSchema()->RecordIdField()
                                                : kFldRecordId;
}
int StatusIndex(const CBaseTable* table) {
  return table != nullptr && table->GetSchema() ? table->GetSchema()->StatusField() : kFldStatus;
}
int CategoryIndex(const CBaseTable* table) {
  return table != nullptr && table->GetSchema() ? table->GetSchema()->CategoryField()
                                                : kFldCategory;
}
int PrivateIndex(const CBaseTable* table) {
  return table != nullptr && table->GetSchema() ? table->GetSchema()->PrivateField() : kFldPrivate;
}
}  // namespace

long CBaseRecord::GetRecordId(RecordId& id) const {
  int32_t value = 0;
  const long status = GetInt(RecordIdIndex(table_), value);
  if (status == kTblOk) id = static_cast<RecordId>(value);
  return status;
}

long CBaseRecord::SetRecordId(RecordId id) {
  return SetInt(RecordIdIndex(table_), static_cast<int32_t>(id));
}

long CBaseRecord::GetCategoryId(int32_t& category) const {
  return GetInt(CategoryIndex(table_), category);
}

long CBaseRecord::SetCategoryId(int32_t category) {
  return SetInt(CategoryIndex(table_), category);
}

long CBaseRecord::GetStatus(int32_t& status) const {
  return GetInt(StatusIndex(table_), status);
}

long CBaseRecord::SetStatus(int32_t status) {
  return SetInt(StatusIndex(table_), status);
}

int CBaseRecord::IsAdded() const {
  int32_t s = 0;
  return GetStatus(s) == kTblOk && s == kStatusAdded ? 1 : 0;
}

int CBaseRecord::IsModified() const {
  int32_t s = 0;
  return GetStatus(s) == kTblOk && s == kStatusModified ? 1 : 0;
}

int CBaseRecord::IsDeleted() const {
  int32_t s = 0;
  return GetStatus(s) == kTblOk && s == kStatusDeleted ? 1 : 0;
}

int CBaseRecord::IsPending() const {
  int32_t s = 0;
  return GetStatus(s) == kTblOk && s == kStatusPending ? 1 : 0;
}

long CBaseRecord::SetArchiveBit(int on) {
  if (row_ == nullptr) return kTblNotPositioned;
  row_->archived = on != 0;
  return kTblOk;
}

int CBaseRecord::IsArchived() const {
  return row_ != nullptr && row_->archived ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Date Book properties

int CDateBkRecord::IsPrivate() const {
  int32_t v = 0;
  return GetInt(PrivateIndex(table_), v) == kTblOk && v != 0 ? 1 : 0;
}

long CDateBkRecord::SetPrivate(int on) {
  return SetInt(PrivateIndex(table_), on ? 1 : 0);
}

long CDateBkRecord::GetStartTime(int32_t& time) const {
  return GetInt(kFldStartTime, time);
}

long CDateBkRecord::SetStartTime(int32_t time) {
  return SetInt(kFldStartTime, time);
}

long CDateBkRecord::GetEndTime(int32_t& time) const {
  return GetInt(kFldEndTime, time);
}

long CDateBkRecord::SetEndTime(int32_t time) {
  return SetInt(kFldEndTime, time);
}

int CDateBkRecord::IsUnTimed() const {
  return TestBool(*this, kFldUntimed);
}

long CDateBkRecord::SetUnTimedFlag(int on) {
  return SetBool(*this, kFldUntimed, on != 0);
}

int CDateBkRecord::IsAlarmSet() const {
  return TestBool(*this, kFldAlarmSet);
}

long CDateBkRecord::SetAlarmFlag(int on) {
  return SetBool(*this, kFldAlarmSet, on != 0);
}

long CDateBkRecord::GetAlarmAdvTime(int32_t& advance) const {
  return GetInt(kFldAlarmAdvance, advance);
}

long CDateBkRecord::SetAlarmAdvTime(int32_t advance) {
  return SetInt(kFldAlarmAdvance, advance);
}

long CDateBkRecord::GetAlarmAdvUnit(int32_t& unit) const {
  return GetInt(kFldAlarmUnit, unit);
}

long CDateBkRecord::SetAlarmAdvUnit(int32_t unit) {
  int32_t current = 0;
  const long status = GetInt(kFldAlarmUnit, current);
  if (status != kTblOk) return status;
  if (unit < kAlarmMinutes || unit > kAlarmDays) return kTblBadValue;
  return SetInt(kFldAlarmUnit, unit);
}

long CDateBkRecord::GetDescription(std::string& text) const {
  return GetText(*this, kFldDescription, text);
}

long CDateBkRecord::SetDescription(const std::string& text) {
  return SetText(*this, kFldDescription, text);
}

int CDateBkRecord::IsNote() const {
  std::string note;
  return GetText(*this, kFldNote, note) == kTblOk && !note.empty() ? 1 : 0;
}

long CDateBkRecord::GetNote(std::string& text) const {
  return GetText(*this, kFldNote, text);
}

long CDateBkRecord::SetNote(const std::string& text) {
  return SetText(*this, kFldNote, text);
}

// ---------------------------------------------------------------------------------------------
// Repetition

int CDateBkRecord::IsRepeatingEvt() const {
  return TestBool(*this, kFldRepeating);
}

void CDateBkRecord::GetStartClock(int32_t& hour, int32_t& minute) const {
  int32_t start = 0;
  GetStartTime(start);
  velqor::platform::LocalTime local{};
  velqor::platform::BreakDownLocal(start, &local);
  hour = local.hour;
  minute = local.minute;
  CRepeatField* repeat = nullptr;
  if (IsRepeatingEvt() == 0 || FieldOf(*this, kFldRepeatRule, &repeat) != kTblOk ||
      repeat->startClock < 0) {
    return;
  }
  // Only while the start is still what that hour and minute become on the start's day.
  int64_t made = 0;
  if (velqor::platform::MakeLocalTime(local.year, local.month, local.day, repeat->startClock / 60,
                                      repeat->startClock % 60, 0, &made) &&
      made == start) {
    hour = repeat->startClock / 60;
    minute = repeat->startClock % 60;
  }
}

long CDateBkRecord::SetStartClock(int32_t hour, int32_t minute) {
  CRepeatField* repeat = nullptr;
  const long status = FieldOf(*this, kFldRepeatRule, &repeat);
  if (status != kTblOk) return status;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return kTblBadValue;
  int32_t start = 0;
  GetStartTime(start);
  velqor::platform::LocalTime local{};
  velqor::platform::BreakDownLocal(start, &local);
  repeat->startClock = local.hour == hour && local.minute == minute ? -1 : hour * 60 + minute;
  return kTblOk;
}

long CDateBkRecord::StopRepeatingEvt() {
  // All three fields are checked before any is changed, so a failure changes nothing.
  CBooleanField* repeating = nullptr;
  CIntegerField* interval = nullptr;
  CRepeatField* repeat = nullptr;
  long status = FieldOf(*this, kFldRepeating, &repeating);
  if (status == kTblOk) status = FieldOf(*this, kFldRepeatInterval, &interval);
  if (status == kTblOk) status = FieldOf(*this, kFldRepeatRule, &repeat);
  if (status != kTblOk) return status;
  repeating->Set(false);
  interval->SetValue(0);
  repeat->rule = CRepeateDayInfo();
  repeat->exceptions.clear();
  repeat->ExceptionsChanged();
  repeat->startClock = -1;
  exceptionCursor_ = 0;
  return kTblOk;
}

long CDateBkRecord::GetRepeateInfo(CRepeateDayInfo& info) const {
  CBooleanField* repeating = nullptr;
  CIntegerField* interval = nullptr;
  CRepeatField* repeat = nullptr;
  long status = FieldOf(*this, kFldRepeating, &repeating);
  if (status == kTblOk) status = FieldOf(*this, kFldRepeatInterval, &interval);
  if (status == kTblOk) status = FieldOf(*this, kFldRepeatRule, &repeat);
  if (status != kTblOk) return status;
  if (!repeating->Get()) return kTblBadValue;
  int32_t every = 0;
  interval->GetValue(every);
  info = repeat->rule;
  info.SetInterval(every);  // field 13 is the one place the interval is kept
  return kTblOk;
}

long CDateBkRecord::SetRule(const CRepeateDayInfo& rule) {
  CBooleanField* repeating = nullptr;
  CIntegerField* interval = nullptr;
  CRepeatField* repeat = nullptr;
  long status = FieldOf(*this, kFldRepeating, &repeating);
  if (status == kTblOk) status = FieldOf(*this, kFldRepeatInterval, &interval);
  if (status == kTblOk) status = FieldOf(*this, kFldRepeatRule, &repeat);
  if (status != kTblOk) return status;
  repeating->Set(true);
  interval->SetValue(rule.GetInterval());
  repeat->rule = rule;  // the exceptions stay
  return kTblOk;
}

long CDateBkRecord::SetRepDaily(const CDayName& rule) {
  return SetRule(rule);
}

long CDateBkRecord::SetRepWeekly(const CWeekly& rule) {
  return SetRule(rule);
}

long CDateBkRecord::SetRepMonthlyByDay(const CDayOfMonth& rule) {
  return SetRule(rule);
}

long CDateBkRecord::SetRepMonthlyByDate(const CDateOfMonth& rule) {
  return SetRule(rule);
}

long CDateBkRecord::SetRepYearlyByDate(const CDateOfYear& rule) {
  return SetRule(rule);
}

long CDateBkRecord::GetNumExceptions(int32_t& count) const {
  CRepeatField* repeat = nullptr;
  const long status = FieldOf(*this, kFldRepeatRule, &repeat);
  if (status == kTblOk) count = static_cast<int32_t>(repeat->exceptions.size());
  return status;
}

long CDateBkRecord::FindFirstException(int32_t& date) {
  exceptionCursor_ = 0;
  return FindNextException(date);
}

long CDateBkRecord::FindNextException(int32_t& date) {
  CRepeatField* repeat = nullptr;
  const long status = FieldOf(*this, kFldRepeatRule, &repeat);
  if (status != kTblOk) return status;
  if (exceptionCursor_ >= repeat->exceptions.size()) return kTblNoException;
  date = repeat->exceptions[exceptionCursor_++];
  return kTblOk;
}

long CDateBkRecord::AddException(int32_t date) {
  CRepeatField* repeat = nullptr;
  const long status = FieldOf(*this, kFldRepeatRule, &repeat);
  if (status != kTblOk) return status;
  const int32_t day = DayOf(date);
  if (repeat->HasExceptionDay(day)) return kTblOk;
  if (repeat->exceptions.size() >= kMaxExceptionCount) return kTblBadValue;
  repeat->AppendExceptionDay(day);
  return kTblOk;
}

int CDateBkRecord::IsException(int32_t time) const {
  CRepeatField* repeat = nullptr;
  if (FieldOf(*this, kFldRepeatRule, &repeat) != kTblOk) return 0;
  return repeat->HasExceptionDay(DayOf(time)) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// The exceptions' day index

const CRepeatField::DayIndex& CRepeatField::Days() const {
  // Days are local: a list loaded in one zone and looked up in another is indexed again.
  const char* zone = std::getenv("TZ");
  DayIndex& index = dayIndex_;
  if (index.valid && index.data == exceptions.data() && index.count == exceptions.size() &&
      index.zoneSet == (zone != nullptr) && (zone == nullptr || index.zone == zone)) {
    return index;
  }
  index.Clear();
  index.days.reserve(exceptions.size());
  for (int32_t existing : exceptions) index.days.insert(DayOf(existing));
  index.data = exceptions.data();
  index.count = exceptions.size();
  index.zoneSet = zone != nullptr;
  index.zone = zone != nullptr ? zone : "";
  index.valid = true;
  return index;
}

bool CRepeatField::HasExceptionDay(int32_t day) const {
  return Days().days.count(day) != 0;
}

void CRepeatField::AppendExceptionDay(int32_t day) {
  Days();  // up to date for the list as it was, then grown with it
  exceptions.push_back(day);
  dayIndex_.days.insert(DayOf(day));
  dayIndex_.data = exceptions.data();
  dayIndex_.count = exceptions.size();
}

long CDateBkRecord::CalcNextOccurrance(int32_t after, int32_t& next) const {
  CRepeateDayInfo rule;
  long status = GetRepeateInfo(rule);
  if (status != kTblOk) return status;
  int32_t start = 0;
  status = GetStartTime(start);
  if (status != kTblOk) return status;
  int32_t found = 0;
  if (NextOccurrence(rule, start, after, &found) != 0) return kTblEndOfTable;
  next = found;
  return kTblOk;
}
