// The Date Book monitor's object, its series lists, and its tables and files: opening (or
// creating) the handheld database, loading the desktop data file and the backup, and writing
// single records to the handheld or into a table.
#include "datebook/datebook_monitor.h"

#include <cstring>
#include <new>

#include "convert/datebook_converter.h"
#include "engine/log_codes.h"
#include "platform/handles.h"
#include "platform/sync_manager.h"
#include "shell/backup_name.h"

namespace {

// A table, or null when it cannot be made: a failed allocation is a status, never an escape.
template <typename Table>
Table* NewTable() {
  try {
    return new Table();
  } catch (...) {
    return nullptr;
  }
}

template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace

CVuzurMonitor::CVuzurMonitor(void* caller, const ConduitProperties& properties,
                             velqor::platform::ModuleHandle module)
    : CSyncMonitor(caller, properties, module) {
  DbCount = 1;
  DbIndex = 0;
  try {
    Converter = new CDateBkConverter();
  } catch (...) {
    Converter = nullptr;  // every step that needs it reports its failure
  }
}

CVuzurMonitor::~CVuzurMonitor() {
  LastBackupSeriesTable = nullptr;
  BackupSeries.clear();
  LastDesktopSeriesTable = nullptr;
  DesktopSeries.clear();
}

std::string CVuzurMonitor::DesktopFilePath() const {
  return FieldText(Properties.directory) + FieldText(Properties.localFileName);
}

std::string CVuzurMonitor::UndeliveredMarkPath() const {
  return velqor::shell::UndeliveredMarkPath(FieldText(Properties.directory),
                                            FieldText(Properties.localFileName));
}

std::string CVuzurMonitor::BackupFilePath() const {
  return velqor::shell::BackupFilePath(FieldText(Properties.directory),
                                       FieldText(Properties.localFileName));
}

// Series lists.

int32_t CVuzurMonitor::FindSeries(const std::vector<SeriesEntry>& list, uint32_t recordId) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].RecordId == recordId) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t CVuzurMonitor::FindDesktopSeries(uint32_t recordId) const {
  return FindSeries(DesktopSeries, recordId);
}

int32_t CVuzurMonitor::FindBackupSeries(uint32_t recordId) const {
  return FindSeries(BackupSeries, recordId);
}

void CVuzurMonitor::RemoveDesktopSeries(size_t position) {
  if (position >= DesktopSeries.size()) return;
  // The cache may name the entry that goes; it is cleared rather than left dangling.
  LastDesktopSeriesTable = nullptr;
  LastDesktopSeriesId = 0;
  DesktopSeries.erase(DesktopSeries.begin() + static_cast<std::ptrdiff_t>(position));
}

void CVuzurMonitor::RemoveBackupSeries(size_t position) {
  if (position >= BackupSeries.size()) return;
  LastBackupSeriesTable = nullptr;
  LastBackupSeriesId = 0;
  BackupSeries.erase(BackupSeries.begin() + static_cast<std::ptrdiff_t>(position));
}

// The handheld database.

int32_t CVuzurMonitor::OpenPilotDB() {
  constexpr int32_t kNameSlots = sizeof(Properties.databaseNames) / sizeof(uint32_t);
  const char* name = nullptr;
  if (DbIndex >= 0 && DbIndex < kNameSlots) {
    name = velqor::platform::ResolveAs<const char>(Properties.databaseNames[DbIndex]);
  }
  if (name == nullptr) name = "";
  DatabaseCreateInfo info;
  std::memset(&info, 0, sizeof info);
  // Measured no further than the create record's name field holds.
  const size_t length = strnlen(name, sizeof info.name);

  int32_t status = HhOpenDatabase(name, 0, &DbHandle, kOpenModeReadWrite);
  if (status == kSyncErrNotFound) {
    // A name that does not fit the create record, with its NUL, is not created under a cut
    // name: the open's status stands.
    if (length == 0 || length >= sizeof info.name) return status;
    info.creator = Properties.creator;
    info.creationByte = Properties.creationByte;
    std::memcpy(info.name, name, length);
    info.creationValue = Properties.creationValue;
    status = HhCreateDatabase(&info);
    if (status != 0) return status;
    DbHandle = info.dbHandle;
  } else if (status != 0) {
    return status;
  }

  delete ChangeTable;
  ChangeTable = NewTable<CVuzurTable>();
  if (ChangeTable == nullptr) {
    HhCloseDatabase(DbHandle);
    return kDbkNoChangeTable;
  }
  return 0;
}

