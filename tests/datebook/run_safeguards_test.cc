// Whole synchronizations in which the run itself, not the reconciliation, decides whether events
// survive: the window the conduit and the driver agree on, a driver that ends well without a
// file, a host that suddenly holds nothing, a result that cannot be handed to the host, and a
// calendar larger than the exchange file can count.
#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/datebook/end_to_end_support.h"

namespace datebook_test {
namespace {

using velqor::drivers::HostCalendar;
using velqor::drivers::HostEvent;

constexpr char kFailed[] = "Datebook Synchronization Failed";
constexpr char kNoDesktopFile[] =
    "The Host Driver reported success but wrote no Desktop file. Date Book";
constexpr char kEmptyExtract[] =
    "The host calendar has no records for the days being synchronized, though the last "
    "HotSync left some there. Nothing was changed. To delete them on Pilot too, allow it for "
    "one HotSync (AllowHostWipe). Date Book";
constexpr char kNotMoved[] = "Unable to move the Desktop file to update.dat. Date Book";

// "text YYYY-MM-DD HH:MM (occurrence)" for `count` days from the local day of `first`.
std::vector<std::string> Occurrences(const std::string& text, int32_t first, int count, int hour,
                                     int minute) {
  std::vector<std::string> lines;
  int64_t day = velqor::platform::LocalMidnight(first);
  for (int i = 0; i < count; ++i, day = velqor::platform::AddLocalDays(day, 1)) {
    velqor::platform::LocalTime t{};
    EXPECT_TRUE(velqor::platform::BreakDownLocal(day, &t));
    lines.push_back(text + " " + Show(Local(t.year, t.month, t.day, hour, minute)) +
                    " (occurrence)");
  }
  return lines;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return Sorted(a);
}

class RunSafeguardsTest : public EndToEndTest {
 protected:
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& e : log.entries()) texts.push_back(e.text);
    return texts;
  }
  bool Logged(const std::string& text) {
    const std::vector<std::string> texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }
  // One event on each side, synchronized on 12 March: both sides then hold both.
  void SyncOneEventEachSide() {
    AddPilot({.event = {.id = 0x501, .text = "Dentist", .start = Local(1997, 3, 14, 15, 0)},
              .attributes = kAttrDirty});
    HostCalendar host;
    host.events.push_back(HostSingle("Lunch", Local(1997, 3, 13, 12, 0)));
    SaveHost(host);
    SetNow(12, 10);
    ASSERT_EQ(Sync(), 0);
    ASSERT_EQ(PilotLines(), BothEvents());
    ASSERT_EQ(HostLines(), BothEvents());
  }
  // The handheld's records with their attributes, to show that a run left them alone.
  std::vector<std::string> Handheld() {
    std::vector<std::string> records;
    for (const Unpacked& u : PilotRecords()) {
      records.push_back(std::to_string(u.id) + " " + std::to_string(u.attributes) + " " +
                        u.event.text + " " + Show(u.event.start) +
                        (u.repeating ? " repeating" : ""));
    }
    return records;
  }
  // The AllowHostWipe value as stored; nullopt when there is none.
  std::optional<uint32_t> AllowHostWipe() {
    const auto value = store_.Get(kKey, "AllowHostWipe");
    if (!value || value->data.size() != 4) return std::nullopt;
    return static_cast<uint32_t>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                                 value->data[3] << 24);
  }
  static std::vector<std::string> BothEvents() {
    return {"Dentist 1997-03-14 15:00", "Lunch 1997-03-13 12:00"};
  }
};

// Two runs on one day whose window ends across a clock change, then one the next day. The
// conduit and the driver must take the same last day: a driver whose days are 86400 seconds
// leaves the autumn window's last occurrence out of its extract (so the second run takes it for
// deleted on the host and makes it an exception), and takes a spring event the conduit counts
// outside the window into its extract (so the second run adds it to the handheld again).
TEST_F(RunSafeguardsTest, ConduitAndDriverAgreeOnWindowsThatEndAcrossAClockChange) {
  struct Case {
    const char* name;
    int month, day;        // the first two runs; the third is on the next day
    int endMonth, endDay;  // the day that begins at the first window's end
  };
  const Case cases[] = {
      {"spring", 3, 31, 4, 7},
      {"autumn", 10, 20, 10, 27},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Db().records.clear();
    std::filesystem::remove(dir + "datebook.bak");
    AddPilot({.event = {.id = 0x601, .text = "Walk", .start = Local(1997, 1, 1, 7, 0)},
              .rule = CDayName(1, 1, -1, 0)});
    HostCalendar host;
    const int32_t lateCall = Local(1997, c.endMonth, c.endDay, 0, 30);
    host.events.push_back(HostSingle("Late call", lateCall));
    SaveHost(host);

    for (int hour : {10, 15}) {
      SetNowAt(1997, c.month, c.day, hour);
      ASSERT_EQ(Sync(), 0) << hour;
      EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20})) << hour;
    }
    SetNowAt(1997, c.month, c.day + 1, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));

    EXPECT_EQ(PilotLines(),
              Sorted({"Late call " + Show(lateCall), "Walk 1997-01-01 07:00 repeating"}));
    // The first window's days and the one the last run added, each once.
    EXPECT_EQ(HostLines(), Join({"Late call " + Show(lateCall)},
                                Occurrences("Walk", Local(1997, c.month, c.day), 9, 7, 0)));
  }
}

