// Sequences of synchronizations on consecutive days, with both ends changing and runs that
// fail half-way, after which every event must exist exactly once on each side.
#include <functional>
#include <set>

#include "tests/datebook/end_to_end_support.h"

namespace datebook_test {
namespace {

constexpr int32_t kCommsError = 0x2004;

std::vector<std::string> OccurrenceLines(const std::string& text, const std::string& time,
                                         const std::vector<int>& days, int month = 3) {
  std::vector<std::string> lines;
  for (int day : days) {
    char line[96];
    std::snprintf(line, sizeof line, "%s 1997-%02d-%02d %s (occurrence)", text.c_str(), month, day,
                  time.c_str());
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return Sorted(a);
}

class NoLossTest : public EndToEndTest {
 protected:
  // After a synchronization, another one on the same day changes nothing on either side.
  void ExpectSettled() {
    const std::vector<std::string> pilot = PilotLines();
    const std::vector<std::string> host = HostLines();
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), pilot);
    EXPECT_EQ(HostLines(), host);
  }
  void EditHost(const std::function<void(std::vector<HostEvent>&)>& edit) {
    HostCalendar host = Host();
    edit(host.events);
    SaveHost(host);
  }
};

// A handheld single event turned into a repeating one: its host row is replaced by the
// occurrences, whatever the host did to the single event meanwhile, and the series survives
// every later synchronization.
TEST_F(NoLossTest, ASingleEventMadeRepeatingReplacesItsHostRow) {
  enum class HostEdit { kNone, kDeleted, kChanged };
  for (HostEdit edit : {HostEdit::kNone, HostEdit::kDeleted, HostEdit::kChanged}) {
    SCOPED_TRACE(static_cast<int>(edit));
    Db().records.clear();
    // An event that stays, so that the host never looks emptied.
    SaveHost({.events = {HostSingle("Anchor", Local(1997, 3, 16, 9, 0))}});
    std::filesystem::remove(BackupPath());
    AddPilot({.event = {.id = 0x401, .text = "Review", .start = Local(1997, 3, 14, 10, 0)},
              .attributes = kAttrDirty});
    SetNow(12, 10);
    ASSERT_EQ(Sync(), 0);
    ASSERT_EQ(HostLines(), Sorted({"Anchor 1997-03-16 09:00", "Review 1997-03-14 10:00"}));

    // Weekdays from Wednesday 12 March.
    *Db().FindRecord(0x401) =
        Pack({.event = {.id = 0x401, .text = "Review", .start = Local(1997, 3, 12, 10, 0)},
              .rule = CWeekly(0x3E, 1, -1, 0),
              .attributes = kAttrDirty});
    std::vector<std::string> pilot = {"Anchor 1997-03-16 09:00",
                                      "Review 1997-03-12 10:00 repeating"};
    std::vector<std::string> extra = {"Anchor 1997-03-16 09:00"};
    if (edit == HostEdit::kDeleted) {
      EditHost([](std::vector<HostEvent>& events) {
        std::erase_if(events, [](const HostEvent& e) { return e.description == "Review"; });
      });
    } else if (edit == HostEdit::kChanged) {
      EditHost([](std::vector<HostEvent>& events) {
        for (HostEvent& e : events) {
          if (e.description == "Review") e.description = "Review (host)";
        }
      });
      pilot.push_back("Review (host) 1997-03-14 10:00");
      extra.push_back("Review (host) 1997-03-14 10:00");
    }

    const std::vector<std::string> host =
        Join(extra, OccurrenceLines("Review", "10:00", {13, 14, 17, 18, 19, 20}));
    SetNow(13, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), Sorted(pilot));
    EXPECT_EQ(HostLines(), host);
    SetNow(14, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), Sorted(pilot));
    EXPECT_EQ(HostLines(),
              Join(extra, OccurrenceLines("Review", "10:00", {13, 14, 17, 18, 19, 20, 21})));
    ExpectSettled();
  }
}

