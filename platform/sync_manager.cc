#include "platform/sync_manager.h"

#include <atomic>

namespace velqor::platform {
namespace {
std::atomic<HandheldLink*> g_link{nullptr};
}  // namespace

void SetHandheldLink(HandheldLink* link) {
  g_link.store(link);
}
HandheldLink* GetHandheldLink() {
  return g_link.load();
}

}  // namespace velqor::platform

using velqor::platform::GetHandheldLink;
using velqor::platform::HandheldLink;

namespace {

// Runs `call` on the installed link; the caller's pointer arguments were checked before.
template <typename Call>
int32_t Forward(Call call) {
  HandheldLink* link = GetHandheldLink();
  if (link == nullptr) return kSyncErrNoLink;
  return call(*link);
}

}  // namespace

int32_t HhRegisterConduit(uint32_t* handle) {
  if (handle == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.RegisterConduit(handle); });
}

int32_t HhUnregisterConduit(uint32_t handle) {
  return Forward([&](HandheldLink& l) { return l.UnregisterConduit(handle); });
}

int32_t HhOpenDatabase(const char* name, int32_t card, uint8_t* handle, int32_t mode) {
  if (name == nullptr || handle == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.OpenDatabase(name, card, handle, mode); });
}

int32_t HhCreateDatabase(DatabaseCreateInfo* info) {
  if (info == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.CreateDatabase(info); });
}

int32_t HhCloseDatabase(uint8_t handle) {
  return Forward([&](HandheldLink& l) { return l.CloseDatabase(handle); });
}

int32_t HhReadRecordById(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.ReadRecordById(record); });
}

int32_t HhReadRecordByIndex(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.ReadRecordByIndex(record); });
}

int32_t HhReadNextModified(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.ReadNextModified(record); });
}

int32_t HhWriteRecord(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.WriteRecord(record); });
}

int32_t HhDeleteRecord(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.DeleteRecord(record); });
}

int32_t HhPurgeDeleted(uint8_t handle) {
  return Forward([&](HandheldLink& l) { return l.PurgeDeleted(handle); });
}

int32_t HhResetSyncFlags(uint8_t handle) {
  return Forward([&](HandheldLink& l) { return l.ResetSyncFlags(handle); });
}

int32_t HhReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.ReadCategoryBlock(handle, record); });
}

int32_t HhWriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.WriteCategoryBlock(handle, record); });
}

int32_t SyncReadSystemInfo(HandheldSystemInfo* info) {
  if (info == nullptr) return kSyncErrBadArgument;
  return Forward([&](HandheldLink& l) { return l.ReadSystemInfo(info); });
}

int32_t SyncChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) {
  return Forward([&](HandheldLink& l) { return l.ChangeCategory(handle, fromIndex, toIndex); });
}

int32_t SyncYieldCycles(uint16_t cycles) {
  return Forward([&](HandheldLink& l) { return l.YieldCycles(cycles); });
}
