// The Sync Manager: the handheld's databases as a conduit sees them. Every function forwards
// to the handheld link that the host program installed before it called the conduit; without
// one each answers kSyncErrNoLink.
#pragma once

#include <cstdint>

#include "platform/hotsync_types.h"

namespace velqor::platform {

// One connected handheld. Implementations: MemoryHandheld (memory_handheld.h), the
// FaultInjectingLink decorator (fault_link.h) for tests and for simulated connection faults.
class HandheldLink {
 public:
  virtual ~HandheldLink() = default;
  virtual int32_t RegisterConduit(uint32_t* handle) = 0;
  virtual int32_t UnregisterConduit(uint32_t handle) = 0;
  virtual int32_t OpenDatabase(const char* name, int32_t card, uint8_t* handle, int32_t mode) = 0;
  virtual int32_t CreateDatabase(DatabaseCreateInfo* info) = 0;
  virtual int32_t CloseDatabase(uint8_t handle) = 0;
  virtual int32_t ReadRecordById(RawRecord* record) = 0;
  virtual int32_t ReadRecordByIndex(RawRecord* record) = 0;
  virtual int32_t ReadNextModified(RawRecord* record) = 0;
  virtual int32_t WriteRecord(RawRecord* record) = 0;
  virtual int32_t DeleteRecord(RawRecord* record) = 0;
  virtual int32_t PurgeDeleted(uint8_t handle) = 0;
  virtual int32_t ResetSyncFlags(uint8_t handle) = 0;
  virtual int32_t ReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) = 0;
  virtual int32_t WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) = 0;
  virtual int32_t ReadSystemInfo(HandheldSystemInfo* info) = 0;
  virtual int32_t ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) = 0;
  virtual int32_t YieldCycles(uint16_t cycles) = 0;
};

// Installs the link (not owned); null disconnects.
void SetHandheldLink(HandheldLink* link);
HandheldLink* GetHandheldLink();

}  // namespace velqor::platform

// The Sync Manager functions, under the names conduits call them by.
int32_t HhRegisterConduit(uint32_t* handle);
int32_t HhUnregisterConduit(uint32_t handle);
int32_t HhOpenDatabase(const char* name, int32_t card, uint8_t* handle, int32_t mode);
int32_t HhCreateDatabase(DatabaseCreateInfo* info);
int32_t HhCloseDatabase(uint8_t handle);
int32_t HhReadRecordById(RawRecord* record);
int32_t HhReadRecordByIndex(RawRecord* record);
int32_t HhReadNextModified(RawRecord* record);
int32_t HhWriteRecord(RawRecord* record);
int32_t HhDeleteRecord(RawRecord* record);
int32_t HhPurgeDeleted(uint8_t handle);
int32_t HhResetSyncFlags(uint8_t handle);
int32_t HhReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record);
int32_t HhWriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record);
int32_t SyncReadSystemInfo(HandheldSystemInfo* info);
int32_t SyncChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex);
int32_t SyncYieldCycles(uint16_t cycles);
