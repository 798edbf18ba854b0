// The two sync modes and the window. Fast synchronization reads the records the handheld
// changed since the last synchronization and then writes again the occurrences of the repeating
// events the extract carried; slow synchronization reads every handheld record. A single event
// takes part when it starts inside the window; a repeating event reaches the desktop as one
// record per day of the window on which it occurs.
#include <algorithm>
#include <cstring>
#include <vector>

#include "convert/base_converter.h"
#include "datebook/datebook_monitor.h"
#include "hostfile/exchange_format.h"
#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/sync_manager.h"

namespace {

bool IsReadEnd(int32_t status) {
  return status == 0 || status == kSyncErrNotFound;
}

void ClearBuffer(RawRecord& raw) {
  uint8_t* data = velqor::platform::ResolveAs<uint8_t>(raw.buffer);
  if (data != nullptr) std::memset(data, 0, raw.capacity);
}

// Adds the record ID of every row of the table.
void AddRecordIds(CBaseTable& table, std::vector<uint32_t>& ids) {
  CBaseIterator walk(table);
  CBaseRecord row(table, 0);
  for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row)) {
    RecordId id = 0;
    row.GetRecordId(id);
    ids.push_back(id);
  }
}

bool Contains(const std::vector<uint32_t>& sorted, uint32_t id) {
  return std::binary_search(sorted.begin(), sorted.end(), id);
}

}  // namespace

long CVuzurMonitor::ConvertRecord(RawRecord& raw, CVuzurRecord& handheld) {
  if (Converter == nullptr) return kDbkFromRawFailed;
  return Converter->RawToRecord(handheld, raw);
}

int32_t CVuzurMonitor::SyncOneRecord(RawRecord& raw, CVuzurRecord& handheld, CVuzurRecord& desktop,
                                     CVuzurRecord& change) {
  return SyncConverted(ConvertRecord(raw, handheld), handheld, desktop, change);
}

int32_t CVuzurMonitor::SyncConverted(long converted, CVuzurRecord& handheld, CVuzurRecord& desktop,
                                     CVuzurRecord& change) {
  if (converted == kConvMovedTo1970) {
    LogMovedTo1970(handheld);
    converted = 0;
  }
  if (converted != 0) return kDbkFromRawFailed;

  RecordId id = 0;
  handheld.GetRecordId(id);
  if (handheld.IsDeleted() != 0) {
    // What a deleted record still says about its repetition cannot be trusted; whether the
    // desktop holds occurrences of it decides.
    if (FindDesktopSeries(id) >= 0) return SyncRepeatingEvent(handheld, desktop, change);
    return ReconcileRecord(handheld, desktop, change);
  }
  if (handheld.IsRepeatingEvt() != 0) return SyncRepeatingEvent(handheld, desktop, change);
  const int32_t series = FindDesktopSeries(id);
  if (series >= 0) {
    // A repeating event the handheld made a single one: its occurrences go from the host,
    // apart from what the host moved or added there.
    KeepHostOccurrences(DesktopSeries[static_cast<size_t>(series)], nullptr);
    RemoveDesktopSeries(static_cast<size_t>(series));
  }
  int32_t start = 0;
  handheld.GetStartTime(start);
  if (start < WindowStart || start > WindowEnd) {
    // An edit that moved the event out of the window still answers for the host's copy of it:
    // left out, the host would keep the old event, or delete the edited one.
    if (handheld.IsModified() == 0 || !KnownToDesktop(id)) return 0;
  }
  return ReconcileRecord(handheld, desktop, change);
}

