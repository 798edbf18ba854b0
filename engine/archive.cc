// Archiving: records the handheld asked to archive are collected in the archive table during
// the run and then appended to one archive file per category in the user's directory.
#include <cstring>

#include "engine/sync_monitor.h"

namespace {

// A file name that could leave the user's directory is not used as one.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

}  // namespace

int32_t CSyncMonitor::ArchiveRecord(CBaseRecord& record, CBaseTable* table) {
  record.SetStatus(kStatusNone);
  record.SetArchiveBit(0);
  if (table == nullptr || CopyRecordToTable(record, table) != 0) {
    LogDesktopCopyFailed(record);
    return kEngCopyFailed;
  }
  return kEngOk;
}

int32_t CSyncMonitor::OnPilotRecordAdded(CBaseRecord&, int32_t) {
  return kEngOk;
}

std::string CSyncMonitor::ArchivePath(int32_t categoryIndex) {
  CCategoryMgr* categories = DesktopCategories;
  if (categories == nullptr && DesktopTable != nullptr) {
    categories = DesktopTable->GetCategoryManager();
  }
  std::string fileName = "Unfiled";
  if (categories != nullptr) {
    CCategory* category = nullptr;
    categories->FindIndex(categoryIndex, &category);
    if (category != nullptr) {
      std::string name = category->GetFileName();
      if (IsPlainFileName(name)) fileName = name;
    }
  }
  return std::string(Properties.directory,
                     strnlen(Properties.directory, sizeof Properties.directory)) +
         fileName +
         std::string(ArchiveExtension, strnlen(ArchiveExtension, sizeof ArchiveExtension));
}

int32_t CSyncMonitor::SaveArchives() {
  if (ArchiveTable == nullptr || ArchiveTable->GetRecordCount() == 0) return kEngOk;

  CBaseIterator iterator(*ArchiveTable);
  iterator.SortByCatId();
  CBaseRecord record(*ArchiveTable, 1);
  int32_t current = -1;
  CBaseTable* target = nullptr;
  int32_t status = kEngOk;
  std::string path;

  for (long found = iterator.FindFirst(record); found == 0 && status == kEngOk;
       found = iterator.FindNext(record)) {
    int32_t category = 0;
    record.GetCategoryId(category);
    if (category < 0 || category >= kCategoryCount) category = 0;

    if (category != current) {
      if (current != -1 && target != nullptr) {
        status = static_cast<int32_t>(target->SaveTo(path));
        if (status != kEngOk) break;
      }
      path = ArchivePath(category);
      delete target;
      target = nullptr;
      status = CreateArchiveTable(&target);
      if (status != kEngOk) {
        // No table to collect this category in: the run reports the records as not archived
        // instead of dropping them silently.
        delete target;
        target = nullptr;
      } else if (target == nullptr) {
        status = kEngNoArchiveTable;
      } else {
        const long loaded = target->OpenFrom(path, 0);
        if (loaded == kTblFileMissing) {
          status = kEngOk;  // the first record of this category: a new file
        } else {
          target->PurgeDeletedRecords();
          status = static_cast<int32_t>(loaded);
        }
      }
      current = category;
    }

    record.SetCategoryId(0);
    if (status == kEngOk) status = CopyRecordToTable(record, target);
  }

  if (target != nullptr) {
    if (status == kEngOk) status = static_cast<int32_t>(target->SaveTo(path));
    delete target;
  }
  return status;
}
