#include "platform/table/repeat.h"

#include <algorithm>
#include <optional>

#include "platform/clock.h"

namespace {

using velqor::platform::BreakDownLocal;
using velqor::platform::LocalTime;
using velqor::platform::MakeLocalTime;

constexpr int32_t kNoOccurrence = 1;

// The last day a handheld date word can hold.
constexpr int kLastYear = 2031;
constexpr int kLastMonth = 12;
constexpr int kLastDay = 31;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t FloorMod(int64_t a, int64_t b) {
  return a - FloorDiv(a, b) * b;
}

int64_t CeilDiv(int64_t a, int64_t b) {
  return -FloorDiv(-a, b);
}

bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Calendar dates as day numbers (days since 1 January 1970, proleptic Gregorian), so that rule
// arithmetic is plain integer arithmetic and never depends on the time zone. Years are counted
// from 1 March so that the leap day is the last day of its year.
int64_t DayNumber(int64_t year, int month, int day) {
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yearOfEra = y - era * 400;
  const int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;
  const int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

struct Date {
  int64_t year;
  int month;
  int day;
};

Date DateOf(int64_t dayNumber) {
  const int64_t shifted = dayNumber + 719468;
  const int64_t era = FloorDiv(shifted, 146097);
  const int64_t dayOfEra = shifted - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const int day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  const int month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  return Date{yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// 1 January 1970 was a Thursday.
int WeekdayOf(int64_t dayNumber) {
  return static_cast<int>(FloorMod(dayNumber + 4, 7));
}

int64_t MonthIndex(int64_t year, int month) {
  return year * 12 + (month - 1);
}

// What a search for the first rule date needs: the start date, the first day that may be
// returned (never before the start date) and the last one allowed.
struct Span {
  int64_t startDay;
  Date startDate;
  int64_t from;
  int64_t last;
};

std::optional<int64_t> Within(int64_t day, const Span& span) {
  if (day > span.last) return std::nullopt;
  return day;
}

std::optional<int64_t> FirstDaily(int64_t interval, const Span& span) {
  const int64_t periods = CeilDiv(span.from - span.startDay, interval);
  return Within(span.startDay + periods * interval, span);
}

std::optional<int64_t> FirstWeekly(const CRepeateDayInfo& rule, int64_t interval,
                                   const Span& span) {
  const unsigned mask = rule.GetWeekDayMask() & 0x7Fu;
  if (mask == 0) return std::nullopt;
  const int64_t firstDay = FloorMod(rule.GetFirstDayOfWeek(), 7);
  auto weekStart = [firstDay](int64_t day) { return day - FloorMod(WeekdayOf(day) - firstDay, 7); };
  const int64_t baseWeek = weekStart(span.startDay);
  // Jump to the first week of the cycle at or after the week of `from`.
  const int64_t weeks = (weekStart(span.from) - baseWeek) / 7;
  int64_t week = baseWeek + CeilDiv(weeks, interval) * interval * 7;
  int64_t day = std::max(span.from, week);
  // A nonempty mask matches some day of every whole week, so this ends within two weeks.
  while (week <= span.last) {
    for (; day < week + 7; ++day) {
      if (day > span.last) return std::nullopt;
      if (mask & (1u << WeekdayOf(day))) return day;
    }
    week += interval * 7;
    day = week;
  }
  return std::nullopt;
}

// Month indices of the cycle, from the first at or after the month of `from`.
int64_t FirstCycleMonth(int64_t interval, const Span& span) {
  const Date from = DateOf(span.from);
  const int64_t startMonth = MonthIndex(span.startDate.year, span.startDate.month);
  const int64_t months = MonthIndex(from.year, from.month) - startMonth;
  return startMonth + CeilDiv(months, interval) * interval;
}

std::optional<int64_t> FirstMonthlyByDay(const CRepeateDayInfo& rule, int64_t interval,
                                         const Span& span) {
  const int32_t weekIndex = rule.GetWeekIndex();
  const int32_t weekday = rule.GetDayOfWeek();
  if (weekIndex < 0 || weekIndex > 4 || weekday < 0 || weekday > 6) return std::nullopt;
  for (int64_t month = FirstCycleMonth(interval, span);; month += interval) {
    const int64_t year = FloorDiv(month, 12);
    const int monthOfYear = static_cast<int>(FloorMod(month, 12)) + 1;
    const int64_t first = DayNumber(year, monthOfYear, 1);
    if (first > span.last) return std::nullopt;
    int64_t day;
    if (weekIndex < 4) {
      day = first + FloorMod(weekday - WeekdayOf(first), 7) + 7 * weekIndex;
    } else {
      const int64_t lastOfMonth = first + DaysInMonth(year, monthOfYear) - 1;
      day = lastOfMonth - FloorMod(WeekdayOf(lastOfMonth) - weekday, 7);
    }
    if (day >= span.from) return Within(day, span);
  }
}

std::optional<int64_t> FirstMonthlyByDate(const CRepeateDayInfo& rule, int64_t interval,
                                          const Span& span) {
  const int32_t dayOfMonth = rule.GetDayOfMonth();
  if (dayOfMonth < 1 || dayOfMonth > 31) return std::nullopt;
  // Months without the day are skipped; the last allowed day bounds the walk.
  for (int64_t month = FirstCycleMonth(interval, span);; month += interval) {
    const int64_t year = FloorDiv(month, 12);
    const int monthOfYear = static_cast<int>(FloorMod(month, 12)) + 1;
    const int64_t first = DayNumber(year, monthOfYear, 1);
    if (first > span.last) return std::nullopt;
    if (dayOfMonth > DaysInMonth(year, monthOfYear)) continue;
    const int64_t day = first + dayOfMonth - 1;
    if (day >= span.from) return Within(day, span);
  }
}

std::optional<int64_t> FirstYearlyByDate(const CRepeateDayInfo& rule, int64_t interval,
                                         const Span& span) {
  const int month = rule.GetMonth() + 1;
  const int32_t dayOfMonth = rule.GetDayOfMonth();
  if (month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > DaysInMonth(2000, month)) {
    return std::nullopt;  // a day no year has
  }
  const int64_t years = DateOf(span.from).year - span.startDate.year;
  // 29 February skips the years that lack it; the last allowed day bounds the walk.
  for (int64_t year = span.startDate.year + CeilDiv(years, interval) * interval;;
       year += interval) {
    const int64_t first = DayNumber(year, month, 1);
    if (first > span.last) return std::nullopt;
    if (dayOfMonth > DaysInMonth(year, month)) continue;
    const int64_t day = first + dayOfMonth - 1;
    if (day >= span.from) return Within(day, span);
  }
}

std::optional<int64_t> FirstRuleDay(const CRepeateDayInfo& rule, const Span& span) {
  if (span.from > span.last) return std::nullopt;
  const int64_t interval = rule.GetInterval();
  switch (rule.GetMyBrand()) {
    case kRepeatDaily:
      return FirstDaily(interval, span);
    case kRepeatWeekly:
      return FirstWeekly(rule, interval, span);
    case kRepeatMonthlyByDay:
      return FirstMonthlyByDay(rule, interval, span);
    case kRepeatMonthlyByDate:
      return FirstMonthlyByDate(rule, interval, span);
    case kRepeatYearlyByDate:
      return FirstYearlyByDate(rule, interval, span);
    case kRepeatNone:
      break;
  }
  return std::nullopt;
}

int64_t DayNumberOf(const LocalTime& t) {
  return DayNumber(t.year, t.month, t.day);
}

}  // namespace

int32_t maxDate() {
  int64_t end = 0;
  if (!MakeLocalTime(kLastYear, kLastMonth, kLastDay, 23, 59, 59, &end)) {
    // Only a broken time zone gets here; the same instant in UTC is the nearest sound answer.
    end = DayNumber(kLastYear, kLastMonth, kLastDay) * 86400 + 86399;
  }
  return velqor::platform::ClampTime32(end);
}

void CRepeateDayInfo::SetEndDate(int32_t endDate) {
  endDate_ = endDate == -1 ? maxDate() : endDate;
}

CDayName::CDayName(int32_t weekday, int32_t interval, int32_t endDate, int32_t dayIndex)
    : CRepeateDayInfo(kRepeatDaily, interval, endDate, 0) {
  dayOfWeek_ = weekday;
  weekIndex_ = dayIndex;
}

CWeekly::CWeekly(uint8_t weekDays, int32_t interval, int32_t endDate, int32_t firstDayOfWeek)
    : CRepeateDayInfo(kRepeatWeekly, interval, endDate, firstDayOfWeek) {
  weekDays_ = weekDays;
}

CDayOfMonth::CDayOfMonth(int32_t weekIndex, int32_t dayOfWeek, int32_t interval, int32_t endDate,
                         int32_t firstDayOfWeek)
    : CRepeateDayInfo(kRepeatMonthlyByDay, interval, endDate, firstDayOfWeek) {
  weekIndex_ = weekIndex;
  dayOfWeek_ = dayOfWeek;
}

CDateOfMonth::CDateOfMonth(int32_t dayOfMonth, int32_t interval, int32_t endDate,
                           int32_t firstDayOfWeek)
    : CRepeateDayInfo(kRepeatMonthlyByDate, interval, endDate, firstDayOfWeek) {
  dayOfMonth_ = dayOfMonth;
}

CDateOfYear::CDateOfYear(int32_t month, int32_t dayOfMonth, int32_t interval, int32_t endDate,
                         int32_t firstDayOfWeek)
    : CRepeateDayInfo(kRepeatYearlyByDate, interval, endDate, firstDayOfWeek) {
  month_ = month;
  dayOfMonth_ = dayOfMonth;
}

int32_t NextOccurrence(const CRepeateDayInfo& rule, int32_t start, int32_t after, int32_t* next) {
  if (next == nullptr || rule.GetInterval() < 1) return kNoOccurrence;
  LocalTime startLocal{};
  LocalTime afterLocal{};
  LocalTime endLocal{};
  if (!BreakDownLocal(start, &startLocal) || !BreakDownLocal(after, &afterLocal) ||
      !BreakDownLocal(rule.GetEndDate(), &endLocal)) {
    return kNoOccurrence;
  }
  Span span{};
  span.startDay = DayNumberOf(startLocal);
  span.startDate = Date{startLocal.year, startLocal.month, startLocal.day};
  span.last = std::min(DayNumberOf(endLocal), DayNumber(kLastYear, kLastMonth, kLastDay));
  // The day before `after` too: a time of day that a clock change pushes past midnight puts an
  // occurrence of that day on the next.
  span.from = std::max(span.startDay, DayNumberOf(afterLocal) - 1);

  // Each pass moves past one rule date, so this ends by the last allowed day; in practice after
  // at most three passes, as only dates around `after` can fall before it.
  for (;;) {
    const std::optional<int64_t> day = FirstRuleDay(rule, span);
    if (!day) return kNoOccurrence;
    int64_t when = start;
    if (*day != span.startDay) {
      // Built from local fields, so the event keeps its local time of day across clock changes.
      const Date date = DateOf(*day);
      if (!MakeLocalTime(static_cast<int>(date.year), date.month, date.day, startLocal.hour,
                         startLocal.minute, startLocal.second, &when)) {
        return kNoOccurrence;
      }
    }
    if (when > velqor::platform::kMaxTime32) return kNoOccurrence;
    if (when >= after) {
      *next = static_cast<int32_t>(when);
      return 0;
    }
    span.from = *day + 1;
  }
}
