#include "tools/datebook_db.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/clock.h"
#include "platform/testing/test_support.h"

namespace velqor::tools {
namespace {

using velqor::test_support::Local;
using velqor::test_support::ScopedTimeZone;

class DatebookDbTest : public velqor::test_support::PerZoneTest {};

TEST_P(DatebookDbTest, AppointmentsComeBackAsTheyWereEncoded) {
  struct Case {
    const char* what;
    Appointment a;
  };
  std::vector<Case> cases;
  {
    Appointment a;
    a.start = a.end = Local(2024, 3, 31);  // the day summer time starts in Europe
    a.untimed = true;
    a.description = "Holiday";
    cases.push_back({"untimed", a});
  }
  {
    Appointment a;
    a.start = Local(2024, 3, 31, 9, 30);
    a.end = Local(2024, 3, 31, 10, 15);
    a.alarm = true;
    a.alarmAdvance = 5;
    a.alarmUnit = 1;
    a.description = "Staff meeting";
    a.note = "Bring slides\nRoom 4";
    a.isPrivate = true;
    cases.push_back({"timed, alarm, note, private", a});
  }
  {
    Appointment a;
    a.start = Local(2024, 11, 4, 8, 0);
    a.end = Local(2024, 11, 4, 8, 15);
    a.repeats = true;
    a.rule = CWeekly(0x2A, 2, Local(2024, 12, 31), 0);  // Mon Wed Fri, every 2 weeks
    a.exceptions = {Local(2024, 11, 6), Local(2024, 11, 18)};
    a.description = "Standup";
    cases.push_back({"weekly with end and exceptions", a});
  }
  {
    Appointment a;
    a.start = Local(2024, 5, 30, 18, 0);
    a.end = Local(2024, 5, 30, 19, 0);
    a.repeats = true;
    a.rule = CDayOfMonth(4, 4, 1, -1, 0);  // the last Thursday
    a.description = "Club";
    cases.push_back({"monthly by day, no end", a});
  }
  {
    Appointment a;
    a.start = a.end = Local(2024, 2, 29);
    a.untimed = true;
    a.repeats = true;
    a.rule = CDateOfYear(1, 29, 1, -1, 0);
    a.description = "Leap day";
    cases.push_back({"yearly", a});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> data;
    std::string error;
    ASSERT_TRUE(EncodeAppointment(c.a, &data, &error)) << error;
    platform::HandheldRecord r;
    r.id = 7;
    r.attributes = c.a.isPrivate ? kAttrPrivate : 0;
    r.data = data;
    Appointment back;
    ASSERT_TRUE(DecodeAppointment(r, &back, &error)) << error;
    EXPECT_EQ(back.start, c.a.start);
    EXPECT_EQ(back.end, c.a.end);
    EXPECT_EQ(back.untimed, c.a.untimed);
    EXPECT_EQ(back.alarm, c.a.alarm);
    if (c.a.alarm) {
      EXPECT_EQ(back.alarmAdvance, c.a.alarmAdvance);
      EXPECT_EQ(back.alarmUnit, c.a.alarmUnit);
    }
    EXPECT_EQ(back.repeats, c.a.repeats);
    if (c.a.repeats) {
      EXPECT_EQ(back.rule.GetMyBrand(), c.a.rule.GetMyBrand());
      EXPECT_EQ(back.rule.GetInterval(), c.a.rule.GetInterval());
      EXPECT_EQ(FormatDate(back.rule.GetEndDate()), FormatDate(c.a.rule.GetEndDate()));
      EXPECT_EQ(back.rule.GetWeekDayMask(), c.a.rule.GetWeekDayMask());
      EXPECT_EQ(DescribeRule(back.rule), DescribeRule(c.a.rule));
    }
    EXPECT_EQ(back.exceptions, c.a.exceptions);
    EXPECT_EQ(back.description, c.a.description);
    EXPECT_EQ(back.note, c.a.note);
    EXPECT_EQ(back.isPrivate, c.a.isPrivate);
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, DatebookDbTest,
                         ::testing::Values("UTC", "Europe/Berlin", "America/New_York"));

TEST(DatebookDbRecordTest, RecordsOfOtherToolsAndCutRecordsAreReadWithinTheirBytes) {
  ScopedTimeZone zone("UTC");
  // 09:00-10:00 on 2024-03-05, the "when changed" bit 0x80 set, a description, trailing bytes.
  const uint16_t date = static_cast<uint16_t>((2024 - 1904) << 9 | 3 << 5 | 5);
  std::vector<uint8_t> data = {
      9, 0, 10, 0, static_cast<uint8_t>(date >> 8), static_cast<uint8_t>(date), 0x80 | 0x04, 0};
  for (char c : std::string("Call")) data.push_back(static_cast<uint8_t>(c));
  data.push_back(0);
  data.push_back(0xEE);
  data.push_back(0xFF);
  platform::HandheldRecord r;
  r.id = 1;
  r.data = data;
  Appointment a;
  std::string error;
  ASSERT_TRUE(DecodeAppointment(r, &a, &error)) << error;
  EXPECT_EQ(a.description, "Call");
  EXPECT_EQ(FormatClock(a.start), "09:00");

  // A note announced but cut off without its NUL, and every shorter cut.
  std::vector<uint8_t> cut = {9,
                              0,
                              10,
                              0,
                              static_cast<uint8_t>(date >> 8),
                              static_cast<uint8_t>(date),
                              0x04 | 0x10 | 0x40 | 0x20 | 0x08,
                              0};
  for (size_t n = 0; n <= cut.size() + 3; ++n) {
    platform::HandheldRecord part;
    part.id = 2;
    part.data.assign(cut.begin(), cut.begin() + static_cast<long>(std::min(n, cut.size())));
    if (n > cut.size()) part.data.insert(part.data.end(), n - cut.size(), 'x');
    Appointment any;
    DecodeAppointment(part, &any, &error);  // any outcome but a read past the record
  }
  platform::HandheldRecord empty;
  EXPECT_FALSE(DecodeAppointment(empty, &a, &error));
  EXPECT_EQ(error, "no data");
}

TEST(DatebookCategoriesTest, TheHandheldsCategoryChanges) {
  std::vector<uint8_t> block = NewDatebookAppInfo();
  ASSERT_EQ(block.size(), kDatebookAppInfoSize);
  auto list = ReadCategories(block);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "Unfiled");
  EXPECT_EQ(list[0].index, 0);

  std::string error;
  const int work = AddCategory(&block, "Work", &error);
  EXPECT_EQ(work, 1);
  const int home = AddCategory(&block, "Home", &error);
  EXPECT_EQ(home, 2);
  list = ReadCategories(block);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_TRUE(list[1].renamed);
  EXPECT_NE(list[1].id, list[2].id);
  EXPECT_GE(list[1].id, 1);
  EXPECT_LE(list[2].id, 127);
  EXPECT_EQ(FindCategory(block, "wORK"), 1);

  struct Refused {
    const char* name;
    const char* reason;
  };
  for (const Refused& r : {Refused{"work", "already"}, Refused{"", "1 to 15"},
                           Refused{"Sixteen letters!", "1 to 15"}}) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(AddCategory(&block, r.name, &error), -1);
    EXPECT_NE(error.find(r.reason), std::string::npos) << error;
  }

  ASSERT_TRUE(RemoveCategory(&block, work, &error));
  EXPECT_EQ(FindCategory(block, "Work"), -1);
  EXPECT_EQ(AddCategory(&block, "Travel", &error), 1);  // the freed index is used again
  EXPECT_FALSE(RemoveCategory(&block, 0, &error));
  EXPECT_FALSE(RenameCategory(&block, 0, "Misc", &error));
  EXPECT_FALSE(RenameCategory(&block, 2, "Travel", &error));
  ASSERT_TRUE(RenameCategory(&block, 2, "House", &error));
  EXPECT_EQ(FindCategory(block, "House"), 2);

  for (int i = 3; i <= 15; ++i) ASSERT_GE(AddCategory(&block, "C" + std::to_string(i), &error), 0);
  EXPECT_EQ(AddCategory(&block, "Extra", &error), -1);
  EXPECT_NE(error.find("15 categories"), std::string::npos);

  std::vector<uint8_t> shortBlock(100, 0);
  EXPECT_TRUE(ReadCategories(shortBlock).empty());
  EXPECT_EQ(AddCategory(&shortBlock, "Work", &error), -1);
}

}  // namespace
}  // namespace velqor::tools
