// hotsync init, settings and configure: the profile, its settings and the action dialog.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "platform/action_dialog.h"
#include "platform/files.h"
#include "platform/settings.h"
#include "shell/conduit_settings.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/conduit_loader.h"
#include "tools/datebook_db.h"
#include "tools/pdb_file.h"
#include "tools/profile.h"

namespace velqor::tools {
namespace {

namespace fs = std::filesystem;

const char kInitHelp[] =
    "usage: hotsync init PROFILE --user NAME [--driver PATH] [--hll-path DIR] [--days N]\n"
    "                    [--user-id ID] [--calendar PATH]\n"
    "Creates a profile: a handheld with an empty Date Book, the conduit folder and the\n"
    "conduit's seven settings.\n"
    "  --user NAME      HotSync user name (required)\n"
    "  --driver PATH    host driver program (default: this build's reference driver,\n"
    "                   told the zone of TZ in the user folder's filehost.conf)\n"
    "  --hll-path DIR   directory the driver gets as its PATH (default /usr/bin)\n"
    "  --days N         days in the synchronization window (default 30)\n"
    "  --user-id ID     host user ID (default: empty, the HotSync user name is used)\n"
    "  --calendar PATH  synchronize with an iCalendar calendar through this build's icalhost:\n"
    "                   a folder of .ics files (a vdir, as khal and vdirsyncer keep it) or\n"
    "                   a file ending in .ics; created when missing\n";

const char kSettingsHelp[] =
    "usage: hotsync settings PROFILE                         lists the conduit's settings\n"
    "       hotsync settings PROFILE set NAME VALUE [--dword|--sz]\n"
    "       hotsync settings PROFILE unset NAME\n"
    "UserMode, FlushBackup and NumDays are numbers (--dword) unless --sz is given; every\n"
    "other value is a text (--sz) unless --dword is given.\n";

const char kConfigureHelp[] =
    "usage: hotsync configure PROFILE [--choose ACTION] [--default] [--conduit LIBRARY]\n"
    "Shows the conduit's action dialog: what the next synchronization does. Made the default,\n"
    "the choice applies to every synchronization; otherwise to the next one only.\n"
    "  --choose ACTION  answers the dialog without asking: 1 synchronize, 2 desktop\n"
    "                   overwrites handheld, 3 handheld overwrites desktop, 4 do nothing\n"
    "  --default        with --choose: make the choice the default\n";

const char kBlankRefused[] =
    "has a blank, which the host driver's command lines cannot carry; nothing was written";

// Blanks as the driver's command lines are split at.
bool HasBlank(const std::string& text) {
  return text.find_first_of(" \t") != std::string::npos;
}

// The iCalendar driver beside this build's reference driver.
std::string DefaultIcalDriverPath() {
  const fs::path filehost = DefaultDriverPath();
  return (filehost.parent_path() / "icalhost").string();
}

// Makes the calendar exist: a path ending in .ics is one file, anything else a folder of
// .ics files. Gives back its absolute path, which the driver's configuration holds.
bool PrepareCalendar(const std::string& given, std::string* absolute, std::string* error) {
  std::error_code ec;
  const fs::path path = fs::absolute(given, ec);
  if (ec) {
    *error = given + ": not a usable path";
    return false;
  }
  *absolute = path.lexically_normal().string();
  if (path.extension() == ".ics") {
    if (fs::exists(path, ec)) {
      if (!fs::is_regular_file(path, ec)) {
        *error = *absolute + ": not a file";
        return false;
      }
      return true;
    }
    fs::create_directories(path.parent_path(), ec);
    if (ec || !platform::GetFileSystem().WriteAtomically(
                  *absolute,
                  "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//velqor//icalhost//EN\r\n"
                  "END:VCALENDAR\r\n")) {
      *error = *absolute + ": the calendar file cannot be created";
      return false;
    }
    return true;
  }
  if (fs::exists(path, ec) && !fs::is_directory(path, ec)) {
    *error = *absolute + ": neither a folder nor a file ending in .ics";
    return false;
  }
  fs::create_directories(path, ec);
  if (ec) {
    *error = *absolute + ": the calendar folder cannot be created: " + ec.message();
    return false;
  }
  return true;
}

bool IsNumberSetting(const std::string& name) {
  return name == "UserMode" || name == "FlushBackup" || name == "NumDays";
}

std::string ShowValue(const platform::SettingsValue& v) {
  if (v.type == platform::kRegTypeNumber && v.data.size() == 4) {
    const uint32_t n = static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
                       static_cast<uint32_t>(v.data[2]) << 16 |
                       static_cast<uint32_t>(v.data[3]) << 24;
    return "(dword) " + std::to_string(static_cast<int32_t>(n));
  }
  if (v.type == platform::kRegTypeText) {
    std::string s(v.data.begin(), v.data.end());
    if (!s.empty() && s.back() == '\0') s.pop_back();
    return "(sz)    " + JsonString(s);
  }
  std::string hex = "(type " + std::to_string(v.type) + ")";
  char b[4];
  for (uint8_t c : v.data) {
    std::snprintf(b, sizeof b, " %02x", c);
    hex += b;
  }
  return hex;
}

bool LoadStore(const ProfilePaths& paths, platform::FileSettingsStore* store, int* status) {
  std::string error;
  if (!CheckProfile(paths, &error)) {
    *status = Failure(error);
    return false;
  }
  if (!store->Load(&error)) {
    *status = Failure(paths.settings + ": damaged settings file: " + error);
    return false;
  }
  return true;
}

// The action dialog in a terminal.
class TerminalActionDialog : public platform::ActionDialogUi {
 public:
  TerminalActionDialog(int scriptedChoice, bool scriptedDefault)
      : choice_(scriptedChoice), makeDefault_(scriptedDefault) {}

