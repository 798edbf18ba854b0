// A HotSync user's profile: the handheld's databases as files, the conduit directory, the
// settings store and the HotSync log.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/memory_handheld.h"
#include "platform/settings.h"
#include "tools/pdb_file.h"

namespace velqor::tools {

// Where the conduit's settings live in the store, and the stand-in's own values.
inline constexpr const char* kConduitKeyPath = "velqor\\Conduits\\DateBook";
inline constexpr const char* kHotSyncKeyPath = "velqor\\HotSync";
inline constexpr const char* kUserNameValue = "UserName";
inline constexpr const char* kDefaultSyncTypeValue = "DefaultSyncType";
inline constexpr const char* kNextSyncTypeValue = "NextSyncType";
inline constexpr const char* kLocalFileName = "datebook.dat";

struct ProfilePaths {
  std::string root;
  std::string handheld;  // root/handheld
  std::string user;      // root/user
  std::string settings;  // root/settings
  std::string log;       // root/hotsync.log
  std::string Datebook() const { return handheld + "/DatebookDB.pdb"; }
};

// The paths of a profile; the root made absolute.
ProfilePaths PathsOf(const std::string& root);
// False with a message when the folder is not a whole profile.
bool CheckProfile(const ProfilePaths& paths, std::string* error);

// The handheld as a folder of database files, loaded into a handheld held in memory.
class HandheldStore {
 public:
  // Loads every .pdb file of the folder; fails on the first file that is damaged, or when two
  // files hold databases of the same name.
  bool Load(const std::string& folder, std::string* error);
  platform::MemoryHandheld& handheld() { return *handheld_; }
  platform::HandheldDatabase* Find(const std::string& name) {
    return handheld_->FindDatabase(name);
  }

  // Writes back each database whose content changed (its modification number raised and its
  // modification time set to `now`), and a file for each new one. The names written are added
  // to `written`. Stops at the first failure; the files not yet written keep their content.
  bool Save(int64_t now, std::vector<std::string>* written, std::string* error);
  // The file of a database, new or loaded.
  std::string PathOf(const std::string& name) const;
  // The database as a file would hold it.
  PdbFile FileOf(const platform::HandheldDatabase& db) const;

 private:
  struct Loaded {
    std::string path;
    PdbLayout layout;
    std::string bytes;  // the file as read
    uint32_t modificationNumber = 0;
  };
  std::string folder_;
  std::map<std::string, Loaded> loaded_;  // by database name
  std::unique_ptr<platform::MemoryHandheld> handheld_ =
      std::make_unique<platform::MemoryHandheld>();
};

// Settings helpers over a store.
std::optional<uint32_t> GetNumber(platform::SettingsStore& store, const std::string& key,
                                  const std::string& name);
std::optional<std::string> GetText(platform::SettingsStore& store, const std::string& key,
                                   const std::string& name);

// Appends text to a file (the HotSync log); false when it cannot.
bool AppendToFile(const std::string& path, const std::string& text);

}  // namespace velqor::tools
