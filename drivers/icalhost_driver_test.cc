#include "drivers/icalhost_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "drivers/host_calendar.h"
#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "platform/testing/test_support.h"

namespace velqor::drivers {
namespace {

using hostfile::ExchangeRecord;
using velqor::test_support::Local;
using velqor::test_support::ReadFile;
using velqor::test_support::WriteFile;

std::string Event(const std::string& uid, const std::string& lines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
         "\r\nDTSTAMP:20240101T000000Z\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A vdir in a scratch folder, the driver's state beside it, and the window of 7 days from
// 5 March 2024 in Berlin.
class IcalDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    vdir_ = scratch_.path() + "/cal";
    std::filesystem::create_directory(vdir_);
    int32_t start = 0, end = 0;
    velqor::platform::ComputeSyncWindow(Local(2024, 3, 5, 7, 0), 7, &start, &end);
    windowStart_ = start;
    windowEnd_ = end;
  }
  std::string File(const std::string& name) const { return vdir_ + "/" + name; }

  std::vector<ExchangeRecord> Extract() {
    IcalCalendar cal;
    std::vector<std::string> problems;
    std::string error;
    EXPECT_TRUE(cal.Load(vdir_, &problems, &error)) << error;
    EXPECT_TRUE(problems.empty()) << problems.front();
    IcalState state;
    EXPECT_TRUE(state.Open(scratch_.path() + "/state.db", &error)) << error;
    CVuzurTable table;
    EXPECT_TRUE(ExtractIcal(cal, state, windowStart_, windowEnd_, &table, &error)) << error;
    EXPECT_TRUE(state.Commit(&error));
    // Read back as the conduit reads the file.
    const std::string path = scratch_.path() + "/extract.dat";
    EXPECT_EQ(table.SaveTo(path), 0);
    CVuzurTable loaded;
    EXPECT_EQ(loaded.LoadFrom(path, 0), 0);
    std::vector<ExchangeRecord> out;
    CVuzurRecord rec(loaded, 0);
    CBaseIterator it(loaded);
    for (long s = it.FindFirst(rec); s == kTblOk; s = it.FindNext(rec)) {
      ExchangeRecord f;
      rec.GetExchangeFields(&f);
      out.push_back(f);
    }
    return out;
  }

  // Applies rows, each with its status, as an update file would carry them.
  IcalUpdateCounts Update(const std::vector<std::pair<ExchangeRecord, int32_t>>& rows) {
    CVuzurTable table;
    CVuzurRecord rec(table, 0);
    for (const auto& [fields, status] : rows) {
      EXPECT_EQ(table.AppendBlankRecord(rec), 0);
      ExchangeRecord f = fields;
      f.status = status;
      f.hasText = true;
      EXPECT_EQ(rec.SetExchangeFields(f), 0);
      rec.SetStatus(status);
    }
    // Through the file, as the driver gets it.
    const std::string path = scratch_.path() + "/update.dat";
    EXPECT_EQ(table.SaveTo(path), 0);
    CVuzurTable update;
    EXPECT_EQ(update.LoadFrom(path, 0), 0);
    IcalCalendar cal;
    std::vector<std::string> problems;
    std::string error;
    EXPECT_TRUE(cal.Load(vdir_, &problems, &error)) << error;
    EXPECT_TRUE(problems.empty()) << problems.front();
    IcalState state;
    EXPECT_TRUE(state.Open(scratch_.path() + "/state.db", &error)) << error;
    IcalUpdateCounts counts;
    EXPECT_TRUE(UpdateIcal(cal, state, update, "Ann", Local(2024, 3, 5, 7, 0), &counts, &error))
        << error;
    EXPECT_TRUE(cal.Save(&error)) << error;
    EXPECT_TRUE(state.Commit(&error)) << error;
    return counts;
  }

  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(vdir_)) {
      files[e.path().filename().string()] = ReadFile(e.path().string());
    }
    return files;
  }

  const ExchangeRecord* Find(const std::vector<ExchangeRecord>& rows, const std::string& text) {
    for (const auto& r : rows) {
      if (r.description == text) return &r;
    }
    return nullptr;
  }

  velqor::test_support::ScopedTimeZone zone_{"Europe/Berlin"};
  velqor::test_support::ScratchDir scratch_;
  std::string vdir_;
  int64_t windowStart_ = 0, windowEnd_ = 0;
};

