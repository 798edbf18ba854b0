#include "convert/datebook_converter.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/handles.h"

namespace {

constexpr uint16_t kFirstHandheldYear = 1904;
constexpr int kFirstTimeYear = 1970;
constexpr int32_t kSecondsPerDay = 86400;

uint16_t ReadWord(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void WriteWord(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

uint16_t PackedDate(int32_t time) {
  uint16_t date;
  uint8_t hour;
  uint8_t minute;
  TimeToPackedDate(time, &date, &hour, &minute);
  return date;
}

// A desktop text ends at its first NUL: the handheld could not tell where it went on.
uint32_t TextLength(const std::string& text) {
  const void* nul = std::memchr(text.data(), '\0', text.size());
  return static_cast<uint32_t>(nul ? static_cast<const char*>(nul) - text.data() : text.size());
}

// The number of bytes CopyStripCR writes for a text when nothing limits it, NUL excluded.
uint32_t StrippedLength(const char* text, uint32_t length) {
  uint32_t out = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (text[i] == '\r') {
      if (++i == length) break;
    }
    ++out;
  }
  return out;
}

// A handheld text that starts at `pos`: it ends at its NUL or at the record's end. Returns its
// length and moves `pos` past it and its NUL.
uint32_t TakeText(const uint8_t* data, uint32_t avail, uint32_t& pos) {
  const uint8_t* start = data + pos;
  const void* nul = std::memchr(start, '\0', avail - pos);
  uint32_t len =
      nul ? static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - start) : avail - pos;
  pos += len;
  if (pos < avail) ++pos;  // the NUL
  return len;
}

}  // namespace

uint16_t SwapWord(uint16_t value) {
  return static_cast<uint16_t>(value << 8 | value >> 8);
}

uint32_t SwapLong(uint32_t value) {
  return (value << 24) | ((value << 8) & 0x00FF0000u) | ((value >> 8) & 0x0000FF00u) |
         (value >> 24);
}

void TimeToPackedDate(int32_t time, uint16_t* date, uint8_t* hour, uint8_t* minute) {
  velqor::platform::LocalTime lt{};
  if (!velqor::platform::BreakDownLocal(time, &lt)) {
    *date = 0;
    *hour = 0;
    *minute = 0;
    return;
  }
  // Years outside 1904 to 2031 wrap by multiples of 128: the word has seven bits for them.
  unsigned year = static_cast<unsigned>(lt.year - kFirstHandheldYear) & 0x7Fu;
  *date = static_cast<uint16_t>(year << 9 | (static_cast<unsigned>(lt.month) & 15u) << 5 |
                                (static_cast<unsigned>(lt.day) & 31u));
  *hour = static_cast<uint8_t>(lt.hour);
  *minute = static_cast<uint8_t>(lt.minute);
}

long PackedDateToTime(uint16_t date, int hour, int minute, int32_t* time) {
  int year = kFirstHandheldYear + (date >> 9);
  int month = (date >> 5) & 15;
  int day = date & 31;
  long status = 0;
  if (year < kFirstTimeYear) {
    year = kFirstTimeYear;
    status = kConvMovedTo1970;
  }
  if (month < 1 || month > 12) month = 12;
  int64_t t = 0;
  velqor::platform::MakeLocalTime(year, month, day, hour, minute, 0, &t);
  *time = velqor::platform::ClampTime32(t);
  return status;
}

uint32_t CopyStripCR(uint8_t* dest, uint32_t capacity, const char* text, uint32_t length) {
  if (capacity == 0) return 0;
  const uint32_t last = capacity - 1;  // room kept for the NUL
  uint32_t written = 0;
  for (uint32_t i = 0; i < length && text[i] != '\0' && written < last; ++i) {
    if (text[i] == '\r') {
      ++i;  // the byte after a CR is copied whatever it is
      if (i == length || text[i] == '\0') break;
      // Cut short, a text must not end in a CR whose LF did not fit.
      if (text[i] == '\r' && written + 1 == last && i + 1 < length && text[i + 1] == '\n') break;
    }
    dest[written++] = static_cast<uint8_t>(text[i]);
  }
  dest[written++] = 0;
  return written;
}

