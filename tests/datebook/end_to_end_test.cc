// Whole synchronizations as HotSync Manager runs them: the conduit module loaded by path, the
// in-memory handheld standing for the device, and the reference host driver started as a real
// process that keeps the host calendar in a plain file. Three synchronizations on consecutive
// days, with edits on both sides, conflicts and deletions in between, must converge.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/datebook/end_to_end_support.h"

namespace datebook_test {
namespace {

using velqor::drivers::HostCalendar;
using velqor::drivers::HostEvent;

std::vector<std::string> StandUps(const std::vector<int>& days) {
  std::vector<std::string> lines;
  for (int day : days) {
    char line[64];
    std::snprintf(line, sizeof line, "Stand-up 1997-03-%02d 09:30 (occurrence)", day);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return Sorted(a);
}

TEST_F(EndToEndTest, ThreeSynchronizationsConverge) {
  // Before the first synchronization: each side has its own events.
  AddPilot({.event = {.id = 0x101, .text = "Dentist", .start = Local(1997, 3, 13, 15, 0)},
            .attributes = kAttrDirty});
  AddPilot({.event = {.id = 0x102, .text = "Stand-up", .start = Local(1997, 3, 3, 9, 30)},
            .rule = CDayName(1, 1, -1, 0)});
  AddPilot({.event = {.id = 0x103, .text = "Old note", .start = Local(1997, 3, 1, 8, 0)}});
  HostCalendar host;
  host.events.push_back(HostSingle("Team lunch", Local(1997, 3, 14, 12, 0)));
  host.events.push_back(HostSingle("Conference call", Local(1997, 3, 17, 16, 0)));
  SaveHost(host);

  // 1. Wednesday 12 March: no backup yet.
  SetNow(12, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
  EXPECT_EQ(PilotLines(),
            Sorted({"Conference call 1997-03-17 16:00", "Dentist 1997-03-13 15:00",
                    "Old note 1997-03-01 08:00", "Stand-up 1997-03-03 09:30 repeating",
                    "Team lunch 1997-03-14 12:00"}));
  EXPECT_EQ(HostLines(), Join({"Conference call 1997-03-17 16:00", "Dentist 1997-03-13 15:00",
                               "Team lunch 1997-03-14 12:00"},
                              StandUps({12, 13, 14, 15, 16, 17, 18, 19})));
  // Every host event now carries the ID of its handheld record.
  for (const auto& [event, id] : HostIds()) {
    EXPECT_NE(Db().FindRecord(id), nullptr) << event;
  }
  EXPECT_FALSE(std::ifstream(dir + "update.dat").good());

  // Edits on both sides.
  const uint32_t lunch = PilotIdOf("Team lunch");
  const uint32_t call = PilotIdOf("Conference call");
  // On the handheld: the dentist moves an hour, the lunch is deleted, the call is changed.
  EditPilot(0x101, {.text = "Dentist 4pm", .start = Local(1997, 3, 13, 16, 0)}, kAttrDirty);
  Db().FindRecord(lunch)->attributes |= kAttrDeleted;
  EditPilot(call, {.text = "Call moved", .start = Local(1997, 3, 17, 16, 0)}, kAttrDirty);
  // On the host: the dentist is deleted, the call changed too (a conflict), one stand-up
  // removed, and a new event.
  host = Host();
  auto& events = host.events;
  events.erase(std::remove_if(events.begin(), events.end(),
                              [](const HostEvent& e) {
                                return e.description == "Dentist" ||
                                       (e.repeating && e.start == Local(1997, 3, 15, 9, 30));
                              }),
               events.end());
  for (HostEvent& e : events) {
    if (e.description == "Conference call") e.description = "Conference call (room 2)";
  }
  events.push_back(HostSingle("Gym", Local(1997, 3, 16, 18, 0)));
  SaveHost(host);

  // 2. Thursday 13 March.
  SetNow(13, 10);
  ASSERT_EQ(Sync(), 0);
  // Two messages: the dentist changed on one side and deleted on the other, and the call
  // changed on both.
  EXPECT_EQ(Activities(), (std::vector<int32_t>{19, -1, 2, -1, -1, 1, -1, -1, -1, 21}));
  const std::vector<std::string> pilotAfter =
      Sorted({"Call moved 1997-03-17 16:00", "Conference call (room 2) 1997-03-17 16:00",
              "Dentist 4pm 1997-03-13 16:00", "Gym 1997-03-16 18:00", "Old note 1997-03-01 08:00",
              "Stand-up 1997-03-03 09:30 repeating except 1997-03-15"});
  EXPECT_EQ(PilotLines(), pilotAfter);
  // Yesterday's stand-up stays on the host as it was; the window's are written again.
  const std::vector<std::string> hostSingles = {
      "Call moved 1997-03-17 16:00", "Conference call (room 2) 1997-03-17 16:00",
      "Dentist 4pm 1997-03-13 16:00", "Gym 1997-03-16 18:00"};
  EXPECT_EQ(HostLines(), Join(hostSingles, StandUps({12, 13, 14, 16, 17, 18, 19, 20})));
  for (const auto& [event, id] : HostIds()) {
    EXPECT_NE(Db().FindRecord(id), nullptr) << event;
  }

  // 3. Friday 14 March, nothing edited: nothing changes apart from the window moving on.
  SetNow(14, 10);
  const std::vector<std::string> pilotBefore = PilotLines();
  const std::map<std::string, uint32_t> idsBefore = HostIds();
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
  EXPECT_EQ(PilotLines(), pilotBefore);
  EXPECT_EQ(HostIds(), idsBefore);
  EXPECT_EQ(HostLines(), Join(hostSingles, StandUps({12, 13, 14, 16, 17, 18, 19, 20, 21})));
  for (const auto& r : Db().records) {
    EXPECT_EQ(r.attributes & (kAttrDirty | kAttrDeleted), 0) << std::hex << r.id;
  }
}

TEST_F(EndToEndTest, AHostChangeToOneOccurrenceBecomesAnEventOfItsOwn) {
  AddPilot({.event = {.id = 0x201, .text = "Walk", .start = Local(1997, 3, 1, 7, 0)},
            .rule = CDayName(0, 1, -1, 0)});
  SaveHost({});
  SetNow(12, 10);
  ASSERT_EQ(Sync(), 0);

  HostCalendar host = Host();
  for (HostEvent& e : host.events) {
    if (e.start == Local(1997, 3, 14, 7, 0)) {
      e.description = "Walk with Sam";
      e.start = Local(1997, 3, 14, 7, 30);
    }
  }
  SaveHost(host);

  SetNow(13, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(PilotLines(), Sorted({"Walk 1997-03-01 07:00 repeating except 1997-03-14",
                                  "Walk with Sam 1997-03-14 07:30"}));
  std::vector<std::string> expected = {"Walk with Sam 1997-03-14 07:30"};
  for (int day : {12, 13, 15, 16, 17, 18, 19, 20}) {
    char line[64];
    std::snprintf(line, sizeof line, "Walk 1997-03-%02d 07:00 (occurrence)", day);
    expected.push_back(line);
  }
  EXPECT_EQ(HostLines(), Sorted(expected));

  SetNow(14, 10);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(PilotLines(), Sorted({"Walk 1997-03-01 07:00 repeating except 1997-03-14",
                                  "Walk with Sam 1997-03-14 07:30"}));
  EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
}

// Handheld events entered beyond the window and never changed again reach the host on the day
// the window first takes them in, through fast synchronizations only, and only once.
TEST_F(EndToEndTest, UnchangedEventsReachTheHostWhenTheWindowComesToThem) {
  AddPilot({.event = {.id = 0x301, .text = "Dentist", .start = Local(1997, 3, 25, 9, 0)}});
  AddPilot({.event = {.id = 0x302, .text = "Choir", .start = Local(1997, 3, 27, 19, 0)},
            .rule = CWeekly(1 << 4, 1, -1, 0)});  // Thursdays
  SaveHost({});
  const std::string dentist = "Dentist 1997-03-25 09:00";
  const std::string choir = "Choir 1997-03-27 19:00 (occurrence)";
  const struct {
    int day;
    std::vector<std::string> host;
  } days[] = {
      {12, {}},
      {18, {}},  // the window ends at midnight before the dentist
      {19, {dentist}},
      {20, {choir, dentist}},  // an occurrence counts on the window's last day
      {21, {choir, dentist}},
  };
  for (const auto& d : days) {
    SCOPED_TRACE(d.day);
    SetNow(d.day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(Activities(), (std::vector<int32_t>{19, 20}));
    EXPECT_EQ(HostLines(), d.host);
  }
  EXPECT_EQ(HostIds().at(dentist), 0x301u);
  EXPECT_EQ(PilotLines(), Sorted({"Choir 1997-03-27 19:00 repeating", dentist}));

  // Deleted on the host, the dentist goes from the handheld and does not come back.
  HostCalendar host = Host();
  std::erase_if(host.events, [](const HostEvent& e) { return e.description == "Dentist"; });
  SaveHost(host);
  for (int day : {22, 23}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(HostLines(), (std::vector<std::string>{choir}));
    EXPECT_EQ(PilotLines(), (std::vector<std::string>{"Choir 1997-03-27 19:00 repeating"}));
  }
}

}  // namespace
}  // namespace datebook_test
