// Category synchronization: the handheld's category block is read into a category manager,
// reconciled with the desktop table's categories, desktop records are re-filed where their
// category's index changed, and the agreed list is written to both sides.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "engine/log_codes.h"
#include "engine/sync_monitor.h"
#include "platform/handles.h"
#include "platform/sync_manager.h"

using velqor::platform::RegisterPointer;

namespace {

// What the passes need of a category, copied out of its manager: deleting or adding
// categories while a manager is being walked would disturb the walk.
struct CategoryCopy {
  int id;
  int index;
  std::string name;
  int nameDirty;
};

std::vector<CategoryCopy> CopyCategories(CCategoryMgr& categories) {
  std::vector<CategoryCopy> copies;
  for (CCategory* category = categories.FindFirst(); category != nullptr;
       category = categories.FindNext()) {
    copies.push_back(
        {category->GetID(), category->GetIndex(), category->GetName(), category->IsNameDirty()});
  }
  return copies;
}

// Adds a category; false (and nothing added) when the manager refuses it.
bool AddCategory(CCategoryMgr& categories, int id, int index, const std::string& name) {
  CCategory* category = new (std::nothrow) CCategory(id, index, name);
  if (category == nullptr) return false;
  category->SetNameDirty(0);
  if (categories.Add(category) != kCatOk) {
    delete category;
    return false;
  }
  return true;
}

constexpr char kPilotWord[] = "Pilot";

}  // namespace

int32_t CSyncMonitor::ReadPilotCategories() {
  delete PilotCategories;
  PilotCategories = new (std::nothrow) CCategoryMgr();

  FreeCategoryBuffer();
  std::memset(&CategoryBlock, 0, sizeof CategoryBlock);
  CategoryBlock.bufferSize = kCategoryBlockBufferSize;
  // Zeroed, so that a block shorter than the buffer never sends indeterminate bytes back.
  blockBuffer_ = new (std::nothrow) uint8_t[kCategoryBlockBufferSize]();
  if (blockBuffer_ != nullptr) {
    blockHandle_ = RegisterPointer(blockBuffer_);
    CategoryBlock.buffer = blockHandle_;
  }
  const std::string name = CurrentDatabaseName();
  std::memcpy(CategoryBlock.databaseName, name.data(),
              std::min(name.size(), sizeof(CategoryBlock.databaseName) - 1));

  if (blockBuffer_ == nullptr || PilotCategories == nullptr) return kEngNoCategoryBuffer;
  const int32_t status = HhReadCategoryBlock(DbHandle, &CategoryBlock);
  if (status != 0) return status;
  if (Converter == nullptr) return kEngNotSupplied;
  return static_cast<int32_t>(Converter->RawToCategories(CategoryBlock, *PilotCategories));
}

int32_t CSyncMonitor::WritePilotCategories(CCategoryMgr* categories) {
  // Without a block read from the handheld there is nothing whole to write back: writing
  // would replace the handheld's block with an empty one.
  if (categories == nullptr || blockBuffer_ == nullptr || CategoryBlock.buffer != blockHandle_) {
    return kEngNoCategoryBuffer;
  }
  if (Converter == nullptr) return kEngNotSupplied;
  Converter->CategoriesToRaw(CategoryBlock, *categories);
  return HhWriteCategoryBlock(DbHandle, &CategoryBlock);
}

int32_t CSyncMonitor::ReplaceDesktopCategories(CCategoryMgr* categories) {
  if (DesktopCategories == nullptr || categories == nullptr) return kEngNoCategoryBuffer;
  if (categories == DesktopCategories) return kEngOk;
  DesktopCategories->DeleteAllCategories(1);
  for (const CategoryCopy& category : CopyCategories(*categories)) {
    AddCategory(*DesktopCategories, category.id, category.index, category.name);
  }
  return kEngOk;
}

void CSyncMonitor::MarkCategoryNamesDirty(CCategoryMgr* categories) {
  if (categories == nullptr) return;
  for (CCategory* category = categories->FindFirst(); category != nullptr;
       category = categories->FindNext()) {
    category->SetNameDirty(1);
  }
}

void CSyncMonitor::ApplyCategoryRemap(const CategoryRemapList& list) {
  if (list.count <= 0 || DesktopTable == nullptr) return;
  const int32_t count = std::min<int32_t>(list.count, kCategoryCount);
  CBaseIterator iterator(*DesktopTable);
  CBaseRecord record(*DesktopTable, 0);
  for (long found = iterator.FindFirst(record); found == 0; found = iterator.FindNext(record)) {
    int32_t category = 0;
    if (record.GetCategoryId(category) != kTblOk) continue;
    // One look-up per record with the index it had before, so that pairs never chain.
    for (int32_t i = 0; i < count; ++i) {
      if (list.pairs[i].source == category) {
        record.SetCategoryId(list.pairs[i].target);
        break;
      }
    }
  }
}