int32_t CVuzurMonitor::SyncPass(PassKind kind) {
  if (ChangeTable == nullptr) return kDbkNoChangeTable;
  if (DesktopTable == nullptr) return kDbkNoDesktopTable;
  CVuzurTable scratch;
  CVuzurRecord handheld(scratch, 0);
  if (scratch.AppendBlankRecord(handheld) != 0) return kDbkNoChangeTable;
  CVuzurRecord desktop(*DesktopTable, 0);
  CVuzurRecord change(*ChangeTable, 0);
  PendingTwinsBuilt = false;
  PendingTwins.clear();
  ConflictCopies.clear();
  Undelivered.DestroyAllFields();

  RawRecord raw;
  std::memset(&raw, 0, sizeof raw);
  raw.dbHandle = DbHandle;
  int32_t result = AllocRecordBuffer(raw, kRawRecordBufferSize);
  if (result != 0) return result;

  // The repeating events the extract carried: the walk below leaves them to phase 2.
  std::vector<uint32_t> extractSeries;
  if (kind == PassKind::kFast) {
    try {
      for (const SeriesEntry& entry : DesktopSeries) extractSeries.push_back(entry.RecordId);
    } catch (...) {
      FreeRecordBuffer(raw);
      return kDbkNoChangeTable;
    }
    std::sort(extractSeries.begin(), extractSeries.end());
  }

  int32_t read = 0;
  for (uint32_t index = 0; result == 0; ++index) {
    if (kind == PassKind::kFast) {
      read = HhReadNextModified(&raw);
    } else {
      if (index > UINT16_MAX) {
        read = kSyncErrNotFound;  // no index beyond the field's range
        break;
      }
      raw.recordIndex = static_cast<uint16_t>(index);
      read = HhReadRecordByIndex(&raw);
    }
    if (read != 0) break;
    result = SyncOneRecord(raw, handheld, desktop, change);
    if (kind == PassKind::kFast) ClearBuffer(raw);
  }
  if (!IsReadEnd(read)) {
    // Records after this one were never read: the run must not save over them.
    LogReadFailed();
    ReadIncomplete = true;
    if (result == 0) result = read;
  }

  // The repeating events the extract carried and the handheld did not report as changed: their
  // occurrences in the window are written again. Each pass removes the first entry, whatever
  // becomes of it.
  while (kind == PassKind::kFast && result == 0 && !DesktopSeries.empty()) {
    const uint32_t id = DesktopSeries.front().RecordId;
    ClearBuffer(raw);
    raw.recordId = id;
    read = HhReadRecordById(&raw);
    if (!IsReadEnd(read)) {
      LogReadFailed();
      ReadIncomplete = true;
      result = read;
      break;
    }
    bool handled = false;
    if (read == 0 && Converter != nullptr) {
      long converted = Converter->RawToRecord(handheld, raw);
      if (converted == kConvMovedTo1970) {
        LogMovedTo1970(handheld);
        converted = 0;
      }
      if (converted == 0 && (handheld.IsRepeatingEvt() != 0 || handheld.IsDeleted() != 0)) {
        result = SyncRepeatingEvent(handheld, desktop, change);
        handled = true;
      }
    }
    if (!handled) {
      const int32_t position = FindDesktopSeries(id);
      if (position >= 0) {
        SeriesEntry& entry = DesktopSeries[static_cast<size_t>(position)];
        if (read == kSyncErrNotFound) {
          KeepUnknownSeries(entry);
        } else {
          KeepHostOccurrences(entry, nullptr);  // the handheld made it a single event
        }
        RemoveDesktopSeries(static_cast<size_t>(position));
      }
    }
  }
  // After a slow pass the entries left are events the handheld does not have.
  if (kind == PassKind::kSlow && result == 0) {
    for (SeriesEntry& entry : DesktopSeries) KeepUnknownSeries(entry);
  }

  if (kind == PassKind::kFast && result == 0) {
    result = SyncEnteringWindow(raw, handheld, desktop, change, extractSeries);
  }

  FreeRecordBuffer(raw);
  if (result == 0) result = SendDateBookChanges(change, desktop);
  return result;
}

// The window moves on every day, so unchanged handheld events that lay beyond it come into it,
// and a fast synchronization reads only changed records: every record the phases before did
// not see and the host cannot know yet goes through the record step, whose window test drops
// what is still outside.
int32_t CVuzurMonitor::SyncEnteringWindow(RawRecord& raw, CVuzurRecord& handheld,
                                          CVuzurRecord& desktop, CVuzurRecord& change,
                                          const std::vector<uint32_t>& extractSeries) {
  // What the host knows of single events: the rows of the extract and the host's deletions.
  std::vector<uint32_t> known;
  try {
    AddRecordIds(*DesktopTable, known);
    AddRecordIds(*ChangeTable, known);
  } catch (...) {
    return kDbkNoChangeTable;
  }
  std::sort(known.begin(), known.end());

  int32_t result = 0;
  int32_t read = 0;
  for (uint32_t index = 0; result == 0; ++index) {
    if (index > UINT16_MAX) {
      read = kSyncErrNotFound;  // no index beyond the field's range
      break;
    }
    ClearBuffer(raw);
    raw.recordIndex = static_cast<uint16_t>(index);
    read = HhReadRecordByIndex(&raw);
    if (read != 0) break;
    // Changed and deleted records were read by phase 1.
    if ((raw.attributes & (kAttrDirty | kAttrDeleted)) != 0) continue;
    const long converted = ConvertRecord(raw, handheld);
    if (converted == 0 || converted == kConvMovedTo1970) {
      RecordId id = 0;
      handheld.GetRecordId(id);
      // A repeating event with occurrences in the extract, or with occurrences in today's
      // window that the host removed, is known to the host; occurrences of the previous
      // window before today say nothing about the days that came into it.
      const bool onHost = handheld.IsRepeatingEvt() != 0
                              ? Contains(extractSeries, id) || BackupSeriesInWindow(id)
                              : Contains(known, id);
      if (onHost) continue;
    }
    result = SyncConverted(converted, handheld, desktop, change);
  }
  if (!IsReadEnd(read)) {
    LogReadFailed();
    ReadIncomplete = true;
    if (result == 0) result = read;
  }
  return result;
}