// The desktop tables.

int32_t CVuzurMonitor::OpenDesktopTables() {
  int32_t status = kDbkNoDesktopTable;
  delete DesktopTable;
  CVuzurTable* desktop = NewTable<CVuzurTable>();
  DesktopTable = desktop;
  if (desktop != nullptr) {
    status = 0;
    const long loaded = desktop->LoadFrom(DesktopFilePath(), 0);
    if (loaded != 0 && loaded != kTblFileMissing) status = kDbkNoDesktopTable;
  }
  if (status != 0) return status;
  delete ArchiveTable;
  ArchiveTable = NewTable<CDateBkTable>();
  if (ArchiveTable == nullptr) return kDbkNoDesktopTable;
  std::strcpy(ArchiveExtension, ".DBA");

  if (Properties.syncType != kSyncTypeFast && Properties.syncType != kSyncTypeSlow) {
    // No change detection runs, yet the sync mode writes every occurrence of the handheld's
    // repeating events again: the extract's occurrence rows go, or the host would get each
    // occurrence twice.
    CBaseIterator iterator(*desktop);
    CVuzurRecord row(*desktop, 0);
    for (long found = iterator.FindFirst(row); found == 0; found = iterator.FindNext(row)) {
      if (row.IsRepeatingEvt()) row.SetStatus(kStatusDeleted);
    }
    return status;
  }

  delete BackupTable;
  CVuzurTable* backup = NewTable<CVuzurTable>();
  BackupTable = backup;
  if (backup == nullptr) return kDbkNoDesktopTable;
  const long loaded = backup->LoadFrom(BackupFilePath(), 0);
  if (loaded != 0 && loaded != kTblFileMissing) status = kDbkBackupUnreadable;
  DetectDesktopChanges();
  backup->PurgeAllRecords();
  return status;
}

// Single records.

int32_t CVuzurMonitor::CopyRecordToTable(CBaseRecord& record, CBaseTable* table) {
  if (table == nullptr) return kDbkCopyFailed;
  CDateBkRecord copy(*table, 0);
  return table->AppendDuplicateRecord(record, copy, 1) != 0 ? kDbkCopyFailed : 0;
}

int32_t CVuzurMonitor::WriteRecordToPilot(CBaseRecord& record, uint32_t recordId,
                                          int32_t noBufferStatus, uint32_t* writtenId) {
  RawRecord raw;
  std::memset(&raw, 0, sizeof raw);
  raw.dbHandle = DbHandle;
  raw.recordId = recordId;
  if (AllocRecordBuffer(raw, kRawRecordBufferSize) != 0) return noBufferStatus;
  int32_t status = kDbkToRawFailed;
  if (Converter != nullptr && Converter->RecordToRaw(record, raw) == 0) {
    status = HhWriteRecord(&raw);
    if (status == 0 && writtenId != nullptr) *writtenId = raw.recordId;
  }
  FreeRecordBuffer(raw);
  return status;
}

int32_t CVuzurMonitor::AddPilotRecord(CBaseRecord& record) {
  uint32_t written = 0;
  const int32_t status = WriteRecordToPilot(record, 0, kDbkNoAddBuffer, &written);
  if (status == 0) record.SetRecordId(written);
  return status;
}

int32_t CVuzurMonitor::ModifyPilotRecord(CBaseRecord& record) {
  RecordId id = 0;
  record.GetRecordId(id);
  return WriteRecordToPilot(record, id, kDbkNoModifyBuffer, nullptr);
}

int32_t CVuzurMonitor::CreateArchiveTable(CBaseTable** table) {
  if (table == nullptr) return -1;
  *table = NewTable<CDateBkTable>();
  return *table != nullptr ? 0 : -1;
}

int32_t CVuzurMonitor::GetDisplayName(char* buffer, uint16_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const int32_t copied = LoadStringA(Module, kStrDisplayName, buffer, size);
  return copied > 0 ? copied : 0;
}
