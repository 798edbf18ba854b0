// The Date Book monitor: keeps the handheld's Date Book in step with the host calendar that the
// host driver extracts into the desktop data file. It opens (or creates) the handheld database,
// loads the extract and the backup of the previous synchronization, works out what the host
// changed, reconciles the handheld's records with the desktop within the synchronization
// window, sends the desktop's changes to the handheld and saves the result for the host.
//
// On the desktop a repeating event exists only as its occurrences inside the window, one row
// each, carrying the event's record ID; on the handheld it is one record with a repeat rule.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/sync_monitor.h"
#include "hostfile/vuzur_record.h"
#include "hostfile/vuzur_table.h"

// Status codes of the Date Book monitor.
inline constexpr int32_t kDbkNoChangeTable = 4100;     // change table or scratch record missing
inline constexpr int32_t kDbkNoDesktopTable = 4101;    // desktop or archive table not available
inline constexpr int32_t kDbkBackupUnreadable = 4102;  // the backup file exists but did not load
inline constexpr int32_t kDbkCopyFailed = 4103;        // a table refused the copy of a record
inline constexpr int32_t kDbkNoAddBuffer = 4104;       // no data buffer for adding a record
inline constexpr int32_t kDbkNoModifyBuffer = 4105;    // no data buffer for modifying a record
inline constexpr int32_t kDbkToRawFailed = 4111;       // desktop-to-handheld conversion failed
inline constexpr int32_t kDbkFromRawFailed = 4112;     // handheld-to-desktop conversion failed
inline constexpr int32_t kDbkTooManyRecords = 4113;    // the desktop data file cannot hold them

// The data buffer every handheld record passes through.
inline constexpr uint16_t kRawRecordBufferSize = 4480;
// Result of CompareStartDays.
inline constexpr int kSameDay = 0;
inline constexpr int kLaterDay = 1;
inline constexpr int kEarlierDay = 2;

// The occurrences of one repeating event, copied out of a table, and the days the host removed
// or changed, which become exceptions of the handheld event.
struct SeriesEntry {
  std::unique_ptr<CVuzurTable> Table;
  uint32_t RecordId = 0;
  std::vector<int32_t> ExceptionDates;  // local midnights, in the order found
  // Occurrences in `Table` on a day where the backup had none of this event: moved or added by
  // the host. Each becomes an event of its own unless the handheld event has it as it is.
  std::vector<CRow*> HostOccurrences;
};

class CVuzurMonitor : public CSyncMonitor {
 public:
  CVuzurMonitor(void* caller, const ConduitProperties& properties,
                velqor::platform::ModuleHandle module);
  ~CVuzurMonitor() override;

  // The synchronization window, set by the creator before StartSync: the local midnight of
  // the synchronization day and the local midnight NumDays days later, both included.
  void SetWindow(int32_t windowStart, int32_t windowEnd) {
    WindowStart = windowStart;
    WindowEnd = windowEnd;
  }
  int32_t GetWindowStart() const { return WindowStart; }
  int32_t GetWindowEnd() const { return WindowEnd; }

  // Replaced operations of the engine.
  int32_t OpenPilotDB() override;
  int32_t OpenDesktopTables() override;
  int32_t CopyRecordToTable(CBaseRecord& record, CBaseTable* table) override;
  int32_t AddPilotRecord(CBaseRecord& record) override;
  int32_t ModifyPilotRecord(CBaseRecord& record) override;
  int32_t FastSync() override;
  int32_t SlowSync() override;
  int32_t CreateArchiveTable(CBaseTable** table) override;
  int32_t Run() override;
  void DescribeRecord(CBaseRecord& record, char* buffer) override;
  int32_t GetDisplayName(char* buffer, uint16_t size) override;

  // Series lists: the position of the entry with the record ID, or -1.
  int32_t FindDesktopSeries(uint32_t recordId) const;
  int32_t FindBackupSeries(uint32_t recordId) const;

  // Change detection: compares the extract in the desktop table with the backup.
  int32_t DetectDesktopChanges();
  void AddToDesktopSeries(CVuzurRecord& record);
  void AddToBackupSeries(CVuzurRecord& record);
  int32_t CollectExceptionDates();
  // The local midnight that begins the day of the record's start.
  int32_t StartDay(const CDateBkRecord& record) const;
  // kEarlierDay when a starts on an earlier day than b, kLaterDay on a later one, else kSameDay.
  int CompareStartDays(const CDateBkRecord& a, const CDateBkRecord& b) const;

  // Reconciliation of one handheld single event with the desktop and the change table, and the
  // sending of the desktop's changes to the handheld. `desktop` is bound to the desktop table,
  // `change` to the change table.
  int32_t ReconcileRecord(CVuzurRecord& handheld, CVuzurRecord& desktop, CVuzurRecord& change);
  int32_t SendDateBookChanges(CVuzurRecord& change, CVuzurRecord& desktop);
  // Settles the desktop table for the desktop data file before anything is written to the
  // handheld. A table too large for the file first lets unchanged occurrences keep their host
  // rows (KeepUnchangedOccurrences); one still too large is logged and refused with
  // kDbkTooManyRecords.
  int32_t CheckDesktopFileSize();
  // Each occurrence row the host is told to delete and then to add back unchanged (same record
  // ID, start and content) stays as it is, and its new copy goes.
  void KeepUnchangedOccurrences();
  // Writes the occurrences of a handheld repeating event inside the window into the desktop
  // table, after applying the exception days the host asked for.
  int32_t SyncRepeatingEvent(CVuzurRecord& handheld, CVuzurRecord& desktop, CVuzurRecord& change);
  // Appends the event's occurrences inside the window to the desktop table; `generated`
  // receives their rows.
  int32_t WriteOccurrences(CVuzurRecord& handheld, CVuzurRecord& desktop,
                           std::vector<CRow*>* generated);

