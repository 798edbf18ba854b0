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
#include "tools/handheld_journal.h"
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
  std::string lock;      // root/hotsync.lock
  std::string Datebook() const { return handheld + "/DatebookDB.pdb"; }
};

// The paths of a profile; the root made absolute.
ProfilePaths PathsOf(const std::string& root);
// False with a message when the folder is not a whole profile.
bool CheckProfile(const ProfilePaths& paths, std::string* error);

// The handheld as a folder of database files, loaded into a handheld held in memory. Changes
// made through link() are journaled beside their file as they are made (handheld_journal.h).
class HandheldStore {
 public:
  HandheldStore();
  ~HandheldStore();
  // Loads every .pdb file of the folder and replays the journals of a run that ended before it
  // wrote them back; fails on the first file that is damaged, or when two files hold databases
  // of the same name. Nothing is written: see Recover().
  bool Load(const std::string& folder, std::string* error);
  // Folds replayed journals into their files and removes stale ones; for those who hold the
  // profile's lock, before they change anything.
  bool Recover(int64_t now, std::string* error);
  platform::MemoryHandheld& handheld() { return *handheld_; }
  // The handheld as the conduit reaches it: every change durable when the call answers.
  platform::HandheldLink& link() { return *link_; }
  platform::HandheldDatabase* Find(const std::string& name) {
    return handheld_->FindDatabase(name);
  }

  // Writes back each database whose content changed (its modification number raised and its
  // modification time set to `now`), and a file for each new one. The names written are added
  // to `written`. Stops at the first failure; the files not yet written keep their content (and
  // their journals, which the next Load replays).
  bool Save(int64_t now, std::vector<std::string>* written, std::string* error);
  // Why a change made through link() could not be made durable; empty when all were.
  std::string JournalFailure() const;
  // The file of a database, new or loaded. A new database never takes the name of a file that
  // exists: it goes beside it.
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
  bool ReplayJournals(std::string* error);
  Journal* JournalFor(const std::string& name);
  const std::string& AssignPath(const std::string& name);
  bool DropJournal(const std::string& name);

  std::string folder_;
  std::map<std::string, Loaded> loaded_;                      // by database name
  std::map<std::string, std::string> assigned_;               // the files of new databases
  std::map<std::string, std::unique_ptr<Journal>> journals_;  // open, by database name
  std::map<std::string, std::string> replayed_;  // journal files replayed, by database name
  std::vector<std::string> stale_;               // journal files already folded
  std::string failedJournal_;                    // the failure of a journal since dropped
  std::unique_ptr<platform::MemoryHandheld> handheld_ =
      std::make_unique<platform::MemoryHandheld>();
  std::unique_ptr<JournalingHandheld> link_;
};

// One command at a time per profile: `hotsync sync` and the handheld commands that write hold
// this lock while they run. It is an advisory lock on a file of the profile, so it ends with
// its process however that ends.
class ProfileLock {
 public:
  ProfileLock() = default;
  ~ProfileLock();
  ProfileLock(const ProfileLock&) = delete;
  ProfileLock& operator=(const ProfileLock&) = delete;
  // Takes the lock for `command`; false with a message that says who holds it.
  bool Acquire(const ProfilePaths& paths, const std::string& command, int64_t now,
               std::string* error);

 private:
  int fd_ = -1;
};

// Removes the temporary files that runs killed while writing left in the profile's handheld and
// user folders: only names this system's writers give their temporary files, beside a file of
// the profile, of processes that no longer run.
std::vector<std::string> RemoveLeftovers(const ProfilePaths& paths);

// Settings helpers over a store.
std::optional<uint32_t> GetNumber(platform::SettingsStore& store, const std::string& key,
                                  const std::string& name);
std::optional<std::string> GetText(platform::SettingsStore& store, const std::string& key,
                                   const std::string& name);

// Appends text to a file (the HotSync log); false when it cannot.
bool AppendToFile(const std::string& path, const std::string& text);

}  // namespace velqor::tools
