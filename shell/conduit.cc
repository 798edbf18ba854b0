#include "shell/conduit.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/action_dialog.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/hotsync_log.h"
#include "shell/backup_name.h"
#include "shell/conduit_settings.h"
#include "shell/driver_runner.h"
#include "shell/extract_guard.h"
#include "shell/monitor_factory.h"

namespace velqor::shell {

namespace {

std::atomic<velqor::platform::ModuleHandle> g_module{0};

constexpr char kUpdateFileName[] = "update.dat";
constexpr char kExtractFileName[] = "extract.dat";
constexpr char kErrorFileName[] = "conderr.txt";

// A text field of the properties record: up to its NUL, or all of it when it has none.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

void LogRunFailed() {
  LogWrite("Datebook Synchronization Failed", velqor::platform::kLogShellFailure, 0);
}

void LogShell(const char* text) {
  LogWrite(text, velqor::platform::kLogShellFailure, 0);
}

constexpr char kNoDesktopFile[] =
    "The Host Driver reported success but wrote no Desktop file. Date Book";
constexpr char kEmptyExtract[] =
    "The host calendar has no records for the days being synchronized, though the last "
    "HotSync left some there. Nothing was changed. To delete them on Pilot too, allow it for "
    "one HotSync (AllowHostWipe). Date Book";
constexpr char kNotMoved[] = "Unable to move the Desktop file to update.dat. Date Book";
constexpr char kBackupKept[] =
    "Unable to delete the backup file: check the Desktop disk before the next HotSync. Date "
    "Book";

// Only these two compare the extract with the backup, and so take what is missing from the
// extract for deleted on the host.
bool ComparesWithBackup(int32_t syncType) {
  return syncType == 0 || syncType == 1;
}

// The run of one synchronization. Returns true when it ended well; on false the caller takes
// the failure exit with *result.
bool RunSynchronization(void* caller, ConduitProperties& properties,
                        std::unique_ptr<ShellMonitor>* monitor, int32_t* result, bool* noMonitor) {
  velqor::platform::FileSystem& files = velqor::platform::GetFileSystem();
  const std::string directory = FieldText(properties.directory);
  const std::string localFileName = FieldText(properties.localFileName);
  const std::string keyPath = FieldText(properties.settingsKeyPath);
  const HKEY root = properties.settingsRootKey;

  // Every path is its own short form here; when none can be given the driver gets the
  // directory as stored, which names the same place.
  std::string shortDirectory = files.ShortPathName(directory);
  if (shortDirectory.empty()) shortDirectory = directory;

  ConduitSettings settings;
  if (ReadConduitSettings(root, keyPath.c_str(), &settings) == 0) return false;

  if (settings.flushBackup != 0) {
    files.Delete(BackupFilePath(directory, localFileName));  // a missing backup is no failure
    if (ResetFlushBackupSetting(root, keyPath.c_str()) == 0) return false;
  }

  // The user name is used whole, however long: a cut name would be another host user.
  std::string userId = settings.userId;
  if (userId.empty()) userId = FieldText(properties.userName);

  std::string hllPath = settings.hllPath;
  if (!hllPath.empty() && hllPath.back() == '\\') hllPath.pop_back();
  const std::string environment = BuildEnvironmentBlock(hllPath);

  if (!settings.install.empty()) {
    if (RunDriverInstall(settings.driverPath, shortDirectory, settings.install, environment) == 0) {
      return false;
    }
    if (ResetInstallSetting(root, keyPath.c_str()) == 0) return false;
  }

  // A result that did not reach the host last time goes first, and alone: a new extract would
  // not yet contain those changes. One that a stopped run left in the desktop data file
  // becomes the update file first.
  const std::string updateFile = directory + kUpdateFileName;
  const std::string desktopFile = directory + localFileName;
  const std::string undelivered = UndeliveredMarkPath(directory, localFileName);
  if (files.Exists(undelivered) && !files.Exists(updateFile)) {
    if (files.Exists(desktopFile) && !files.Move(desktopFile, updateFile)) {
      LogShell(kNotMoved);
      return false;
    }
    files.Delete(undelivered);
  }
  if (files.Exists(updateFile)) {
    if (RunDriverUpdate(settings.driverPath, shortDirectory, kUpdateFileName, environment,
                        userId) == 0) {
      return false;  // the update file stays for the next run
    }
    files.Delete(updateFile);
    return true;
  }

  *result = 0;
  *monitor = CreateMonitor(caller, properties, CurrentModuleHandle());
  if (*monitor == nullptr) {
    *noMonitor = true;
    return true;
  }

  int32_t windowStart = 0;
  int32_t windowEnd = 0;
  // The driver computes the same window from the same clock; see platform/clock.h.
  velqor::platform::ComputeSyncWindow(velqor::platform::GetClock().Now(), settings.numDays,
                                      &windowStart, &windowEnd);
  (*monitor)->SetWindow(windowStart, windowEnd);

  files.Delete(directory + kErrorFileName);
  // Whatever an earlier run left under this name goes, so that a driver that ends well without
  // writing it is noticed instead of synchronizing stale or no records.
  files.Delete(desktopFile);
  if (RunDriverExtract(settings.driverPath, shortDirectory, localFileName, environment, userId,
                       settings.numDays) == 0) {
    return false;
  }
  // Loaded as an empty table, a missing file would delete every event from the handheld.
  if (!files.Exists(desktopFile)) {
    LogShell(kNoDesktopFile);
    return false;
  }
  files.Copy(desktopFile, directory + kExtractFileName, true);

  if (ComparesWithBackup(properties.syncType) &&
      ExtractEmptiesWindow(desktopFile, BackupFilePath(directory, localFileName), windowStart,
                           windowEnd) &&
      settings.allowHostWipe == 0) {
    LogShell(kEmptyExtract);
    return false;
  }
  // The permission is for the run that next reaches this point, whatever it finds: left set, it
  // would wave through a failing host weeks later.
  if (settings.allowHostWipe != 0 && ResetAllowHostWipeSetting(root, keyPath.c_str()) == 0) {
    return false;
  }

  *result = (*monitor)->StartSync();
  if (*result != 0) return false;

  // Without the update file the host would never see this run's changes.
  if (!files.Move(desktopFile, updateFile)) {
    // A file another program holds open may not move and yet be read.
    if (!files.Copy(desktopFile, updateFile, true)) {
      LogShell(kNotMoved);
      // The result cannot reach the host. Beside the backup that describes it, the next extract
      // would make every event the host never received look deleted on the host; without the
      // backup the next run compares every record instead, and loses none.
      const std::string backupFile = BackupFilePath(directory, localFileName);
      if (!files.Delete(backupFile) && files.Exists(backupFile)) LogShell(kBackupKept);
      return false;
    }
    files.Delete(desktopFile);
  }
  files.Delete(undelivered);
  if (RunDriverUpdate(settings.driverPath, shortDirectory, kUpdateFileName, environment, userId) ==
      0) {
    return false;  // delivered by the next run
  }
  files.Delete(updateFile);
  return true;
}

}  // namespace

void StoreModuleHandle(velqor::platform::ModuleHandle module) {
  g_module.store(module);
}

velqor::platform::ModuleHandle CurrentModuleHandle() {
  return g_module.load();
}

int32_t OpenConduit(void* caller, ConduitProperties& properties) {
  // Nothing is read, run or logged for a caller that is not HotSync Manager.
  if (caller == nullptr) return 0;
  int32_t result = 0;
  std::unique_ptr<ShellMonitor> monitor;
  bool noMonitor = false;
  bool ok = false;
  try {
    ok = RunSynchronization(caller, properties, &monitor, &result, &noMonitor);
  } catch (...) {
    ok = false;  // out of memory, most likely; nothing may escape to HotSync Manager
  }
  if (ok) {
    monitor.reset();
    return noMonitor ? 0 : result;
  }
  monitor.reset();  // the monitor goes before the failure line is written
  LogRunFailed();
  return result;
}

int32_t GetConduitName(char* name, uint16_t size) {
  return LoadStringA(CurrentModuleHandle(), kConduitNameId, name, size) > 0 ? 0 : -1;
}

int32_t GetConduitVersion() {
  return kConduitVersion;
}

int32_t ConfigureConduit(ConduitConfiguration& configuration) {
  CHotSyncActionDlg dialog(nullptr);
  configuration.preferenceScope = 0;
  char name[80] = {};
  GetConduitName(name, sizeof(name));
  dialog.SetConduitName(name);

  int action = 3;
  switch (configuration.syncType) {
    case 0:
    case 1:
      action = 0;
      break;
    case 2:
      action = 2;
      break;
    case 3:
      action = 1;
      break;
    default:
      action = 3;
      break;
  }
  dialog.SetActionIndex(action);
  if (dialog.DoModal() != 1) return -1;

  switch (dialog.GetActionIndex()) {
    case 0:
      configuration.syncType = 0;
      break;
    case 1:
      configuration.syncType = 3;
      break;
    case 2:
      configuration.syncType = 2;
      break;
    default:
      configuration.syncType = 6;
      break;
  }
  configuration.preferenceScope = dialog.GetDefaultFlag() != 0 ? 1 : 2;
  return 0;
}

}  // namespace velqor::shell