 protected:
  // The paths of the desktop data file and of its backup.
  std::string DesktopFilePath() const;
  std::string BackupFilePath() const;
  std::string UndeliveredMarkPath() const;
  void RemoveDesktopSeries(size_t position);
  void RemoveBackupSeries(size_t position);

  int32_t WindowStart = 0;
  int32_t WindowEnd = 0;
  std::vector<SeriesEntry> DesktopSeries;
  CVuzurTable* LastDesktopSeriesTable = nullptr;  // not owning
  uint32_t LastDesktopSeriesId = 0;
  std::vector<SeriesEntry> BackupSeries;
  CVuzurTable* LastBackupSeriesTable = nullptr;  // not owning
  uint32_t LastBackupSeriesId = 0;

  // Set by a sync mode whose reading of the handheld ended early: the run then neither saves
  // nor clears the handheld's modified flags over records it never read.
  bool ReadIncomplete = false;

  // Pending host events without a handheld ID, by start time, built at the first need in a
  // pass.
  std::multimap<int32_t, CRow*> PendingTwins;
  bool PendingTwinsBuilt = false;
  // The copies of handheld records that a conflict made, by the ID of the record they copy.
  std::multimap<RecordId, CRow*> ConflictCopies;
  // Host changes the handheld refused without ending the run: copies of the change records.
  CVuzurTable Undelivered;

 private:
  enum class PassKind { kFast, kSlow };
  int32_t SyncPass(PassKind kind);
  // Converts one raw record into `handheld` and sends it its way.
  int32_t SyncOneRecord(RawRecord& raw, CVuzurRecord& handheld, CVuzurRecord& desktop,
                        CVuzurRecord& change);
  // The converter's result for the raw record, converted into `handheld`.
  long ConvertRecord(RawRecord& raw, CVuzurRecord& handheld);
  // Sends a record converted with the given result its way.
  int32_t SyncConverted(long converted, CVuzurRecord& handheld, CVuzurRecord& desktop,
                        CVuzurRecord& change);
  // After the fast mode's phases: the unchanged handheld records the host has not had yet.
  // `extractSeries` holds, sorted, the record IDs of the repeating events the extract carried.
  int32_t SyncEnteringWindow(RawRecord& raw, CVuzurRecord& handheld, CVuzurRecord& desktop,
                             CVuzurRecord& change, const std::vector<uint32_t>& extractSeries);
  static int32_t FindSeries(const std::vector<SeriesEntry>& list, uint32_t recordId);
  // Whether the backup holds an occurrence of the repeating event inside today's window.
  bool BackupSeriesInWindow(uint32_t recordId) const;
  // Matches the backup's occurrences of one event with the extract's, by day.
  void CompareOccurrences(SeriesEntry& entry, SeriesEntry& previous);
  // The host occurrences of the entry that `generated` (rows the handheld event has just
  // written, null when there is no handheld event) does not account for become events of
  // their own, new to the handheld.
  void KeepHostOccurrences(SeriesEntry& entry, const std::vector<CRow*>* generated);
  // A series entry whose event is not on the handheld: occurrences the backup never had came
  // from the host, and stay there as single events that the handheld gets too.
  void KeepUnknownSeries(SeriesEntry& entry);
  // The single rows of the desktop table that carry `recordId`: a handheld event that became
  // repeating replaces them with its occurrences.
  void ReplaceSingleRows(CVuzurRecord& handheld, CVuzurRecord& change);
  // A host event without a handheld ID, new on the host, that is equal to the handheld record:
  // a run that failed before saving wrote it to the handheld already. Positions `desktop` on
  // it; false when there is none.
  bool FindPendingTwin(CVuzurRecord& handheld, CVuzurRecord& desktop);
  // Whether the desktop or the change table holds a record with the ID.
  bool KnownToDesktop(RecordId id);
  static void AddToSeries(std::vector<SeriesEntry>& list, CVuzurTable*& lastTable, uint32_t& lastId,
                          CVuzurRecord& record);
  // The exchange format carries no category, so a host version that overwrites a handheld
  // record takes the category that record is filed in; otherwise every host edit would move
  // the record to Unfiled.
  // False when the handheld has no live record with the record's ID.
  bool KeepPilotCategory(CBaseRecord& record);
  // Adds to the handheld the conflict copies made of the handheld record `id`, before the
  // host's version is written over it: a run that stops in between then loses neither.
  int32_t AddConflictCopies(RecordId id, CVuzurRecord& desktop);
  void NoteConflictCopy(RecordId id, CVuzurRecord& copy);
  // Whether the desktop holds, new from the handheld, a record equal to the conflict copy.
  bool FindEarlierCopy(CVuzurRecord& copy);
  // Notes a host change the handheld refused.
  void Owe(CVuzurRecord& change) {
    CVuzurRecord copy(Undelivered, 0);
    Undelivered.AppendDuplicateRecord(change, copy, 1);
  }
  // Marks the host changes the handheld did not take, so that the backup keeps them owed and
  // the next run sends them again.
  void KeepUndeliveredOwed();
  int32_t WriteRecordToPilot(CBaseRecord& record, uint32_t recordId, int32_t noBufferStatus,
                             uint32_t* writtenId);
};
