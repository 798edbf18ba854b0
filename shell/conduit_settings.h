// The conduit's per-user settings: the values under the key that HotSync Manager names in
// ConduitProperties, read at the start of every run, and the one-shot requests (Install,
// FlushBackup, AllowHostWipe) that a run clears once it has served them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/settings.h"

namespace velqor::shell {

// Largest stored sizes of the text values, their NUL included. A longer value cannot be read.
inline constexpr uint32_t kUserIdSize = 40;
inline constexpr uint32_t kDriverPathSize = 200;
inline constexpr uint32_t kHllPathSize = 50;
inline constexpr uint32_t kInstallSize = 50;

struct ConduitSettings {
  uint32_t userMode = 0;     // nonzero: the host user ID is always the HotSync user name
  uint32_t flushBackup = 0;  // nonzero: delete the backup file, then clear the request
  std::string userId;        // host user ID; empty means the HotSync user name
  std::string driverPath;    // the host driver program
  std::string hllPath;       // the directory the driver gets as its PATH
  int32_t numDays = 0;       // days in the synchronization window
  std::string install;       // when not empty: the argument of the install step
  // Nonzero: this one run may go on with an extract that holds nothing of the window while the
  // backup does, emptying those days on the handheld; cleared once a run has used it.
  uint32_t allowHostWipe = 0;
};

// Reads the values in their fixed order. Returns 1 when every required value was read, else 0
// after logging the reason; the values after a failure are not to be used.
int32_t ReadConduitSettings(HKEY root, const char* keyPath, ConduitSettings* settings);
// Stores Install as a text value with no data bytes. Returns 1, or 0 after logging the reason.
int32_t ResetInstallSetting(HKEY root, const char* keyPath);
// Stores FlushBackup as the number 0. Returns 1, or 0 after logging the reason.
int32_t ResetFlushBackupSetting(HKEY root, const char* keyPath);
// Stores AllowHostWipe as the number 0. Returns 1, or 0 after logging the reason.
int32_t ResetAllowHostWipeSetting(HKEY root, const char* keyPath);

}  // namespace velqor::shell
