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

#include "drivers/host_calendar.h"
#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

using velqor::drivers::HostCalendar;

constexpr const char* kConfigName = "filehost.conf";
constexpr const char* kDefaultCalendar = "host-calendar.txt";
constexpr const char* kErrorFile = "conderr.txt";

std::string Join(const std::string& dir, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

struct Config {
  std::vector<std::pair<std::string, std::string>> lines;  // kept in order for rewriting
  std::string Get(const std::string& key) const {
    for (const auto& [k, v] : lines) {
      if (k == key) return v;
    }
    return "";
  }
  void Set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : lines) {
      if (k == key) {
        v = value;
        return;
      }
    }
    lines.emplace_back(key, value);
  }
};

bool ReadConfig(const std::string& dir, Config* config, std::string* error) {
  const std::string path = Join(dir, kConfigName);
  velqor::platform::FileSystem& fs = velqor::platform::GetFileSystem();
  if (!fs.Exists(path)) return true;
  std::string text;
  if (!fs.ReadAll(path, &text)) {
    *error = path + ": cannot be read";
    return false;
  }
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineNo;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t sp = line.find(' ');
    const std::string key = line.substr(0, sp);
    const std::string value =
        sp == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', sp));
    if (key != "calendar" && key != "timezone" && key != "now") {
      *error = path + ": line " + std::to_string(lineNo) + ": unknown setting '" + key + "'";
      return false;
    }
    config->lines.emplace_back(key, value);
  }
  return true;
}

bool WriteConfig(const std::string& dir, const Config& config, std::string* error) {
  std::string text = "# filehost configuration\n";
  for (const auto& [k, v] : config.lines) text += k + " " + v + "\n";
  const std::string path = Join(dir, kConfigName);
  if (!velqor::platform::GetFileSystem().WriteAtomically(path, text)) {
    *error = path + ": cannot be written";
    return false;
  }
  return true;
}

bool Now(const Config& config, int64_t* now, std::string* error) {
  const std::string pinned = config.Get("now");
  if (pinned.empty()) {
    *now = static_cast<int64_t>(std::time(nullptr));
    return true;
  }
  int y, mo, d, h, mi, s = 0;
  char tail;
  const int n =
      std::sscanf(pinned.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail);
  if ((n != 5 && n != 6) || !velqor::platform::MakeLocalTime(y, mo, d, h, mi, s, now)) {
    *error = std::string(kConfigName) + ": now is not YYYY-MM-DD HH:MM[:SS]: " + pinned;
    return false;
  }
  return true;
}

int Fail(const std::string& dir, const std::string& message) {
  std::fprintf(stderr, "filehost: %s\n", message.c_str());
  if (!dir.empty()) {
    velqor::platform::GetFileSystem().WriteAtomically(Join(dir, kErrorFile),
                                                      "filehost: " + message + "\n");
  }
  return 1;
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
  Config config;
  if (!ReadConfig(dir, &config, &error)) return Fail(dir, error);
  const std::string zone = config.Get("timezone");
  if (!zone.empty()) {
    setenv("TZ", zone.c_str(), 1);
    velqor::platform::ReloadTimeZone();
  }

  if (step == "install") {
    if (file.empty()) return Fail(dir, "install needs a calendar path");
    config.Set("calendar", file);
    const std::string calendarPath = Join(dir, file);
    HostCalendar calendar;
    if (!velqor::drivers::LoadCalendar(calendarPath, &calendar, &error)) return Fail(dir, error);
    if (!velqor::platform::GetFileSystem().Exists(calendarPath) &&
        !velqor::drivers::SaveCalendar(calendarPath, calendar, &error)) {
      return Fail(dir, error);
    }
    if (!WriteConfig(dir, config, &error)) return Fail(dir, error);
    return 0;
  }

  const std::string calendarName = config.Get("calendar");
  const std::string calendarPath =
      Join(dir, calendarName.empty() ? kDefaultCalendar : calendarName);
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
    if (!Now(config, &now, &error)) return Fail(dir, error);
    // The conduit's own window, so that both sides take the same days.
    int32_t start = 0, end = 0;
    velqor::platform::ComputeSyncWindow(now, static_cast<int32_t>(days), &start, &end);
    CVuzurTable table;
    if (!velqor::drivers::ExtractWindow(calendar, start, end, &table, &error)) {
      return Fail(dir, error);
    }
    const long saved = table.SaveTo(Join(dir, file));
    if (saved != 0) {
      return Fail(dir,
                  Join(dir, file) + ": cannot be written (status " + std::to_string(saved) + ")");
    }
    return 0;
  }

  if (step == "update") {
    CVuzurTable update;
    const long loaded = update.LoadFrom(Join(dir, file), 0);
    if (loaded != 0) {
      return Fail(dir, Join(dir, file) + ": does not load (status " + std::to_string(loaded) +
                           "); the calendar is unchanged");
    }
    velqor::drivers::UpdateCounts counts;
    if (!velqor::drivers::ApplyUpdate(&calendar, update, &counts, &error)) return Fail(dir, error);
    if (!velqor::drivers::SaveCalendar(calendarPath, calendar, &error)) return Fail(dir, error);
    return 0;
  }
  return Fail(dir, "unknown step " + step);
}
