// An event that travels unchanged through the host's exchange file and through the handheld's
// record form must compare equal afterwards: reconciliation tells "changed identically on both
// sides" from a conflict by exactly this comparison.
#include <gtest/gtest.h>

#include <string>

#include "convert/datebook_converter.h"
#include "hostfile/vuzur_record.h"
#include "hostfile/vuzur_table.h"
#include "platform/handles.h"
#include "platform/testing/test_support.h"

namespace {

using velqor::test_support::ScopedTimeZone;
using velqor::test_support::ScratchDir;

struct Event {
  const char* name;
  int hour, minute, endHour, endMinute;
  bool untimed;
  bool alarm;
  int32_t advance, unit;
  const char* description;
  const char* note;
};

TEST(HandheldAgreementTest, AnEventReadFromEitherSideComparesEqual) {
  ScopedTimeZone zone("Europe/Berlin");
  const Event events[] = {
      {"timed, no alarm", 9, 30, 10, 15, false, false, 0, 0, "Staff meeting", ""},
      {"untimed", 0, 0, 0, 0, true, false, 0, 0, "Holiday", ""},
      {"alarm 10 minutes", 14, 0, 15, 0, false, true, 10, kAlarmMinutes, "Dentist", ""},
      {"alarm 2 days", 8, 0, 8, 30, false, true, 2, kAlarmDays, "Flight", ""},
      {"with a note", 18, 0, 19, 0, false, false, 0, 0, "Dinner", "Table for four"},
  };
  for (const Event& e : events) {
    SCOPED_TRACE(e.name);
    int64_t start = 0, end = 0;
    ASSERT_TRUE(velqor::platform::MakeLocalTime(2024, 3, 5, e.hour, e.minute, 0, &start));
    ASSERT_TRUE(velqor::platform::MakeLocalTime(2024, 3, 5, e.endHour, e.endMinute, 0, &end));

    CVuzurTable source;
    CVuzurRecord original(source, 0);
    ASSERT_EQ(source.AppendBlankRecord(original), 0);
    original.SetRecordId(0x00A00001);
    original.SetStartTime(static_cast<int32_t>(start));
    original.SetEndTime(static_cast<int32_t>(e.untimed ? start : end));
    original.SetUnTimedFlag(e.untimed);
    original.SetAlarmFlag(e.alarm);
    if (e.alarm) {
      original.SetAlarmAdvTime(e.advance);
      original.SetAlarmAdvUnit(e.unit);
    }
    original.SetDescription(e.description);
    original.SetNote(e.note);

    // The host side: through an exchange file.
    ScratchDir dir;
    const std::string path = dir.File("events.dat");
    ASSERT_EQ(source.SaveTo(path), 0);
    CVuzurTable host;
    ASSERT_EQ(host.LoadFrom(path, 0), 0);
    CVuzurRecord fromHost(host, 0);
    CBaseIterator it(host);
    ASSERT_EQ(it.FindFirst(fromHost), 0);

    // The handheld side: through the handheld's record form.
    std::string bytes(4480, '\0');
    RawRecord raw{};
    raw.capacity = static_cast<uint16_t>(bytes.size());
    raw.buffer = velqor::platform::RegisterPointer(bytes.data());
    CDateBkConverter converter;
    ASSERT_EQ(converter.RecordToRaw(original, raw), 0);
    CVuzurTable scratch;
    CVuzurRecord fromHandheld(scratch, 0);
    ASSERT_EQ(scratch.AppendBlankRecord(fromHandheld), 0);
    ASSERT_EQ(converter.RawToRecord(fromHandheld, raw), 0);
    velqor::platform::ReleasePointer(raw.buffer);

    EXPECT_EQ(fromHost.IsEqual(fromHandheld), 1);
    EXPECT_EQ(fromHandheld.IsEqual(fromHost), 1);
  }
}

}  // namespace
