// hotsync sync: one synchronization of a profile's handheld through the conduit.
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "platform/crash_points.h"
#include "platform/fault_link.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/hotsync_log.h"
#include "platform/process.h"
#include "platform/settings.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/conduit_loader.h"
#include "tools/datebook_db.h"
#include "tools/pdb_file.h"
#include "tools/profile.h"
#include "tools/sync_report.h"

namespace velqor::tools {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kDoNothingSyncType = 6;
constexpr platform::ProcessId kSkippedStep = -4242;
constexpr const char* kFailureLine = "Datebook Synchronization Failed";

const char kSyncHelp[] =
    "usage: hotsync sync PROFILE [options]\n"
    "Synchronizes the profile's handheld with the host calendar through the conduit.\n"
    "  --type fast|slow|handheld|desktop|N   kind of synchronization (default: the choice\n"
    "                                        made with hotsync configure, else fast)\n"
    "  --first-sync N            first-sync indicator handed to the conduit (default 0)\n"
    "  --now \"YYYY-MM-DD HH:MM[:SS]\"  pins the conduit's clock (local time)\n"
    "  --inject FUNCTION@N=STATUS  the Nth call of a Sync Manager function fails with STATUS\n"
    "                            (N+ : that call and every later one); may be repeated\n"
    "  --crash-at N              for crash tests: the run is killed just before its Nth\n"
    "                            durable change (file write, rename or deletion, handheld write)\n"
    "  --disk-full-at N          for crash tests: every file and handheld write from the Nth\n"
    "                            durable change on fails as on a full disk\n"
    "  --log-json FILE           writes this synchronization's log entries as JSON lines\n"
    "  --calls FILE              writes the Sync Manager calls of the run, one per line\n"
    "                            (function and status), for fault tests\n"
    "  --conduit LIBRARY         conduit module to load (default: this build's libvelqor.so)\n"
    "  --allow-host-wipe         lets this synchronization go on when the host calendar has\n"
    "                            no events for the synchronized days though the last one\n"
    "                            left some there; they are then deleted on the handheld\n"
    "  --dry-run                 synchronizes a copy of the profile and reports what would\n"
    "                            change on each side; nothing is changed\n"
    "  --verbose                 lists every record that changed\n"
    "Exit status: 0 clean, 1 completed with problems, 2 failed, 64 wrong argument.\n";

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Watches the host driver steps the conduit starts: keeps a copy of what the update step is
// given, and in a dry run answers the steps that would change the host (install, update) with
// success without running them.
class DriverObserver : public platform::ProcessRunner {
 public:
  DriverObserver(platform::ProcessRunner* inner, bool hostReadOnly)
      : inner_(inner), hostReadOnly_(hostReadOnly) {}

  int32_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                platform::ProcessId* process) override {
    const std::string step = argv.size() > 1 ? argv[1] : "";
    steps.push_back(step);
    if (step == "update" && argv.size() > 3) {
      updateSeen = true;
      updateStatus = update.LoadFrom(JoinPath(argv[2], argv[3]), 0);
    }
    if (hostReadOnly_ && (step == "update" || step == "install")) {
      skipped.push_back(step);
      *process = kSkippedStep;
      return 0;
    }
    return inner_->Start(argv, env, process);
  }

  platform::PollResult Poll(platform::ProcessId process, int32_t* exitCode) override {
    if (process == kSkippedStep) {
      *exitCode = 0;
      return platform::PollResult::kExited;
    }
    return inner_->Poll(process, exitCode);
  }

  std::vector<std::string> steps;
  std::vector<std::string> skipped;
  bool updateSeen = false;
  long updateStatus = 0;
  CVuzurTable update;

 private:
  platform::ProcessRunner* inner_;
  bool hostReadOnly_;
};

struct SyncOptions {
  std::optional<int32_t> type;
  int32_t firstSync = 0;
  std::optional<int64_t> now;
  std::vector<std::string> injections;
  int crashAt = 0;
  int diskFullAt = 0;
  std::string logJson;
  std::string calls;
  std::string conduit;
  bool dryRun = false;
  bool verbose = false;
  bool allowHostWipe = false;
};

