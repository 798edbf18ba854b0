// filehost: the reference host driver. The host calendar is one plain file (host_calendar.h).
//
//   filehost extract DIR FILE USERID NUMDAYS   writes the window's events to DIR/FILE
//   filehost update DIR FILE USERID 0          applies the update file DIR/FILE
//   filehost install DIR CALENDAR dummy 0      records where this user's calendar lives
//
// USERID may be several words. It needs nothing from its environment. Its configuration is
// DIR/filehost.conf:
//   calendar PATH            the calendar file (relative to DIR; default host-calendar.txt)
//   timezone NAME            the calendar's time zone (default: the system's)
//   now YYYY-MM-DD HH:MM:SS  a pinned clock, for tests (default: the system clock)
// On failure it exits with 1 and leaves its reason in DIR/conderr.txt.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "drivers/driver_config.h"
#include "drivers/host_calendar.h"
#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

using velqor::drivers::HostCalendar;

constexpr const char* kConfigName = "filehost.conf";
constexpr const char* kDefaultCalendar = "host-calendar.txt";

using velqor::drivers::JoinPath;

int Fail(const std::string& dir, const std::string& message) {
  return velqor::drivers::ReportFailure("filehost", dir, message);
}

}  // namespace

int main(int argc, char** argv) {
  // The conduit forms the command line without quoting, so a user ID with blanks arrives as
  // several words: every word between the file and the closing number is the user ID.
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: filehost extract DIR FILE USERID NUMDAYS\n"
                 "       filehost update DIR FILE USERID 0\n"
                 "       filehost install DIR CALENDAR dummy 0\n");
    return 2;
  }
  const std::string step = argv[1];
  const std::string dir = argv[2];
  const std::string file = argv[3];
  std::string error;
  velqor::drivers::DriverConfig config;
  if (!velqor::drivers::OpenDriverConfig(dir, kConfigName, &config, &error)) {
    return Fail(dir, error);
  }

  if (step == "install") {
    if (file.empty()) return Fail(dir, "install needs a calendar path");
    config.Set("calendar", file);
    const std::string calendarPath = JoinPath(dir, file);
    HostCalendar calendar;
    if (!velqor::drivers::LoadCalendar(calendarPath, &calendar, &error)) return Fail(dir, error);
    if (!velqor::platform::GetFileSystem().Exists(calendarPath) &&
        !velqor::drivers::SaveCalendar(calendarPath, calendar, &error)) {
      return Fail(dir, error);
    }
    if (!velqor::drivers::WriteDriverConfig(JoinPath(dir, kConfigName), "filehost", config, &error))
      return Fail(dir, error);
    return 0;
  }

  const std::string calendarName = config.Get("calendar");
  const std::string calendarPath =
      JoinPath(dir, calendarName.empty() ? kDefaultCalendar : calendarName);
  HostCalendar calendar;
  if (!velqor::drivers::LoadCalendar(calendarPath, &calendar, &error)) return Fail(dir, error);

  if (step == "extract") {
    char* endp = nullptr;
    const char* count = argv[argc - 1];
    const long days = std::strtol(count, &endp, 10);
    if (endp == count || *endp != '\0' || days < -36500 || days > 36500) {
      return Fail(dir, std::string("extract: not a number of days: ") + count);
    }
    int64_t now = 0;
    if (!velqor::drivers::PinnedNow(config, kConfigName, &now, &error)) return Fail(dir, error);
    // The conduit's own window, so that both sides take the same days.
    int32_t start = 0, end = 0;
    velqor::platform::ComputeSyncWindow(now, static_cast<int32_t>(days), &start, &end);
    CVuzurTable table;
    if (!velqor::drivers::ExtractWindow(calendar, start, end, &table, &error)) {
      return Fail(dir, error);
    }
    const long saved = table.SaveTo(JoinPath(dir, file));
    if (saved != 0) {
      return Fail(
          dir, JoinPath(dir, file) + ": cannot be written (status " + std::to_string(saved) + ")");
    }
    return 0;
  }

  if (step == "update") {
    CVuzurTable update;
    const long loaded = update.LoadFrom(JoinPath(dir, file), 0);
    if (loaded != 0) {
      return Fail(dir, JoinPath(dir, file) + ": does not load (status " + std::to_string(loaded) +
                           "); the calendar is unchanged");
    }
    velqor::drivers::UpdateCounts counts;
    if (!velqor::drivers::ApplyUpdate(&calendar, update, &counts, &error)) return Fail(dir, error);
    if (!velqor::drivers::SaveCalendar(calendarPath, calendar, &error)) return Fail(dir, error);
    return 0;
  }
  return Fail(dir, "unknown step " + step);
}
