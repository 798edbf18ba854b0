// Repeat rules of Date Book events, as the handheld's Date Book shows them. Every rule works
// by local calendar date: an event repeats on dates, at its own local time of day.
#pragma once

#include <cstdint>

enum eRepeateBrand : int32_t {
  kRepeatNone = 0,
  kRepeatDaily = 1,
  kRepeatWeekly = 2,
  kRepeatMonthlyByDay = 3,
  kRepeatMonthlyByDate = 4,
  kRepeatYearlyByDate = 5,
};

// Weekday numbers: 0 Sunday to 6 Saturday.
enum eDayIndex : int32_t {
  kSunday = 0,
  kMonday,
  kTuesday,
  kWednesday,
  kThursday,
  kFriday,
  kSaturday
};

enum eAlarmUnit : int32_t { kAlarmMinutes = 0, kAlarmHours = 1, kAlarmDays = 2 };

// The last date the library can hold: the end of 31 December 2031, local time, the last day a
// handheld date can express. A repeat that never ends carries it as its end date.
int32_t maxDate();

// A rule of any kind. The subclasses below are its constructors; a rule is a value and is
// copied freely. End dates are times of the last day on which the event may occur (the time of
// day does not matter); an end date of -1 means no end and is kept as maxDate().
class CRepeateDayInfo {
 public:
  CRepeateDayInfo() = default;
  eRepeateBrand GetMyBrand() const { return brand_; }
  int32_t GetInterval() const { return interval_; }
  int32_t GetEndDate() const { return endDate_; }
  int32_t GetFirstDayOfWeek() const { return firstDayOfWeek_; }
  uint8_t GetWeekDayMask() const { return weekDays_; }   // weekly
  int32_t GetWeekIndex() const { return weekIndex_; }    // monthly by day: 0-3, 4 = last
  int32_t GetDayOfWeek() const { return dayOfWeek_; }    // monthly by day
  int32_t GetDayOfMonth() const { return dayOfMonth_; }  // monthly by date, yearly
  int32_t GetMonth() const { return month_; }            // yearly, 0 January to 11
  void SetEndDate(int32_t endDate);
  void SetInterval(int32_t interval) { interval_ = interval; }
  bool operator==(const CRepeateDayInfo& other) const = default;

 protected:
  // What every kind of rule sets; the kinds add their own parameters.
  CRepeateDayInfo(eRepeateBrand brand, int32_t interval, int32_t endDate, int32_t firstDayOfWeek)
      : brand_(brand), interval_(interval), firstDayOfWeek_(firstDayOfWeek) {
    SetEndDate(endDate);
  }
  eRepeateBrand brand_ = kRepeatNone;
  int32_t interval_ = 0;
  int32_t endDate_ = 0;
  int32_t firstDayOfWeek_ = 0;
  uint8_t weekDays_ = 0;
  int32_t weekIndex_ = 0;
  int32_t dayOfWeek_ = 0;
  int32_t dayOfMonth_ = 0;
  int32_t month_ = 0;
  friend class CRepeatField;
};

// Daily, every `interval` days. `weekday` and `dayIndex` are carried but not used.
class CDayName : public CRepeateDayInfo {
 public:
  CDayName(int32_t weekday, int32_t interval, int32_t endDate, int32_t dayIndex);
};

// Weekly on the days of a mask (bit 0 Sunday to bit 6 Saturday), every `interval` weeks counted
// from the week of the event's date; weeks begin on `firstDayOfWeek`.
class CWeekly : public CRepeateDayInfo {
 public:
  CWeekly(uint8_t weekDays, int32_t interval, int32_t endDate, int32_t firstDayOfWeek);
  uint8_t GetWeekDays() const { return weekDays_; }
};

// Monthly on the nth weekday (week index 0 to 3), or the last one (4), every `interval` months.
class CDayOfMonth : public CRepeateDayInfo {
 public:
  CDayOfMonth(int32_t weekIndex, int32_t dayOfWeek, int32_t interval, int32_t endDate,
              int32_t firstDayOfWeek);
  // The handheld's day code: week index × 7 + weekday.
  int32_t CalcDayMultiple() const { return weekIndex_ * 7 + dayOfWeek_; }
};

// Monthly on a day of the month; months without that day have no occurrence.
class CDateOfMonth : public CRepeateDayInfo {
 public:
  CDateOfMonth(int32_t dayOfMonth, int32_t interval, int32_t endDate, int32_t firstDayOfWeek);
};

// Yearly on a month (0 to 11) and day; 29 February occurs in leap years only.
class CDateOfYear : public CRepeateDayInfo {
 public:
  CDateOfYear(int32_t month, int32_t dayOfMonth, int32_t interval, int32_t endDate,
              int32_t firstDayOfWeek);
};

// The first occurrence of an event that is at or after `after`: the event starts at local time
// `start` (its first possible occurrence), repeats by `rule`, and each occurrence is at the
// start's local hour, minute and second on its date. Exceptions are not looked at. Returns 0
// and sets *next, or nonzero when no occurrence follows (past the end date or maxDate(), or a
// rule that never occurs).
int32_t NextOccurrence(const CRepeateDayInfo& rule, int32_t start, int32_t after, int32_t* next);
