// icalhost: the host driver for an iCalendar calendar, a vdir or one .ics file
// (icalhost_driver.h tells how events map to the handheld's records).
//
//   icalhost extract DIR FILE USERID NUMDAYS   writes the window's events to DIR/FILE
//   icalhost update DIR FILE USERID 0          applies the update file DIR/FILE
//   icalhost install DIR CALENDAR dummy 0      records where this user's calendar lives
//
// Its configuration is DIR/icalhost.conf:
//   calendar PATH            a folder (vdir) or a file ending in .ics (relative to DIR)
//   timezone NAME            the zone the handheld lives in (default: the system's)
//   now YYYY-MM-DD HH:MM:SS  a pinned clock, for tests (default: the system clock)
// Its state (host numbers and record IDs) is DIR/icalhost.db. On failure it exits with 1 and
// leaves its reason in DIR/conderr.txt; nothing of the calendar is changed then.
#include <libical/ical.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "drivers/driver_config.h"
#include "drivers/host_calendar.h"
#include "drivers/ical_calendar.h"
#include "drivers/ical_state.h"
#include "drivers/icalhost_driver.h"
#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

constexpr const char* kConfigName = "icalhost.conf";
constexpr const char* kStateName = "icalhost.db";

using velqor::drivers::JoinPath;

int Fail(const std::string& dir, const std::string& message) {
  return velqor::drivers::ReportFailure("icalhost", dir, message);
}

// The calendar, refused whole when any part of it cannot be read: leaving a damaged file's
// events out of an extract would delete them from the handheld.
bool OpenCalendar(const std::string& path, velqor::drivers::IcalCalendar* calendar,
                  std::string* error) {
  std::vector<std::string> problems;
  if (!calendar->Load(path, &problems, error)) return false;
  if (problems.empty()) return true;
  *error = "the calendar has parts the driver cannot read; nothing was synchronized:";
  for (const auto& p : problems) *error += "\n  " + p;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The conduit forms the command line without quoting, so a user ID with blanks arrives as
  // several words: every word between the file and the closing number is the user ID.
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: icalhost extract DIR FILE USERID NUMDAYS\n"
                 "       icalhost update DIR FILE USERID 0\n"
                 "       icalhost install DIR CALENDAR dummy 0\n");
    return 2;
  }
  icalerror_set_errors_are_fatal(0);
  const std::string step = argv[1];
  const std::string dir = argv[2];
  const std::string file = argv[3];
  std::string userId;
  for (int i = 4; i < argc - 1; ++i) userId += (i > 4 ? " " : "") + std::string(argv[i]);
  std::string error;
  velqor::drivers::DriverConfig config;
  if (!velqor::drivers::OpenDriverConfig(dir, kConfigName, &config, &error)) {
    return Fail(dir, error);
  }

  if (step == "install") {
    if (file.empty()) return Fail(dir, "install needs a calendar path");
    const std::string path = JoinPath(dir, file);
    std::error_code ec;
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".ics") != 0) {
      std::filesystem::create_directories(path, ec);
      if (ec) return Fail(dir, path + ": the calendar folder cannot be created: " + ec.message());
    } else {
      velqor::drivers::IcalCalendar calendar;
      if (!OpenCalendar(path, &calendar, &error) || !calendar.Save(&error)) {
        return Fail(dir, error);
      }
    }
    config.Set("calendar", file);
    if (!velqor::drivers::WriteDriverConfig(JoinPath(dir, kConfigName), "icalhost", config, &error))
      return Fail(dir, error);
    return 0;
  }

  const std::string calendarName = config.Get("calendar");
  if (calendarName.empty()) return Fail(dir, std::string(kConfigName) + " names no calendar");
  velqor::drivers::IcalCalendar calendar;
  if (!OpenCalendar(JoinPath(dir, calendarName), &calendar, &error)) return Fail(dir, error);
  velqor::drivers::IcalState state;
  if (!state.Open(JoinPath(dir, kStateName), &error)) return Fail(dir, error);
  int64_t now = 0;
  if (!velqor::drivers::PinnedNow(config, kConfigName, &now, &error)) return Fail(dir, error);

  if (step == "extract") {
    char* endp = nullptr;
    const char* count = argv[argc - 1];
    const long days = std::strtol(count, &endp, 10);
    if (endp == count || *endp != '\0' || days < 0 || days > 36500) {
      return Fail(dir, std::string("extract: not a number of days: ") + count);
    }
    int32_t start = 0, end = 0;
    velqor::platform::ComputeSyncWindow(now, static_cast<int32_t>(days), &start, &end);
    CVuzurTable table;
    if (!velqor::drivers::ExtractIcal(calendar, state, start, end, &table, &error)) {
      return Fail(dir, error);
    }
    const long saved = table.SaveTo(JoinPath(dir, file));
    if (saved != 0) {
      return Fail(
          dir, JoinPath(dir, file) + ": cannot be written (status " + std::to_string(saved) + ")");
    }
    if (!state.Commit(&error)) return Fail(dir, error);
    return 0;
  }

  if (step == "update") {
    CVuzurTable update;
    const long loaded = update.LoadFrom(JoinPath(dir, file), 0);
    if (loaded != 0) {
      return Fail(dir, JoinPath(dir, file) + ": does not load (status " + std::to_string(loaded) +
                           "); the calendar is unchanged");
    }
    velqor::drivers::IcalUpdateCounts counts;
    if (!velqor::drivers::UpdateIcal(calendar, state, update, userId, now, &counts, &error)) {
      return Fail(dir, error);
    }
    // The calendar first: an update applied again after a crash here finds what it made.
    if (!calendar.Save(&error)) return Fail(dir, error);
    if (!state.Commit(&error)) return Fail(dir, error);
    return 0;
  }
  return Fail(dir, "unknown step " + step);
}
