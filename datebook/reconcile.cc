// Reconciliation of one handheld single event with the desktop, and the sending of the
// desktop's changes to the handheld.
#include <cstring>

#include "datebook/datebook_monitor.h"
#include "platform/sync_manager.h"

namespace {

// Appends a copy of the handheld record to the desktop table as a new record: the copy gets
// the status added and, when `clearId` is set, record ID 0 so that it is added to the handheld
// as a record of its own. False when the table refused the copy.
bool AppendNewCopy(CBaseTable& table, CVuzurRecord& source, CVuzurRecord& target, bool clearId) {
  if (table.AppendDuplicateRecord(source, target, 1) != 0) return false;
  if (clearId) target.SetRecordId(0);
  target.SetStatus(kStatusAdded);
  return true;
}

}  // namespace

int32_t CVuzurMonitor::ReconcileRecord(CVuzurRecord& handheld, CVuzurRecord& desktop,
                                       CVuzurRecord& change) {
  if (DesktopTable == nullptr || ChangeTable == nullptr) return kDbkNoChangeTable;
  bool archive = true;
  int32_t result = 0;

  CBaseIterator desktopWalk(*DesktopTable);
  CBaseIterator changeWalk(*ChangeTable);
  long sorted = 0;
  if (DesktopTable->GetRecordCount() > 0) sorted = desktopWalk.SortByRecordId();
  if (sorted == 0 && ChangeTable->GetRecordCount() > 0) sorted = changeWalk.SortByRecordId();
  if (sorted != 0) return static_cast<int32_t>(sorted);

  RecordId id = 0;
  handheld.GetRecordId(id);
  const bool gone = handheld.IsDeleted() != 0 || handheld.IsArchived() != 0;
  const bool modified = handheld.IsModified() != 0;

  if (changeWalk.FindByRecordId(id, change) != 0) {
    // The desktop did not change it.
    if (desktopWalk.FindByRecordId(id, desktop) != 0) {
      if (!gone && !AppendNewCopy(*DesktopTable, handheld, desktop, false)) {
        result = kDbkCopyFailed;
      }
    } else if (gone) {
      desktop.SetStatus(kStatusDeleted);
    } else {
      // The host's number for the event survives the handheld's content.
      int32_t hostNumber = 0;
      const bool hasNumber = desktop.GetHostNumber(hostNumber) == 0;
      result = static_cast<int32_t>(desktop.Assign(handheld));
      if (hasNumber) desktop.SetHostNumber(hostNumber);
      desktop.SetStatus(kStatusModified);
    }
  } else if (change.IsDeleted()) {
    // Deleted on the host. A handheld change wins over the deletion.
    if (modified && !gone) {
      change.Assign(handheld);
      change.SetStatus(kStatusModified);
      if (AppendNewCopy(*DesktopTable, handheld, desktop, false)) {
        LogModifiedAndDeleted(desktop);
      } else {
        result = kDbkCopyFailed;
      }
    }
  } else if (change.IsModified()) {
    // Changed on the host.
    const bool equal = handheld.IsEqual(change) != 0;
    if (gone) {
      if (equal) {
        if (desktopWalk.FindByRecordId(id, desktop) == 0) desktop.SetStatus(kStatusDeleted);
        change.SetStatus(kStatusDeleted);
      } else {
        archive = false;
        if (modified) {
          if (AppendNewCopy(*DesktopTable, handheld, desktop, true)) {
            LogDoubleModify(desktop);
          } else {
            result = kDbkCopyFailed;
          }
        } else {
          LogModifiedAndDeleted(change);
        }
      }
    } else if (!equal && modified) {
      // Changed differently on both sides: the host's version overwrites the handheld record
      // and the handheld's comes back as a record of its own on both sides.
      if (AppendNewCopy(*DesktopTable, handheld, desktop, true)) {
        LogDoubleModify(desktop);
      } else {
        result = kDbkCopyFailed;
      }
    }
  }

  // A failure already met is not covered by the archiving's success.
  if (handheld.IsArchived() != 0 && archive && result == 0) {
    result = ArchiveRecord(handheld, ArchiveTable);
  }
  return result;
}

void CVuzurMonitor::KeepPilotCategory(CBaseRecord& record) {
  RecordId id = 0;
  record.GetRecordId(id);
  if (id == 0) return;
  RawRecord raw;
  std::memset(&raw, 0, sizeof raw);
  raw.dbHandle = DbHandle;
  raw.recordId = id;
  if (AllocRecordBuffer(raw, kRawRecordBufferSize) != 0) return;
  // A record that cannot be read (gone, or the connection with it) keeps its own category; the
  // write that follows reports what is wrong.
  if (HhReadRecordById(&raw) == 0) record.SetCategoryId(raw.categoryId);
  FreeRecordBuffer(raw);
}

int32_t CVuzurMonitor::SendDateBookChanges(CVuzurRecord& change, CVuzurRecord& desktop) {
  if (DesktopTable == nullptr || ChangeTable == nullptr) return kDbkNoChangeTable;
  const int32_t fits = CheckDesktopFileSize();
  if (fits != 0) return fits;
  RawRecord raw;
  std::memset(&raw, 0, sizeof raw);
  raw.dbHandle = DbHandle;
  int32_t result = 0;

  CBaseIterator changeWalk(*ChangeTable);
  if (ChangeTable->GetRecordCount() > 0 && changeWalk.SortByRecordStatus() != 0) {
    return kEngSortFailed;
  }
  for (long found = changeWalk.FindFirst(change); found == 0 && result == 0;
       found = changeWalk.FindNext(change)) {
    bool remove = change.IsDeleted() != 0;
    if (change.IsArchived() != 0) {
      ArchiveRecord(change, ArchiveTable);
      remove = true;
    }
    if (remove) {
      RecordId id = 0;
      change.GetRecordId(id);
      if (id == 0) continue;  // never on the handheld
      raw.recordId = id;
      const int32_t status = HhDeleteRecord(&raw);
      if (status != 0) {
        LogDeleteFailed(change);
        if (IsCommsError(status)) result = status;
      }
    } else if (change.IsModified() != 0) {
      KeepPilotCategory(change);
      const int32_t status = ModifyPilotRecord(change);
      if (status != 0) {
        LogModifyFailed(change);
        if (IsNonFatalError(status) == 0) result = status;
      }
    }
  }
  if (result != 0) return result;

  CBaseIterator desktopWalk(*DesktopTable);
  if (DesktopTable->GetRecordCount() > 0 && desktopWalk.SortByRecordStatus() != 0) {
    return kEngSortFailed;
  }
  for (long found = desktopWalk.FindFirst(desktop); found == 0 && result == 0;
       found = desktopWalk.FindNext(desktop)) {
    const bool pending = desktop.IsPending() != 0;
    RecordId id = 0;
    desktop.GetRecordId(id);
    if (!pending && !(desktop.IsAdded() != 0 && id == 0)) continue;
    if (pending && id != 0) KeepPilotCategory(desktop);
    const int32_t status = AddPilotRecord(desktop);
    if (status != 0) {
      LogAddFailed(desktop);
      result = status;
      break;
    }
    if (pending) desktop.SetStatus(kStatusModified);
    int32_t position = 0;
    if (desktopWalk.GetCurrentRowPosition(position) == 0) OnPilotRecordAdded(desktop, position);
  }

  if (result == 0) {
    result = HhPurgeDeleted(DbHandle);
    if (result != 0) LogPurgeFailed();
  }
  return result;
}
