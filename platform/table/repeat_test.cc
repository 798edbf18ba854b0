#include "platform/table/repeat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/testing/test_support.h"

namespace {

using velqor::platform::BreakDownLocal;
using velqor::platform::FormatLocal;
using velqor::platform::LocalTime;
using velqor::platform::MakeLocalTime;
using velqor::test_support::ScopedTimeZone;

// "YYYY-MM-DD HH:MM[:SS]" in the current zone.
int32_t Local(const char* text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  const int fields = std::sscanf(text, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
  EXPECT_GE(fields, 5) << text;
  int64_t t = 0;
  EXPECT_TRUE(MakeLocalTime(y, mo, d, h, mi, s, &t)) << text;
  return static_cast<int32_t>(t);
}

std::string Show(int32_t t) {
  return FormatLocal(t, "%Y-%m-%d %H:%M:%S");
}

// The next occurrence shown in local time, or "none".
std::string Next(const CRepeateDayInfo& rule, int32_t start, int32_t after) {
  int32_t next = 0;
  const int32_t status = NextOccurrence(rule, start, after, &next);
  return status == 0 ? Show(next) : "none";
}

// The occurrences from `after` on, at most `count` of them.
std::vector<std::string> Series(const CRepeateDayInfo& rule, int32_t start, int32_t after,
                                int count) {
  std::vector<std::string> out;
  int32_t next = 0;
  while (static_cast<int>(out.size()) < count && NextOccurrence(rule, start, after, &next) == 0) {
    out.push_back(Show(next));
    if (next == INT32_MAX) break;
    after = next + 1;
  }
  return out;
}

[[maybe_unused]] constexpr uint8_t kSun = 1, kMon = 2, kTue = 4, kWed = 8, kThu = 16, kFri = 32,
                                   kSat = 64;

TEST(RepeatRuleTest, MaxDateIsTheEndOf2031InLocalTime) {
  struct Case {
    const char* zone;
    int32_t want;
  };
  const Case cases[] = {
      {"UTC", 1956527999},
      {"America/New_York", 1956545999},
      {"Europe/Berlin", 1956524399},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(maxDate(), c.want) << c.zone;
  }
}

TEST(RepeatRuleTest, ConstructorsKeepTheirValuesAndReadMinusOneAsNoEnd) {
  ScopedTimeZone zone("Europe/Berlin");
  const int32_t end = Local("2025-06-30 00:00");

  const CDayName daily(kTuesday, 3, -1, 0);
  EXPECT_EQ(daily.GetMyBrand(), kRepeatDaily);
  EXPECT_EQ(daily.GetInterval(), 3);
  EXPECT_EQ(daily.GetEndDate(), maxDate());

  const CWeekly weekly(kMon | kFri, 2, end, kMonday);
  EXPECT_EQ(weekly.GetMyBrand(), kRepeatWeekly);
  EXPECT_EQ(weekly.GetWeekDays(), kMon | kFri);
  EXPECT_EQ(weekly.GetWeekDayMask(), kMon | kFri);
  EXPECT_EQ(weekly.GetInterval(), 2);
  EXPECT_EQ(weekly.GetEndDate(), end);
  EXPECT_EQ(weekly.GetFirstDayOfWeek(), kMonday);

  const CDayOfMonth byDay(4, kThursday, 1, -1, kSunday);
  EXPECT_EQ(byDay.GetMyBrand(), kRepeatMonthlyByDay);
  EXPECT_EQ(byDay.GetWeekIndex(), 4);
  EXPECT_EQ(byDay.GetDayOfWeek(), kThursday);
  EXPECT_EQ(byDay.CalcDayMultiple(), 32);
  EXPECT_EQ(byDay.GetEndDate(), maxDate());

  const CDateOfMonth byDate(31, 6, end, kSunday);
  EXPECT_EQ(byDate.GetMyBrand(), kRepeatMonthlyByDate);
  EXPECT_EQ(byDate.GetDayOfMonth(), 31);
  EXPECT_EQ(byDate.GetInterval(), 6);

  const CDateOfYear yearly(1, 29, 1, -1, kSunday);
  EXPECT_EQ(yearly.GetMyBrand(), kRepeatYearlyByDate);
  EXPECT_EQ(yearly.GetMonth(), 1);
  EXPECT_EQ(yearly.GetDayOfMonth(), 29);

  CRepeateDayInfo copy = weekly;
  EXPECT_EQ(copy, weekly);
  copy.SetEndDate(-1);
  EXPECT_EQ(copy.GetEndDate(), maxDate());
  EXPECT_FALSE(copy == weekly);
}

struct OccurrenceCase {
  const char* what;
  CRepeateDayInfo rule;
  const char* start;
  const char* after;
  const char* want;  // local time, or "none"
};

void RunCases(const char* zoneName, const std::vector<OccurrenceCase>& cases) {
  ScopedTimeZone zone(zoneName);
  for (const OccurrenceCase& c : cases) {
    EXPECT_EQ(Next(c.rule, Local(c.start), Local(c.after)), c.want) << zoneName << ": " << c.what;
  }
}

TEST(RepeatRuleTest, DailyAndWeeklyRules) {
  ScopedTimeZone zone("UTC");
  const int32_t jan16 = Local("2024-01-16 00:00");
  RunCases(
      "UTC",
      {
          {"before the start gives the start", CDayName(0, 1, -1, 0), "2024-01-10 09:30",
           "2024-01-05 00:00", "2024-01-10 09:30:00"},
          {"every third day", CDayName(0, 3, -1, 0), "2024-01-10 09:30", "2024-01-12 00:00",
           "2024-01-13 09:30:00"},
          {"after exactly at an occurrence", CDayName(0, 3, -1, 0), "2024-01-10 09:30",
           "2024-01-13 09:30", "2024-01-13 09:30:00"},
          {"after one second past an occurrence", CDayName(0, 3, -1, 0), "2024-01-10 09:30",
           "2024-01-13 09:30:01", "2024-01-16 09:30:00"},
          {"the end day is included whatever its time", CDayName(0, 3, jan16, 0),
           "2024-01-10 09:30", "2024-01-14 00:00", "2024-01-16 09:30:00"},
          {"nothing after the end day", CDayName(0, 3, jan16, 0), "2024-01-10 09:30",
           "2024-01-16 09:31", "none"},
          {"an end before the start", CDayName(0, 1, Local("2024-01-09 23:59"), 0),
           "2024-01-10 09:30", "2024-01-01 00:00", "none"},
          {"dates before 1970", CDayName(0, 2, -1, 0), "1965-06-01 09:30", "1965-06-03 12:00",
           "1965-06-05 09:30:00"},
          {"seconds of the start are kept", CDayName(0, 1, -1, 0), "2024-01-10 09:30:17",
           "2024-01-11 00:00", "2024-01-11 09:30:17"},
          {"weekly on three days", CWeekly(kMon | kWed | kFri, 1, -1, kSunday), "2024-01-10 09:30",
           "2024-01-10 10:00", "2024-01-12 09:30:00"},
          {"weekly wraps to next week", CWeekly(kMon | kWed | kFri, 1, -1, kSunday),
           "2024-01-10 09:30", "2024-01-12 10:00", "2024-01-15 09:30:00"},
          {"the start date only when the mask has it", CWeekly(kFri, 1, -1, kSunday),
           "2024-01-10 09:30", "2024-01-01 00:00", "2024-01-12 09:30:00"},
          {"every other week skips a week", CWeekly(kMon | kThu, 2, -1, kSunday),
           "2024-01-10 09:30", "2024-01-12 00:00", "2024-01-22 09:30:00"},
          {"every other week far from the start", CWeekly(kMon | kThu, 2, -1, kSunday),
           "2024-01-10 09:30", "2026-06-02 00:00", "2026-06-08 09:30:00"},
          // A Sunday start, Sundays and Mondays every other week: a week that begins on Sunday
          // holds the start and the Monday after it; one that begins on Monday ends with the start.
          {"weeks begin on Sunday", CWeekly(kSun | kMon, 2, -1, kSunday), "2024-01-14 09:30",
           "2024-01-14 12:00", "2024-01-15 09:30:00"},
          {"weeks begin on Monday", CWeekly(kSun | kMon, 2, -1, kMonday), "2024-01-14 09:30",
           "2024-01-14 12:00", "2024-01-22 09:30:00"},
          {"weekly end day included", CWeekly(kSat, 1, Local("2024-01-20 00:00"), kSunday),
           "2024-01-10 09:30", "2024-01-14 00:00", "2024-01-20 09:30:00"},
          {"weekly with no days", CWeekly(0, 1, -1, kSunday), "2024-01-10 09:30",
           "2024-01-01 00:00", "none"},
          {"only the unused high bit", CWeekly(0x80, 1, -1, kSunday), "2024-01-10 09:30",
           "2024-01-01 00:00", "none"},
      });
}

TEST(RepeatRuleTest, MonthlyAndYearlyRules) {
  RunCases("UTC",
           {
               {"second Tuesday", CDayOfMonth(1, kTuesday, 1, -1, kSunday), "2024-01-09 09:30",
                "2024-01-10 00:00", "2024-02-13 09:30:00"},
               {"second Tuesday every third month", CDayOfMonth(1, kTuesday, 3, -1, kSunday),
                "2024-01-09 09:30", "2024-01-10 00:00", "2024-04-09 09:30:00"},
               {"first Monday after a start that is none", CDayOfMonth(0, kMonday, 1, -1, kSunday),
                "2024-01-10 09:30", "2024-01-01 00:00", "2024-02-05 09:30:00"},
               {"fourth Friday of a month with five", CDayOfMonth(3, kFriday, 1, -1, kSunday),
                "2024-03-01 09:30", "2024-03-01 00:00", "2024-03-22 09:30:00"},
               {"last Friday of a month with five", CDayOfMonth(4, kFriday, 1, -1, kSunday),
                "2024-03-01 09:30", "2024-03-01 00:00", "2024-03-29 09:30:00"},
               {"last Friday of a leap February", CDayOfMonth(4, kFriday, 1, -1, kSunday),
                "2024-01-26 09:30", "2024-01-27 00:00", "2024-02-23 09:30:00"},
               {"last Thursday is the leap day", CDayOfMonth(4, kThursday, 1, -1, kSunday),
                "2024-01-25 09:30", "2024-01-26 00:00", "2024-02-29 09:30:00"},
               {"a week index beyond last", CDayOfMonth(5, kFriday, 1, -1, kSunday),
                "2024-01-26 09:30", "2024-01-01 00:00", "none"},
               {"monthly 31st skips February", CDateOfMonth(31, 1, -1, kSunday), "2024-01-31 09:30",
                "2024-02-01 00:00", "2024-03-31 09:30:00"},
               {"monthly 31st skips April", CDateOfMonth(31, 1, -1, kSunday), "2024-01-31 09:30",
                "2024-04-01 00:00", "2024-05-31 09:30:00"},
               {"monthly 15th every other month", CDateOfMonth(15, 2, -1, kSunday),
                "2024-01-15 09:30", "2024-01-16 00:00", "2024-03-15 09:30:00"},
               {"monthly across the year end", CDateOfMonth(15, 5, -1, kSunday), "2024-01-15 09:30",
                "2024-07-01 00:00", "2024-11-15 09:30:00"},
               {"a day no month in the cycle has", CDateOfMonth(30, 12, -1, kSunday),
                "2024-02-01 09:30", "2024-01-01 00:00", "none"},
               {"monthly end day included", CDateOfMonth(20, 1, Local("2024-05-20 00:00"), kSunday),
                "2024-01-20 09:30", "2024-04-21 00:00", "2024-05-20 09:30:00"},
               {"yearly leap day", CDateOfYear(1, 29, 1, -1, kSunday), "2024-02-29 09:30",
                "2024-03-01 00:00", "2028-02-29 09:30:00"},
               {"yearly leap day ending before the next",
                CDateOfYear(1, 29, 1, Local("2027-12-31 00:00"), kSunday), "2024-02-29 09:30",
                "2024-03-01 00:00", "none"},
               {"yearly leap day in a cycle of odd years", CDateOfYear(1, 29, 4, -1, kSunday),
                "2021-03-01 09:30", "2021-01-01 00:00", "none"},
               {"leap day every four years before 1970", CDateOfYear(1, 29, 4, -1, kSunday),
                "1904-02-29 09:30", "1904-03-01 00:00", "1908-02-29 09:30:00"},
               {"every other year", CDateOfYear(11, 25, 2, -1, kSunday), "2020-12-25 09:30",
                "2021-01-01 00:00", "2022-12-25 09:30:00"},
               {"yearly from a start after this year's date", CDateOfYear(0, 5, 1, -1, kSunday),
                "2024-03-01 09:30", "2024-01-01 00:00", "2025-01-05 09:30:00"},
               {"no 31 April", CDateOfYear(3, 31, 1, -1, kSunday), "2024-03-01 09:30",
                "2024-01-01 00:00", "none"},
           });
}

TEST(RepeatRuleTest, NoEndStopsAtTheLastDayOf2031) {
  RunCases(
      "America/New_York",
      {
          {"the last day still occurs", CDayName(0, 1, -1, 0), "2031-12-30 09:30",
           "2031-12-31 09:00", "2031-12-31 09:30:00"},
          {"then nothing", CDayName(0, 1, -1, 0), "2031-12-30 09:30", "2031-12-31 10:00", "none"},
          {"an end date past 2031 stops there too", CDayName(0, 1, Local("2035-01-01 00:00"), 0),
           "2031-12-30 09:30", "2031-12-31 10:00", "none"},
          {"a start past 2031", CDayName(0, 1, -1, 0), "2033-01-01 09:30", "2033-01-01 00:00",
           "none"},
          {"yearly rule ending in 2031", CDateOfYear(0, 1, 1, -1, kSunday), "2030-01-01 09:30",
           "2031-01-02 00:00", "none"},
      });
}

TEST(RepeatRuleTest, RulesThatNeverOccurReportNone) {
  ScopedTimeZone zone("UTC");
  const int32_t start = Local("2024-01-10 09:30");
  CRepeateDayInfo none;
  none.SetInterval(1);
  CDayName zero(0, 0, -1, 0);
  CWeekly negative(kMon, -2, -1, kSunday);
  CDateOfMonth badDay(0, 1, -1, kSunday);
  CDateOfYear badMonth(12, 1, 1, -1, kSunday);
  CDayOfMonth badWeekday(0, 7, 1, -1, kSunday);
  for (const CRepeateDayInfo* rule : std::vector<const CRepeateDayInfo*>{
           &none, &zero, &negative, &badDay, &badMonth, &badWeekday}) {
    int32_t next = 12345;
    EXPECT_NE(NextOccurrence(*rule, start, start, &next), 0) << rule->GetMyBrand();
    EXPECT_EQ(next, 12345);
  }
  EXPECT_NE(NextOccurrence(CDayName(0, 1, -1, 0), start, start, nullptr), 0);
}

// A daily event at 09:30 stays at 09:30 local time on every day around both clock changes.
TEST(RepeatRuleTest, DailyKeepsItsLocalTimeAcrossClockChanges) {
  struct Case {
    const char* zone;
    const char* start;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"America/New_York",
       "2024-03-08 09:30",
       {"2024-03-08 09:30:00", "2024-03-09 09:30:00", "2024-03-10 09:30:00",
        "2024-03-11 09:30:00"}},
      {"America/New_York",
       "2024-11-01 09:30",
       {"2024-11-01 09:30:00", "2024-11-02 09:30:00", "2024-11-03 09:30:00",
        "2024-11-04 09:30:00"}},
      {"Europe/Berlin",
       "2024-03-29 09:30",
       {"2024-03-29 09:30:00", "2024-03-30 09:30:00", "2024-03-31 09:30:00",
        "2024-04-01 09:30:00"}},
      {"Europe/Berlin",
       "2024-10-25 09:30",
       {"2024-10-25 09:30:00", "2024-10-26 09:30:00", "2024-10-27 09:30:00",
        "2024-10-28 09:30:00"}},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    const int32_t start = Local(c.start);
    EXPECT_EQ(Series(CDayName(0, 1, -1, 0), start, start, 4), c.want) << c.zone << " " << c.start;
    EXPECT_EQ(Series(CWeekly(0x7F, 1, -1, kSunday), start, start, 4), c.want)
        << c.zone << " " << c.start;
  }
}

TEST(RepeatRuleTest, LocalTimesThatAClockChangeSkipsOrRepeats) {
  ScopedTimeZone zone("America/New_York");
  // 02:30 does not exist on 10 March: that day's occurrence is the platform's reading of it,
  // still on that day, and the next day is back at 02:30.
  const int32_t start = Local("2024-03-09 02:30");
  int32_t next = 0;
  ASSERT_EQ(NextOccurrence(CDayName(0, 1, -1, 0), start, start + 1, &next), 0);
  LocalTime t{};
  ASSERT_TRUE(BreakDownLocal(next, &t));
  EXPECT_EQ(t.day, 10);
  EXPECT_TRUE(t.hour == 1 || t.hour == 3) << Show(next);
  EXPECT_EQ(Next(CDayName(0, 1, -1, 0), start, next + 1), "2024-03-11 02:30:00");

  // A start in the first of the two 01:30s of 3 November is itself the first occurrence, and
  // the day's occurrence is not repeated in the second one.
  const int32_t firstOneThirty = 1730611800;  // 01:30 EDT
  EXPECT_EQ(Next(CDayName(0, 1, -1, 0), firstOneThirty, firstOneThirty), "2024-11-03 01:30:00");
  ASSERT_EQ(NextOccurrence(CDayName(0, 1, -1, 0), firstOneThirty, firstOneThirty, &next), 0);
  EXPECT_EQ(next, firstOneThirty);
  EXPECT_EQ(Next(CDayName(0, 1, -1, 0), firstOneThirty, firstOneThirty + 1), "2024-11-04 01:30:00");
}

TEST(RepeatRuleTest, AnOccurrencePushedPastMidnightIsStillFound) {
  // A zone whose clocks jump from 23:00 to midnight on the second Sunday of March: a daily
  // 23:30 event has no 23:30 on Sunday 10 March 2024, and the platform may put that day's
  // occurrence early on Monday. Searching from exactly that instant must find it again.
  ScopedTimeZone zone("XST5XDT,M3.2.0/23,M11.1.0/1");
  const CDayName daily(0, 1, -1, 0);
  const int32_t start = Local("2024-03-08 23:30");
  int32_t sunday = 0;
  ASSERT_EQ(NextOccurrence(daily, start, Local("2024-03-10 00:00"), &sunday), 0);
  int32_t again = 0;
  ASSERT_EQ(NextOccurrence(daily, start, sunday, &again), 0);
  EXPECT_EQ(again, sunday) << Show(sunday);
  EXPECT_EQ(Next(daily, start, sunday + 1), "2024-03-11 23:30:00");
  EXPECT_EQ(Series(daily, start, start, 4).back(), "2024-03-11 23:30:00");
}

TEST(RepeatRuleTest, EndDateIsJudgedByItsLocalDay) {
  // The end date 31 March 23:30 UTC is already 1 April in Berlin.
  const int32_t endUtc = 1711927800;  // 2024-03-31 23:30 UTC
  struct Case {
    const char* zone;
    const char* after;
    const char* want;
  };
  const Case cases[] = {
      {"UTC", "2024-03-31 10:00", "none"},
      {"Europe/Berlin", "2024-03-31 10:00", "2024-04-01 09:30:00"},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(Next(CDayName(0, 1, endUtc, 0), Local("2024-03-25 09:30"), Local(c.after)), c.want)
        << c.zone;
  }
}

// A plain day-by-day reading of the rules in UTC, to check the jumps over whole periods.
bool OccursOn(const CRepeateDayInfo& rule, const LocalTime& start, int64_t startDay, int64_t day) {
  LocalTime d{};
  EXPECT_TRUE(BreakDownLocal(day * 86400, &d));
  const int64_t n = rule.GetInterval();
  const int64_t months = (d.year * 12 + d.month) - (start.year * 12 + start.month);
  switch (rule.GetMyBrand()) {
    case kRepeatDaily:
      return (day - startDay) % n == 0;
    case kRepeatWeekly: {
      if (!(rule.GetWeekDayMask() & (1 << d.weekday))) return false;
      auto weekStart = [&](int64_t x) {
        for (;;) {
          LocalTime w{};
          EXPECT_TRUE(BreakDownLocal(x * 86400, &w));
          if (w.weekday == rule.GetFirstDayOfWeek()) return x;
          --x;
        }
      };
      return ((weekStart(day) - weekStart(startDay)) / 7) % n == 0;
    }
    case kRepeatMonthlyByDay: {
      if (months % n != 0 || d.weekday != rule.GetDayOfWeek()) return false;
      if (rule.GetWeekIndex() < 4) return (d.day - 1) / 7 == rule.GetWeekIndex();
      LocalTime week_later{};
      EXPECT_TRUE(BreakDownLocal((day + 7) * 86400, &week_later));
      return week_later.month != d.month;
    }
    case kRepeatMonthlyByDate:
      return months % n == 0 && d.day == rule.GetDayOfMonth();
    case kRepeatYearlyByDate:
      return (d.year - start.year) % n == 0 && d.month == rule.GetMonth() + 1 &&
             d.day == rule.GetDayOfMonth();
    default:
      return false;
  }
}

TEST(RepeatRuleTest, AgreesWithADayByDayWalk) {
  ScopedTimeZone zone("UTC");
  std::mt19937 random(20240310);
  auto pick = [&random](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  const int64_t lastDay = maxDate() / 86400;
  for (int i = 0; i < 400; ++i) {
    const int64_t startDay = pick(9000, 20000);  // 1994 to 2024
    const int32_t start = static_cast<int32_t>(startDay * 86400 + 9 * 3600 + 1800);
    const int interval = pick(1, 5);
    const int32_t end =
        pick(0, 3) == 0 ? -1 : static_cast<int32_t>((startDay + pick(0, 800)) * 86400);
    CRepeateDayInfo rule;
    switch (pick(1, 5)) {
      case 1:
        rule = CDayName(0, interval, end, 0);
        break;
      case 2:
        rule = CWeekly(static_cast<uint8_t>(pick(1, 127)), interval, end, pick(0, 6));
        break;
      case 3:
        rule = CDayOfMonth(pick(0, 4), pick(0, 6), interval, end, kSunday);
        break;
      case 4:
        rule = CDateOfMonth(pick(1, 31), interval, end, kSunday);
        break;
      default:
        rule = CDateOfYear(pick(0, 11), pick(1, 29), interval, end, kSunday);
        break;
    }
    LocalTime startLocal{};
    ASSERT_TRUE(BreakDownLocal(start, &startLocal));
    const int64_t endDay = rule.GetEndDate() / 86400;
    for (int j = 0; j < 5; ++j) {
      const int32_t after =
          static_cast<int32_t>(start + (pick(-3, 900) * 86400LL) + pick(-3600, 3600));
      std::string want = "none";
      const int64_t first = std::max<int64_t>(startDay, after / 86400 - 1);
      for (int64_t day = first; day <= std::min(endDay, lastDay); ++day) {
        const int64_t when = day * 86400 + 9 * 3600 + 1800;
        if (when >= after && OccursOn(rule, startLocal, startDay, day)) {
          want = Show(static_cast<int32_t>(when));
          break;
        }
      }
      EXPECT_EQ(Next(rule, start, after), want)
          << "brand " << rule.GetMyBrand() << " interval " << interval << " mask "
          << int(rule.GetWeekDayMask()) << " first day " << rule.GetFirstDayOfWeek()
          << " week index " << rule.GetWeekIndex() << " weekday " << rule.GetDayOfWeek() << " day "
          << rule.GetDayOfMonth() << " month " << rule.GetMonth() << " start " << Show(start)
          << " after " << Show(after) << " end " << Show(rule.GetEndDate());
    }
  }
}

}  // namespace