constexpr const char* kAllowHostWipeValue = "AllowHostWipe";

std::string LogLineText(const platform::LogEntry& e) {
  if (e.activity == platform::kLogRunClean) return e.text + ": completed";
  if (e.activity == platform::kLogRunProblems) return e.text + ": completed with problems";
  return e.text;
}

void PrintChanges(const char* side, const std::vector<RecordChange>& changes, bool records,
                  std::string* out) {
  const ChangeCounts c = Count(changes);
  char line[256];
  std::snprintf(line, sizeof line, "%-9s %d added, %d modified, %d deleted, %d archived", side,
                c.added, c.modified, c.deleted, c.archived);
  *out += line;
  if (c.purged) *out += ", " + std::to_string(c.purged) + " deleted records purged";
  *out += "\n";
  if (!records) return;
  for (const auto& ch : changes) {
    std::snprintf(line, sizeof line, "  %-8s %8u  ", ChangeKindName(ch.kind), ch.id);
    *out += line + ch.what + "\n";
  }
}

// Runs the conduit over the profile at `paths`. Returns the exit status; prints the log and
// the summaries.
int RunSync(const ProfilePaths& paths, const SyncOptions& options, const std::string& shownRoot) {
  std::string error;
  platform::StopAtPoint(options.crashAt);
  platform::FailWritesFromPoint(options.diskFullAt);
  platform::FileSettingsStore store(paths.settings);
  if (!store.Load(&error)) return Failure(shownRoot + "/settings: damaged settings file: " + error);
  const int64_t startTime = options.now ? *options.now : static_cast<int64_t>(std::time(nullptr));
  // What a killed run left is completed (the handheld's journals) or removed (temporary files)
  // before anything else is read.
  RemoveLeftovers(paths);
  HandheldStore handheld;
  if (!handheld.Load(paths.handheld, &error)) return Failure(error);
  if (!handheld.Recover(startTime, &error)) {
    return Failure(error +
                   "; the handheld's file cannot be brought up to date, so nothing was "
                   "synchronized");
  }

  const std::string user = GetText(store, kHotSyncKeyPath, kUserNameValue).value_or("");
  if (user.empty()) return Failure(shownRoot + ": the profile names no HotSync user");
  if (user.size() > 255) return Failure(shownRoot + ": the HotSync user name is too long");

  // The kind of synchronization: asked for, else chosen for the next one, else the default.
  const auto next = GetNumber(store, kHotSyncKeyPath, kNextSyncTypeValue);
  const auto fallback = GetNumber(store, kHotSyncKeyPath, kDefaultSyncTypeValue);
  int32_t type = 0;
  bool fromChoice = false;
  if (options.type) {
    type = *options.type;
  } else if (next) {
    type = static_cast<int32_t>(*next);
    fromChoice = true;
  } else if (fallback) {
    type = static_cast<int32_t>(*fallback);
  }
  auto consumeChoice = [&]() -> bool {
    if (!fromChoice || options.dryRun) return true;
    return store.Remove(kHotSyncKeyPath, kNextSyncTypeValue);
  };

  if (!options.type && type == kDoNothingSyncType) {
    std::printf("Date Book: nothing to do, as chosen with hotsync configure\n");
    if (!consumeChoice()) return Failure(shownRoot + "/settings: cannot be written");
    return kExitClean;
  }

  ConduitModule conduit;
  const std::string conduitPath = options.conduit.empty() ? DefaultConduitPath() : options.conduit;
  if (!conduit.Load(conduitPath, &error)) return Failure(error);

  const std::string directory = paths.user + "/";
  if (directory.size() > 255) return Failure(shownRoot + ": the profile's path is too long");

  const platform::HandheldDatabase* dbBefore = handheld.Find(kDatebookName);
  std::unique_ptr<platform::HandheldDatabase> before;
  if (dbBefore) before = std::make_unique<platform::HandheldDatabase>(*dbBefore);

  // The seams the conduit reaches the handheld, the log, the clock and the driver through.
  platform::FaultInjectingLink link(&handheld.link());
  for (const auto& rule : options.injections) link.AddRule(rule);
  platform::MemoryLog log;
  std::unique_ptr<platform::FixedClock> clock;
  if (options.now)
    clock = std::make_unique<platform::FixedClock>(static_cast<int32_t>(*options.now));
  DriverObserver observer(&platform::GetProcessRunner(), options.dryRun);

  static char databaseName[] = "DatebookDB";
  ConduitProperties properties;
  std::memset(&properties, 0, sizeof properties);
  properties.syncType = type;
  std::snprintf(properties.directory, sizeof properties.directory, "%s", directory.c_str());
  std::snprintf(properties.localFileName, sizeof properties.localFileName, "%s", kLocalFileName);
  std::snprintf(properties.userName, sizeof properties.userName, "%s", user.c_str());
  properties.databaseNames[0] = platform::RegisterPointer(databaseName);
  properties.creator = FourCC("date");
  properties.creationByte = 0;
  properties.creationValue = FourCC("DATA");
  properties.firstSyncIndicator = options.firstSync;
  std::snprintf(properties.settingsKeyPath, sizeof properties.settingsKeyPath, "%s",
                kConduitKeyPath);
  properties.settingsRootKey = platform::RegisterSettingsRoot(&store);

  // The conduit clears the permission when it uses it; for a run that ends before, so does this
  // program, since it was given for this synchronization only.
  if (options.allowHostWipe &&
      !store.Set(kConduitKeyPath, kAllowHostWipeValue, platform::NumberValue(1))) {
    platform::UnregisterSettingsRoot(properties.settingsRootKey);
    platform::ReleasePointer(properties.databaseNames[0]);
    return Failure(shownRoot + "/settings: cannot be written");
  }

  platform::SetHandheldLink(&link);
  platform::SetHotSyncLog(&log);
  if (clock) platform::SetClock(clock.get());
  platform::SetProcessRunner(&observer);
  int caller = 0;
  const int32_t result = conduit.open(&caller, properties);
  platform::SetProcessRunner(nullptr);
  platform::SetClock(nullptr);
  platform::SetHotSyncLog(nullptr);
  platform::SetHandheldLink(nullptr);
  platform::UnregisterSettingsRoot(properties.settingsRootKey);
  platform::ReleasePointer(properties.databaseNames[0]);
  bool settingsKept = true;
  if (options.allowHostWipe) {
    const auto left = GetNumber(store, kConduitKeyPath, kAllowHostWipeValue);
    if (left && *left != 0)
      settingsKept = store.Set(kConduitKeyPath, kAllowHostWipeValue, platform::NumberValue(0));
  }

  // A handheld keeps what was written to it before a connection broke: written back always.
  // A change that could not be kept, or a file that cannot be written, fails the run; what was
  // journaled is folded in by the next one.
  int status = kExitClean;
  std::string saveError = handheld.JournalFailure();
  if (!options.dryRun) {
    std::vector<std::string> written;
    std::string why;
    if (!handheld.Save(startTime, &written, &why) && saveError.empty()) saveError = why;
  }
  if (!saveError.empty()) status = kExitFailed;

  bool failed = result != 0;
  bool problems = false;
  for (const auto& e : log.entries()) {
    if (e.activity == platform::kLogShellFailure && e.text == kFailureLine) failed = true;
    if (e.activity == platform::kLogRunProblems) problems = true;
  }
  // A run that neither extracted nor logged anything did not synchronize: the conduit had no
  // monitor to run. A run that only delivered a leftover update file is a clean run.
  bool extracted = false;
  for (const auto& step : observer.steps) extracted = extracted || step == "extract";
  const bool deliveryOnly = !extracted && observer.updateSeen;
  const bool nothingRan = !extracted && !observer.updateSeen && log.entries().empty();
  if (nothingRan) failed = true;
  if (failed || !saveError.empty()) {
    status = kExitFailed;
  } else if (problems && status == kExitClean) {
    status = kExitProblems;
  }

  std::string out;
  if (!saveError.empty()) {
    out += "The synchronization failed: the handheld's file was not written (" + saveError +
           "). The next synchronization completes it.\n";
  }
  out += std::string(options.dryRun ? "Dry run of a HotSync" : "HotSync") + " for " + user +
         " on " + platform::FormatLocal(startTime, "%Y-%m-%d %H:%M:%S") + ", " +
         SyncTypeName(type) + ", " + conduit.DisplayName() + "\n";
  std::string logText;
  for (const auto& e : log.entries()) {
    if (e.activity == platform::kLogRunStart && e.text.empty()) continue;
    logText += LogLineText(e) + "\n";
  }
  out += logText;
  if (nothingRan) {
    out += conduit.DisplayName() +
           ": the conduit did not synchronize: it ran no host driver step and wrote no log line\n";
  }
  if (deliveryOnly) {
    out += conduit.DisplayName() +
           ": delivered the update file left from an earlier synchronization; the next "
           "synchronization synchronizes\n";
  }
  const auto hhChanges = DiffHandheld(before.get(), handheld.Find(kDatebookName));
  PrintChanges("Handheld:", hhChanges, options.verbose || options.dryRun, &out);
  if (observer.updateSeen) {
    if (observer.updateStatus != 0) {
      out += "Host:     the update file did not load (status " +
             std::to_string(observer.updateStatus) + ")\n";
    } else {
      const HostReport host = SummarizeUpdate(observer.update);
      PrintChanges("Host:", host.changes, options.verbose || options.dryRun, &out);
      if (host.rewrittenOccurrences) {
        out += "          " + std::to_string(host.rewrittenOccurrences) +
               " occurrences of repeating events rewritten unchanged\n";
      }
    }
  } else {
    out += "Host:     nothing was sent\n";
  }
  if (!observer.skipped.empty()) {
    out += "Not run in a dry run:";
    for (const auto& s : observer.skipped) out += " driver " + s;
    out += "\n";
  }
  if (options.dryRun) out += "Nothing was changed.\n";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  if (!saveError.empty()) Failure("the synchronization failed: " + saveError);

  if (!options.calls.empty()) {
    std::string text;
    for (const auto& call : link.calls()) {
      text += call.function + " " + std::to_string(call.status) + "\n";
    }
    if (!platform::GetFileSystem().WriteAtomically(options.calls, text)) {
      Failure(options.calls + ": cannot be written");
      status = kExitFailed;
    }
  }
  if (!options.logJson.empty()) {
    std::string json;
    for (const auto& e : log.entries()) {
      json +=
          "{\"code\": " + std::to_string(e.activity) + ", \"text\": " + JsonString(e.text) + "}\n";
    }
    if (!platform::GetFileSystem().WriteAtomically(options.logJson, json)) {
      Failure(options.logJson + ": cannot be written");
      status = kExitFailed;
    }
  }
  if (!options.dryRun) {
    const std::string heading = "==== HotSync " +
                                platform::FormatLocal(startTime, "%Y-%m-%d %H:%M:%S") + " for " +
                                user + ", " + SyncTypeName(type) + " ====\n";
    if (!AppendToFile(paths.log, heading + logText)) {
      Failure(paths.log + ": cannot be written");
      status = kExitFailed;
    }
    if (!consumeChoice() || !settingsKept) {
      Failure(paths.settings + ": cannot be written");
      status = kExitFailed;
    }
  }
  return status;
}

}  // namespace