long CDateBkConverter::RecordToRaw(CBaseRecord& base, RawRecord& raw) {
  auto* record = dynamic_cast<CDateBkRecord*>(&base);
  if (record == nullptr) return -1;

  raw.size = 0;
  RecordId id = 0;
  record->GetRecordId(id);
  raw.recordId = id;
  raw.attributes = 0;
  int32_t category = 0;
  record->GetCategoryId(category);
  raw.categoryId = static_cast<int16_t>(category);
  if (record->IsPrivate()) raw.attributes |= kAttrPrivate;
  if (record->IsArchived()) raw.attributes |= kAttrArchive;
  if (record->IsDeleted()) raw.attributes |= kAttrDeleted;
  if (record->IsModified() || record->IsAdded()) raw.attributes |= kAttrDirty;

  uint8_t* data = velqor::platform::ResolveAs<uint8_t>(raw.buffer);
  if (data == nullptr) return kConvNoTextBuffer;
  const uint32_t capacity = raw.capacity;

  // Everything but the texts is sized first, so that nothing is written past the buffer.
  const bool alarm = record->IsAlarmSet() != 0;
  CRepeateDayInfo info;
  const bool repeat = record->IsRepeatingEvt() != 0 && record->GetRepeateInfo(info) == kTblOk;
  int32_t exceptionCount = 0;
  if (record->GetNumExceptions(exceptionCount) != kTblOk || exceptionCount < 0) exceptionCount = 0;
  if (exceptionCount > 0xFFFF) return kConvRecordTooBig;
  const uint32_t fixed = kRawFixedSize + (alarm ? kRawAlarmSize : 0) +
                         (repeat ? kRawRepeatSize : 0) +
                         (exceptionCount > 0 ? 2 + 2 * static_cast<uint32_t>(exceptionCount) : 0);
  if (fixed + 1 > capacity) return kConvRecordTooBig;  // the description's NUL is always there

  const bool untimed = record->IsUnTimed() != 0;
  int32_t start = 0;
  record->GetStartTime(start);
  uint16_t date;
  uint8_t hour;
  uint8_t minute;
  TimeToPackedDate(start, &date, &hour, &minute);
  if (repeat) {
    int32_t clockHour = 0;
    int32_t clockMinute = 0;
    record->GetStartClock(clockHour, clockMinute);
    hour = static_cast<uint8_t>(clockHour);
    minute = static_cast<uint8_t>(clockMinute);
  }
  data[0] = untimed ? 0xFF : hour;
  data[1] = untimed ? 0xFF : minute;
  WriteWord(data + 4, date);  // the end's date is not stored: an event ends on its start's date
  int32_t end = 0;
  record->GetEndTime(end);
  uint16_t endDate;
  TimeToPackedDate(end, &endDate, &hour, &minute);
  data[2] = untimed ? 0xFF : hour;
  data[3] = untimed ? 0xFF : minute;
  data[7] = 0;
  uint32_t pos = kRawFixedSize;
  uint8_t flags = kRawFlagDescription;

  if (alarm) {
    flags |= kRawFlagAlarm;
    int32_t advance = 0;
    int32_t unit = 0;
    record->GetAlarmAdvTime(advance);
    record->GetAlarmAdvUnit(unit);
    data[pos++] = static_cast<uint8_t>(advance);
    data[pos++] = static_cast<uint8_t>(unit);
  }

  if (repeat) {
    flags |= kRawFlagRepeat;
    const eRepeateBrand brand = info.GetMyBrand();
    data[pos] = static_cast<uint8_t>(brand);
    data[pos + 1] = 0;
    // The last day the handheld can hold, and anything after it, means "no end": a later date
    // would wrap around to the early years of the date word.
    const int32_t e = info.GetEndDate();
    const int32_t m = maxDate();
    WriteWord(data + pos + 2, e >= m - (kSecondsPerDay - 1) ? kRawNoEndDate : PackedDate(e));
    data[pos + 4] = static_cast<uint8_t>(info.GetInterval());
    uint8_t on = 0;
    if (brand == kRepeatMonthlyByDay) {
      CDayOfMonth rule(info.GetWeekIndex(), info.GetDayOfWeek(), info.GetInterval(), e,
                       info.GetFirstDayOfWeek());
      on = static_cast<uint8_t>(rule.CalcDayMultiple());
    } else if (brand == kRepeatWeekly) {
      on = info.GetWeekDayMask();
    }
    data[pos + 5] = on;
    data[pos + 6] = static_cast<uint8_t>(info.GetFirstDayOfWeek());
    data[pos + 7] = 0;
    pos += kRawRepeatSize;
  }

  if (exceptionCount > 0) {
    flags |= kRawFlagExceptions;
    const uint32_t countPos = pos;
    pos += 2;
    uint32_t found = 0;
    int32_t when = 0;
    for (long s = record->FindFirstException(when);
         s == kTblOk && found < static_cast<uint32_t>(exceptionCount);
         s = record->FindNextException(when)) {
      WriteWord(data + pos, PackedDate(when));
      pos += 2;
      ++found;
    }
    // The count always matches the dates that follow it.
    WriteWord(data + countPos, static_cast<uint16_t>(found));
  }

  std::string description;
  long status = record->GetDescription(description);
  std::string note;
  const bool hasNote = record->IsNote() != 0;
  if (hasNote) status = record->GetNote(note);

  // Texts that would not fit are cut: the note first, then the description.
  const uint32_t room = capacity - pos;
  const uint32_t descLength = TextLength(description);
  const uint32_t descNeed = StrippedLength(description.data(), descLength) + 1;
  uint32_t noteLength = 0;
  uint32_t noteRoom = 0;
  if (hasNote) {
    noteLength = TextLength(note);
    const uint32_t noteNeed = StrippedLength(note.data(), noteLength) + 1;
    noteRoom = room > descNeed ? room - descNeed : 0;
    if (noteRoom > noteNeed) noteRoom = noteNeed;
    if (noteRoom < 2) noteRoom = 0;  // not even one character: the note is left out
  }
  pos += CopyStripCR(data + pos, room - noteRoom, description.data(), descLength);
  if (noteRoom > 0) {
    flags |= kRawFlagNote;
    pos += CopyStripCR(data + pos, noteRoom, note.data(), noteLength);
  }

  data[6] = flags;
  raw.size = pos;
  return status;
}