TEST_F(IcalDriverTest, EventsMapToRecordsInTheProfilesZone) {
  WriteFile(File("ny.ics"), Event("ny",
                                  "DTSTART;TZID=America/New_York:20240306T090000\r\n"
                                  "DTEND;TZID=America/New_York:20240306T100000\r\n"
                                  "SUMMARY:Call\r\nDESCRIPTION:Line 1\\nLine 2\r\n"
                                  "CLASS:CONFIDENTIAL\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\n"
                                  "TRIGGER:-PT2H\r\nEND:VALARM\r\n"));
  WriteFile(File("utc.ics"), Event("utc",
                                   "DTSTART:20240307T080000Z\r\nSUMMARY:Utc\r\n"
                                   "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT90M\r\n"
                                   "END:VALARM\r\n"));
  WriteFile(File("float.ics"), Event("float",
                                     "DTSTART:20240308T100000\r\n"
                                     "DURATION:PT30M\r\nSUMMARY:Floating\r\n"));
  WriteFile(File("day.ics"), Event("day",
                                   "DTSTART;VALUE=DATE:20240309\r\n"
                                   "DTEND;VALUE=DATE:20240312\r\nSUMMARY:Trip\r\n"));
  WriteFile(File("late.ics"), Event("late",
                                    "DTSTART:20240310T200000Z\r\n"
                                    "DTEND:20240311T060000Z\r\nSUMMARY:Night train\r\n"));
  WriteFile(File("far.ics"), Event("far",
                                   "DTSTART:20320306T080000Z\r\nSUMMARY:Far\r\n"
                                   "RRULE:FREQ=DAILY\r\n"));
  WriteFile(File("notes.txt"), "not a calendar");
  const auto rows = Extract();
  ASSERT_EQ(rows.size(), 5u);
  const ExchangeRecord* call = Find(rows, "PERS: Call");
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->startTime, Local(2024, 3, 6, 15, 0));
  EXPECT_EQ(call->endTime, Local(2024, 3, 6, 16, 0));
  EXPECT_TRUE(call->isPrivate);
  EXPECT_EQ(call->note, "Line 1\r\nLine 2");
  EXPECT_TRUE(call->alarmSet);
  EXPECT_EQ(call->alarmAdvance, 2);
  EXPECT_EQ(call->alarmUnit, 1);
  const ExchangeRecord* utc = Find(rows, "Utc");
  ASSERT_NE(utc, nullptr);
  EXPECT_EQ(utc->startTime, Local(2024, 3, 7, 9, 0));
  EXPECT_EQ(utc->alarmAdvance, 90);
  EXPECT_EQ(utc->alarmUnit, 0);
  const ExchangeRecord* floating = Find(rows, "Floating");
  ASSERT_NE(floating, nullptr);
  EXPECT_EQ(floating->startTime, Local(2024, 3, 8, 10, 0));
  EXPECT_EQ(floating->endTime, Local(2024, 3, 8, 10, 30));
  const ExchangeRecord* trip = Find(rows, "Trip");
  ASSERT_NE(trip, nullptr);
  EXPECT_TRUE(trip->untimed);
  EXPECT_EQ(trip->startTime, Local(2024, 3, 9));
  // Over midnight: the handheld holds it on its first day, to 23:59.
  const ExchangeRecord* train = Find(rows, "Night train");
  ASSERT_NE(train, nullptr);
  EXPECT_EQ(train->startTime, Local(2024, 3, 10, 21, 0));
  EXPECT_EQ(train->endTime, Local(2024, 3, 10, 23, 59));
  for (const auto& r : rows) {
    EXPECT_FALSE(r.repeating);
    EXPECT_TRUE(r.hostNumber.has_value());
  }
}