int32_t CVuzurMonitor::FastSync() {
  return SyncPass(PassKind::kFast);
}

int32_t CVuzurMonitor::SlowSync() {
  return SyncPass(PassKind::kSlow);
}

int32_t CVuzurMonitor::SyncRepeatingEvent(CVuzurRecord& handheld, CVuzurRecord& desktop,
                                          CVuzurRecord& change) {
  if (DesktopTable == nullptr) return kDbkNoDesktopTable;
  RecordId id = 0;
  handheld.GetRecordId(id);
  const bool deleted = handheld.IsDeleted() != 0;
  if (!deleted) ReplaceSingleRows(handheld, change);

  // The entry leaves the list here; its table stays for the host's occurrences.
  SeriesEntry entry;
  const int32_t position = FindDesktopSeries(id);
  if (position >= 0) {
    entry = std::move(DesktopSeries[static_cast<size_t>(position)]);
    if (!deleted) {
      for (int32_t day : entry.ExceptionDates) {
        if (handheld.IsException(day) == 0) handheld.AddException(day);
      }
      // The event with its new exceptions goes back to the handheld.
      if (!entry.ExceptionDates.empty() && ChangeTable != nullptr &&
          ChangeTable->AppendDuplicateRecord(handheld, change, 1) == 0) {
        change.SetStatus(kStatusModified);
      }
    }
    RemoveDesktopSeries(static_cast<size_t>(position));
  }

  if (deleted) {
    // Its occurrences on the desktop were all marked deleted by change detection. What the
    // host moved or added stays, and an event the handheld asked to archive still goes into
    // its archive.
    if (entry.Table != nullptr) KeepHostOccurrences(entry, nullptr);
    if (handheld.IsArchived() != 0) return ArchiveRecord(handheld, ArchiveTable);
    return 0;
  }

  std::vector<CRow*> generated;
  const int32_t result = WriteOccurrences(handheld, desktop, &generated);
  if (entry.Table != nullptr) KeepHostOccurrences(entry, &generated);
  return result;
}

int32_t CVuzurMonitor::WriteOccurrences(CVuzurRecord& handheld, CVuzurRecord& desktop,
                                        std::vector<CRow*>* generated) {
  int32_t startHour = 0;
  int32_t startMinute = 0;
  handheld.GetStartClock(startHour, startMinute);

  int64_t cursor = WindowStart;
  for (;;) {
    int32_t next = 0;
    if (handheld.CalcNextOccurrance(static_cast<int32_t>(cursor), next) != 0) return 0;
    const int64_t day = velqor::platform::LocalMidnight(next);
    if (day > WindowEnd) return 0;
    velqor::platform::LocalTime dayFields{};
    int64_t occurrence = 0;
    if (!velqor::platform::BreakDownLocal(day, &dayFields) ||
        !velqor::platform::MakeLocalTime(dayFields.year, dayFields.month, dayFields.day, startHour,
                                         startMinute, 0, &occurrence) ||
        occurrence > velqor::platform::kMaxTime32 || occurrence < velqor::platform::kMinTime32) {
      return 0;
    }
    if (handheld.IsException(static_cast<int32_t>(occurrence)) == 0) {
      if (DesktopTable->AppendDuplicateRecord(handheld, desktop, 1) != 0) return kDbkCopyFailed;
      desktop.SetStatus(kStatusAdded);
      desktop.SetStartTime(static_cast<int32_t>(occurrence));
      try {
        generated->push_back(desktop.GetRow());
      } catch (...) {
        // Without the list a host occurrence equal to this one is kept twice at worst.
      }
    }
    // One occurrence per day: the search goes on from the next local midnight.
    cursor = velqor::platform::AddLocalDays(day, 1);
    if (cursor > velqor::platform::kMaxTime32 || cursor <= day) return 0;
  }
}

namespace {

// Whether two rows would say the same in an exchange file, apart from the handheld ID, the
// host number and the status: the handheld's own occurrence and the host's copy of it differ
// in fields the file does not carry (the rule, for one).
bool SameForHost(const CVuzurRecord& a, const CVuzurRecord& b) {
  velqor::hostfile::ExchangeRecord x;
  velqor::hostfile::ExchangeRecord y;
  if (a.GetExchangeFields(&x) != 0 || b.GetExchangeFields(&y) != 0) return false;
  x.recordId = y.recordId;
  x.hostNumber = y.hostNumber;
  x.status = y.status;
  std::string left;
  std::string right;
  return velqor::hostfile::FormatExchangeRecord(x, &left) &&
         velqor::hostfile::FormatExchangeRecord(y, &right) && left == right;
}

}  // namespace

