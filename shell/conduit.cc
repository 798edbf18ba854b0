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
  // not yet contain those changes.
  const std::string updateFile = directory + kUpdateFileName;
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
  ComputeSyncWindow(velqor::platform::GetClock().Now(), settings.numDays, &windowStart, &windowEnd);
  (*monitor)->SetWindow(windowStart, windowEnd);

  files.Delete(directory + kErrorFileName);
  if (RunDriverExtract(settings.driverPath, shortDirectory, localFileName, environment, userId,
                       settings.numDays) == 0) {
    return false;
  }
  const std::string desktopFile = directory + localFileName;
  files.Copy(desktopFile, directory + kExtractFileName, true);

  *result = (*monitor)->StartSync();
  if (*result != 0) return false;

  // Without the update file the host would never see this run's changes, and the next run
  // would extract over them; they stay in the desktop data file instead.
  if (!files.Move(desktopFile, updateFile)) return false;
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

void ComputeSyncWindow(int32_t now, int32_t numDays, int32_t* windowStart, int32_t* windowEnd) {
  *windowStart = velqor::platform::ClampTime32(velqor::platform::LocalMidnight(now));
  *windowEnd = velqor::platform::ClampTime32(velqor::platform::AddLocalDays(now, numDays));
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