  int RunModal(const std::string& conduitName, int* actionIndex, int* makeDefault) override {
    static const char* const kActions[] = {"Synchronize the files", "Desktop overwrites handheld",
                                           "Handheld overwrites desktop", "Do nothing"};
    const int current = *actionIndex >= 0 && *actionIndex <= 3 ? *actionIndex : 0;
    if (choice_ >= 0) {
      *actionIndex = choice_;
      *makeDefault = makeDefault_ ? 1 : 0;
      return 1;
    }
    std::printf("%s: what should the next synchronization do?\n", conduitName.c_str());
    for (int i = 0; i < 4; ++i) {
      std::printf("  %d) %s%s\n", i + 1, kActions[i], i == current ? "   (current)" : "");
    }
    std::printf("Choice [1-4, Enter keeps %d, q cancels]: ", current + 1);
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line) || line == "q" || line == "Q") return 0;
    int chosen = current;
    if (!line.empty()) {
      if (line.size() != 1 || line[0] < '1' || line[0] > '4') return 0;
      chosen = line[0] - '1';
    }
    std::printf("Make this the default for every synchronization? [y/N]: ");
    std::fflush(stdout);
    if (!std::getline(std::cin, line)) return 0;
    *actionIndex = chosen;
    *makeDefault = (line == "y" || line == "Y" || line == "yes") ? 1 : 0;
    return 1;
  }

 private:
  int choice_;
  bool makeDefault_;
};

}  // namespace