void CVuzurMonitor::KeepHostOccurrences(SeriesEntry& entry, const std::vector<CRow*>* generated) {
  if (DesktopTable == nullptr || entry.Table == nullptr) return;
  CVuzurRecord occurrence(*entry.Table, 0);
  CVuzurRecord written(*DesktopTable, 0);
  for (CRow* row : entry.HostOccurrences) {
    occurrence.Bind(row);
    bool known = false;
    for (size_t i = 0; generated != nullptr && i < generated->size() && !known; ++i) {
      written.Bind((*generated)[i]);
      known = SameForHost(written, occurrence);
    }
    if (known) continue;
    occurrence.StopRepeatingEvt();
    CVuzurRecord copy(*DesktopTable, 0);
    if (DesktopTable->AppendDuplicateRecord(occurrence, copy, 1) == 0) {
      copy.SetRecordId(0);
      copy.SetStatus(kStatusAdded);
    }
  }
  entry.HostOccurrences.clear();
}

void CVuzurMonitor::KeepUnknownSeries(SeriesEntry& entry) {
  if (DesktopTable == nullptr || entry.Table == nullptr) return;
  if (FindBackupSeries(entry.RecordId) >= 0) {
    // Ours, and gone from the handheld: the occurrences go from the host too, apart from what
    // the host moved or added since.
    KeepHostOccurrences(entry, nullptr);
    return;
  }
  entry.HostOccurrences.clear();
  CBaseIterator walk(*entry.Table);
  walk.UnSort();
  CVuzurRecord occurrence(*entry.Table, 0);
  for (long found = walk.FindFirst(occurrence); found == 0; found = walk.FindNext(occurrence)) {
    try {
      entry.HostOccurrences.push_back(occurrence.GetRow());
    } catch (...) {
      break;
    }
  }
  KeepHostOccurrences(entry, nullptr);
}

void CVuzurMonitor::ReplaceSingleRows(CVuzurRecord& handheld, CVuzurRecord& change) {
  if (DesktopTable == nullptr) return;
  RecordId id = 0;
  handheld.GetRecordId(id);
  if (id == 0) return;
  CBaseIterator walk(*DesktopTable);
  CVuzurRecord row(*DesktopTable, 0);
  const bool sorted = DesktopTable->GetRecordCount() > 0 && walk.SortByRecordId() == 0;
  for (long found = sorted ? walk.FindByRecordId(id, row) : kTblEndOfTable; found == 0;
       found = walk.FindNext(row)) {
    RecordId rowId = 0;
    row.GetRecordId(rowId);
    if (rowId != id) break;
    // The host's copy of the event as it was last synchronized; a pending row the backup did
    // not know is the host's own and is added to the handheld as an event of its own.
    int32_t status = 0;
    row.GetStatus(status);
    if (row.IsRepeatingEvt() == 0 && status == kStatusNone) row.SetStatus(kStatusDeleted);
  }

  if (ChangeTable == nullptr || ChangeTable->GetRecordCount() == 0 || handheld.IsModified() == 0) {
    return;
  }
  CBaseIterator changeWalk(*ChangeTable);
  if (changeWalk.SortByRecordId() != 0 || changeWalk.FindByRecordId(id, change) != 0) return;
  if (change.IsDeleted() != 0) {
    // The host deleted the single event the handheld has since made a repeating one: the
    // handheld's change wins, as for any event.
    change.SetStatus(kStatusNone);
    LogModifiedAndDeleted(handheld);
  } else if (change.IsModified() != 0) {
    // Both changed it: the host's version lives on as an event of its own beside the series.
    CVuzurRecord copy(*DesktopTable, 0);
    if (DesktopTable->AppendDuplicateRecord(change, copy, 1) == 0) {
      copy.SetRecordId(0);
      copy.SetStatus(kStatusAdded);
      LogDoubleModify(copy);
    }
    change.SetStatus(kStatusNone);
  }
}

bool CVuzurMonitor::BackupSeriesInWindow(uint32_t recordId) const {
  const int32_t position = FindBackupSeries(recordId);
  if (position < 0) return false;
  CVuzurTable& table = *BackupSeries[static_cast<size_t>(position)].Table;
  CBaseIterator walk(table);
  CVuzurRecord row(table, 0);
  for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row)) {
    const int32_t day = StartDay(row);
    if (day >= WindowStart && day <= WindowEnd) return true;
  }
  return false;
}