TEST_F(NoLossTest, ARepeatingEventMadeSingleReplacesItsOccurrences) {
  AddPilot({.event = {.id = 0x402, .text = "Walk", .start = Local(1997, 3, 1, 7, 0)},
            .rule = CDayName(0, 1, -1, 0)});
  SaveHost({});
  SetNow(12, 10);
  ASSERT_EQ(Sync(), 0);
  *Db().FindRecord(0x402) =
      Pack({.event = {.id = 0x402, .text = "Walk", .start = Local(1997, 3, 14, 7, 0)},
            .attributes = kAttrDirty});

  for (int day : {13, 14, 15}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), (std::vector<std::string>{"Walk 1997-03-14 07:00"}));
    // Yesterday's occurrence stays on the host as it was.
    EXPECT_EQ(HostLines(), Join({"Walk 1997-03-14 07:00"}, OccurrenceLines("Walk", "07:00", {12})));
  }
}

// A run that wrote host events to the handheld and then failed: the next clean run finds them
// there and adds none of them again.
TEST_F(NoLossTest, WritesOfAFailedRunAreNotRepeated) {
  const struct {
    const char* fault;
    bool firstSync;
  } cases[] = {
      {"HhWriteRecord@2", true},  {"HhWriteRecord@3", true},   {"HhPurgeDeleted@1", true},
      {"HhWriteRecord@2", false}, {"HhPurgeDeleted@1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + (c.firstSync ? " first" : " later"));
    Db().records.clear();
    std::filesystem::remove(BackupPath());
    SaveHost({});
    HostCalendar host;
    host.events.push_back(HostSingle("Lunch", Local(1997, 3, 13, 12, 0)));
    host.events.push_back(HostSingle("Gym", Local(1997, 3, 14, 18, 0)));
    host.events.push_back(HostSingle("Call", Local(1997, 3, 15, 16, 0)));
    AddPilot({.event = {.id = 0x501, .text = "Dentist", .start = Local(1997, 3, 16, 9, 0)},
              .attributes = kAttrDirty});
    if (!c.firstSync) {
      SetNow(11, 10);
      ASSERT_EQ(Sync(), 0);
    }
    HostCalendar merged = Host();
    for (const HostEvent& e : host.events) merged.events.push_back(e);
    SaveHost(merged);

    const std::string function = std::string(c.fault).substr(0, std::string(c.fault).find('@'));
    const int nth = std::stoi(std::string(c.fault).substr(std::string(c.fault).find('@') + 1));
    link.FailNth(function, link.CountOf(function) + nth, kCommsError);
    SetNow(12, 10);
    EXPECT_NE(Sync(), 0);

    const std::vector<std::string> all =
        Sorted({"Call 1997-03-15 16:00", "Dentist 1997-03-16 09:00", "Gym 1997-03-14 18:00",
                "Lunch 1997-03-13 12:00"});
    SetNow(12, 11);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), all);
    EXPECT_EQ(HostLines(), all);
    SetNow(13, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), all);
    EXPECT_EQ(HostLines(), all);
    // Every host event carries the ID of its handheld record.
    std::set<uint32_t> ids;
    for (const auto& [event, id] : HostIds()) {
      EXPECT_NE(Db().FindRecord(id), nullptr) << event;
      ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 4u);
  }
}

// The host marks rows repeating that no handheld event stands behind: they reach the handheld
// as single events and stay on both sides.
TEST_F(NoLossTest, RepeatingHostRowsWithoutAHandheldEventBecomeSingleEvents) {
  HostCalendar host;
  for (int day : {13, 14}) {
    HostEvent e = HostSingle("Yoga", Local(1997, 3, day, 18, 0));
    e.repeating = true;
    host.events.push_back(e);
  }
  SaveHost(host);
  const std::vector<std::string> both = {"Yoga 1997-03-13 18:00", "Yoga 1997-03-14 18:00"};
  for (int day : {12, 13}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), both);
    EXPECT_EQ(HostLines(), both);
  }
}