// A driver that ends well without writing the desktop data file: the run fails before the
// monitor would take the missing file for an empty host calendar.
TEST_F(RunSafeguardsTest, ADriverThatWritesNoFileFailsTheRunAndChangesNothing) {
  SyncOneEventEachSide();
  const auto before = Handheld();

  store_.SetText(kKey, "DriverPath", "/bin/true");
  SetNow(13, 10);
  EXPECT_EQ(Sync(), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kNoDesktopFile, kFailed}));
  EXPECT_EQ(Handheld(), before);

  store_.SetText(kKey, "DriverPath", kDriver);
  SetNow(14, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
  EXPECT_EQ(PilotLines(), BothEvents());
  EXPECT_EQ(HostLines(), BothEvents());
}

// The host calendar file is gone (a drive not mounted, say): the driver extracts nothing. The
// run stops before the handheld is touched until the calendar is back, or until the user allows
// one run to empty those days.
TEST_F(RunSafeguardsTest, AnExtractWithNothingOfTheWindowNeedsTheUsersWord) {
  SyncOneEventEachSide();
  const std::string calendar = dir + "host-calendar.txt";
  const std::string kept = dir + "host-calendar.kept";
  std::filesystem::rename(calendar, kept);

  SetNow(13, 10);
  const auto before = Handheld();
  EXPECT_EQ(Sync(), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kEmptyExtract, kFailed}));
  EXPECT_EQ(Handheld(), before);
  EXPECT_FALSE(std::filesystem::exists(calendar));  // nothing was sent to the host

  // Back again: the next run synchronizes as if nothing had happened.
  std::filesystem::rename(kept, calendar);
  SetNow(14, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
  EXPECT_EQ(PilotLines(), BothEvents());
  EXPECT_EQ(HostLines(), BothEvents());

  // Emptied on purpose, and allowed for one run: the events of the window go from the handheld
  // (yesterday's lunch is no longer in it and stays), and the permission with them.
  SaveHost({});
  store_.SetNumber(kKey, "AllowHostWipe", 1);
  SetNow(14, 11);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(PilotLines(), std::vector<std::string>{"Lunch 1997-03-13 12:00"});
  EXPECT_EQ(AllowHostWipe(), 0u);

  // An empty host with nothing in the backup's window needs no permission.
  AddPilot({.event = {.id = 0x502, .text = "Later", .start = Local(1997, 4, 30, 9, 0)}});
  SetNow(15, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
  EXPECT_EQ(PilotLines(), Sorted({"Later 1997-04-30 09:00", "Lunch 1997-03-13 12:00"}));
}

// A permission given and not needed is not kept for a later run.
TEST_F(RunSafeguardsTest, AnUnusedPermissionIsClearedByTheRunThatCouldHaveUsedIt) {
  SyncOneEventEachSide();
  store_.SetNumber(kKey, "AllowHostWipe", 1);
  SetNow(13, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(AllowHostWipe(), 0u);

  std::filesystem::remove(dir + "host-calendar.txt");
  SetNow(14, 10);
  const auto before = Handheld();
  EXPECT_EQ(Sync(), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{kEmptyExtract, kFailed}));
  EXPECT_EQ(Handheld(), before);
}

// The synchronized result cannot be moved to update.dat. The handheld's new event, already
// written to the backup, must not come back from the next run as deleted on the host.
TEST_F(RunSafeguardsTest, AResultThatCannotBeMovedLosesNoEvent) {
  struct Case {
    const char* name;
    std::vector<std::string> failing;
    std::vector<std::string> logged;  // by the run whose move fails
  };
  const Case cases[] = {
      {"copied instead", {"Move"}, {}},
      {"neither moved nor copied", {"Move", "Copy"}, {kNotMoved, kFailed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Db().records.clear();
    std::filesystem::remove(dir + "datebook.bak");
    SaveHost({});
    SetNow(12, 10);
    ASSERT_EQ(Sync(), 0);

    AddPilot({.event = {.id = 0x701, .text = "Dentist", .start = Local(1997, 3, 14, 15, 0)},
              .attributes = kAttrDirty});
    velqor::platform::LocalFileSystem local;
    velqor::platform::FaultyFileSystem faulty(&local);
    for (const std::string& op : c.failing) faulty.Fail(op);
    velqor::platform::SetFileSystem(&faulty);
    SetNow(13, 10);
    Sync();
    velqor::platform::SetFileSystem(nullptr);
    std::vector<std::string> shell;
    for (const auto& e : log.entries()) {
      if (e.activity == 22) shell.push_back(e.text);
    }
    EXPECT_EQ(shell, c.logged);

    for (int day : {14, 15}) {
      SetNow(day, 10);
      ASSERT_EQ(Sync(), 0) << day;
      EXPECT_EQ(PilotLines(), std::vector<std::string>{"Dentist 1997-03-14 15:00"}) << day;
      EXPECT_EQ(HostLines(), std::vector<std::string>{"Dentist 1997-03-14 15:00"}) << day;
      EXPECT_EQ(HostIds().at("Dentist 1997-03-14 15:00"), 0x701u) << day;
    }
  }
}

// Daily handheld events over a long window, with one host event to be added to the handheld.
class LargeCalendarTest : public RunSafeguardsTest {
 protected:
  static constexpr int kEvents = 100;
  void SetUp() override {
    RunSafeguardsTest::SetUp();
    for (int i = 0; i < kEvents; ++i) {
      AddPilot({.event = {.id = 0x800u + static_cast<uint32_t>(i),
                          .text = "Daily " + std::to_string(i),
                          .start = Local(1997, 1, 1, 6, 0) + 60 * i},
                .rule = CDayName(1, 1, -1, 0)});
    }
    HostCalendar host;
    host.events.push_back(HostSingle("Lunch", Local(1997, 3, 20, 12, 0)));
    SaveHost(host);
  }
  int PilotCount(const std::string& text) {
    int n = 0;
    for (const Unpacked& u : PilotRecords()) n += u.event.text == text ? 1 : 0;
    return n;
  }
  // Host events of one text on one day, at most; the number of host events.
  size_t HostEventsOnceEach() {
    std::map<std::string, int> seen;
    for (const std::string& line : HostLines()) {
      EXPECT_EQ(++seen[line], 1) << line;
    }
    return seen.size();
  }
};

// 100 daily events over 60 days are 6100 occurrences. The second run's table holds the extract's
// 6000 occurrences marked deleted beside 6100 written again, more than the 9999 records a file
// can count, though the file needs only the changes.
TEST_F(LargeCalendarTest, OccurrencesWrittenAgainUnchangedDoNotCountTowardsTheLimit) {
  store_.SetNumber(kKey, "NumDays", 60);
  for (int day : {12, 13, 14}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
    EXPECT_EQ(PilotCount("Lunch"), 1);
    EXPECT_EQ(PilotRecords().size(), static_cast<size_t>(kEvents + 1));
    // Every day from the first run's on, once per event, and the lunch.
    EXPECT_EQ(HostEventsOnceEach(), static_cast<size_t>(kEvents * (61 + day - 12) + 1));
  }
}

// 100 daily events over 120 days are 12100 occurrences: no file can hold them. The run says so
// before it writes anything to the handheld, every time, and adds nothing twice.
TEST_F(LargeCalendarTest, ACalendarTheFileCannotHoldFailsBeforeTheHandheldIsWritten) {
  store_.SetNumber(kKey, "NumDays", 120);
  const auto before = Handheld();
  for (int day : {12, 13}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_NE(Sync(), 0);
    EXPECT_TRUE(Logged("   - Could not save the Desktop file."));
    EXPECT_TRUE(
        Logged("     It would hold 12101 records, more than the 9999 it can. Nothing was "
               "changed; synchronize fewer days."));
    EXPECT_EQ(Handheld(), before);
    EXPECT_EQ(HostLines(), std::vector<std::string>{"Lunch 1997-03-20 12:00"});
  }

  store_.SetNumber(kKey, "NumDays", 60);
  SetNow(14, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(PilotCount("Lunch"), 1);
  EXPECT_EQ(HostEventsOnceEach(), static_cast<size_t>(kEvents * 61 + 1));
}

}  // namespace
}  // namespace datebook_test
