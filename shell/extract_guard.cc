#include "shell/extract_guard.h"

#include "hostfile/vuzur_table.h"
#include "platform/clock.h"

namespace velqor::shell {
namespace {

// The records of the table in the window; with `onHandheldOnly`, those with a handheld ID only.
long CountWindowRecords(CVuzurTable& table, int32_t windowStart, int32_t windowEnd,
                        bool onHandheldOnly) {
  long count = 0;
  CVuzurRecord record(table, 0);
  CBaseIterator walk(table);
  for (long found = walk.FindFirst(record); found == 0; found = walk.FindNext(record)) {
    int32_t start = 0;
    record.GetStartTime(start);
    RecordId id = 0;
    record.GetRecordId(id);
    if (onHandheldOnly && id == 0) continue;
    if (velqor::platform::InSyncWindow(start, record.IsRepeatingEvt() != 0, windowStart,
                                       windowEnd)) {
      ++count;
    }
  }
  return count;
}

}  // namespace

bool ExtractEmptiesWindow(const std::string& extractPath, const std::string& backupPath,
                          int32_t windowStart, int32_t windowEnd) {
  CVuzurTable extract;
  if (extract.LoadFrom(extractPath, 0) != 0) return false;
  if (CountWindowRecords(extract, windowStart, windowEnd, false) > 0) return false;
  CVuzurTable backup;
  if (backup.LoadFrom(backupPath, 0) != 0) return false;
  return CountWindowRecords(backup, windowStart, windowEnd, true) > 0;
}

}  // namespace velqor::shell