int CmdInit(int argc, char** argv, int first) {
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(argc, argv, first,
                 {{"user", true},
                  {"driver", true},
                  {"hll-path", true},
                  {"days", true},
                  {"user-id", true},
                  {"calendar", true}},
                 &args, &error)) {
    return UsageError(error);
  }
  if (args.help) {
    std::fputs(kInitHelp, stdout);
    return kExitClean;
  }
  if (args.positional.size() != 1) {
    return UsageError(args.positional.empty() ? "init needs a PROFILE"
                                              : "unexpected argument " + args.positional[1]);
  }
  const std::string user = args.Get("user");
  if (user.empty()) return UsageError("--user: a HotSync user name is required");
  if (user.size() > 255) return UsageError("--user: longer than 255 characters");
  const bool icalendar = args.Has("calendar");
  if (icalendar && args.Get("calendar").empty())
    return UsageError("--calendar: a path is required");
  const std::string driver = args.Has("driver") ? args.Get("driver")
                             : icalendar        ? DefaultIcalDriverPath()
                                                : DefaultDriverPath();
  if (driver.empty() || driver.size() >= shell::kDriverPathSize) {
    return UsageError("--driver: must have 1 to " + std::to_string(shell::kDriverPathSize - 1) +
                      " characters");
  }
  const std::string hll = args.Has("hll-path") ? args.Get("hll-path") : "/usr/bin";
  if (hll.size() >= shell::kHllPathSize) {
    return UsageError("--hll-path: longer than " + std::to_string(shell::kHllPathSize - 1) +
                      " characters");
  }
  const std::string userId = args.Get("user-id");
  if (userId.size() >= shell::kUserIdSize) {
    return UsageError("--user-id: longer than " + std::to_string(shell::kUserIdSize - 1) +
                      " characters");
  }
  // The conduit starts the host driver from command lines split at blanks, with no quoting:
  // a blank in the driver's path or in the user folder would split a word, and such a
  // profile could never synchronize. The search path is refused alike, so that every path
  // a profile hands the driver is a single word.
  const std::string driverArgument = args.Has("driver") ? "--driver" : "the default driver";
  if (HasBlank(driver)) {
    return UsageError(driverArgument + ": " + driver + ": " + kBlankRefused);
  }
  if (HasBlank(hll)) return UsageError("--hll-path: " + hll + ": " + kBlankRefused);
  int32_t days = 30;
  if (args.Has("days")) {
    auto n = ParseInteger(args.Get("days"));
    if (!n || *n < 0 || *n > 36500)
      return UsageError("--days: not a number of days: " + args.Get("days"));
    days = static_cast<int32_t>(*n);
  }

  const ProfilePaths paths = PathsOf(args.positional[0]);
  if (HasBlank(paths.root)) return UsageError("PROFILE: " + paths.root + ": " + kBlankRefused);
  std::error_code ec;
  if (fs::exists(paths.root, ec)) {
    return Failure(paths.root + ": already exists; nothing was written");
  }
  if ((paths.user + "/").size() > 255) return UsageError("PROFILE: its path is too long");

  // The profile is made whole in a folder beside it, then renamed into place.
  fs::create_directories(fs::path(paths.root).parent_path(), ec);
  std::string pattern = paths.root + ".init-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    return Failure(paths.root + ": cannot create a folder beside it: " + std::strerror(errno));
  }
  const std::string temp = buffer.data();
  const ProfilePaths staged = PathsOf(temp);
  auto fail = [&](const std::string& message) {
    fs::remove_all(temp, ec);
    return Failure(message + "; nothing was written");
  };
  if (!fs::create_directory(staged.handheld, ec) || !fs::create_directory(staged.user, ec)) {
    return fail(paths.root + ": cannot create its folders");
  }
  {
    platform::FileSettingsStore store(staged.settings);
    std::string why;
    if (!store.Load(&why)) return fail(why);
    using platform::NumberValue;
    using platform::TextValue;
    const bool ok =
        store.CreateKey(kConduitKeyPath) &&
        store.Set(kConduitKeyPath, "UserMode", NumberValue(0)) &&
        store.Set(kConduitKeyPath, "FlushBackup", NumberValue(0)) &&
        store.Set(kConduitKeyPath, "UserID", TextValue(userId)) &&
        store.Set(kConduitKeyPath, "DriverPath", TextValue(driver)) &&
        store.Set(kConduitKeyPath, "HLLPath", TextValue(hll)) &&
        store.Set(kConduitKeyPath, "NumDays", NumberValue(static_cast<uint32_t>(days))) &&
        store.Set(kConduitKeyPath, "Install", TextValue("")) && store.CreateKey(kHotSyncKeyPath) &&
        store.Set(kHotSyncKeyPath, kUserNameValue, TextValue(user));
    if (!ok) return fail(paths.settings + ": cannot be written");
  }
  PdbFile datebook;
  datebook.db.name = kDatebookName;
  datebook.db.creator = FourCC("date");
  datebook.db.type = FourCC("DATA");
  datebook.db.creationTime = UnixToPdbTime(std::time(nullptr));
  datebook.db.modificationTime = datebook.db.creationTime;
  datebook.db.hasAppInfo = true;
  datebook.db.appInfo = NewDatebookAppInfo();
  if (!WritePdbFile(staged.Datebook(), datebook, &error)) return fail(error);
  // The drivers start with PATH alone: they are told the zone the user works in here.
  const char* zone = std::getenv("TZ");
  if (icalendar) {
    std::string calendar;
    if (!PrepareCalendar(args.Get("calendar"), &calendar, &error)) return fail(error);
    std::string conf = "calendar " + calendar + "\n";
    if (zone != nullptr && zone[0] != '\0') conf += std::string("timezone ") + zone + "\n";
    if (!platform::GetFileSystem().WriteAtomically(staged.user + "/icalhost.conf", conf)) {
      return fail(paths.user + "/icalhost.conf: cannot be written");
    }
  } else if (!args.Has("driver") && zone != nullptr && zone[0] != '\0' &&
             !platform::GetFileSystem().WriteAtomically(staged.user + "/filehost.conf",
                                                        std::string("timezone ") + zone + "\n")) {
    return fail(paths.user + "/filehost.conf: cannot be written");
  }
  // The lock file is part of the profile from the start, so that the first command that takes
  // the lock leaves the profile as it found it.
  if (!platform::GetFileSystem().WriteAtomically(staged.lock, "")) {
    return fail(paths.lock + ": cannot be written");
  }
  fs::rename(temp, paths.root, ec);
  if (ec) return fail(paths.root + ": cannot be created: " + ec.message());
  std::printf("Created the profile %s for %s (driver %s, %d days)\n", paths.root.c_str(),
              user.c_str(), driver.c_str(), days);
  return kExitClean;
}