// The handheld moves an event out of the window while the host deleted it, changed it, or
// left it: the reconciliation applies as inside the window.
TEST_F(NoLossTest, AnEditThatMovesAnEventOutOfTheWindowIsReconciled) {
  enum class HostEdit { kNone, kDeleted, kChanged };
  const struct {
    HostEdit edit;
    std::vector<std::string> both;
  } cases[] = {
      {HostEdit::kNone, {"Anchor 1997-03-16 09:00", "Review 1997-03-30 10:00"}},
      {HostEdit::kDeleted, {"Anchor 1997-03-16 09:00", "Review 1997-03-30 10:00"}},
      {HostEdit::kChanged,
       {"Anchor 1997-03-16 09:00", "Review (host) 1997-03-14 10:00", "Review 1997-03-30 10:00"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.edit));
    Db().records.clear();
    // An event that stays, so that the host never looks emptied.
    SaveHost({.events = {HostSingle("Anchor", Local(1997, 3, 16, 9, 0))}});
    std::filesystem::remove(BackupPath());
    AddPilot({.event = {.id = 0x601, .text = "Review", .start = Local(1997, 3, 14, 10, 0)},
              .attributes = kAttrDirty});
    SetNow(12, 10);
    ASSERT_EQ(Sync(), 0);

    *Db().FindRecord(0x601) =
        Pack({.event = {.id = 0x601, .text = "Review", .start = Local(1997, 3, 30, 10, 0)},
              .attributes = kAttrDirty});
    if (c.edit == HostEdit::kDeleted) {
      EditHost([](std::vector<HostEvent>& events) {
        std::erase_if(events, [](const HostEvent& e) { return e.description == "Review"; });
      });
    } else if (c.edit == HostEdit::kChanged) {
      EditHost([](std::vector<HostEvent>& events) {
        for (HostEvent& e : events) {
          if (e.description == "Review") e.description = "Review (host)";
        }
      });
    }
    for (int day : {13, 14}) {
      SCOPED_TRACE(day);
      SetNow(day, 10);
      ASSERT_EQ(Sync(), 0);
      EXPECT_EQ(PilotLines(), Sorted(c.both));
      EXPECT_EQ(HostLines(), Sorted(c.both));
    }
  }
}

// The host moves one occurrence of a handheld repeating event: the old day becomes an
// exception, the moved occurrence an event of its own, and the other occurrences stay.
TEST_F(NoLossTest, AnOccurrenceTheHostMovedBecomesAnEventOfItsOwn) {
  const struct {
    const char* name;
    CRepeateDayInfo rule;
    int32_t from;
    int32_t to;
    std::vector<int> occurrencesOn13;  // on the host after the synchronizations of the 13th
    std::vector<int> occurrencesOn14;  // and of the 14th
  } cases[] = {
      // Onto a day that has an occurrence of its own; yesterday's stays on the host.
      {"daily",
       CDayName(0, 1, -1, 0),
       Local(1997, 3, 14, 7, 0),
       Local(1997, 3, 15, 18, 0),
       {12, 13, 15, 16, 17, 18, 19, 20},
       {12, 13, 15, 16, 17, 18, 19, 20, 21}},
      // Onto a day without one: Tuesday 18 to Wednesday 19.
      {"weekly",
       CWeekly(1 << 2, 1, -1, 0),
       Local(1997, 3, 18, 7, 0),
       Local(1997, 3, 19, 9, 0),
       {},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Db().records.clear();
    SaveHost({});
    std::filesystem::remove(BackupPath());
    AddPilot(
        {.event = {.id = 0x701, .text = "Walk", .start = Local(1997, 3, 4, 7, 0)}, .rule = c.rule});
    SetNow(12, 10);
    ASSERT_EQ(Sync(), 0);
    EditHost([&](std::vector<HostEvent>& events) {
      for (HostEvent& e : events) {
        if (e.start == c.from) {
          e.start = c.to;
          e.end = c.to + 3600;
        }
      }
    });

    const std::string moved = "Walk " + Show(c.to);
    const std::vector<std::string> pilot =
        Sorted({moved, "Walk 1997-03-04 07:00 repeating except " + Show(c.from).substr(0, 10)});
    SetNow(13, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), pilot);
    EXPECT_EQ(HostLines(), Join({moved}, OccurrenceLines("Walk", "07:00", c.occurrencesOn13)));
    SetNow(14, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), pilot);
    EXPECT_EQ(HostLines(), Join({moved}, OccurrenceLines("Walk", "07:00", c.occurrencesOn14)));
    ExpectSettled();
  }
}

