// Reconciliation of one handheld single event with the desktop, and the sending of the
// desktop's changes to the handheld.
#include <cstring>

#include "datebook/datebook_monitor.h"
#include "hostfile/exchange_format.h"
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

void CVuzurMonitor::NoteConflictCopy(RecordId id, CVuzurRecord& copy) {
  try {
    ConflictCopies.emplace(id, copy.GetRow());
  } catch (...) {
    // Unnoted, the copy is still added after the host's version is written.
  }
}

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
    const bool found = desktopWalk.FindByRecordId(id, desktop) == 0;
    if (!found && FindPendingTwin(handheld, desktop)) {
      // Written by a run that did not get to save: the host event is that record, not a new
      // one, and a deletion on the handheld since then removes it from the host.
      desktop.SetRecordId(id);
      desktop.SetStatus(gone ? kStatusDeleted : kStatusModified);
    } else if (!found) {
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
            NoteConflictCopy(id, desktop);
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
        NoteConflictCopy(id, desktop);
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

bool CVuzurMonitor::FindPendingTwin(CVuzurRecord& handheld, CVuzurRecord& desktop) {
  if (DesktopTable == nullptr) return false;
  if (!PendingTwinsBuilt) {
    PendingTwinsBuilt = true;
    PendingTwins.clear();
    CBaseIterator walk(*DesktopTable);
    CVuzurRecord row(*DesktopTable, 0);
    try {
      for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row)) {
        RecordId id = 0;
        row.GetRecordId(id);
        if (id != 0 || row.IsPending() == 0 || row.IsRepeatingEvt() != 0) continue;
        int32_t start = 0;
        row.GetStartTime(start);
        PendingTwins.emplace(start, row.GetRow());
      }
    } catch (...) {
      PendingTwins.clear();  // without the index the events are simply added
      return false;
    }
  }
  int32_t start = 0;
  handheld.GetStartTime(start);
  auto [first, last] = PendingTwins.equal_range(start);
  for (auto it = first; it != last; ++it) {
    desktop.Bind(it->second);
    RecordId id = 0;
    desktop.GetRecordId(id);
    if (id == 0 && desktop.IsPending() != 0 && desktop.IsEqual(handheld) != 0) {
      PendingTwins.erase(it);
      return true;
    }
  }
  return false;
}

bool CVuzurMonitor::KnownToDesktop(RecordId id) {
  if (DesktopTable == nullptr || ChangeTable == nullptr) return false;
  CBaseIterator desktopWalk(*DesktopTable);
  CBaseIterator changeWalk(*ChangeTable);
  CVuzurRecord desktop(*DesktopTable, 0);
  CVuzurRecord change(*ChangeTable, 0);
  if (ChangeTable->GetRecordCount() > 0 && changeWalk.SortByRecordId() == 0 &&
      changeWalk.FindByRecordId(id, change) == 0) {
    return true;
  }
  return DesktopTable->GetRecordCount() > 0 && desktopWalk.SortByRecordId() == 0 &&
         desktopWalk.FindByRecordId(id, desktop) == 0;
}

bool CVuzurMonitor::KeepPilotCategory(CBaseRecord& record) {
  RecordId id = 0;
  record.GetRecordId(id);
  if (id == 0) return false;
  RawRecord raw;
  std::memset(&raw, 0, sizeof raw);
  raw.dbHandle = DbHandle;
  raw.recordId = id;
  if (AllocRecordBuffer(raw, kRawRecordBufferSize) != 0) return true;
  // A record that cannot be read (gone, or the connection with it) keeps its own category; the
  // write that follows reports what is wrong.
  const int32_t read = HhReadRecordById(&raw);
  if (read == 0) record.SetCategoryId(raw.categoryId);
  FreeRecordBuffer(raw);
  return read != kSyncErrNotFound && (read != 0 || (raw.attributes & kAttrDeleted) == 0);
}