TEST_F(IcalDriverTest, ASeriesGoesOutAsItsOccurrencesAndTheHandheldsChangesStayOnOne) {
  WriteFile(File("w.ics"),
            "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\n"
            "UID:w\r\nDTSTAMP:20240101T000000Z\r\nDTSTART;TZID=Europe/Berlin:20240205T180000\r\n"
            "DTEND;TZID=Europe/Berlin:20240205T190000\r\nRRULE:FREQ=WEEKLY;BYDAY=MO,TU,WE,TH\r\n"
            "EXDATE;TZID=Europe/Berlin:20240306T180000\r\nSUMMARY:Yoga\r\n"
            "LOCATION:Studio\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:w\r\n"
            "DTSTAMP:20240101T000000Z\r\nRECURRENCE-ID;TZID=Europe/Berlin:20240307T180000\r\n"
            "DTSTART;TZID=Europe/Berlin:20240308T200000\r\n"
            "DTEND;TZID=Europe/Berlin:20240308T210000\r\nSUMMARY:Yoga (moved)\r\nEND:VEVENT\r\n"
            "END:VCALENDAR\r\n");
  auto rows = Extract();
  std::vector<int32_t> starts;
  for (const auto& r : rows) starts.push_back(r.startTime);
  EXPECT_EQ(starts, (std::vector<int32_t>{Local(2024, 3, 5, 18, 0), Local(2024, 3, 8, 20, 0),
                                          Local(2024, 3, 11, 18, 0)}));
  // The handheld changes the moved one's text, deletes 11 March and changes 5 March's time.
  ExchangeRecord moved = rows[1], monday = rows[2], tuesday = rows[0];
  moved.description = "Yoga (moved, room 2)";
  tuesday.startTime = Local(2024, 3, 5, 18, 30);
  tuesday.endTime = Local(2024, 3, 5, 19, 30);
  tuesday.recordId = 0x00A00010;
  const std::vector<std::pair<ExchangeRecord, int32_t>> update = {
      {tuesday, kStatusModified}, {moved, kStatusModified}, {monday, kStatusDeleted}};
  Update(update);
  const auto once = Files();
  Update(update);
  EXPECT_EQ(Files(), once) << "applying the same update again changes nothing";
  const std::string text = once.at("w.ics");
  EXPECT_TRUE(Contains(text, "RRULE:FREQ=WEEKLY;BYDAY=MO,TU,WE,TH")) << text;
  EXPECT_TRUE(Contains(text, "EXDATE;TZID=Europe/Berlin:20240311T180000")) << text;
  EXPECT_TRUE(Contains(text, "RECURRENCE-ID;TZID=Europe/Berlin:20240305T180000")) << text;
  EXPECT_TRUE(Contains(text, "DTSTART;TZID=Europe/Berlin:20240305T183000")) << text;
  EXPECT_TRUE(Contains(text, "SUMMARY:Yoga (moved\\, room 2)")) << text;
  rows = Extract();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].startTime, Local(2024, 3, 5, 18, 30));
  EXPECT_EQ(rows[0].recordId, 0x00A00010u);
  EXPECT_EQ(rows[1].description, "Yoga (moved, room 2)");
}

TEST_F(IcalDriverTest, UpdatesAreIdempotentAndKeepWhatTheRecordDoesNotCarry) {
  const std::string longSummary(75, 'x');
  WriteFile(
      File("long.ics"),
      Event("long", "DTSTART:20240306T100000Z\r\nDTEND:20240306T110000Z\r\nSUMMARY:" + longSummary +
                        "\r\nLOCATION:Room 4\r\nCATEGORIES:Work\r\n"
                        "ATTENDEE:mailto:bob@example.org\r\nX-OTHER:kept\r\n"
                        "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT10M\r\nEND:VALARM\r\n"
                        "BEGIN:VALARM\r\nACTION:AUDIO\r\nTRIGGER:-P1D\r\nEND:VALARM\r\n"));
  auto rows = Extract();
  ASSERT_EQ(rows.size(), 1u);
  const std::string untouched = ReadFile(File("long.ics"));
  // Nothing changed on the handheld: the record comes back with its split text and no status.
  Update({{rows[0], kStatusNone}});
  EXPECT_EQ(ReadFile(File("long.ics")), untouched);
  // Only the time changed: the 75-character summary, the second alarm and everything else stay.
  ExchangeRecord moved = rows[0];
  moved.startTime += 3600;
  moved.endTime += 3600;
  moved.recordId = 0x00B00001;
  Update({{moved, kStatusModified}});
  std::string text = ReadFile(File("long.ics"));
  EXPECT_TRUE(Contains(text, "SUMMARY:" + longSummary.substr(0, 60))) << text;
  for (const char* kept :
       {"LOCATION:Room 4", "CATEGORIES:Work", "ATTENDEE:mailto:bob@example.org", "X-OTHER:kept",
        "TRIGGER:-PT10M", "TRIGGER:-P1D", "DTSTART:20240306T110000Z", "DTEND:20240306T120000Z"}) {
    EXPECT_TRUE(Contains(text, kept)) << kept << "\n" << text;
  }
  EXPECT_TRUE(Contains(text, "xxxxxxxxxxxxxxx\r\n")) << "the summary is whole";
  // The same record arriving as added again (a repeated delivery) updates, never duplicates.
  ExchangeRecord again = moved;
  again.hostNumber.reset();
  again.description = "Renamed";
  again.note.clear();
  Update({{again, kStatusAdded}});
  Update({{again, kStatusAdded}});
  EXPECT_EQ(Files().size(), 1u);
  text = ReadFile(File("long.ics"));
  EXPECT_TRUE(Contains(text, "SUMMARY:Renamed")) << text;
  EXPECT_TRUE(Contains(text, "LOCATION:Room 4")) << text;
  // A new handheld event added twice is made once, under a UID of its record ID.
  ExchangeRecord fresh;
  fresh.recordId = 0x00B00002;
  fresh.startTime = Local(2024, 3, 7, 9, 0);
  fresh.endTime = Local(2024, 3, 7, 9, 30);
  fresh.description = "Fresh";
  fresh.hasText = true;
  Update({{fresh, kStatusAdded}});
  const auto once = Files();
  Update({{fresh, kStatusAdded}});
  EXPECT_EQ(Files(), once);
  ASSERT_TRUE(once.count("velqor-00B00002-Ann.ics"));
  EXPECT_TRUE(
      Contains(once.at("velqor-00B00002-Ann.ics"), "DTSTART;TZID=Europe/Berlin:20240307T090000"));
  // Deleted twice: gone once, the second time nothing to do.
  Update({{rows[0], kStatusDeleted}});
  Update({{rows[0], kStatusDeleted}});
  EXPECT_FALSE(std::filesystem::exists(File("long.ics")));
  EXPECT_EQ(Files().size(), 1u);
}