// A weekly event never changed on the handheld, synchronized once a week: each week's
// occurrence reaches the host when the window takes it in, although the backup holds last
// week's.
TEST_F(NoLossTest, EveryOccurrenceEnteringTheWindowReachesTheHost) {
  AddPilot({.event = {.id = 0x801, .text = "Choir", .start = Local(1997, 3, 4, 19, 0)},
            .rule = CWeekly(1 << 2, 1, -1, 0)});  // Tuesdays
  SaveHost({});
  const struct {
    int month, day;
    std::vector<std::string> host;
  } weeks[] = {
      {3, 12, {"Choir 1997-03-18 19:00 (occurrence)"}},
      {3, 19, {"Choir 1997-03-18 19:00 (occurrence)", "Choir 1997-03-25 19:00 (occurrence)"}},
      {3,
       26,
       {"Choir 1997-03-18 19:00 (occurrence)", "Choir 1997-03-25 19:00 (occurrence)",
        "Choir 1997-04-01 19:00 (occurrence)"}},
      {4,
       2,
       {"Choir 1997-03-18 19:00 (occurrence)", "Choir 1997-03-25 19:00 (occurrence)",
        "Choir 1997-04-01 19:00 (occurrence)", "Choir 1997-04-08 19:00 (occurrence)"}},
  };
  for (const auto& w : weeks) {
    SCOPED_TRACE(w.day);
    SetNow(w.day, 10, w.month);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(HostLines(), w.host);
  }
}

// The host deletes or changes the occurrence on the first or the last day of the window: the
// day becomes an exception on the handheld and the change does not come back.
TEST_F(NoLossTest, HostEditsOfOccurrencesOnTheWindowsFirstAndLastDay) {
  const struct {
    int day;
    bool deleted;
  } cases[] = {{12, true}, {12, false}, {19, true}, {19, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.day) + (c.deleted ? " deleted" : " changed"));
    Db().records.clear();
    SaveHost({});
    std::filesystem::remove(BackupPath());
    AddPilot({.event = {.id = 0x901, .text = "Walk", .start = Local(1997, 3, 4, 7, 0)},
              .rule = CDayName(0, 1, -1, 0)});
    SetNow(12, 10);
    ASSERT_EQ(Sync(), 0);
    const int32_t when = Local(1997, 3, c.day, 7, 0);
    EditHost([&](std::vector<HostEvent>& events) {
      if (c.deleted) {
        std::erase_if(events, [&](const HostEvent& e) { return e.start == when; });
      } else {
        for (HostEvent& e : events) {
          if (e.start == when) e.description = "Walk with Sam";
        }
      }
    });

    std::vector<std::string> pilot = {"Walk 1997-03-04 07:00 repeating except " +
                                      Show(when).substr(0, 10)};
    std::vector<std::string> extra;
    if (!c.deleted) {
      pilot.push_back("Walk with Sam " + Show(when));
      extra.push_back("Walk with Sam " + Show(when));
    }
    std::vector<int> days;
    for (int d = 12; d <= 19; ++d) {
      if (d != c.day) days.push_back(d);
    }
    SetNow(12, 11);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), Sorted(pilot));
    EXPECT_EQ(HostLines(), Join(extra, OccurrenceLines("Walk", "07:00", days)));
    days.push_back(20);
    SetNow(13, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), Sorted(pilot));
    EXPECT_EQ(HostLines(), Join(extra, OccurrenceLines("Walk", "07:00", days)));
  }
}

// An event changed differently on both ends, and a run that stops while it sends the host's
// version: the handheld's version is on the handheld before the host's overwrites it, so
// after one clean run both versions are on both ends, once.
TEST_F(NoLossTest, BothVersionsOfAConflictSurviveARunThatStops) {
  for (const char* fault :
       {"HhWriteRecord@1", "HhWriteRecord@2", "HhDeleteRecord@1", "HhPurgeDeleted@1"}) {
    SCOPED_TRACE(fault);
    Db().records.clear();
    SaveHost({});
    std::filesystem::remove(BackupPath());
    AddPilot({.event = {.id = 0xA01, .text = "Review", .start = Local(1997, 3, 14, 10, 0)},
              .attributes = kAttrDirty});
    AddPilot({.event = {.id = 0xA02, .text = "Old", .start = Local(1997, 3, 15, 10, 0)},
              .attributes = kAttrDirty});
    SetNow(12, 10);
    ASSERT_EQ(Sync(), 0);

    *Db().FindRecord(0xA01) = Pack(
        {.event = {.id = 0xA01, .text = "Review (handheld)", .start = Local(1997, 3, 14, 10, 0)},
         .attributes = kAttrDirty});
    EditHost([](std::vector<HostEvent>& events) {
      std::erase_if(events, [](const HostEvent& e) { return e.description == "Old"; });
      for (HostEvent& e : events) e.description = "Review (host)";
    });
    const std::string function = std::string(fault).substr(0, std::string(fault).find('@'));
    link.FailNth(function, link.CountOf(function) + (fault[std::strlen(fault) - 1] - '0'),
                 kCommsError);
    SetNow(13, 10);
    EXPECT_NE(Sync(), 0);

    const std::vector<std::string> both = {"Review (handheld) 1997-03-14 10:00",
                                           "Review (host) 1997-03-14 10:00"};
    for (int hour : {11, 12}) {
      SetNow(13, hour);
      ASSERT_EQ(Sync(), 0);
      EXPECT_EQ(PilotLines(), both);
      EXPECT_EQ(HostLines(), both);
    }
  }
}

