#include "convert/datebook_converter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/testing/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using velqor::platform::RegisterPointer;
using velqor::platform::ReleasePointer;
using velqor::test_support::Local;
using velqor::test_support::ScopedTimeZone;

const char* const kZones[] = {"UTC", "America/New_York", "Europe/Berlin"};

uint16_t Word(int year, int month, int day) {
  return static_cast<uint16_t>((year - 1904) << 9 | month << 5 | day);
}
uint8_t Hi(uint16_t w) {
  return static_cast<uint8_t>(w >> 8);
}
uint8_t Lo(uint16_t w) {
  return static_cast<uint8_t>(w);
}

// A data buffer of a given capacity followed by guard bytes that must never change.
class RawBuffer {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kCanary = 0xA5;

  explicit RawBuffer(uint16_t capacity = 4480, uint8_t fill = 0)
      : bytes_(capacity + kGuard, kCanary) {
    std::fill(bytes_.begin(), bytes_.begin() + capacity, fill);
    raw.buffer = RegisterPointer(bytes_.data());
    raw.capacity = capacity;
  }
  ~RawBuffer() { ReleasePointer(raw.buffer); }
  RawBuffer(const RawBuffer&) = delete;
  RawBuffer& operator=(const RawBuffer&) = delete;

  // Puts a handheld record into the buffer, as a read from the handheld does.
  void Load(const Bytes& data, uint8_t attributes = 0) {
    std::copy(data.begin(), data.end(), bytes_.begin());
    raw.size = static_cast<uint32_t>(data.size());
    raw.attributes = attributes;
  }
  Bytes Image() const {
    size_t n = std::min<size_t>(raw.size, raw.capacity);
    return Bytes(bytes_.begin(), bytes_.begin() + n);
  }
  bool GuardIntact() const {
    for (size_t i = raw.capacity; i < bytes_.size(); ++i) {
      if (bytes_[i] != kCanary) return false;
    }
    return true;
  }

  RawRecord raw{};

 private:
  Bytes bytes_;
};

// The desktop side of an appointment, as the tests set it up and read it back.
struct Event {
  RecordId id = 0;
  int32_t category = 0;
  int32_t status = kStatusNone;
  bool archived = false;
  bool priv = false;
  int32_t start = 0;
  int32_t end = 0;
  bool untimed = false;
  bool alarm = false;
  int32_t advance = -1;
  int32_t unit = 0;
  std::string description;
  std::string note;
  bool repeating = false;
  CRepeateDayInfo rule;
  int32_t interval = 0;
  std::vector<int32_t> exceptions;
};

void Fill(CDateBkRecord& r, const Event& e) {
  r.StopRepeatingEvt();
  r.SetRecordId(e.id);
  r.SetCategoryId(e.category);
  r.SetStatus(e.status);
  r.SetArchiveBit(e.archived);
  r.SetPrivate(e.priv);
  r.SetStartTime(e.start);
  r.SetEndTime(e.end);
  r.SetUnTimedFlag(e.untimed);
  r.SetAlarmFlag(e.alarm);
  r.SetAlarmAdvTime(e.advance);
  r.SetAlarmAdvUnit(e.unit);
  r.SetDescription(e.description);
  r.SetNote(e.note);
  switch (e.rule.GetMyBrand()) {
    case kRepeatDaily:
      r.SetRepDaily(static_cast<const CDayName&>(e.rule));
      break;
    case kRepeatWeekly:
      r.SetRepWeekly(static_cast<const CWeekly&>(e.rule));
      break;
    case kRepeatMonthlyByDay:
      r.SetRepMonthlyByDay(static_cast<const CDayOfMonth&>(e.rule));
      break;
    case kRepeatMonthlyByDate:
      r.SetRepMonthlyByDate(static_cast<const CDateOfMonth&>(e.rule));
      break;
    case kRepeatYearlyByDate:
      r.SetRepYearlyByDate(static_cast<const CDateOfYear&>(e.rule));
      break;
    default:
      break;
  }
  for (int32_t x : e.exceptions) r.AddException(x);
}

Event ReadBack(CDateBkRecord& r) {
  Event e;
  r.GetRecordId(e.id);
  r.GetCategoryId(e.category);
  r.GetStatus(e.status);
  e.archived = r.IsArchived();
  e.priv = r.IsPrivate();
  r.GetStartTime(e.start);
  r.GetEndTime(e.end);
  e.untimed = r.IsUnTimed();
  e.alarm = r.IsAlarmSet();
  r.GetAlarmAdvTime(e.advance);
  r.GetAlarmAdvUnit(e.unit);
  r.GetDescription(e.description);
  r.GetNote(e.note);
  e.repeating = r.IsRepeatingEvt();
  if (e.repeating) r.GetRepeateInfo(e.rule);
  e.interval = e.rule.GetInterval();
  int32_t when = 0;
  for (long s = r.FindFirstException(when); s == 0; s = r.FindNextException(when)) {
    e.exceptions.push_back(when);
  }
  return e;
}

class DateBookConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(table_.AppendBlankRecord(desk_), 0);
    ASSERT_EQ(table_.AppendBlankRecord(other_), 0);
  }

  // Converts a handheld record into `desk_`.
  long Read(const Bytes& data, uint8_t attributes = 0) {
    RawBuffer buffer;
    buffer.Load(data, attributes);
    return converter_.RawToRecord(desk_, buffer.raw);
  }

  ScopedTimeZone zone_{"UTC"};
  CDateBkTable table_;
  CDateBkRecord desk_{table_, 0};
  CDateBkRecord other_{table_, 0};
  CDateBkConverter converter_;
};

// ---------------------------------------------------------------------------------------------
// Desktop record to handheld image.

TEST_F(DateBookConverterTest, RecordToRawWritesTheHandheldImage) {
  const uint16_t d = Word(1997, 3, 5);
  struct Case {
    const char* name;
    std::function<Event()> event;
    uint8_t attributes;
    int16_t category;
    Bytes image;
  };
  const Case cases[] = {
      {"timed event",
       [] {
         Event e;
         e.start = Local(1997, 3, 5, 9, 30);
         e.end = Local(1997, 3, 5, 10, 45);
         e.description = "Lunch";
         return e;
       },
       0,
       0,
       {9, 30, 10, 45, Hi(d), Lo(d), 0x04, 0, 'L', 'u', 'n', 'c', 'h', 0}},
      {"untimed event has 0xFF in its four time bytes",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5);
         e.untimed = true;
         e.description = "x";
         return e;
       },
       0,
       0,
       {0xFF, 0xFF, 0xFF, 0xFF, Hi(d), Lo(d), 0x04, 0, 'x', 0}},
      {"23:00 to 01:00 keeps the start's date",
       [] {
         Event e;
         e.start = Local(1997, 3, 5, 23, 0);
         e.end = Local(1997, 3, 6, 1, 0);
         return e;
       },
       0,
       0,
       {23, 0, 1, 0, Hi(d), Lo(d), 0x04, 0, 0}},
      {"CR LF becomes LF",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         e.description = "a\r\nb";
         return e;
       },
       0,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x04, 0, 'a', '\n', 'b', 0}},
      {"alarm advance 300 is written as its low byte 44",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         e.alarm = true;
         e.advance = 300;
         e.unit = kAlarmHours;
         return e;
       },
       0,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x44, 0, 44, 1, 0}},
      {"note without description",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         e.note = "n\r\no";
         return e;
       },
       0,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x14, 0, 0, 'n', '\n', 'o', 0}},
      {"private, archived and modified record of category 3",
       [] {
         Event e;
         e.id = 0x00ABCDEF;
         e.category = 3;
         e.status = kStatusModified;
         e.priv = true;
         e.archived = true;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         return e;
       },
       kAttrPrivate | kAttrArchive | kAttrDirty,
       3,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x04, 0, 0}},
      {"added record is dirty",
       [] {
         Event e;
         e.status = kStatusAdded;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         return e;
       },
       kAttrDirty,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x04, 0, 0}},
      {"deleted record",
       [] {
         Event e;
         e.status = kStatusDeleted;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         return e;
       },
       kAttrDeleted,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x04, 0, 0}},
      {"weekly repeat with mask, interval, end date and start of week",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         e.rule = CWeekly(0x2A, 2, Local(1997, 6, 30), kMonday);
         return e;
       },
       0,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 2, 0, Hi(Word(1997, 6, 30)), Lo(Word(1997, 6, 30)), 2,
        0x2A, 1, 0, 0}},
      {"monthly by day writes week index times 7 plus weekday",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         e.rule = CDayOfMonth(4, kWednesday, 1, -1, kSunday);
         return e;
       },
       0,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 3, 0, 0xFF, 0xFF, 1, 31, 0, 0, 0}},
      {"monthly by date has repeat-on 0",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         e.rule = CDateOfMonth(5, 3, -1, kSaturday);
         return e;
       },
       0,
       0,
       {8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 4, 0, 0xFF, 0xFF, 3, 0, 6, 0, 0}},
      {"daily repeat with two exceptions",
       [] {
         Event e;
         e.start = e.end = Local(1997, 3, 5, 8, 0);
         e.rule = CDayName(kWednesday, 1, -1, 0);
         e.exceptions = {Local(1997, 3, 12), Local(1997, 3, 19)};
         return e;
       },
       0,
       0,
       {8,
        0,
        8,
        0,
        Hi(d),
        Lo(d),
        0x2C,
        0,
        1,
        0,
        0xFF,
        0xFF,
        1,
        0,
        0,
        0,
        0,
        2,
        Hi(Word(1997, 3, 12)),
        Lo(Word(1997, 3, 12)),
        Hi(Word(1997, 3, 19)),
        Lo(Word(1997, 3, 19)),
        0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fill(desk_, c.event());
    // A buffer full of stale bytes: the image must not depend on a cleared buffer.
    RawBuffer buffer(4480, 0xEE);
    buffer.raw.attributes = 0xFF;
    ASSERT_EQ(converter_.RecordToRaw(desk_, buffer.raw), 0);
    EXPECT_EQ(buffer.Image(), c.image);
    EXPECT_EQ(buffer.raw.attributes, c.attributes);
    EXPECT_EQ(int16_t{buffer.raw.categoryId}, c.category);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(DateBookConverterTest, RepeatEndDatesNearTheLastDateMeanNoEnd) {
  for (const char* zone : kZones) {
    SCOPED_TRACE(zone);
    ScopedTimeZone pinned(zone);
    const int32_t m = maxDate();
    struct Case {
      int32_t end;
      uint16_t word;
      int32_t readBack;
    };
    const Case cases[] = {
        {m, 0xFFFF, m},
        {m - 86399, 0xFFFF, m},
        {m - 86400, Word(2031, 12, 30), Local(2031, 12, 30)},
        {Local(1997, 6, 30, 12, 0), Word(1997, 6, 30), Local(1997, 6, 30)},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.end);
      Event e;
      e.start = e.end = Local(1997, 3, 5, 8, 0);
      e.rule = CDateOfMonth(5, 1, c.end, kSunday);
      Fill(desk_, e);
      RawBuffer buffer;
      ASSERT_EQ(converter_.RecordToRaw(desk_, buffer.raw), 0);
      const Bytes image = buffer.Image();
      ASSERT_GE(image.size(), 12u);
      EXPECT_EQ(image[10] << 8 | image[11], c.word);
      ASSERT_EQ(converter_.RawToRecord(other_, buffer.raw), 0);
      CRepeateDayInfo info;
      ASSERT_EQ(other_.GetRepeateInfo(info), 0);
      EXPECT_EQ(info.GetEndDate(), c.readBack);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Round trips: desktop record to handheld image and back, in zones with and without daylight
// saving time.

TEST_F(DateBookConverterTest, RoundTripKeepsEveryProperty) {
  struct Case {
    const char* name;
    std::function<Event()> event;
  };
  const Case cases[] = {
      {"timed with alarm, texts and category",
       [] {
         Event e;
         e.id = 77;
         e.category = 5;
         e.priv = true;
         e.start = Local(1997, 3, 5, 9, 30);
         e.end = Local(1997, 3, 5, 10, 45);
         e.alarm = true;
         e.advance = 15;
         e.unit = kAlarmMinutes;
         e.description = "Line one\r\nLine two";
         e.note = "A note\r\n\r\nwith a blank line";
         return e;
       }},
      {"untimed",
       [] {
         Event e;
         e.start = e.end = Local(2021, 3, 14);
         e.untimed = true;
         e.description = "Birthday";
         return e;
       }},
      {"on the day daylight saving starts",
       [] {
         Event e;
         e.start = Local(2021, 3, 28, 10, 0);
         e.end = Local(2021, 3, 28, 11, 30);
         return e;
       }},
      {"daily every 3 days until a date",
       [] {
         Event e;
         e.start = e.end = Local(2021, 1, 29, 7, 0);
         e.rule = CDayName(kFriday, 3, Local(2021, 6, 1), 0);
         return e;
       }},
      {"weekly on Monday and Thursday every 2 weeks, weeks from Monday",
       [] {
         Event e;
         e.start = e.end = Local(2021, 1, 28, 7, 0);
         e.rule = CWeekly(0x12, 2, -1, kMonday);
         return e;
       }},
      {"monthly on the second Friday",
       [] {
         Event e;
         e.start = e.end = Local(2021, 1, 8, 7, 0);
         e.rule = CDayOfMonth(1, kFriday, 1, -1, kSunday);
         return e;
       }},
      {"monthly on the last Friday",
       [] {
         Event e;
         e.start = e.end = Local(2021, 1, 29, 7, 0);
         e.rule = CDayOfMonth(4, kFriday, 2, Local(2022, 1, 29), kMonday);
         return e;
       }},
      {"monthly on the 31st",
       [] {
         Event e;
         e.start = e.end = Local(2021, 1, 31, 7, 0);
         e.rule = CDateOfMonth(31, 1, -1, kSunday);
         return e;
       }},
      {"yearly on 29 February with exceptions",
       [] {
         Event e;
         e.start = e.end = Local(2000, 2, 29);
         e.untimed = true;
         e.rule = CDateOfYear(1, 29, 1, -1, kSunday);
         e.exceptions = {Local(2004, 2, 29), Local(2008, 2, 29)};
         return e;
       }},
  };
  for (const char* zone : kZones) {
    ScopedTimeZone pinned(zone);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(zone) + ": " + c.name);
      const Event in = c.event();
      Fill(desk_, in);
      RawBuffer buffer;
      ASSERT_EQ(converter_.RecordToRaw(desk_, buffer.raw), 0);
      ASSERT_EQ(converter_.RawToRecord(other_, buffer.raw), 0);
      const Event out = ReadBack(other_);
      const Event expected = ReadBack(desk_);
      EXPECT_EQ(out.id, expected.id);
      EXPECT_EQ(out.category, expected.category);
      EXPECT_EQ(out.priv, expected.priv);
      EXPECT_EQ(out.start, expected.start);
      EXPECT_EQ(out.end, expected.end);
      EXPECT_EQ(out.untimed, expected.untimed);
      EXPECT_EQ(out.alarm, expected.alarm);
      if (expected.alarm) {
        EXPECT_EQ(out.advance, expected.advance);
        EXPECT_EQ(out.unit, expected.unit);
      }
      EXPECT_EQ(out.description, expected.description);
      EXPECT_EQ(out.note, expected.note);
      EXPECT_EQ(out.repeating, expected.repeating);
      EXPECT_TRUE(out.rule == expected.rule);
      EXPECT_EQ(out.exceptions, expected.exceptions);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Handheld records, including those written by other tools, to desktop records.

TEST_F(DateBookConverterTest, RawToRecordReadsHandheldRecords) {
  const uint16_t d = Word(1997, 3, 5);
  struct Case {
    const char* name;
    Bytes data;
    long status;
    std::function<void(const Event&)> check;
  };
  const Case cases[] = {
      {"untimed event starts and ends at midnight",
       {0xFF, 0xFF, 0xFF, 0xFF, Hi(d), Lo(d), 0x04, 0, 'x', 0},
       0,
       [](const Event& e) {
         EXPECT_TRUE(e.untimed);
         EXPECT_EQ(e.start, Local(1997, 3, 5));
         EXPECT_EQ(e.end, Local(1997, 3, 5));
         EXPECT_EQ(e.description, "x");
       }},
      {"23:00 to 01:00 ends at 01:00 of the start's date",
       {23, 0, 1, 0, Hi(d), Lo(d), 0x04, 0, 0},
       0,
       [](const Event& e) {
         EXPECT_FALSE(e.untimed);
         EXPECT_EQ(e.start, Local(1997, 3, 5, 23, 0));
         EXPECT_EQ(e.end, Local(1997, 3, 5, 1, 0));
       }},
      {"1969 becomes 1970 and the record is still read in full",
       {9, 15, 10, 0, Hi(Word(1969, 7, 20)), Lo(Word(1969, 7, 20)), 0x54, 0, 5, 0, 'M', 0, 'n', 0},
       kConvMovedTo1970,
       [](const Event& e) {
         EXPECT_EQ(e.start, Local(1970, 7, 20, 9, 15));
         EXPECT_EQ(e.end, Local(1970, 7, 20, 10, 0));
         EXPECT_TRUE(e.alarm);
         EXPECT_EQ(e.advance, 5);
         EXPECT_EQ(e.description, "M");
         EXPECT_EQ(e.note, "n");
       }},
      {"month 0 is December",
       {8, 0, 8, 0, Hi(93 << 9 | 0 << 5 | 5), Lo(93 << 9 | 0 << 5 | 5), 0x04, 0, 0},
       0,
       [](const Event& e) { EXPECT_EQ(e.start, Local(1997, 12, 5, 8, 0)); }},
      {"month 13 is December",
       {8, 0, 8, 0, Hi(93 << 9 | 13 << 5 | 5), Lo(93 << 9 | 13 << 5 | 5), 0x04, 0, 0},
       0,
       [](const Event& e) { EXPECT_EQ(e.start, Local(1997, 12, 5, 8, 0)); }},
      {"month 15 is December",
       {8, 0, 8, 0, Hi(93 << 9 | 15 << 5 | 5), Lo(93 << 9 | 15 << 5 | 5), 0x04, 0, 0},
       0,
       [](const Event& e) { EXPECT_EQ(e.start, Local(1997, 12, 5, 8, 0)); }},
      {"LF gets its CR back",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x14, 0, 'a', '\n', 'b', 0, '\n', 0},
       0,
       [](const Event& e) {
         EXPECT_EQ(e.description, "a\r\nb");
         EXPECT_EQ(e.note, "\r\n");
       }},
      {"note without description is read where the description would be",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x10, 0, 'n', 'o', 0},
       0,
       [](const Event& e) {
         EXPECT_EQ(e.description, "");
         EXPECT_EQ(e.note, "no");
       }},
      {"unknown flag bits and trailing bytes are ignored",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x80 | 0x04 | 0x02 | 0x01, 0x7F, 'd', 0, 'j', 'u', 'n', 'k'},
       0,
       [](const Event& e) {
         EXPECT_EQ(e.description, "d");
         EXPECT_EQ(e.note, "");
         EXPECT_FALSE(e.alarm);
         EXPECT_FALSE(e.repeating);
       }},
      {"a text without its NUL ends at the record's end",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x14, 0, 'a', 'b', 'c'},
       0,
       [](const Event& e) {
         EXPECT_EQ(e.description, "abc");
         EXPECT_EQ(e.note, "");
       }},
      {"an alarm part cut short is absent, and so is what follows",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x44, 0, 7},
       0,
       [](const Event& e) {
         EXPECT_FALSE(e.alarm);
         EXPECT_EQ(e.advance, -1);
         EXPECT_EQ(e.description, "");
       }},
      {"a repeat part cut short is absent",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 1, 0, 0xFF, 0xFF, 1, 0},
       0,
       [](const Event& e) {
         EXPECT_FALSE(e.repeating);
         EXPECT_EQ(e.description, "");
       }},
      {"an exception count larger than the record is absent",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x0C, 0, 0, 5, Hi(d), Lo(d), Hi(d), Lo(d), 'x', 0},
       0,
       [](const Event& e) {
         EXPECT_TRUE(e.exceptions.empty());
         EXPECT_EQ(e.description, "");
       }},
      {"an exception in 1969 moves to 1970",
       {8,
        0,
        8,
        0,
        Hi(d),
        Lo(d),
        0x2C,
        0,
        1,
        0,
        0xFF,
        0xFF,
        1,
        0,
        0,
        0,
        0,
        1,
        Hi(Word(1969, 4, 1)),
        Lo(Word(1969, 4, 1)),
        0},
       kConvMovedTo1970,
       [](const Event& e) {
         ASSERT_EQ(e.exceptions.size(), 1u);
         EXPECT_EQ(e.exceptions[0], Local(1970, 4, 1));
         EXPECT_TRUE(e.repeating);
       }},
      {"a repeat end in 1969 moves to 1970",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 1, 0, Hi(Word(1969, 4, 1)), Lo(Word(1969, 4, 1)), 1, 0,
        0, 0, 0},
       kConvMovedTo1970,
       [](const Event& e) {
         ASSERT_TRUE(e.repeating);
         EXPECT_EQ(e.rule.GetEndDate(), Local(1970, 4, 1));
       }},
      {"repeat end 0xFFFF is the last date",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 2, 0, 0xFF, 0xFF, 1, 0x08, 0, 0, 0},
       0,
       [](const Event& e) {
         ASSERT_TRUE(e.repeating);
         EXPECT_EQ(e.rule.GetEndDate(), maxDate());
         EXPECT_EQ(e.rule.GetWeekDayMask(), 0x08);
       }},
      {"yearly takes month and day from the appointment's date",
       {8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 5, 0, 0xFF, 0xFF, 1, 0, 0, 0, 0},
       0,
       [](const Event& e) {
         ASSERT_TRUE(e.repeating);
         EXPECT_EQ(e.rule.GetMyBrand(), kRepeatYearlyByDate);
         EXPECT_EQ(e.rule.GetMonth(), 2);
         EXPECT_EQ(e.rule.GetDayOfMonth(), 5);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Read(c.data), c.status);
    c.check(ReadBack(desk_));
  }
}