std::optional<int32_t> ParseSyncType(const std::string& text) {
  if (text == "fast") return 0;
  if (text == "slow") return 1;
  if (text == "handheld") return 2;
  if (text == "desktop") return 3;
  auto n = ParseInteger(text);
  if (!n || *n < INT32_MIN || *n > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*n);
}

std::string SyncTypeName(int32_t type) {
  switch (type) {
    case 0:
      return "fast synchronization";
    case 1:
      return "slow synchronization";
    case 2:
      return "handheld overwrites desktop";
    case 3:
      return "desktop overwrites handheld";
    case kDoNothingSyncType:
      return "do nothing";
    default:
      return "sync type " + std::to_string(type);
  }
}

int CmdSync(int argc, char** argv, int first) {
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(argc, argv, first,
                 {{"type", true},
                  {"first-sync", true},
                  {"now", true},
                  {"log-json", true},
                  {"calls", true},
                  {"inject", true},
                  {"crash-at", true},
                  {"disk-full-at", true},
                  {"conduit", true},
                  {"dry-run", false},
                  {"verbose", false},
                  {"allow-host-wipe", false}},
                 &args, &error)) {
    return UsageError(error);
  }
  if (args.help) {
    std::fputs(kSyncHelp, stdout);
    return kExitClean;
  }
  if (args.positional.size() != 1) {
    return UsageError(args.positional.empty() ? "sync needs a PROFILE"
                                              : "unexpected argument " + args.positional[1]);
  }
  SyncOptions options;
  if (args.Has("type")) {
    options.type = ParseSyncType(args.Get("type"));
    if (!options.type)
      return UsageError("--type: not fast, slow, handheld, desktop or a number: " +
                        args.Get("type"));
  }
  if (args.Has("first-sync")) {
    auto n = ParseInteger(args.Get("first-sync"));
    if (!n || *n < INT32_MIN || *n > INT32_MAX) {
      return UsageError("--first-sync: not a number: " + args.Get("first-sync"));
    }
    options.firstSync = static_cast<int32_t>(*n);
  }
  if (args.Has("now")) {
    int64_t t = 0;
    if (!ParseLocalDateTime(args.Get("now"), &t)) {
      return UsageError("--now: not a local time \"YYYY-MM-DD HH:MM[:SS]\": " + args.Get("now"));
    }
    options.now = t;
  }
  for (const auto& rule : args.All("inject")) {
    platform::FaultInjectingLink probe(nullptr);
    if (!probe.AddRule(rule)) return UsageError("--inject: not FUNCTION@N=STATUS: " + rule);
    options.injections.push_back(rule);
  }
  for (const auto& [name, target] :
       {std::pair{"crash-at", &options.crashAt}, std::pair{"disk-full-at", &options.diskFullAt}}) {
    if (!args.Has(name)) continue;
    auto n = ParseInteger(args.Get(name));
    if (!n || *n < 1 || *n > INT32_MAX) {
      return UsageError(std::string("--") + name + ": not a positive number: " + args.Get(name));
    }
    *target = static_cast<int>(*n);
  }
  options.calls = args.Get("calls");
  if (args.Has("calls") && options.calls.empty()) return UsageError("--calls: no file");
  options.logJson = args.Get("log-json");
  if (args.Has("log-json") && options.logJson.empty()) return UsageError("--log-json: no file");
  options.conduit = args.Get("conduit");
  if (args.Has("conduit") && options.conduit.empty()) return UsageError("--conduit: no library");
  options.dryRun = args.Has("dry-run");
  options.verbose = args.Has("verbose");
  options.allowHostWipe = args.Has("allow-host-wipe");

  const ProfilePaths paths = PathsOf(args.positional[0]);
  if (!CheckProfile(paths, &error)) return Failure(error);
  // Held until the process ends, however it ends; a dry run holds it while it copies.
  ProfileLock lock;
  if (!lock.Acquire(paths, options.dryRun ? "hotsync sync --dry-run" : "hotsync sync",
                    std::time(nullptr), &error)) {
    return Failure(error);
  }
  if (!options.dryRun) return RunSync(paths, options, paths.root);

  // A dry run synchronizes a copy: the profile itself is only read.
  std::string pattern = (fs::temp_directory_path() / "hotsync-dry-run-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return Failure("cannot make a folder for the dry run");
  const std::string copyRoot = std::string(buffer.data()) + "/profile";
  std::error_code ec;
  fs::copy(paths.root, copyRoot, fs::copy_options::recursive, ec);
  int status;
  if (ec) {
    status = Failure("cannot copy the profile for the dry run: " + ec.message());
  } else {
    status = RunSync(PathsOf(copyRoot), options, paths.root);
  }
  fs::remove_all(buffer.data(), ec);
  return status;
}

}  // namespace velqor::tools
