#include "shell/conduit_settings.h"

#include <cstring>
#include <vector>

#include "platform/hotsync_log.h"

namespace velqor::shell {

namespace {

void LogShell(const char* text) {
  LogWrite(text, velqor::platform::kLogShellFailure, 0);
}

// Closes the key on every path out of a routine.
class OpenKey {
 public:
  OpenKey(HKEY root, const char* keyPath, uint32_t access) {
    if (keyPath == nullptr) return;
    HKEY key = 0;
    if (RegOpenKeyExA(root, keyPath, 0, access, &key) == velqor::platform::kRegOk) key_ = key;
  }
  ~OpenKey() {
    if (key_ != 0) RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  bool ok() const { return key_ != 0; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = 0;
};

// A number is the value's bytes in little-endian order; a value shorter than four bytes leaves
// the missing high bytes 0. False when the value is missing or larger than four bytes.
bool ReadNumber(HKEY key, const char* name, uint32_t* value) {
  uint8_t bytes[4] = {0, 0, 0, 0};
  uint32_t size = sizeof(bytes);
  uint32_t type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, bytes, &size) != velqor::platform::kRegOk) {
    return false;
  }
  *value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  return true;
}

// A text of at most `capacity` bytes with its NUL. It ends at its first NUL; a value that fills
// the whole buffer without one has no end inside the buffer and counts as unreadable.
bool ReadText(HKEY key, const char* name, uint32_t capacity, std::string* text) {
  std::vector<uint8_t> buffer(capacity, 0);
  uint32_t size = capacity;
  uint32_t type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, buffer.data(), &size) !=
      velqor::platform::kRegOk) {
    return false;
  }
  if (size > capacity) return false;  // the store claims more than it may have written
  const void* nul = size > 0 ? std::memchr(buffer.data(), '\0', size) : nullptr;
  if (nul == nullptr && size == capacity) return false;
  const size_t length =
      nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - buffer.data()) : size;
  text->assign(reinterpret_cast<const char*>(buffer.data()), length);
  return true;
}

}  // namespace

int32_t ReadConduitSettings(HKEY root, const char* keyPath, ConduitSettings* settings) {
  if (settings == nullptr) return 0;
  OpenKey key(root, keyPath, velqor::platform::kRegAccessQuery);
  if (!key.ok()) {
    LogShell("Unable to open conduit registry key. Date Book");
    return 0;
  }
  *settings = ConduitSettings();
  if (!ReadNumber(key.get(), "UserMode", &settings->userMode)) settings->userMode = 0;
  if (!ReadNumber(key.get(), "FlushBackup", &settings->flushBackup)) settings->flushBackup = 0;
  if (settings->userMode == 0 && !ReadText(key.get(), "UserID", kUserIdSize, &settings->userId)) {
    LogShell("Unable to read UserID in registry. Date Book");
    return 0;
  }
  if (!ReadText(key.get(), "DriverPath", kDriverPathSize, &settings->driverPath)) {
    LogShell("Unable to read DriverPath in registry. Date Book");
    return 0;
  }
  if (!ReadText(key.get(), "HLLPath", kHllPathSize, &settings->hllPath)) {
    LogShell("Unable to read HLLPath in registry. Date Book");
    return 0;
  }
  uint32_t numDays = 0;
  if (!ReadNumber(key.get(), "NumDays", &numDays)) {
    LogShell("Unable to read Number of Days to Sync in registry. Date Book");
    return 0;
  }
  settings->numDays = static_cast<int32_t>(numDays);
  if (!ReadText(key.get(), "Install", kInstallSize, &settings->install)) {
    LogShell("Unable to read Install path in registry. Date Book");
    return 0;
  }
  // Absent unless the user asked for it: like FlushBackup, unreadable means not asked.
  if (!ReadNumber(key.get(), "AllowHostWipe", &settings->allowHostWipe)) {
    settings->allowHostWipe = 0;
  }
  return 1;
}

int32_t ResetInstallSetting(HKEY root, const char* keyPath) {
  OpenKey key(root, keyPath, velqor::platform::kRegAccessSet);
  if (!key.ok()) {
    LogShell("Unable to open conduit registry key. Date Book");
    return 0;
  }
  static const uint8_t kNoData[1] = {0};
  if (RegSetValueExA(key.get(), "Install", 0, velqor::platform::kRegTypeText, kNoData, 0) !=
      velqor::platform::kRegOk) {
    LogShell("Unable to reset Install key in registry. Date Book");
    return 0;
  }
  return 1;
}

namespace {

int32_t ResetNumberSetting(HKEY root, const char* keyPath, const char* name, const char* failure) {
  OpenKey key(root, keyPath, velqor::platform::kRegAccessSet);
  if (!key.ok()) {
    LogShell("Unable to open conduit registry key. Date Book");
    return 0;
  }
  const uint8_t zero[4] = {0, 0, 0, 0};
  if (RegSetValueExA(key.get(), name, 0, velqor::platform::kRegTypeNumber, zero, sizeof(zero)) !=
      velqor::platform::kRegOk) {
    LogShell(failure);
    return 0;
  }
  return 1;
}

}  // namespace

int32_t ResetFlushBackupSetting(HKEY root, const char* keyPath) {
  return ResetNumberSetting(root, keyPath, "FlushBackup",
                            "Unable to reset FlushBackup key in registry. Date Book");
}

int32_t ResetAllowHostWipeSetting(HKEY root, const char* keyPath) {
  return ResetNumberSetting(root, keyPath, "AllowHostWipe",
                            "Unable to reset AllowHostWipe key in registry. Date Book");
}

}  // namespace velqor::shell