int32_t CVuzurMonitor::AddConflictCopies(RecordId id, CVuzurRecord& desktop) {
  auto [first, last] = ConflictCopies.equal_range(id);
  for (auto it = first; it != last; ++it) {
    desktop.Bind(it->second);
    RecordId copyId = 0;
    desktop.GetRecordId(copyId);
    if (copyId != 0 || desktop.IsAdded() == 0) continue;
    if (FindEarlierCopy(desktop)) {
      // A run that stopped before saving added this copy already; the handheld record read
      // back from it stands for it.
      desktop.SetStatus(kStatusDeleted);
      continue;
    }
    const int32_t status = AddPilotRecord(desktop);
    if (status != 0) {
      LogAddFailed(desktop);
      return status;
    }
  }
  ConflictCopies.erase(first, last);
  return 0;
}

bool CVuzurMonitor::FindEarlierCopy(CVuzurRecord& copy) {
  CBaseIterator walk(*DesktopTable);
  CVuzurRecord row(*DesktopTable, 0);
  for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row)) {
    RecordId id = 0;
    row.GetRecordId(id);
    if (id != 0 && row.GetRow() != copy.GetRow() && row.IsAdded() != 0 &&
        row.IsRepeatingEvt() == 0 && row.IsEqual(copy) != 0) {
      return true;
    }
  }
  return false;
}

void CVuzurMonitor::KeepUndeliveredOwed() {
  if (DesktopTable == nullptr || Undelivered.GetRecordCount() == 0) return;
  CBaseIterator desktopWalk(*DesktopTable);
  if (DesktopTable->GetRecordCount() > 0 && desktopWalk.SortByRecordId() != 0) return;
  CBaseIterator walk(Undelivered);
  CVuzurRecord owed(Undelivered, 0);
  CVuzurRecord desktop(*DesktopTable, 0);
  for (long found = walk.FindFirst(owed); found == 0; found = walk.FindNext(owed)) {
    RecordId id = 0;
    owed.GetRecordId(id);
    if (owed.IsDeleted() != 0) {
      // Kept in the backup, so that its absence from the next extract is the host's deletion
      // once more.
      if (DesktopTable->AppendDuplicateRecord(owed, desktop, 1) == 0) {
        desktop.SetStatus(velqor::hostfile::kStatusOwed);
      }
    } else if (DesktopTable->GetRecordCount() > 0 && desktopWalk.FindByRecordId(id, desktop) == 0) {
      desktop.SetStatus(velqor::hostfile::kStatusOwed);
    }
  }
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
      // A record the handheld no longer has is deleted already (an earlier run that stopped
      // before saving did it).
      if (status != 0 && status != kSyncErrNotFound) {
        LogDeleteFailed(change);
        if (IsCommsError(status)) {
          result = status;
        } else {
          Owe(change);
        }
      }
    } else if (change.IsModified() != 0) {
      RecordId id = 0;
      change.GetRecordId(id);
      const int32_t copies = AddConflictCopies(id, desktop);
      if (copies != 0) {
        if (IsNonFatalError(copies) == 0) {
          result = copies;
          break;
        }
        // The host's version waits until the handheld's own is safe beside it.
        Owe(change);
        continue;
      }
      KeepPilotCategory(change);
      const int32_t status = ModifyPilotRecord(change);
      if (status != 0) {
        LogModifyFailed(change);
        if (IsNonFatalError(status) == 0) {
          result = status;
        } else {
          Owe(change);
        }
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
    // A host event that carries the ID of a record the handheld has is that record, changed
    // (or not) by the host: adding it would leave the handheld with two.
    const bool onPilot = pending && id != 0 && KeepPilotCategory(desktop);
    const int32_t status = onPilot ? ModifyPilotRecord(desktop) : AddPilotRecord(desktop);
    if (status != 0) {
      LogAddFailed(desktop);
      result = status;
      break;
    }
    if (pending) desktop.SetStatus(kStatusModified);
    int32_t position = 0;
    if (desktopWalk.GetCurrentRowPosition(position) == 0) OnPilotRecordAdded(desktop, position);
  }

  // The handheld's deleted records are purged by the run once its result is saved: purged
  // before, a run cut off in between would forget the deletions.
  return result;
}