// The handheld refuses a host change without ending the run (a non-fatal status): the change
// stays owed and the next run sends it again.
TEST_F(NoLossTest, AHostChangeTheHandheldRefusedIsSentAgain) {
  AddPilot({.event = {.id = 0xB01, .text = "Review", .start = Local(1997, 3, 14, 10, 0)},
            .attributes = kAttrDirty});
  AddPilot({.event = {.id = 0xB02, .text = "Old", .start = Local(1997, 3, 15, 10, 0)},
            .attributes = kAttrDirty});
  SaveHost({});
  SetNow(12, 10);
  ASSERT_EQ(Sync(), 0);
  EditHost([](std::vector<HostEvent>& events) {
    std::erase_if(events, [](const HostEvent& e) { return e.description == "Old"; });
    for (HostEvent& e : events) e.description = "Review (host)";
  });
  link.FailNth("HhWriteRecord", link.CountOf("HhWriteRecord") + 1, 16403);
  link.FailNth("HhDeleteRecord", link.CountOf("HhDeleteRecord") + 1, 16404);
  SetNow(13, 10);
  Sync();
  EXPECT_EQ(PilotLines(), Sorted({"Old 1997-03-15 10:00", "Review 1997-03-14 10:00"}));

  const std::vector<std::string> host = {"Review (host) 1997-03-14 10:00"};
  for (int day : {14, 15}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), host);
    EXPECT_EQ(HostLines(), host);
  }
}

// The host moves an event it had from beyond the window into it: the handheld's record of that
// ID moves, instead of the handheld gaining a second one.
TEST_F(NoLossTest, AnEventTheHostMovesIntoTheWindowStaysOneRecord) {
  store_.SetNumber(kKey, "NumDays", 30);
  AddPilot({.event = {.id = 0xC01, .text = "Trip", .start = Local(1997, 3, 30, 8, 0)},
            .attributes = kAttrDirty});
  SaveHost({});
  SetNow(12, 10);
  ASSERT_EQ(Sync(), 0);
  store_.SetNumber(kKey, "NumDays", 7);
  EditHost([](std::vector<HostEvent>& events) {
    events[0].start = Local(1997, 3, 14, 8, 0);
    events[0].end = events[0].start + 3600;
  });
  const std::vector<std::string> moved = {"Trip 1997-03-14 08:00"};
  for (int day : {13, 14}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), moved);
    EXPECT_EQ(HostLines(), moved);
  }
  EXPECT_EQ(HostIds().at(moved[0]), 0xC01u);
}

// The handheld moves yesterday's event, which the extract no longer holds, into the window:
// the host's row of that ID moves with it instead of staying beside the new one.
TEST_F(NoLossTest, YesterdaysEventMovedIntoTheWindowReplacesItsHostRow) {
  AddPilot({.event = {.id = 0xD01, .text = "Call", .start = Local(1997, 3, 12, 15, 0)},
            .attributes = kAttrDirty});
  SaveHost({.events = {HostSingle("Anchor", Local(1997, 3, 16, 9, 0))}});
  SetNow(12, 10);
  ASSERT_EQ(Sync(), 0);
  *Db().FindRecord(0xD01) =
      Pack({.event = {.id = 0xD01, .text = "Call", .start = Local(1997, 3, 14, 15, 0)},
            .attributes = kAttrDirty});
  const std::vector<std::string> both = {"Anchor 1997-03-16 09:00", "Call 1997-03-14 15:00"};
  for (int day : {13, 14}) {
    SCOPED_TRACE(day);
    SetNow(day, 10);
    ASSERT_EQ(Sync(), 0);
    EXPECT_EQ(PilotLines(), both);
    EXPECT_EQ(HostLines(), both);
  }
}

}  // namespace
}  // namespace datebook_test
