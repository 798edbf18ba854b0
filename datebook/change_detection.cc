// Desktop change detection. The host driver extracts the whole window at every synchronization
// and never says what changed; comparing the extract with the backup of the previous result
// tells. Deleted and changed single events go into the change table, events new on the host
// become pending, and the occurrences of repeating events are grouped by event so that the days
// the host removed or changed become exceptions of the handheld event.
#include <new>

#include "datebook/datebook_monitor.h"
#include "platform/clock.h"

int32_t CVuzurMonitor::DetectDesktopChanges() {
  if (DesktopTable == nullptr || BackupTable == nullptr || ChangeTable == nullptr) {
    return kDbkNoChangeTable;
  }
  CBaseIterator desktopWalk(*DesktopTable);
  CBaseIterator backupWalk(*BackupTable);
  CVuzurRecord desktop(*DesktopTable, 0);
  CVuzurRecord backup(*BackupTable, 0);
  CVuzurRecord change(*ChangeTable, 0);
  const long backupCount = BackupTable->GetRecordCount();

  for (long found = backupWalk.FindFirst(backup); found == 0; found = backupWalk.FindNext(backup)) {
    if (backup.IsRepeatingEvt()) AddToBackupSeries(backup);
  }

  for (long found = desktopWalk.FindFirst(desktop); found == 0;
       found = desktopWalk.FindNext(desktop)) {
    if (desktop.IsRepeatingEvt()) {
      // The series copy keeps no status; the row itself goes to the host as a deletion, and the
      // sync mode writes the occurrences again from the handheld's event.
      desktop.SetStatus(kStatusNone);
      AddToDesktopSeries(desktop);
      desktop.SetStatus(kStatusDeleted);
    } else {
      desktop.SetStatus(kStatusPending);
    }
  }

  long sorted = 0;
  if (DesktopTable->GetRecordCount() > 0) sorted = desktopWalk.SortByRecordId();
  if (sorted == 0 && backupCount != 0) sorted = backupWalk.SortByRecordId();
  if (sorted != 0) return static_cast<int32_t>(sorted);

  int32_t result = 0;
  for (long found = backupWalk.FindFirst(backup); found == 0 && result == 0;
       found = backupWalk.FindNext(backup)) {
    int32_t start = 0;
    backup.GetStartTime(start);
    if (start < WindowStart || start > WindowEnd || backup.IsRepeatingEvt()) continue;
    RecordId id = 0;
    backup.GetRecordId(id);
    // A backup record without a handheld ID never reached the handheld; matching it by ID
    // would pair it with any other such record and keep that one from the handheld.
    if (id == 0) continue;

    if (desktopWalk.FindByRecordId(id, desktop) != 0) {
      // Gone from the extract: the host deleted it.
      if (ChangeTable->AppendDuplicateRecord(backup, change, 1) != 0) {
        result = kDbkCopyFailed;
        break;
      }
      change.SetStatus(kStatusDeleted);
      continue;
    }
    desktop.SetStatus(kStatusNone);
    if (desktop.IsEqual(backup) == 0) {
      if (ChangeTable->AppendDuplicateRecord(desktop, change, 1) != 0) {
        result = kDbkCopyFailed;
        break;
      }
      change.SetStatus(kStatusModified);
    }
  }

  if (result == 0) result = CollectExceptionDates();
  return result;
}

void CVuzurMonitor::AddToSeries(std::vector<SeriesEntry>& list, CVuzurTable*& lastTable,
                                uint32_t& lastId, CVuzurRecord& record) {
  RecordId id = 0;
  record.GetRecordId(id);
  if (lastTable == nullptr || lastId != id) {
    int32_t position = FindSeries(list, id);
    if (position < 0) {
      try {
        SeriesEntry entry;
        entry.Table = std::make_unique<CVuzurTable>();
        entry.RecordId = id;
        list.push_back(std::move(entry));
      } catch (...) {
        return;  // the occurrence is simply not grouped
      }
      position = static_cast<int32_t>(list.size() - 1);
    }
    lastTable = list[static_cast<size_t>(position)].Table.get();
    lastId = id;
  }
  CVuzurRecord target(*lastTable, 1);
  lastTable->AppendDuplicateRecord(record, target, 1);
}

void CVuzurMonitor::AddToDesktopSeries(CVuzurRecord& record) {
  AddToSeries(DesktopSeries, LastDesktopSeriesTable, LastDesktopSeriesId, record);
}

void CVuzurMonitor::AddToBackupSeries(CVuzurRecord& record) {
  AddToSeries(BackupSeries, LastBackupSeriesTable, LastBackupSeriesId, record);
}

int32_t CVuzurMonitor::CollectExceptionDates() {
  if (DesktopTable == nullptr) return 0;
  for (SeriesEntry& entry : DesktopSeries) {
    const int32_t position = FindBackupSeries(entry.RecordId);
    if (position < 0) continue;  // new on the host: nothing to compare with
    SeriesEntry& previous = BackupSeries[static_cast<size_t>(position)];
    CBaseIterator backupWalk(*previous.Table);
    CBaseIterator desktopWalk(*entry.Table);
    backupWalk.UnSort();
    desktopWalk.UnSort();
    CVuzurRecord before(*previous.Table, 0);
    CVuzurRecord now(*entry.Table, 0);

    for (long found = backupWalk.FindFirst(before); found == 0;
         found = backupWalk.FindNext(before)) {
      const int32_t day = StartDay(before);
      // The backup holds the previous window: its days before today were never extracted
      // again, and are no change.
      if (day < WindowStart || day > WindowEnd) continue;

      bool matched = false;
      for (long at = desktopWalk.FindFirst(now); at == 0; at = desktopWalk.FindNext(now)) {
        const int order = CompareStartDays(before, now);
        if (order == kSameDay) {
          matched = true;
          break;
        }
        if (order == kEarlierDay) break;
      }
      if (matched && now.IsEqual(before) != 0) continue;

      if (matched) {
        // Changed by the host: the changed occurrence lives on as a single event of its own.
        now.StopRepeatingEvt();
        CVuzurRecord copy(*DesktopTable, 0);
        if (DesktopTable->AppendDuplicateRecord(now, copy, 1) == 0) {
          copy.SetRecordId(0);
          copy.SetStatus(kStatusAdded);
        }
      }
      try {
        entry.ExceptionDates.push_back(day);
      } catch (...) {
        return 0;  // out of memory: the remaining days stay as they are on the handheld
      }
    }
  }
  return 0;
}

int32_t CVuzurMonitor::StartDay(const CDateBkRecord& record) const {
  int32_t start = 0;
  record.GetStartTime(start);
  return velqor::platform::ClampTime32(velqor::platform::LocalMidnight(start));
}

int CVuzurMonitor::CompareStartDays(const CDateBkRecord& a, const CDateBkRecord& b) const {
  const int32_t first = StartDay(a);
  const int32_t second = StartDay(b);
  if (first < second) return kEarlierDay;
  if (first > second) return kLaterDay;
  return kSameDay;
}