TEST_F(IcalDriverTest, AHandheldSeriesIsOneEventWhoseOccurrencesFollowTheHandheld) {
  ExchangeRecord occurrence;
  occurrence.recordId = 0x00C00001;
  occurrence.repeating = true;
  occurrence.description = "Standup";
  occurrence.hasText = true;
  std::vector<std::pair<ExchangeRecord, int32_t>> rows;
  for (int day : {5, 6, 8, 9}) {
    occurrence.startTime = Local(2024, 3, day, 8, 0);
    occurrence.endTime = Local(2024, 3, day, 8, 15);
    rows.push_back({occurrence, kStatusAdded});
  }
  Extract();  // the window of the update
  Update(rows);
  const auto files = Files();
  ASSERT_EQ(files.size(), 1u);
  const std::string text = files.begin()->second;
  EXPECT_TRUE(Contains(text, "DTSTART;TZID=Europe/Berlin:20240305T080000")) << text;
  for (const char* day : {"20240306", "20240308", "20240309"}) {
    EXPECT_TRUE(Contains(text, std::string("RDATE;TZID=Europe/Berlin:") + day + "T080000"));
  }
  // Back out as repeating occurrences of the one record ID.
  const auto out = Extract();
  ASSERT_EQ(out.size(), 4u);
  for (const auto& r : out) {
    EXPECT_TRUE(r.repeating);
    EXPECT_EQ(r.recordId, 0x00C00001u);
  }
  // The handheld's next update drops 8 March: the event follows, and again changes nothing.
  rows.erase(rows.begin() + 2);
  Update(rows);
  const std::string after = Files().begin()->second;
  EXPECT_FALSE(Contains(after, "20240308T080000")) << after;
  Update(rows);
  EXPECT_EQ(Files().begin()->second, after);
}

TEST_F(IcalDriverTest, ADamagedFileIsReportedAndLeftAlone) {
  WriteFile(File("bad.ics"), "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nDTSTART:2024");
  WriteFile(File("nostart.ics"), Event("nostart", "SUMMARY:x\r\n"));
  IcalCalendar cal;
  std::vector<std::string> problems;
  std::string error;
  ASSERT_TRUE(cal.Load(vdir_, &problems, &error));
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_TRUE(Contains(problems[0], "bad.ics: does not parse")) << problems[0];
  EXPECT_TRUE(Contains(problems[1], "no DTSTART")) << problems[1];
  IcalCalendar missing;
  EXPECT_FALSE(missing.Load(vdir_ + "/nowhere", &problems, &error));
  EXPECT_TRUE(Contains(error, "the calendar folder does not exist")) << error;
}

TEST_F(IcalDriverTest, OneIcsFileHoldsManyEvents) {
  vdir_ = scratch_.path() + "/all.ics";
  WriteFile(vdir_,
            "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
            "BEGIN:VEVENT\r\nUID:a\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20240306T080000Z\r\n"
            "SUMMARY:A\r\nEND:VEVENT\r\n"
            "BEGIN:VEVENT\r\nUID:b\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20240307T080000Z\r\n"
            "SUMMARY:B\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
  const auto rows = Extract();
  ASSERT_EQ(rows.size(), 2u);
  Update({{rows[0], kStatusDeleted}});
  const std::string text = ReadFile(vdir_);
  EXPECT_FALSE(Contains(text, "UID:a")) << text;
  EXPECT_TRUE(Contains(text, "UID:b")) << text;
}

}  // namespace
}  // namespace velqor::drivers
