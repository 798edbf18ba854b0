// The stand-in's handheld keeps every write durable when the call answers, as a device does: a
// write-ahead journal beside each database file takes each change (appended and flushed before
// the Sync Manager call returns), and the next start replays it and folds it into the file.
//
// A journal names the file content it started from (length and hash). Replayed onto exactly
// that content it gives the database as the last answered call left it; a file that no longer
// matches was already written with the journal's changes, and the journal is stale.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/memory_handheld.h"
#include "platform/sync_manager.h"

namespace velqor::tools {

inline constexpr const char* kJournalSuffix = ".journal";

// The status a Sync Manager call answers when its change cannot be made durable: the stand-in
// gives up the connection, so the run fails instead of going on with a handheld it cannot keep.
inline constexpr int32_t kJournalLost = kSyncErrNoLink;

struct JournalHeader {
  bool newDatabase = false;  // the database had no file when the journal began
  uint64_t baseSize = 0;
  uint64_t baseHash = 0;
  std::string name;
};

uint64_t ContentHash(const std::string& bytes);

// A journal's bytes: its header and its whole entries. A torn last entry (a write cut by a
// kill, never answered) is left out. False when even the header is not whole.
bool ParseJournal(const std::string& bytes, JournalHeader* header,
                  std::vector<std::string>* entries);
// Applies one entry to the database (or creates it, for the entry that opens the journal of a
// new database). False for an entry that cannot be read.
bool ApplyJournalEntry(const std::string& entry, platform::HandheldDatabase* db);

// One database's open journal: created at its first change, appended to and flushed on each.
class Journal {
 public:
  Journal(std::string path, JournalHeader header) : path_(std::move(path)), header_(header) {}
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Appends the entry and flushes it to the disk. False when it cannot be made durable; the
  // journal then refuses every later entry.
  bool Append(const std::string& entry, const std::string& what);
  void Close();
  const std::string& path() const { return path_; }
  // Why the journal took no more entries; empty while it works.
  const std::string& failure() const { return failure_; }

 private:
  bool Open();
  std::string path_;
  JournalHeader header_;
  int fd_ = -1;
  bool broken_ = false;
  std::string failure_;
};

// The handheld link the conduit reaches the stand-in's handheld through: every change goes to
// the journal of its database before the call answers; a change that cannot be journaled is
// undone in memory and answered with kJournalLost.
class JournalingHandheld : public platform::HandheldLink {
 public:
  // `journalFor` gives the journal of a database, opening one when needed; null when none can
  // be had.
  JournalingHandheld(platform::MemoryHandheld* inner,
                     std::function<Journal*(const std::string& name)> journalFor)
      : inner_(inner), journalFor_(std::move(journalFor)) {}

  int32_t RegisterConduit(uint32_t* handle) override { return inner_->RegisterConduit(handle); }
  int32_t UnregisterConduit(uint32_t handle) override { return inner_->UnregisterConduit(handle); }
  int32_t OpenDatabase(const char* name, int32_t card, uint8_t* handle, int32_t mode) override;
  int32_t CreateDatabase(DatabaseCreateInfo* info) override;
  int32_t CloseDatabase(uint8_t handle) override;
  int32_t ReadRecordById(RawRecord* record) override { return inner_->ReadRecordById(record); }
  int32_t ReadRecordByIndex(RawRecord* record) override {
    return inner_->ReadRecordByIndex(record);
  }
  int32_t ReadNextModified(RawRecord* record) override { return inner_->ReadNextModified(record); }
  int32_t WriteRecord(RawRecord* record) override;
  int32_t DeleteRecord(RawRecord* record) override;
  int32_t PurgeDeleted(uint8_t handle) override;
  int32_t ResetSyncFlags(uint8_t handle) override;
  int32_t ReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override {
    return inner_->ReadCategoryBlock(handle, record);
  }
  int32_t WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override;
  int32_t ReadSystemInfo(HandheldSystemInfo* info) override { return inner_->ReadSystemInfo(info); }
  int32_t ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) override;
  int32_t YieldCycles(uint16_t cycles) override { return inner_->YieldCycles(cycles); }

 private:
  platform::HandheldDatabase* DatabaseOf(uint8_t handle);
  // Runs a change that touches the whole database; undone when its entry cannot be journaled.
  int32_t WholeDatabaseChange(
      uint8_t handle, const char* what, const std::function<int32_t()>& change,
      const std::function<std::string(const platform::HandheldDatabase&)>& entry);

  platform::MemoryHandheld* inner_;
  std::function<Journal*(const std::string& name)> journalFor_;
  std::map<uint8_t, std::string> open_;  // handle -> database name
};

}  // namespace velqor::tools
