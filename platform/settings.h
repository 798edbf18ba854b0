// The settings store that stands in for the registry: keys named by paths, each holding
// named values of a type and bytes. Numbers are 4 bytes little-endian; texts carry their NUL.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velqor::platform {

using SettingsKey = uint32_t;  // an open key handle; 0 is never a valid key

inline constexpr uint32_t kRegTypeNone = 0;
inline constexpr uint32_t kRegTypeText = 1;
inline constexpr uint32_t kRegTypeBinary = 3;
inline constexpr uint32_t kRegTypeNumber = 4;

inline constexpr uint32_t kRegAccessQuery = 0x0001;
inline constexpr uint32_t kRegAccessSet = 0x0002;

inline constexpr int32_t kRegOk = 0;
inline constexpr int32_t kRegNotFound = 2;       // no such key or value
inline constexpr int32_t kRegAccessDenied = 5;   // the key was not opened for this, or refused
inline constexpr int32_t kRegBadHandle = 6;
inline constexpr int32_t kRegBadArgument = 87;
inline constexpr int32_t kRegMoreData = 234;     // the value is larger than the buffer
inline constexpr int32_t kRegWriteFailed = 1009; // the store could not be written

struct SettingsValue {
  uint32_t type = kRegTypeNone;
  std::vector<uint8_t> data;
};

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual bool KeyExists(const std::string& path) = 0;
  virtual std::optional<SettingsValue> Get(const std::string& path, const std::string& name) = 0;
  // False when the value could not be stored (the store keeps its previous state).
  virtual bool Set(const std::string& path, const std::string& name, const SettingsValue& v) = 0;
  virtual bool Remove(const std::string& path, const std::string& name) = 0;
  virtual bool CreateKey(const std::string& path) = 0;
  virtual std::map<std::string, SettingsValue> List(const std::string& path) = 0;
  // Whether an existing key may be opened with the access rights asked for.
  virtual bool AllowsOpen(const std::string& path, uint32_t access) { return true; }
};

// For tests: holds everything in memory; chosen value names can be made to refuse writes,
// and chosen keys to refuse opening.
class MemorySettingsStore : public SettingsStore {
 public:
  bool KeyExists(const std::string& path) override;
  std::optional<SettingsValue> Get(const std::string& path, const std::string& name) override;
  bool Set(const std::string& path, const std::string& name, const SettingsValue& v) override;
  bool Remove(const std::string& path, const std::string& name) override;
  bool CreateKey(const std::string& path) override;
  std::map<std::string, SettingsValue> List(const std::string& path) override;

  bool AllowsOpen(const std::string& path, uint32_t access) override;

  void RefuseWrites(const std::string& name) { refusedWrites_.insert(name); }
  void RefuseOpen(const std::string& path);  // opening the key fails with kRegAccessDenied
  void SetNumber(const std::string& path, const std::string& name, uint32_t value);
  void SetText(const std::string& path, const std::string& name, const std::string& text);

 private:
  std::map<std::string, std::map<std::string, SettingsValue>> keys_;
  std::set<std::string> refusedWrites_;
  std::set<std::string> refusedKeys_;
};

// For programs: one file holding every key, rewritten atomically on each change.
class FileSettingsStore : public SettingsStore {
 public:
  explicit FileSettingsStore(std::string path) : path_(std::move(path)) {}
  // Reads the file; false (with a reason) when it exists but is damaged. A missing file is
  // an empty store.
  bool Load(std::string* error);
  bool KeyExists(const std::string& path) override;
  std::optional<SettingsValue> Get(const std::string& path, const std::string& name) override;
  bool Set(const std::string& path, const std::string& name, const SettingsValue& v) override;
  bool Remove(const std::string& path, const std::string& name) override;
  bool CreateKey(const std::string& path) override;
  std::map<std::string, SettingsValue> List(const std::string& path) override;

 private:
  bool Save();
  std::string path_;
  std::map<std::string, std::map<std::string, SettingsValue>> keys_;
};

// Makes a store reachable as a root key handle (what ConduitProperties carries). Not owned.
SettingsKey RegisterSettingsRoot(SettingsStore* store);
void UnregisterSettingsRoot(SettingsKey root);

SettingsValue NumberValue(uint32_t value);
SettingsValue TextValue(const std::string& text);  // with its NUL

}  // namespace velqor::platform

using HKEY = velqor::platform::SettingsKey;

// Opens `subKey` under an open key; a missing key fails with kRegNotFound and is not created.
int32_t RegOpenKeyExA(HKEY key, const char* subKey, uint32_t options, uint32_t access,
                      HKEY* result);
// Reads a value. `data` may be null to ask for the size. A value larger than *dataSize fails
// with kRegMoreData (and *dataSize is set to the size needed).
int32_t RegQueryValueExA(HKEY key, const char* name, uint32_t* reserved, uint32_t* type,
                         uint8_t* data, uint32_t* dataSize);
int32_t RegSetValueExA(HKEY key, const char* name, uint32_t reserved, uint32_t type,
                       const uint8_t* data, uint32_t dataSize);
int32_t RegCloseKey(HKEY key);