int CmdSettings(int argc, char** argv, int first) {
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(argc, argv, first, {{"dword", false}, {"sz", false}}, &args, &error)) {
    return UsageError(error);
  }
  if (args.help) {
    std::fputs(kSettingsHelp, stdout);
    return kExitClean;
  }
  if (args.positional.empty()) return UsageError("settings needs a PROFILE");
  const ProfilePaths paths = PathsOf(args.positional[0]);
  const std::string action = args.positional.size() > 1 ? args.positional[1] : "";
  if (action.empty()) {
    if (args.Has("dword") || args.Has("sz")) return UsageError("--dword and --sz go with set");
    platform::FileSettingsStore store(paths.settings);
    int status;
    if (!LoadStore(paths, &store, &status)) return status;
    std::printf("HotSync user: %s\n",
                GetText(store, kHotSyncKeyPath, kUserNameValue).value_or("").c_str());
    for (const auto& [name, value] : store.List(kConduitKeyPath)) {
      std::printf("%-12s %s\n", name.c_str(), ShowValue(value).c_str());
    }
    return kExitClean;
  }
  if (action == "set") {
    if (args.positional.size() != 4) return UsageError("settings set needs NAME VALUE");
    if (args.Has("dword") && args.Has("sz"))
      return UsageError("--dword and --sz exclude each other");
    const std::string& name = args.positional[2];
    const std::string& text = args.positional[3];
    if (name.empty()) return UsageError("settings set: empty NAME");
    const bool number = args.Has("dword") || (!args.Has("sz") && IsNumberSetting(name));
    platform::SettingsValue value;
    if (number) {
      auto n = ParseInteger(text);
      if (!n || *n < INT32_MIN || *n > UINT32_MAX) {
        return UsageError("VALUE: not a 32-bit number: " + text);
      }
      value = platform::NumberValue(static_cast<uint32_t>(*n));
    } else {
      value = platform::TextValue(text);
    }
    platform::FileSettingsStore store(paths.settings);
    int status;
    if (!LoadStore(paths, &store, &status)) return status;
    if (!store.Set(kConduitKeyPath, name, value))
      return Failure(paths.settings + ": cannot be written");
    std::printf("%-12s %s\n", name.c_str(), ShowValue(value).c_str());
    return kExitClean;
  }
  if (action == "unset") {
    if (args.positional.size() != 3) return UsageError("settings unset needs NAME");
    if (args.Has("dword") || args.Has("sz")) return UsageError("--dword and --sz go with set");
    platform::FileSettingsStore store(paths.settings);
    int status;
    if (!LoadStore(paths, &store, &status)) return status;
    const std::string& name = args.positional[2];
    if (!store.Get(kConduitKeyPath, name)) return UsageError("NAME: no setting " + name);
    if (!store.Remove(kConduitKeyPath, name))
      return Failure(paths.settings + ": cannot be written");
    std::printf("removed %s\n", name.c_str());
    return kExitClean;
  }
  return UsageError("settings: unknown action " + action + " (set or unset)");
}

