#include "drivers/host_calendar.h"

#include <gtest/gtest.h>

#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "platform/testing/test_support.h"

namespace velqor::drivers {
namespace {

using velqor::test_support::Local;

class HostCalendarTest : public ::testing::Test {
 protected:
  velqor::test_support::ScopedTimeZone zone_{"Europe/Berlin"};
};

TEST_F(HostCalendarTest, ACalendarIsReadAndWrittenBackAsItWas) {
  const std::string text =
      "# host calendar\n"
      "next-number 18\n"
      "\n"
      "event 17\n"
      "id 00A00001\n"
      "date 2024-03-05\n"
      "start 09:30\n"
      "end 10:15\n"
      "alarm 5 hours\n"
      "repeating\n"
      "private\n"
      "description Staff \\\\ meeting\n"
      "note Bring slides\\nRoom 4\n"
      "end\n"
      "\n"
      "event 3\n"
      "date 2024-03-06\n"
      "description Holiday\n"
      "end\n";
  HostCalendar cal;
  std::string error;
  ASSERT_TRUE(ParseCalendar(text, &cal, &error)) << error;
  ASSERT_EQ(cal.events.size(), 2u);
  const HostEvent& e = cal.events[0];
  EXPECT_EQ(e.number, 17);
  EXPECT_EQ(e.recordId, 0x00A00001u);
  EXPECT_EQ(e.start, Local(2024, 3, 5, 9, 30));
  EXPECT_EQ(e.end, Local(2024, 3, 5, 10, 15));
  EXPECT_TRUE(e.alarm && e.repeating && e.isPrivate);
  EXPECT_EQ(e.alarmUnit, 1);
  EXPECT_EQ(e.description, "Staff \\ meeting");
  EXPECT_EQ(e.note, "Bring slides\nRoom 4");
  EXPECT_TRUE(cal.events[1].untimed);
  EXPECT_EQ(cal.events[1].start, Local(2024, 3, 6));
  EXPECT_EQ(FormatCalendar(cal), text);
}

TEST_F(HostCalendarTest, WhatTheDriverWouldHaveToGuessIsRefusedWithItsLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"event\ndate 2024-02-30\nend\n", "line 2: not a date"},
      {"event\nstart 09:00\nend\n", "line 1: event without a date"},
      {"event\ndate 2024-02-03\nstart 10:00\nend 09:00\nend\n", "line 1: event that ends before"},
      {"event\ndate 2024-02-03\nend 09:00\nend\n", "line 1: event with an end but no start"},
      {"event 5\ndate 2024-02-03\nend\nevent 5\ndate 2024-02-03\nend\n",
       "line 4: event number 5 is taken"},
      {"event 10000\n", "line 1: event number is not 0 to 9999"},
      {"event\ndate 2024-02-03\nalarm 100 minutes\nend\n", "line 3: alarm is not 0 to 99"},
      {"event\ndate 2024-02-03\nalarm 5 weeks\nend\n", "line 3: alarm unit"},
      {"event\ndate 2024-02-03\ncolour red\nend\n", "line 3: unknown event line 'colour'"},
      {"event\ndate 2024-02-03\ndescription a\\tb\nend\n", "line 3: a backslash"},
      {"event\ndate 2024-02-03\n", "line 1: event without its 'end' line"},
      {"date 2024-02-03\n", "line 1: expected 'event'"},
      {"event\nid 12345678Z\ndate 2024-02-03\nend\n", "line 2: id is not"},
  };
  for (const auto& c : cases) {
    HostCalendar cal;
    std::string error;
    EXPECT_FALSE(ParseCalendar(c.text, &cal, &error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

TEST_F(HostCalendarTest, NewEventsGetNumbersThatAreFreeAndStable) {
  HostCalendar cal;
  std::string error;
  ASSERT_TRUE(
      ParseCalendar("next-number 9998\nevent 9999\ndate 2024-01-01\nend\n"
                    "event\ndate 2024-01-02\nend\nevent 0\ndate 2024-01-03\nend\n"
                    "event\ndate 2024-01-04\nend\n",
                    &cal, &error))
      << error;
  // 9998 is free, 9999 and 0 are taken: the counter wraps to 1.
  EXPECT_EQ(cal.events[1].number, 9998);
  EXPECT_EQ(cal.events[3].number, 1);
  EXPECT_EQ(cal.nextNumber, 2);
  HostCalendar again;
  ASSERT_TRUE(ParseCalendar(FormatCalendar(cal), &again, &error));
  EXPECT_EQ(again.events[1].number, 9998);

  HostCalendar full;
  full.nextNumber = 0;
  for (int i = 0; i <= kMaxHostNumber; ++i) {
    HostEvent e;
    e.number = i;
    full.events.push_back(e);
  }
  EXPECT_EQ(full.AllocateNumber(), -1);
}

TEST_F(HostCalendarTest, TheWindowTakesTheConduitsRules) {
  // 2024-03-30 10:00: the window of 2 days runs from 03-30 00:00 to 04-01 00:00, both ends
  // included, across the night summer time starts: 47 hours, not 48.
  int32_t start = 0, end = 0;
  velqor::platform::ComputeSyncWindow(Local(2024, 3, 30, 10, 0), 2, &start, &end);
  EXPECT_EQ(start, Local(2024, 3, 30));
  EXPECT_EQ(end, Local(2024, 4, 1));
  EXPECT_EQ(end - start, 47 * 3600);

  HostCalendar cal;
  auto add = [&](int32_t number, int64_t when, bool repeating) {
    HostEvent e;
    e.number = number;
    e.start = e.end = static_cast<int32_t>(when);
    e.repeating = repeating;
    e.description = "e" + std::to_string(number);
    cal.events.push_back(e);
  };
  add(1, start - 60, false);                // before: out
  add(2, start, false);                     // at the start: in
  add(3, end, false);                       // exactly at the end: in
  add(4, end + 60, false);                  // a minute later: out
  add(5, Local(2024, 4, 1, 21, 0), true);   // an occurrence on the end's day: in
  add(6, Local(2024, 4, 2, 1, 0), true);    // the day after: out
  add(7, start + 3600, false);              // in, listed before 3 by its start
  add(8, Local(2024, 4, 1, 0, 30), false);  // after the end, before start + 2 x 86400: out
  CVuzurTable table;
  std::string error;
  ASSERT_TRUE(ExtractWindow(cal, start, end, &table, &error)) << error;
  std::vector<int32_t> numbers;
  CVuzurRecord rec(table, 0);
  CBaseIterator it(table);
  for (long s = it.FindFirst(rec); s == 0; s = it.FindNext(rec)) {
    int32_t n = 0;
    rec.GetHostNumber(n);
    numbers.push_back(n);
  }
  EXPECT_EQ(numbers, (std::vector<int32_t>{2, 7, 3, 5}));
}

TEST_F(HostCalendarTest, AnUpdateAddsReplacesAndRemovesByHostNumber) {
  HostCalendar cal;
  std::string error;
  ASSERT_TRUE(
      ParseCalendar("next-number 20\n"
                    "event 10\nid 00000007\ndate 2024-03-05\ndescription Old\nend\n"
                    "event 11\nid 00000008\ndate 2024-03-05\ndescription Keep\nend\n"
                    "event 12\nid 00000009\ndate 2024-03-05\ndescription Bye\nend\n",
                    &cal, &error))
      << error;
  CVuzurTable update;
  CVuzurRecord rec(update, 0);
  auto row = [&](RecordId id, std::optional<int32_t> host, int32_t status, const char* text) {
    ASSERT_EQ(update.AppendBlankRecord(rec), 0);
    velqor::hostfile::ExchangeRecord f;
    f.recordId = id;
    f.hostNumber = host;
    f.startTime = static_cast<int32_t>(Local(2024, 3, 6, 9, 0));
    f.endTime = static_cast<int32_t>(Local(2024, 3, 6, 9, 30));
    f.status = status;
    f.hasText = true;
    f.description = text;
    f.note = "a\r\nb";
    ASSERT_EQ(rec.SetExchangeFields(f), 0);
  };
  row(0x77, 10, kStatusModified, "New");       // replaces 10, with the handheld's ID
  row(0x99, 11, kStatusDeleted, "Keep");       // 11 belongs to record 8: not removed
  row(0x09, 12, kStatusDeleted, "Bye");        // removed
  row(0x55, 0, kStatusAdded, "Added");         // a new event, a new number
  row(0x56, 40, kStatusModified, "Was gone");  // its event is gone: added again
  row(0x57, 11, kStatusNone, "Nothing");
  UpdateCounts counts;
  ASSERT_TRUE(ApplyUpdate(&cal, update, &counts, &error)) << error;
  EXPECT_EQ(counts.modified, 1);
  EXPECT_EQ(counts.deleted, 1);
  EXPECT_EQ(counts.added, 2);
  EXPECT_EQ(counts.ignored, 1);
  ASSERT_EQ(cal.events.size(), 4u);
  const HostEvent* replaced = cal.FindNumber(10);
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->recordId, 0x77u);
  EXPECT_EQ(replaced->description, "New");
  EXPECT_EQ(replaced->note, "a\nb");
  EXPECT_EQ(replaced->start, Local(2024, 3, 6, 9, 0));
  EXPECT_NE(cal.FindNumber(11), nullptr);
  EXPECT_EQ(cal.FindNumber(12), nullptr);
  EXPECT_EQ(cal.events[2].number, 20);
  EXPECT_EQ(cal.events[3].number, 21);
  EXPECT_EQ(cal.events[3].description, "Was gone");
}

// An update file may be delivered again when the run that delivered it was killed before it
// could remove it: applying it twice must leave the calendar as applying it once did, and an
// added record the host already holds updates that event.
TEST_F(HostCalendarTest, AnUpdateAppliedTwiceLeavesTheSameCalendar) {
  HostCalendar cal;
  std::string error;
  ASSERT_TRUE(
      ParseCalendar("next-number 20\n"
                    "event 10\nid 00000007\ndate 2024-03-05\ndescription Mine\nend\n"
                    "event 11\ndate 2024-03-05\ndescription Host only\nend\n"
                    "event 12\nid 00000009\ndate 2024-03-05\ndescription Bye\nend\n"
                    "event 13\nid 00000030\ndate 2024-03-06\nrepeating\ndescription Daily\n"
                    "end\n",
                    &cal, &error))
      << error;
  CVuzurTable update;
  CVuzurRecord rec(update, 0);
  auto row = [&](RecordId id, std::optional<int32_t> host, int32_t status, int day, bool repeating,
                 const char* text) {
    ASSERT_EQ(update.AppendBlankRecord(rec), 0);
    velqor::hostfile::ExchangeRecord f;
    f.recordId = id;
    f.hostNumber = host;
    f.startTime = static_cast<int32_t>(Local(2024, 3, day, 9, 0));
    f.endTime = static_cast<int32_t>(Local(2024, 3, day, 9, 30));
    f.status = status;
    f.repeating = repeating;
    f.hasText = true;
    f.description = text;
    ASSERT_EQ(rec.SetExchangeFields(f), 0);
  };
  row(0x07, 0, kStatusAdded, 7, false, "Mine, moved");  // the host holds 7: event 10 updated
  row(0x40, 0, kStatusAdded, 8, false, "New");
  row(0x41, 77, kStatusModified, 8, false, "Its event is gone");
  row(0x09, 12, kStatusDeleted, 5, false, "Bye");
  row(0x30, 0, kStatusAdded, 6, true, "Daily, renamed");  // the occurrence of event 13
  row(0x30, 0, kStatusAdded, 7, true, "Daily, renamed");
  row(0x30, 0, kStatusAdded, 8, true, "Daily, renamed");

  UpdateCounts first;
  ASSERT_TRUE(ApplyUpdate(&cal, update, &first, &error)) << error;
  EXPECT_EQ(first.added, 4);
  EXPECT_EQ(first.modified, 2);
  EXPECT_EQ(first.deleted, 1);
  const HostEvent* mine = cal.FindNumber(10);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->description, "Mine, moved");
  EXPECT_EQ(mine->start, Local(2024, 3, 7, 9, 0));
  const std::string once = FormatCalendar(cal);

  UpdateCounts second;
  ASSERT_TRUE(ApplyUpdate(&cal, update, &second, &error)) << error;
  EXPECT_EQ(FormatCalendar(cal), once);
  EXPECT_EQ(second.added, 0);
  EXPECT_EQ(cal.events.size(), 7u);
}

}  // namespace
}  // namespace velqor::drivers
