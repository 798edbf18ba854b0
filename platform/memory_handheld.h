// A handheld held in memory that behaves as a device does: databases by name, records with
// 24-bit unique IDs, attribute bits, a category index and data, and an application info block.
// The HotSync Manager stand-in loads it from and saves it to database files; tests build it
// directly.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync_manager.h"

namespace velqor::platform {

struct HandheldRecord {
  uint32_t id = 0;          // 24-bit unique ID, never 0
  uint8_t attributes = 0;   // kAttr* bits in the high nibble, and 0x08 archive on deleted ones
  uint8_t category = 0;     // 0 to 15
  std::vector<uint8_t> data;
};

struct HandheldDatabase {
  std::string name;             // at most 31 characters
  uint32_t creator = 0;         // four characters, big-endian packed ('date')
  uint32_t type = 0;            // ('DATA')
  uint16_t flags = 0;           // database attributes
  uint16_t version = 0;
  uint32_t creationTime = 0;    // kept as stored (seconds since 1904 or 1970)
  uint32_t modificationTime = 0;
  uint32_t backupTime = 0;
  uint32_t modificationNumber = 0;
  uint32_t uniqueIdSeed = 0;    // the last record ID given out
  bool hasAppInfo = false;
  std::vector<uint8_t> appInfo;
  bool hasSortInfo = false;
  std::vector<uint8_t> sortInfo;
  std::vector<HandheldRecord> records;  // in the database's index order

  HandheldRecord* FindRecord(uint32_t id);
  // A fresh unique ID (never 0, never one in use), or 0 when all 2^24 - 1 are taken.
  uint32_t NextUniqueId();
};

class MemoryHandheld : public HandheldLink {
 public:
  MemoryHandheld();
  ~MemoryHandheld() override;

  // Direct access for the host program and tests.
  HandheldDatabase* FindDatabase(const std::string& name);
  HandheldDatabase& AddDatabase(HandheldDatabase database);  // replaces one of the same name
  const std::vector<std::unique_ptr<HandheldDatabase>>& databases() const { return databases_; }
  void SetSystemVersion(uint8_t major, uint8_t minor);
  void SetProductText(const std::string& text);
  uint32_t yield_cycles() const { return yieldCalls_; }
  bool IsRegistered() const { return registered_; }
  int OpenDatabaseCount() const { return static_cast<int>(open_.size()); }

  // HandheldLink.
  int32_t RegisterConduit(uint32_t* handle) override;
  int32_t UnregisterConduit(uint32_t handle) override;
  int32_t OpenDatabase(const char* name, int32_t card, uint8_t* handle, int32_t mode) override;
  int32_t CreateDatabase(DatabaseCreateInfo* info) override;
  int32_t CloseDatabase(uint8_t handle) override;
  int32_t ReadRecordById(RawRecord* record) override;
  int32_t ReadRecordByIndex(RawRecord* record) override;
  int32_t ReadNextModified(RawRecord* record) override;
  int32_t WriteRecord(RawRecord* record) override;
  int32_t DeleteRecord(RawRecord* record) override;
  int32_t PurgeDeleted(uint8_t handle) override;
  int32_t ResetSyncFlags(uint8_t handle) override;
  int32_t ReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override;
  int32_t WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override;
  int32_t ReadSystemInfo(HandheldSystemInfo* info) override;
  int32_t ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) override;
  int32_t YieldCycles(uint16_t cycles) override;

 private:
  struct OpenDb {
    HandheldDatabase* db;
    size_t nextModified = 0;  // cursor of ReadNextModified
  };
  OpenDb* Open(uint8_t handle);

  std::vector<std::unique_ptr<HandheldDatabase>> databases_;
  std::map<uint8_t, OpenDb> open_;
  uint8_t nextHandle_ = 1;
  bool registered_ = false;
  uint32_t conduitHandle_ = 0;
  uint8_t major_ = 3, minor_ = 5;
  std::string productText_;
  uint32_t yieldCalls_ = 0;
};

}  // namespace velqor::platform
