#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"

namespace velqor::platform {
namespace {

using velqor::test_support::ScopedTimeZone;

std::string Show(int64_t time) {
  return FormatLocal(time, "%Y-%m-%d %H:%M:%S %Z");
}

TEST(FixedClockTest, PausesAdvanceByWholeSecondsOfTheAccumulatedMilliseconds) {
  struct Case {
    std::vector<uint32_t> pauses;
    int32_t advanced;
    uint64_t total_ms;
  };
  const Case cases[] = {
      {{}, 0, 0},
      {{999}, 0, 999},
      {{1000}, 1, 1000},
      {{250, 250, 250, 250}, 1, 1000},  // the 250 ms yield loop: four of them are one second
      {{400, 400, 400}, 1, 1200},
      {{2500, 500}, 3, 3000},
      {{4294967295u}, 4294967, 4294967295u},
  };
  for (const Case& c : cases) {
    FixedClock clock(1000000);
    for (uint32_t ms : c.pauses) clock.SleepMs(ms);
    EXPECT_EQ(clock.Now(), 1000000 + c.advanced) << c.total_ms;
    EXPECT_EQ(clock.slept_ms(), c.total_ms);
    EXPECT_EQ(clock.sleep_calls(), c.pauses.size());
  }
}

TEST(FixedClockTest, AdvanceStopsAtTheLastThirtyTwoBitTime) {
  FixedClock clock(kMaxTime32 - 1);
  clock.SleepMs(5000);
  EXPECT_EQ(clock.Now(), kMaxTime32);
  clock.Set(-5);
  EXPECT_EQ(clock.Now(), -5);
}

TEST(ClockSeamTest, InstalledClockIsUsedUntilRemoved) {
  FixedClock fixed(123456);
  SetClock(&fixed);
  EXPECT_EQ(&GetClock(), &fixed);
  EXPECT_EQ(GetClock().Now(), 123456);
  GetClock().SleepMs(2000);
  EXPECT_EQ(fixed.Now(), 123458);
  SetClock(nullptr);
  EXPECT_NE(&GetClock(), &fixed);
  EXPECT_NE(dynamic_cast<SystemClock*>(&GetClock()), nullptr);
}

TEST(SystemClockTest, SleepWaitsAtLeastTheRequestedMilliseconds) {
  // Only a lower bound: a wrong unit (micro- for milliseconds) shows as a far too short pause.
  SystemClock clock;
  const auto before = std::chrono::steady_clock::now();
  clock.SleepMs(30);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 30);
}

TEST(LocalTimeTest, BreakDownFollowsTheZone) {
  struct Case {
    const char* zone;
    int64_t time;
    LocalTime want;
  };
  const Case cases[] = {
      {"UTC", 0, {1970, 1, 1, 0, 0, 0, 4, 0, false}},
      {"UTC", -1, {1969, 12, 31, 23, 59, 59, 3, 364, false}},
      {"America/New_York", 1710086400, {2024, 3, 10, 12, 0, 0, 0, 69, true}},
      {"America/New_York", 1710046800, {2024, 3, 10, 0, 0, 0, 0, 69, false}},
      {"Europe/Berlin", 1729980000, {2024, 10, 27, 0, 0, 0, 0, 300, true}},
      {"Europe/Berlin", 1956524399, {2031, 12, 31, 23, 59, 59, 3, 364, false}},
      // Beyond 2038: the input is 64-bit.
      {"UTC", 4102444800LL, {2100, 1, 1, 0, 0, 0, 5, 0, false}},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    LocalTime got{};
    ASSERT_TRUE(BreakDownLocal(c.time, &got)) << c.zone << " " << c.time;
    EXPECT_EQ(got.year, c.want.year) << c.zone << " " << c.time;
    EXPECT_EQ(got.month, c.want.month) << c.zone << " " << c.time;
    EXPECT_EQ(got.day, c.want.day) << c.zone << " " << c.time;
    EXPECT_EQ(got.hour, c.want.hour) << c.zone << " " << c.time;
    EXPECT_EQ(got.minute, c.want.minute) << c.zone << " " << c.time;
    EXPECT_EQ(got.second, c.want.second) << c.zone << " " << c.time;
    EXPECT_EQ(got.weekday, c.want.weekday) << c.zone << " " << c.time;
    EXPECT_EQ(got.yearDay, c.want.yearDay) << c.zone << " " << c.time;
    EXPECT_EQ(got.dst, c.want.dst) << c.zone << " " << c.time;
  }
}

TEST(LocalTimeTest, BreakDownRefusesWhatThePlatformCannotHold) {
  ScopedTimeZone zone("UTC");
  LocalTime got{};
  EXPECT_FALSE(BreakDownLocal(INT64_MAX, &got));
  EXPECT_FALSE(BreakDownLocal(INT64_MIN, &got));
  EXPECT_FALSE(BreakDownLocal(0, nullptr));
}

TEST(LocalTimeTest, MakeLocalTimeLetsTheZoneDecideDaylightSaving) {
  struct Case {
    const char* zone;
    int year, month, day, hour, minute, second;
    int64_t want;
  };
  const Case cases[] = {
      {"UTC", 1970, 1, 1, 0, 0, 0, 0},
      {"UTC", 1969, 12, 31, 23, 59, 59, -1},  // a valid time that equals mktime's error value
      {"UTC", 2031, 12, 31, 23, 59, 59, 1956527999},
      // Out-of-range fields are normalised.
      {"UTC", 2024, 1, 32, 0, 0, 0, 1706745600},   // 1 February
      {"UTC", 2023, 13, 1, 0, 0, 0, 1704067200},   // 1 January 2024
      {"UTC", 2024, 3, 0, 0, 0, 0, 1709164800},    // 29 February
      {"UTC", 2024, 3, 9, 24, 0, 0, 1710028800},   // 10 March 00:00
      {"UTC", 2024, 3, 10, 0, -1, 0, 1710028740},  // 9 March 23:59
      // Both sides of each clock change.
      {"America/New_York", 2024, 3, 10, 0, 0, 0, 1710046800},
      {"America/New_York", 2024, 3, 10, 12, 0, 0, 1710086400},
      {"America/New_York", 2024, 3, 11, 0, 0, 0, 1710129600},
      {"America/New_York", 2024, 11, 3, 0, 0, 0, 1730606400},
      {"America/New_York", 2024, 11, 3, 23, 0, 0, 1730692800},
      {"Europe/Berlin", 2024, 3, 31, 0, 0, 0, 1711839600},
      {"Europe/Berlin", 2024, 3, 31, 3, 0, 0, 1711846800},
      {"Europe/Berlin", 2024, 10, 27, 0, 0, 0, 1729980000},
      {"Europe/Berlin", 2024, 10, 27, 4, 0, 0, 1729998000},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    int64_t got = 0;
    ASSERT_TRUE(MakeLocalTime(c.year, c.month, c.day, c.hour, c.minute, c.second, &got))
        << c.zone << " " << c.year << "-" << c.month << "-" << c.day;
    EXPECT_EQ(got, c.want) << c.zone << " " << c.year << "-" << c.month << "-" << c.day << " "
                           << c.hour << ":" << c.minute;
  }
}

TEST(LocalTimeTest, MakeLocalTimeInTheSkippedAndRepeatedHours) {
  ScopedTimeZone zone("America/New_York");
  int64_t got = 0;
  // 02:30 on the spring day does not exist; whatever the platform makes of it lies between the
  // last standard second and 04:00 daylight time of the same day.
  ASSERT_TRUE(MakeLocalTime(2024, 3, 10, 2, 30, 0, &got));
  EXPECT_GT(got, 1710053999);  // 01:59:59 EST
  EXPECT_LT(got, 1710057600);  // 04:00 EDT
  // 01:30 on the autumn day exists twice; either one is a fair answer.
  ASSERT_TRUE(MakeLocalTime(2024, 11, 3, 1, 30, 0, &got));
  EXPECT_TRUE(got == 1730611800 || got == 1730615400) << got;
}

TEST(LocalTimeTest, MakeLocalTimeFailsWhenTheYearCannotBeHeld) {
  ScopedTimeZone zone("UTC");
  int64_t got = 77;
  EXPECT_FALSE(MakeLocalTime(INT_MIN, 1, 1, 0, 0, 0, &got));
  EXPECT_EQ(got, 77);
  EXPECT_FALSE(MakeLocalTime(2024, 1, 1, 0, 0, 0, nullptr));
}

TEST(LocalTimeTest, MidnightAndDaysAreBuiltFromLocalDates) {
  struct Case {
    const char* zone;
    int64_t time;
    int days;
    int64_t midnight;  // LocalMidnight(time)
    int64_t shifted;   // AddLocalDays(time, days)
  };
  const Case cases[] = {
      {"UTC", 1710072000, 1, 1710028800, 1710115200},
      {"UTC", 1710028800, 0, 1710028800, 1710028800},  // exactly at midnight
      {"UTC", 1710028799, 1, 1709942400, 1710028800},  // one second before midnight
      {"UTC", -1, 1, -86400, 0},
      {"UTC", 1704067199, 1, 1703980800, 1704067200},  // New Year's Eve to 1 January
      // A 23-hour spring day and a 25-hour autumn day: their lengths are not 86400 seconds.
      {"America/New_York", 1710086400, 1, 1710046800, 1710129600},
      {"America/New_York", 1710086400, -1, 1710046800, 1709960400},
      {"America/New_York", 1730692800, 1, 1730606400, 1730696400},
      {"America/New_York", 1730692800, -1, 1730606400, 1730520000},
      {"Europe/Berlin", 1711900000, 1, 1711839600, 1711922400},
      {"Europe/Berlin", 1730030000, 0, 1729980000, 1729980000},
      {"Europe/Berlin", 1729980000 - 3600, 1, 1729893600, 1729980000},
      // Midnight skipped by the clock change: the day begins at 01:00 daylight time.
      {"America/Sao_Paulo", 1541340000, 0, 1541300400, 1541300400},
      {"America/Sao_Paulo", 1541250000, 1, 1541214000, 1541300400},
      {"America/Sao_Paulo", 1541300400, 1, 1541300400, 1541383200},
      // Clocks jumping from 23:30 to 00:30: the day begins at 00:30, not where a plain
      // reading of 00:00 would put it (01:00).
      {"XST5XDT,M3.2.0/23:30,M11.1.0/1", 1710172800, 0, 1710131400, 1710131400},
      {"XST5XDT,M3.2.0/23:30,M11.1.0/1", 1710086400, 1, 1710046800, 1710131400},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(LocalMidnight(c.time), c.midnight)
        << c.zone << " " << c.time << " got " << Show(LocalMidnight(c.time));
    EXPECT_EQ(AddLocalDays(c.time, c.days), c.shifted)
        << c.zone << " " << c.time << " + " << c.days << " got "
        << Show(AddLocalDays(c.time, c.days));
  }
}

TEST(LocalTimeTest, AddLocalDaysStepsOneCalendarDayAtATimeThroughAYear) {
  // Every day of a year with both clock changes begins at local 00:00.
  ScopedTimeZone zone("Europe/Berlin");
  int64_t day = 1704063600;  // 1 January 2024 00:00 CET
  for (int i = 0; i < 366; ++i) {
    LocalTime t{};
    ASSERT_TRUE(BreakDownLocal(day, &t));
    EXPECT_EQ(t.yearDay, i);
    EXPECT_EQ(t.hour * 3600 + t.minute * 60 + t.second, 0) << Show(day);
    EXPECT_EQ(AddLocalDays(day, 0), day);
    day = AddLocalDays(day, 1);
  }
  EXPECT_EQ(Show(day), "2025-01-01 00:00:00 CET");
}

// The window every side of a synchronization works on. Its days are calendar days: a window
// that crosses a clock change is not days x 86400 seconds long, and one that crossed it with
// 86400-second days would end an hour off the midnight the other side uses.
TEST(SyncWindowTest, RunsFromTodaysMidnightToTheMidnightDaysLaterAcrossClockChanges) {
  struct Case {
    const char* zone;
    int year, month, day, hour, minute;  // now, local
    int32_t days;
    const char* start;
    const char* end;
  };
  const Case cases[] = {
      {"America/New_York", 1997, 6, 15, 0, 1, 30, "1997-06-15 00:00:00 EDT",
       "1997-07-15 00:00:00 EDT"},
      {"America/New_York", 1997, 6, 15, 23, 59, 0, "1997-06-15 00:00:00 EDT",
       "1997-06-15 00:00:00 EDT"},
      {"America/New_York", 1997, 6, 15, 12, 0, -3, "1997-06-15 00:00:00 EDT",
       "1997-06-12 00:00:00 EDT"},
      // Several days across the spring change, across the autumn change, and across both.
      {"America/New_York", 1997, 3, 31, 10, 0, 7, "1997-03-31 00:00:00 EST",
       "1997-04-07 00:00:00 EDT"},
      {"America/New_York", 1997, 10, 20, 10, 0, 7, "1997-10-20 00:00:00 EDT",
       "1997-10-27 00:00:00 EST"},
      {"America/New_York", 1997, 3, 1, 10, 0, 300, "1997-03-01 00:00:00 EST",
       "1997-12-26 00:00:00 EST"},
      {"Europe/Berlin", 2024, 3, 25, 8, 0, 14, "2024-03-25 00:00:00 CET",
       "2024-04-08 00:00:00 CEST"},
      {"Europe/Berlin", 2024, 10, 20, 8, 0, 14, "2024-10-20 00:00:00 CEST",
       "2024-11-03 00:00:00 CET"},
      // On the day of a change itself, before and after the jump.
      {"Europe/Berlin", 2024, 3, 31, 1, 30, 1, "2024-03-31 00:00:00 CET",
       "2024-04-01 00:00:00 CEST"},
      {"Europe/Berlin", 2024, 10, 27, 23, 59, 1, "2024-10-27 00:00:00 CEST",
       "2024-10-28 00:00:00 CET"},
      // A change that skips midnight: that day begins at 01:00.
      {"America/Sao_Paulo", 2018, 11, 3, 10, 0, 1, "2018-11-03 00:00:00 -03",
       "2018-11-04 01:00:00 -02"},
      {"America/Sao_Paulo", 2018, 11, 4, 10, 0, 3, "2018-11-04 01:00:00 -02",
       "2018-11-07 00:00:00 -02"},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    int64_t now = 0;
    ASSERT_TRUE(MakeLocalTime(c.year, c.month, c.day, c.hour, c.minute, 0, &now));
    SCOPED_TRACE(std::string(c.zone) + " " + Show(now) + " + " + std::to_string(c.days));
    int32_t start = 0, end = 0;
    ComputeSyncWindow(now, c.days, &start, &end);
    EXPECT_EQ(Show(start), c.start);
    EXPECT_EQ(Show(end), c.end);
  }
}

TEST(SyncWindowTest, EndsPastThirtyTwoBitsAreClamped) {
  ScopedTimeZone zone("UTC");
  const struct {
    int32_t days;
    int32_t end;
  } cases[] = {{20000, INT32_MAX}, {INT32_MAX, INT32_MAX}, {INT32_MIN, INT32_MIN}};
  for (const auto& c : cases) {
    int32_t start = 0, end = 0;
    ComputeSyncWindow(2000000000, c.days, &start, &end);
    EXPECT_EQ(start, 1999987200) << c.days;
    EXPECT_EQ(end, c.end) << c.days;
  }
}

TEST(SyncWindowTest, SingleEventsCountByTheirStartOccurrencesByTheirDay) {
  // A window of seven days that ends on the day after the autumn change (a 25-hour day).
  ScopedTimeZone zone("America/New_York");
  int32_t start = 0, end = 0;
  int64_t now = 0;
  ASSERT_TRUE(MakeLocalTime(1997, 10, 20, 10, 0, 0, &now));
  ComputeSyncWindow(now, 7, &start, &end);
  auto at = [](int day, int hour, int minute) {
    int64_t t = 0;
    EXPECT_TRUE(MakeLocalTime(1997, 10, day, hour, minute, 0, &t));
    return t;
  };
  const struct {
    int64_t time;
    bool occurrence;
    bool in;
  } cases[] = {
      {start, false, true},          {start - 1, false, false},   {at(19, 23, 59), true, false},
      {at(20, 0, 0), true, true},    {end, false, true},          {end + 60, false, false},
      {at(26, 23, 30), false, true},  // the last hour of the 25-hour day
      {at(27, 9, 0), true, true},    {at(27, 23, 0), true, true}, {at(28, 0, 0), true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InSyncWindow(c.time, c.occurrence, start, end), c.in)
        << Show(c.time) << (c.occurrence ? " occurrence" : " single");
  }
}

TEST(LocalTimeTest, FormatLocalUsesTheZoneAndAnyLength) {
  ScopedTimeZone zone("Europe/Berlin");
  EXPECT_EQ(FormatLocal(1711846800, "%Y-%m-%d %H:%M %Z"), "2024-03-31 03:00 CEST");
  EXPECT_EQ(FormatLocal(1711846799, "%Y-%m-%d %H:%M:%S %Z"), "2024-03-31 01:59:59 CET");
  std::string longFormat;
  std::string longWant;
  for (int i = 0; i < 300; ++i) {
    longFormat += "%Y.";
    longWant += "2024.";
  }
  EXPECT_EQ(FormatLocal(1711846800, longFormat.c_str()), longWant);
  EXPECT_EQ(FormatLocal(1711846800, ""), "");
  EXPECT_EQ(FormatLocal(1711846800, nullptr), "");
  EXPECT_EQ(FormatLocal(INT64_MAX, "%Y"), "");
}

}  // namespace
}  // namespace velqor::platform