TEST_F(DateBookConverterTest, MonthlyByDayWeekIndexAndWeekdayFromTheDate) {
  // 29 January 2021 is a Friday; repeat-on says other weekdays, which must not be used.
  const uint16_t d = Word(2021, 1, 29);
  struct Case {
    uint8_t on;
    int32_t week;
  };
  const Case cases[] = {{0, 0},  {6, 0},  {7, 1},  {20, 2}, {21, 3}, {27, 3},
                        {28, 4}, {30, 4}, {34, 4}, {35, 4}, {41, 4}, {255, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.on));
    ASSERT_EQ(Read({8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, 3, 0, 0xFF, 0xFF, 1, c.on, 1, 0, 0}), 0);
    CRepeateDayInfo info;
    ASSERT_EQ(desk_.GetRepeateInfo(info), 0);
    EXPECT_EQ(info.GetMyBrand(), kRepeatMonthlyByDay);
    EXPECT_EQ(info.GetWeekIndex(), c.week);
    EXPECT_EQ(info.GetDayOfWeek(), kFriday);
    EXPECT_EQ(info.GetFirstDayOfWeek(), kMonday);
  }
}

TEST_F(DateBookConverterTest, UnknownRepeatTypesAndEarlierRecordsLeaveNoRepetition) {
  const uint16_t d = Word(2021, 1, 29);
  // A repeating record with an alarm and exceptions goes first, into the same desktop record.
  const Bytes repeating = {8,
                           0,
                           8,
                           0,
                           Hi(d),
                           Lo(d),
                           0x6C,
                           0,
                           10,
                           2,
                           1,
                           0,
                           0xFF,
                           0xFF,
                           1,
                           0,
                           0,
                           0,
                           0,
                           1,
                           Hi(Word(2021, 2, 5)),
                           Lo(Word(2021, 2, 5)),
                           'r',
                           0};
  for (uint8_t type : {uint8_t{0}, uint8_t{6}, uint8_t{0x7F}, uint8_t{0xFF}}) {
    SCOPED_TRACE(static_cast<int>(type));
    ASSERT_EQ(Read(repeating), 0);
    ASSERT_TRUE(desk_.IsRepeatingEvt());
    ASSERT_EQ(Read({8, 0, 8, 0, Hi(d), Lo(d), 0x24, 0, type, 0, 0xFF, 0xFF, 1, 0, 0, 0, 0}), 0);
    const Event e = ReadBack(desk_);
    EXPECT_FALSE(e.repeating);
    EXPECT_TRUE(e.exceptions.empty());
    EXPECT_FALSE(e.alarm);
    EXPECT_EQ(e.advance, -1);
    EXPECT_EQ(e.unit, 0);
    EXPECT_EQ(e.description, "");
  }
}