int32_t CSyncMonitor::SyncCategories() {
  if (DesktopTable != nullptr) DesktopCategories = DesktopTable->GetCategoryManager();
  if (DesktopCategories == nullptr || PilotCategories == nullptr) return kEngNoCategoryBuffer;

  // The host keeps no categories, so an empty desktop list says nothing about what the user
  // deleted: the handheld's list stands.
  const bool desktopEmpty = DesktopCategories->GetCount() == 0;

  switch (Properties.syncType) {
    case kSyncTypeHandheldOverwrites:
      return ReplaceDesktopCategories(PilotCategories);
    case kSyncTypeDesktopOverwrites:
      if (desktopEmpty) return ReplaceDesktopCategories(PilotCategories);
      return WritePilotCategories(DesktopCategories);
    default:
      break;
  }

  if (Properties.firstSyncIndicator == kFirstSyncHandheldNew) {
    MarkCategoryNamesDirty(PilotCategories);
  } else if (Properties.firstSyncIndicator == kFirstSyncDesktopNew) {
    MarkCategoryNamesDirty(DesktopCategories);
  } else if (Properties.syncType == kSyncTypeSlow) {
    MarkCategoryNamesDirty(PilotCategories);
  }
  if (desktopEmpty) MarkCategoryNamesDirty(PilotCategories);

  // Handheld categories the desktop no longer has were deleted there: their handheld records
  // go to Unfiled and the category goes.
  for (const CategoryCopy& pilot : CopyCategories(*PilotCategories)) {
    if (pilot.nameDirty) continue;
    if (DesktopCategories->FindName(pilot.name) != nullptr) continue;
    CCategory* sameId = nullptr;
    if (DesktopCategories->FindID(pilot.id, &sameId) != kCatNotFound) continue;
    const int32_t moved = SyncChangeCategory(DbHandle, static_cast<uint8_t>(pilot.index), 0);
    if (moved == 0) {
      LogCategoryDeleted(pilot.name, kPilotWord);
      PilotCategories->Delete(pilot.index);
    } else {
      LogCategoryMoveFailed(pilot.name);
      // With the connection gone every further call would fail as well, and writing a block
      // would only try to send a list the handheld's records no longer match.
      if (IsCommsError(moved) != 0) return moved;
    }
  }

  CategoryRemapList remap;
  for (const CategoryCopy& desktop : CopyCategories(*DesktopCategories)) {
    CCategory* pilot = PilotCategories->FindName(desktop.name);
    if (pilot != nullptr) {
      if (pilot->GetIndex() != desktop.index) remap.Add(desktop.index, pilot->GetIndex());
      continue;
    }
    if (PilotCategories->FindID(desktop.id, &pilot) != kCatNotFound && pilot != nullptr) {
      // The same category on both sides. A name changed on the desktop wins; otherwise the
      // handheld's name stands. Either way the records follow the handheld's index.
      if (desktop.nameDirty) pilot->SetName(desktop.name);
      if (pilot->GetIndex() != desktop.index) remap.Add(desktop.index, pilot->GetIndex());
      continue;
    }
    if (!desktop.nameDirty) {
      // Deleted on the handheld.
      remap.Add(desktop.index, 0);
      LogCategoryDeleted(desktop.name, LoadText(kStrDesktopWord));
      continue;
    }
    // New on the desktop.
    CCategory* atIndex = nullptr;
    PilotCategories->FindIndex(desktop.index, &atIndex);
    if (atIndex == nullptr) {
      if (!AddCategory(*PilotCategories, desktop.id, desktop.index, desktop.name)) {
        remap.Add(desktop.index, 0);
        LogTooManyCategories(desktop.name);
      }
      continue;
    }
    const int free = PilotCategories->GetFreeIndex();
    if (free == -1 || !AddCategory(*PilotCategories, desktop.id, free, desktop.name)) {
      remap.Add(desktop.index, 0);
      LogTooManyCategories(desktop.name);
    } else {
      remap.Add(desktop.index, free);
    }
  }

  ApplyCategoryRemap(remap);
  ReplaceDesktopCategories(PilotCategories);
  return WritePilotCategories(PilotCategories);
}