int CmdConfigure(int argc, char** argv, int first) {
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(argc, argv, first, {{"choose", true}, {"default", false}, {"conduit", true}},
                 &args, &error)) {
    return UsageError(error);
  }
  if (args.help) {
    std::fputs(kConfigureHelp, stdout);
    return kExitClean;
  }
  if (args.positional.size() != 1) {
    return UsageError(args.positional.empty() ? "configure needs a PROFILE"
                                              : "unexpected argument " + args.positional[1]);
  }
  int choice = -1;
  if (args.Has("choose")) {
    const std::string c = args.Get("choose");
    if (c.size() != 1 || c[0] < '1' || c[0] > '4') return UsageError("--choose: not 1 to 4: " + c);
    choice = c[0] - '1';
  } else if (args.Has("default")) {
    return UsageError("--default goes with --choose");
  }
  const ProfilePaths paths = PathsOf(args.positional[0]);
  platform::FileSettingsStore store(paths.settings);
  int status;
  if (!LoadStore(paths, &store, &status)) return status;

  ConduitModule conduit;
  const std::string path = args.Has("conduit") ? args.Get("conduit") : DefaultConduitPath();
  if (!conduit.Load(path, &error)) return Failure(error);

  const auto next = GetNumber(store, kHotSyncKeyPath, kNextSyncTypeValue);
  const auto fallback = GetNumber(store, kHotSyncKeyPath, kDefaultSyncTypeValue);
  ConduitConfiguration configuration;
  std::memset(&configuration, 0, sizeof configuration);
  configuration.syncType = static_cast<int32_t>(next ? *next : fallback ? *fallback : 0);

  TerminalActionDialog dialog(choice, args.Has("default"));
  platform::SetActionDialogUi(&dialog);
  const int32_t result = conduit.configure(configuration);
  platform::SetActionDialogUi(nullptr);
  if (result != 0) {
    std::printf("\nCancelled; nothing was changed.\n");
    return kExitClean;
  }
  bool ok;
  if (configuration.preferenceScope == 1) {
    ok = store.Set(kHotSyncKeyPath, kDefaultSyncTypeValue,
                   platform::NumberValue(static_cast<uint32_t>(configuration.syncType)));
    if (ok && store.Get(kHotSyncKeyPath, kNextSyncTypeValue)) {
      ok = store.Remove(kHotSyncKeyPath, kNextSyncTypeValue);
    }
  } else {
    ok = store.Set(kHotSyncKeyPath, kNextSyncTypeValue,
                   platform::NumberValue(static_cast<uint32_t>(configuration.syncType)));
  }
  if (!ok) return Failure(paths.settings + ": cannot be written");
  std::printf("%s: %s, %s\n", conduit.DisplayName().c_str(),
              SyncTypeName(configuration.syncType).c_str(),
              configuration.preferenceScope == 1 ? "for every synchronization from now on"
                                                 : "for the next synchronization");
  return kExitClean;
}

}  // namespace velqor::tools