TEST_F(DateBookConverterTest, ReadsNoMoreThanTheRecordAndTheBuffer) {
  const uint16_t d = Word(1997, 3, 5);
  const Bytes data = {8, 0, 8, 0, Hi(d), Lo(d), 0x14, 0, 'a', 'b', 'c', 'd', 0, 'n', 0};
  struct Case {
    const char* name;
    uint16_t capacity;
    uint32_t size;
    const char* description;
    const char* note;
  };
  const Case cases[] = {
      {"whole record", 64, 15, "abcd", "n"},
      {"size cuts the note's NUL", 64, 14, "abcd", "n"},
      {"size cuts the description", 64, 10, "ab", ""},
      {"capacity below size cuts the description", 11, 4000, "abc", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The data sits in a buffer of exactly the capacity: the sanitizers see any read beyond.
    std::vector<uint8_t> bytes(data.begin(), data.begin() + std::min<size_t>(c.capacity, 15));
    bytes.resize(c.capacity, 'Z');
    RawRecord raw{};
    raw.buffer = RegisterPointer(bytes.data());
    raw.capacity = c.capacity;
    raw.size = c.size;
    EXPECT_EQ(converter_.RawToRecord(desk_, raw), 0);
    ReleasePointer(raw.buffer);
    const Event e = ReadBack(desk_);
    EXPECT_EQ(e.description, c.description);
    EXPECT_EQ(e.note, c.note);
  }
}

TEST_F(DateBookConverterTest, DeletedRecordsNeverKeepAnotherRecordsData) {
  const uint16_t d = Word(2021, 1, 29);
  const Bytes previous = {9,
                          0,
                          10,
                          0,
                          Hi(d),
                          Lo(d),
                          0x7C,
                          0,
                          10,
                          1,
                          2,
                          0,
                          0xFF,
                          0xFF,
                          1,
                          0x20,
                          0,
                          0,
                          0,
                          1,
                          Hi(Word(2021, 2, 5)),
                          Lo(Word(2021, 2, 5)),
                          'o',
                          'l',
                          'd',
                          0,
                          'n',
                          0};
  const uint16_t d2 = Word(2021, 3, 1);
  const Bytes ownData = {14, 30, 15, 0, Hi(d2), Lo(d2), 0x04, 0, 'm', 'i', 'n', 'e', 0};
  struct Case {
    const char* name;
    uint8_t attributes;
    Bytes data;
    long status;
    std::function<void(const Event&)> check;
  };
  auto cleared = [](const Event& e) {
    EXPECT_EQ(e.start, 0);
    EXPECT_EQ(e.end, 0);
    EXPECT_FALSE(e.untimed);
    EXPECT_FALSE(e.alarm);
    EXPECT_EQ(e.unit, 0);
    EXPECT_FALSE(e.repeating);
    EXPECT_TRUE(e.exceptions.empty());
    EXPECT_EQ(e.description, "");
    EXPECT_EQ(e.note, "");
  };
  const Case cases[] = {
      {"deleted and archived with its data is read in full", kAttrDeleted | kAttrArchive, ownData,
       0,
       [](const Event& e) {
         EXPECT_EQ(e.status, kStatusDeleted);
         EXPECT_TRUE(e.archived);
         EXPECT_EQ(e.start, Local(2021, 3, 1, 14, 30));
         EXPECT_EQ(e.end, Local(2021, 3, 1, 15, 0));
         EXPECT_EQ(e.description, "mine");
         EXPECT_EQ(e.note, "");
         EXPECT_FALSE(e.alarm);
         EXPECT_FALSE(e.repeating);
         EXPECT_TRUE(e.exceptions.empty());
       }},
      {"deleted without data",
       kAttrDeleted,
       {},
       0,
       [&](const Event& e) {
         EXPECT_EQ(e.status, kStatusDeleted);
         cleared(e);
       }},
      {"deleted with less than the fixed part",
       kAttrDeleted | kAttrPrivate,
       {9, 0, 10, 0, 1},
       0,
       [&](const Event& e) {
         EXPECT_EQ(e.status, kStatusDeleted);
         EXPECT_TRUE(e.priv);
         cleared(e);
       }},
      {"a live record without its fixed part fails",
       kAttrDirty,
       {9, 0},
       kConvBadRecord,
       [&](const Event& e) { cleared(e); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(previous, kAttrDirty), 0);
    ASSERT_TRUE(desk_.IsRepeatingEvt());
    RawBuffer buffer;
    buffer.Load(c.data, c.attributes);
    buffer.raw.recordId = 4242;
    buffer.raw.categoryId = 7;
    EXPECT_EQ(converter_.RawToRecord(desk_, buffer.raw), c.status);
    const Event e = ReadBack(desk_);
    EXPECT_EQ(e.id, 4242u);
    EXPECT_EQ(e.category, 7);
    c.check(e);
  }
}

TEST_F(DateBookConverterTest, StatusAndAttributesFromTheHandheld) {
  const uint16_t d = Word(1997, 3, 5);
  const Bytes data = {8, 0, 8, 0, Hi(d), Lo(d), 0x04, 0, 0};
  struct Case {
    uint8_t attributes;
    int32_t status;
    bool archived;
    bool priv;
  };
  const Case cases[] = {
      {0, kStatusNone, false, false},
      {kAttrDirty, kStatusModified, false, false},
      {kAttrDeleted | kAttrDirty, kStatusDeleted, false, false},
      {kAttrArchive | kAttrPrivate, kStatusNone, true, true},
      {kAttrBusy | 0x07, kStatusNone, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.attributes));
    RawBuffer buffer;
    buffer.Load(data, c.attributes);
    buffer.raw.categoryId = -2;
    ASSERT_EQ(converter_.RawToRecord(desk_, buffer.raw), 0);
    const Event e = ReadBack(desk_);
    EXPECT_EQ(e.status, c.status);
    EXPECT_EQ(e.archived, c.archived);
    EXPECT_EQ(e.priv, c.priv);
    EXPECT_EQ(e.category, -2);
  }
}

// ---------------------------------------------------------------------------------------------
// Images that would not fit the buffer.

TEST_F(DateBookConverterTest, RecordToRawStaysWithinTheBuffer) {
  struct Case {
    const char* name;
    uint16_t capacity;
    std::string description;
    std::string note;
    size_t exceptions;
    long status;
    size_t keptDescription;  // characters of the description that reach the handheld
    size_t keptNote;
  };
  const std::string longText(6000, 'd');
  const std::string longNote(6000, 'n');
  const Case cases[] = {
      {"fits", 4480, "desc", "note", 0, 0, 4, 4},
      {"note shortened first", 4480, "desc", longNote, 0, 0, 4, 4480 - 8 - 5 - 1},
      {"note left out when not one character fits", 4480, std::string(4470, 'd'), "note", 0, 0,
       4470, 0},
      {"description shortened after the note", 4480, longText, longNote, 0, 0, 4480 - 8 - 1, 0},
      {"exactly full", 20, "abc", std::string(7, 'n'), 0, 0, 3, 7},
      {"only the description's NUL fits", 9, "abc", "n", 0, 0, 0, 0},
      {"not even the fixed part fits", 8, "", "", 0, kConvRecordTooBig, 0, 0},
      {"too many exceptions", 100, "x", "", 46, kConvRecordTooBig, 0, 0},
      {"exceptions that fit leave room for the texts", 200, longText, "", 80, 0,
       200 - 8 - 8 - 2 - 160 - 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Event e;
    e.start = e.end = Local(1997, 3, 5, 8, 0);
    e.description = c.description;
    e.note = c.note;
    if (c.exceptions > 0) e.rule = CDayName(kWednesday, 1, -1, 0);
    for (size_t i = 0; i < c.exceptions; ++i) {
      e.exceptions.push_back(Local(1997, 3, 6) + static_cast<int32_t>(i) * 86400);
    }
    Fill(desk_, e);
    RawBuffer buffer(c.capacity);
    EXPECT_EQ(converter_.RecordToRaw(desk_, buffer.raw), c.status);
    EXPECT_TRUE(buffer.GuardIntact());
    EXPECT_LE(uint32_t{buffer.raw.size}, c.capacity);
    if (c.status != 0) {
      EXPECT_EQ(uint32_t{buffer.raw.size}, 0u);
      continue;
    }
    // What was written is a valid record: it reads back with the texts cut, nothing else lost.
    ASSERT_EQ(converter_.RawToRecord(other_, buffer.raw), 0);
    const Event out = ReadBack(other_);
    EXPECT_EQ(out.description, c.description.substr(0, c.keptDescription));
    EXPECT_EQ(out.note, c.note.substr(0, c.keptNote));
    EXPECT_EQ(out.exceptions.size(), c.exceptions);
    EXPECT_EQ(out.start, e.start);
    const Bytes image = buffer.Image();
    EXPECT_EQ(image.back(), 0);
    EXPECT_EQ(image[6] & kRawFlagNote, c.keptNote > 0 ? kRawFlagNote : 0);
  }
}

TEST_F(DateBookConverterTest, RefusesWhatItCannotConvert) {
  RawBuffer buffer;
  CBaseRecord plain(table_, 0);
  ASSERT_EQ(table_.AppendBlankRecord(plain), 0);
  EXPECT_EQ(converter_.RecordToRaw(plain, buffer.raw), -1);
  buffer.Load({8, 0, 8, 0, 0, 0x21, 0x04, 0, 0});
  EXPECT_EQ(converter_.RawToRecord(plain, buffer.raw), -1);

  RawRecord noBuffer{};
  noBuffer.capacity = 4480;
  EXPECT_EQ(converter_.RecordToRaw(desk_, noBuffer), kConvNoTextBuffer);
  EXPECT_EQ(uint32_t{noBuffer.size}, 0u);
}

// ---------------------------------------------------------------------------------------------
// Text copies between the two line-end conventions.

TEST(CopyStripCRTest, DropsCarriageReturnsWithinItsText) {
  struct Case {
    const char* name;
    std::string text;
    uint32_t capacity;
    std::string out;  // without the NUL
  };
  const Case cases[] = {
      {"no CR", "abc", 100, "abc"},
      {"CR LF", "a\r\nb", 100, "a\nb"},
      {"of CR CR LF only the first CR goes", "a\r\r\nb", 100, "a\r\nb"},
      {"lone CR", "a\rb", 100, "ab"},
      {"CR as the last byte", "ab\r", 100, "ab"},
      {"empty", "", 100, ""},
      {"a NUL ends the text", std::string("ab\0cd", 5), 100, "ab"},
      {"cut to the capacity", "abcdef", 4, "abc"},
      {"cut after a dropped CR", "a\r\nbcd", 3, "a\n"},
      {"no CR left before a LF that did not fit", "ab\r\r\nc", 4, "ab"},
      {"only the NUL fits", "abc", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The text lies in a buffer of exactly its length, without a NUL after it.
    std::vector<char> text(c.text.begin(), c.text.end());
    std::vector<uint8_t> dest(c.capacity + 8, 0xA5);
    const uint32_t n =
        CopyStripCR(dest.data(), c.capacity, text.data(), static_cast<uint32_t>(text.size()));
    ASSERT_EQ(n, c.out.size() + 1);
    EXPECT_EQ(std::string(dest.begin(), dest.begin() + c.out.size()), c.out);
    EXPECT_EQ(dest[c.out.size()], 0);
    for (size_t i = c.capacity; i < dest.size(); ++i) ASSERT_EQ(dest[i], 0xA5);
  }
  uint8_t untouched = 0x5A;
  EXPECT_EQ(CopyStripCR(&untouched, 0, "abc", 3), 0u);
  EXPECT_EQ(untouched, 0x5A);
}

TEST(CopyAddCRTest, AddsCarriageReturnsAndCutsToTheTextBuffer) {
  struct Case {
    const char* name;
    std::string text;
    std::string out;
  };
  const Case cases[] = {
      {"no LF", "abc", "abc"},
      {"LF", "a\nb", "a\r\nb"},
      {"LF first and last", "\nx\n", "\r\nx\r\n"},
      {"a CR already there stays", "a\r\nb", "a\r\r\nb"},
      {"the converted form just fits", std::string(8189, 'x') + "\n",
       std::string(8189, 'x') + "\r\n"},
      {"never cut between CR and LF", std::string(8190, 'x') + "\n", std::string(8190, 'x')},
      {"a long text without LF", std::string(9000, 'y'), std::string(8191, 'y')},
  };
  CBaseConverter converter;
  ASSERT_NE(converter.Text(), nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> text(c.text.begin(), c.text.end());
    ASSERT_EQ(converter.CopyAddCR(text.data(), static_cast<uint32_t>(text.size())), 0);
    EXPECT_EQ(std::string(converter.Text()), c.out);
  }
}

TEST_F(DateBookConverterTest, LongHandheldTextIsCutToTheTextBuffer) {
  const uint16_t d = Word(1997, 3, 5);
  Bytes data = {8, 0, 8, 0, Hi(d), Lo(d), 0x04, 0};
  for (int i = 0; i < 4000; ++i) data.push_back('\n');  // 8000 bytes once converted
  for (int i = 0; i < 400; ++i) data.push_back('z');
  data.push_back(0);
  ASSERT_EQ(Read(data), 0);
  std::string description;
  desk_.GetDescription(description);
  ASSERT_EQ(description.size(), 8191u);
  EXPECT_EQ(description.substr(7994, 12), "\r\n\r\n\r\nzzzzzz");
}

// ---------------------------------------------------------------------------------------------
// Date words.

TEST(PackedDateTest, TimeToPackedDateTakesTheLocalDate) {
  struct Case {
    const char* zone;
    int32_t time;
    uint16_t word;
    int hour;
    int minute;
  };
  const Case cases[] = {
      {"UTC", 857554200, Word(1997, 3, 5), 9, 30},
      {"America/New_York", 0, Word(1969, 12, 31), 19, 0},
      {"Europe/Berlin", -3600, Word(1970, 1, 1), 0, 0},
      {"America/New_York", 1625155200, Word(2021, 7, 1), 12, 0},
      {"Europe/Berlin", 1610694000, Word(2021, 1, 15), 8, 0},
      {"UTC", 1956527940, Word(2031, 12, 31), 23, 59},
      {"UTC", 1956528000, static_cast<uint16_t>(1 << 5 | 1), 0, 0},  // 2032 wraps to 1904
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.time));
    ScopedTimeZone zone(c.zone);
    uint16_t word = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    TimeToPackedDate(c.time, &word, &hour, &minute);
    EXPECT_EQ(word, c.word);
    EXPECT_EQ(hour, c.hour);
    EXPECT_EQ(minute, c.minute);
  }
}

TEST(PackedDateTest, PackedDateToTimeBuildsLocalTime) {
  struct Case {
    const char* zone;
    uint16_t word;
    int hour;
    int minute;
    int32_t time;
    long status;
  };
  const Case cases[] = {
      {"America/New_York", Word(2021, 7, 1), 12, 0, 1625155200, 0},
      {"Europe/Berlin", Word(2021, 1, 15), 8, 0, 1610694000, 0},
      {"UTC", Word(1997, 3, 5), 0, 0, 857520000, 0},
      {"UTC", Word(2031, 12, 31), 23, 59, 1956527940, 0},
      {"America/New_York", Word(1969, 12, 25), 0, 0, 30949200, kConvMovedTo1970},
      {"UTC", static_cast<uint16_t>(93 << 9 | 0 << 5 | 5), 0, 0, 881280000, 0},
      {"UTC", static_cast<uint16_t>(93 << 9 | 14 << 5 | 5), 0, 0, 881280000, 0},
      {"UTC", static_cast<uint16_t>(0 << 9 | 0 << 5 | 0), 0, 0, 28771200, kConvMovedTo1970},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.word));
    ScopedTimeZone zone(c.zone);
    int32_t time = -1;
    EXPECT_EQ(PackedDateToTime(c.word, c.hour, c.minute, &time), c.status);
    EXPECT_EQ(time, c.time);
  }
}

TEST(SwapTest, ReversesBytes) {
  EXPECT_EQ(SwapWord(0x1234), 0x3412);
  EXPECT_EQ(SwapWord(0x00FF), 0xFF00);
  EXPECT_EQ(SwapLong(0x12345678u), 0x78563412u);
  EXPECT_EQ(SwapLong(0xFF000001u), 0x010000FFu);
}

}  // namespace
