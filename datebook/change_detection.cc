// Desktop change detection. The host driver extracts the whole window at every synchronization
// and never says what changed; comparing the extract with the backup of the previous result
// tells. Deleted and changed single events go into the change table, events new on the host
// become pending, and the occurrences of repeating events are grouped by event so that the days
// the host removed or changed become exceptions of the handheld event.
#include <algorithm>
#include <new>
#include <vector>

#include "datebook/datebook_monitor.h"
#include "hostfile/exchange_format.h"
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
    RecordId rowId = 0;
    desktop.GetRecordId(rowId);
    if (desktop.IsRepeatingEvt() != 0 && rowId == 0) {
      // Flagged repeating by the host, yet no handheld event stands behind it: the exchange
      // record carries no rule, so it reaches the handheld as the single event it shows.
      desktop.StopRepeatingEvt();
    }
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
    // A change the handheld refused last time is owed still, whether or not the host changed
    // the event again.
    int32_t backupStatus = 0;
    backup.GetStatus(backupStatus);
    if (desktop.IsEqual(backup) == 0 || backupStatus == velqor::hostfile::kStatusOwed) {
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
    try {
      CompareOccurrences(entry, BackupSeries[static_cast<size_t>(position)]);
    } catch (...) {
      return 0;  // out of memory: the remaining days stay as they are on the handheld
    }
  }
  return 0;
}

namespace {

struct Occurrence {
  CRow* row;
  int32_t day;
  bool matched = false;
};

// The rows of a series table with their days, in the order of their days (ties in row order).
std::vector<Occurrence> OccurrencesOf(CVuzurTable& table, const CVuzurMonitor& monitor) {
  std::vector<Occurrence> list;
  CBaseIterator walk(table);
  walk.UnSort();
  CVuzurRecord row(table, 0);
  for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row)) {
    list.push_back({row.GetRow(), monitor.StartDay(row)});
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Occurrence& a, const Occurrence& b) { return a.day < b.day; });
  return list;
}

}  // namespace

// Each occurrence the backup had inside the window is looked for on its day in the extract:
// the same occurrence there is unchanged; another one on that day is the host's change of it;
// none is the host's deletion. An occurrence may answer for one backup occurrence only, and an
// unchanged one is preferred, so that a second occurrence moved onto a day never hides the
// untouched one. What is left of the extract's occurrences in the window the host moved or
// added there.
void CVuzurMonitor::CompareOccurrences(SeriesEntry& entry, SeriesEntry& previous) {
  std::vector<Occurrence> before = OccurrencesOf(*previous.Table, *this);
  std::vector<Occurrence> now = OccurrencesOf(*entry.Table, *this);
  CVuzurRecord b(*previous.Table, 0);
  CVuzurRecord f(*entry.Table, 0);
  auto sameDay = [&now](int32_t day) {
    return std::equal_range(now.begin(), now.end(), Occurrence{nullptr, day},
                            [](const Occurrence& x, const Occurrence& y) { return x.day < y.day; });
  };
  // The backup holds the previous window: its days before today were never extracted again,
  // and are no change.
  std::erase_if(before,
                [this](const Occurrence& o) { return o.day < WindowStart || o.day > WindowEnd; });

  for (Occurrence& old : before) {
    b.Bind(old.row);
    auto [first, last] = sameDay(old.day);
    for (auto it = first; it != last && !old.matched; ++it) {
      if (it->matched) continue;
      f.Bind(it->row);
      if (f.IsEqual(b) != 0) old.matched = it->matched = true;
    }
  }
  for (Occurrence& old : before) {
    if (old.matched) continue;
    auto [first, last] = sameDay(old.day);
    for (auto it = first; it != last; ++it) {
      if (it->matched) continue;
      // Changed by the host: the changed occurrence lives on as a single event of its own.
      it->matched = true;
      f.Bind(it->row);
      f.StopRepeatingEvt();
      CVuzurRecord copy(*DesktopTable, 0);
      if (DesktopTable->AppendDuplicateRecord(f, copy, 1) == 0) {
        copy.SetRecordId(0);
        copy.SetStatus(kStatusAdded);
      }
      break;
    }
    entry.ExceptionDates.push_back(old.day);
  }
  for (const Occurrence& left : now) {
    if (!left.matched && left.day >= WindowStart && left.day <= WindowEnd) {
      entry.HostOccurrences.push_back(left.row);
    }
  }
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
