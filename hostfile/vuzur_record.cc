#include "hostfile/vuzur_record.h"

#include <string>

namespace {

using velqor::hostfile::ExchangeRecord;

constexpr int kFirstEventField = kFldStartTime;
constexpr int kLastEventField = kFldRepeatInterval;

CIntegerField* HostNumberField(const CBaseRecord& record) {
  return FieldAs<CIntegerField>(record.GetField(kFldHostNumber));
}

}  // namespace

namespace {

bool AlarmOff(const CBaseRecord& record) {
  const auto* alarm = FieldAs<CBooleanField>(record.GetField(kFldAlarmSet));
  return alarm != nullptr && !alarm->Get();
}

}  // namespace

int CVuzurRecord::IsEqual(const CBaseRecord& other) const {
  // An alarm's advance and unit mean nothing while the alarm is off, and the handheld and the
  // host leave different values there: the same event from either side must compare equal.
  const bool alarmsOff = AlarmOff(*this) && AlarmOff(other);
  for (int index = kFirstEventField; index <= kLastEventField; ++index) {
    const CBaseField* mine = GetField(index);
    const CBaseField* theirs = other.GetField(index);
    if (mine == nullptr || theirs == nullptr) return 0;
    if (alarmsOff && (index == kFldAlarmAdvance || index == kFldAlarmUnit)) continue;
    if (mine->Compare(*theirs) != 0) return 0;
  }
  return 1;
}

long CVuzurRecord::GetHostNumber(int32_t& value) const {
  const CIntegerField* field = HostNumberField(*this);
  int32_t read = 0;
  if (field == nullptr || field->GetValue(read) != kTblOk) return kNoHostNumber;
  value = read;
  return 0;
}

long CVuzurRecord::SetHostNumber(const int32_t& value) {
  CIntegerField* field = HostNumberField(*this);
  if (field == nullptr || field->SetValue(value) != kTblOk) return kNoHostNumber;
  return 0;
}

long CVuzurRecord::GetExchangeFields(ExchangeRecord* fields) const {
  if (!IsPositioned()) return kTblNotPositioned;
  ExchangeRecord r;
  RecordId id = 0;
  long status = GetRecordId(id);
  r.recordId = id;
  // A row without a readable host number goes out as 0, the value of a fresh row.
  int32_t host = 0;
  GetHostNumber(host);
  r.hostNumber = host;
  if (status == 0) status = GetStartTime(r.startTime);
  r.untimed = IsUnTimed() != 0;
  if (status == 0) status = GetEndTime(r.endTime);
  if (status == 0) status = GetStatus(r.status);
  r.alarmSet = IsAlarmSet() != 0;
  if (r.alarmSet) {
    int32_t unit = kAlarmMinutes;
    if (status == 0) status = GetAlarmAdvTime(r.alarmAdvance);
    if (status == 0) status = GetAlarmAdvUnit(unit);
    r.alarmUnit = unit;
  }
  r.repeating = IsRepeatingEvt() != 0;
  if (status == 0) status = GetDescription(r.description);
  if (status == 0) status = GetNote(r.note);
  r.isPrivate = IsPrivate() != 0;
  if (status != 0) return status;
  *fields = std::move(r);
  return 0;
}

long CVuzurRecord::SetExchangeFields(const ExchangeRecord& fields) {
  if (!IsPositioned()) return kTblNotPositioned;
  long status = 0;
  auto check = [&status](long result) {
    if (status == 0) status = result;
  };
  if (fields.recordId) check(SetRecordId(*fields.recordId));
  if (fields.hostNumber) check(SetHostNumber(*fields.hostNumber));
  check(SetStartTime(fields.startTime));
  check(SetUnTimedFlag(fields.untimed ? 1 : 0));
  check(SetEndTime(fields.endTime));
  check(SetStatus(fields.status));
  if (fields.alarmSet) {
    check(SetAlarmFlag(1));
    check(SetAlarmAdvTime(fields.alarmAdvance));
    if (fields.alarmUnit) check(SetAlarmAdvUnit(*fields.alarmUnit));
  }
  // The file carries only the flag; the real rule is rebuilt from the handheld.
  if (fields.repeating) check(SetRepDaily(CDayName(1, 1, -1, 0)));
  if (fields.hasText) {
    if (fields.isPrivate) check(SetPrivate(1));
    check(SetDescription(fields.description));
    if (!fields.note.empty()) check(SetNote(fields.note));
  }
  return status;
}

void CVuzurRecord::SerializeRecord(CArchive& archive) {
  if (archive.IsStoring()) {
    ExchangeRecord fields;
    std::string line;
    if (GetExchangeFields(&fields) != 0) throw CArchiveException(kCauseGeneric);
    if (!velqor::hostfile::FormatExchangeRecord(fields, &line)) {
      throw CArchiveException(kCauseBadFormat);
    }
    archive.WriteString(line);
  } else {
    const ExchangeRecord fields = velqor::hostfile::ReadExchangeRecord(archive);
    if (SetExchangeFields(fields) != 0) throw CArchiveException(kCauseGeneric);
  }
}