long CDateBkConverter::RawToRecord(CBaseRecord& base, RawRecord& raw) {
  auto* record = dynamic_cast<CDateBkRecord*>(&base);
  if (record == nullptr) return -1;

  const uint8_t* data = velqor::platform::ResolveAs<uint8_t>(raw.buffer);
  uint32_t avail = 0;
  if (data != nullptr) avail = raw.size < raw.capacity ? raw.size : raw.capacity;

  record->SetRecordId(raw.recordId);
  record->SetCategoryId(raw.categoryId);
  record->SetArchiveBit((raw.attributes & kAttrArchive) ? 1 : 0);
  record->SetPrivate((raw.attributes & kAttrPrivate) ? 1 : 0);
  const bool deleted = (raw.attributes & kAttrDeleted) != 0;
  long result = record->SetStatus(kStatusNone);
  if (deleted) {
    result = record->SetStatus(kStatusDeleted);
  } else if (raw.attributes & kAttrDirty) {
    result = record->SetStatus(kStatusModified);
  }

  // A record without its fixed part brings nothing else: no property of the record converted
  // before may stay behind.
  if (avail < kRawFixedSize) {
    record->StopRepeatingEvt();
    record->SetStartTime(0);
    record->SetEndTime(0);
    record->SetUnTimedFlag(0);
    record->SetAlarmFlag(0);
    record->SetAlarmAdvTime(-1);
    record->SetAlarmAdvUnit(0);
    record->SetDescription(std::string());
    record->SetNote(std::string());
    // A deleted record may come without data; a live one may not.
    return deleted ? result : kConvBadRecord;
  }

  const bool untimed = ReadWord(data) == 0xFFFF;
  const int startHour = untimed ? 0 : data[0];
  const int startMinute = untimed ? 0 : data[1];
  const uint16_t date = ReadWord(data + 4);
  int32_t start = 0;
  long dateStatus = PackedDateToTime(date, startHour, startMinute, &start);
  record->SetStartTime(start);
  int32_t end = 0;
  PackedDateToTime(date, untimed ? 0 : data[2], untimed ? 0 : data[3], &end);
  record->SetEndTime(end);
  record->SetUnTimedFlag(untimed ? 1 : 0);

  // Flag bits other than the five parts (some tools mark changes with 0x80) are ignored.
  const uint8_t flags = data[6];
  uint32_t pos = kRawFixedSize;
  // A part that would run past the record's end is absent, and so is everything after it.
  auto take = [&](uint8_t flag, uint32_t size) {
    if (!(flags & flag)) return false;
    if (size > avail - pos) {
      pos = avail;
      return false;
    }
    return true;
  };

  if (take(kRawFlagAlarm, kRawAlarmSize)) {
    record->SetAlarmFlag(1);
    record->SetAlarmAdvTime(data[pos]);
    record->SetAlarmAdvUnit(static_cast<int8_t>(data[pos + 1]));
    pos += kRawAlarmSize;
  } else {
    record->SetAlarmFlag(0);
    record->SetAlarmAdvTime(-1);
    record->SetAlarmAdvUnit(0);
  }

  record->StopRepeatingEvt();
  if (take(kRawFlagRepeat, kRawRepeatSize)) {
    const int type = static_cast<int8_t>(data[pos]);
    const uint16_t endWord = ReadWord(data + pos + 2);
    int32_t endDate = maxDate();
    if (endWord != kRawNoEndDate) {
      long s = PackedDateToTime(endWord, 0, 0, &endDate);
      if (dateStatus == 0) dateStatus = s;
    }
    const int frequency = data[pos + 4];
    const int on = data[pos + 5];
    const int weekStart = data[pos + 6];
    pos += kRawRepeatSize;

    velqor::platform::LocalTime lt{};
    velqor::platform::BreakDownLocal(start, &lt);
    switch (type) {
      case kRepeatDaily:
        record->SetRepDaily(CDayName(lt.weekday, frequency, endDate, 0));
        break;
      case kRepeatWeekly:
        record->SetRepWeekly(CWeekly(static_cast<uint8_t>(on), frequency, endDate, weekStart));
        break;
      case kRepeatMonthlyByDay: {
        // Codes from 28 on (the handheld's "last" week) all mean the last such weekday.
        const int week = on / 7 > 4 ? 4 : on / 7;
        record->SetRepMonthlyByDay(CDayOfMonth(week, lt.weekday, frequency, endDate, weekStart));
        break;
      }
      case kRepeatMonthlyByDate:
        record->SetRepMonthlyByDate(CDateOfMonth(lt.day, frequency, endDate, weekStart));
        break;
      case kRepeatYearlyByDate:
        record->SetRepYearlyByDate(
            CDateOfYear(lt.month - 1, lt.day, frequency, endDate, weekStart));
        break;
      default:
        break;  // an unknown type: the event does not repeat
    }
  }

  // A start in the hour a clock change skips has no time of its own: the hour and minute the
  // handheld keeps are remembered, so the other occurrences and a later write keep them.
  if (!untimed && record->IsRepeatingEvt() != 0) record->SetStartClock(startHour, startMinute);

  if (flags & kRawFlagExceptions) {
    const uint32_t count = avail - pos >= 2 ? ReadWord(data + pos) : 0;
    if (take(kRawFlagExceptions, 2 + 2 * count)) {
      pos += 2;
      for (uint32_t i = 0; i < count; ++i, pos += 2) {
        int32_t when = 0;
        long s = PackedDateToTime(ReadWord(data + pos), 0, 0, &when);
        if (dateStatus == 0) dateStatus = s;
        record->AddException(when);
      }
    }
  }

  char* text = TextBuffer();
  if ((flags & kRawFlagDescription) && pos < avail) {
    const uint32_t at = pos;
    const uint32_t len = TakeText(data, avail, pos);
    if (CopyAddCR(reinterpret_cast<const char*>(data + at), len) == 0) {
      record->SetDescription(text);
    } else {
      record->SetDescription(std::string());
    }
  } else {
    record->SetDescription(std::string());
  }

  if ((flags & kRawFlagNote) && pos < avail) {
    const uint32_t at = pos;
    const uint32_t len = TakeText(data, avail, pos);
    if (CopyAddCR(reinterpret_cast<const char*>(data + at), len) == 0) {
      result = record->SetNote(text);
    } else {
      result = record->SetNote(std::string());
    }
  } else {
    result = record->SetNote(std::string());
  }

  if (result == 0 && dateStatus != 0) return dateStatus;
  return result;
}
