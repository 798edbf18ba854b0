// The run of one synchronization, framed in the HotSync log, and the one-line description of a
// record that the log messages carry.
#include <cstdio>
#include <cstring>
#include <string>

#include "datebook/datebook_monitor.h"
#include "engine/log_codes.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/hotsync_log.h"
#include "platform/sync_manager.h"

namespace {

int32_t ProblemLines() {
  return LogEntryCount() & 0xFFFF;
}

}  // namespace

int32_t CVuzurMonitor::Run() {
  uint32_t conduit = 0;
  const int32_t registered = HhRegisterConduit(&conduit);
  if (registered != 0) return registered;
  const int32_t problemsBefore = ProblemLines();
  WriteRunStartLine();
  std::memset(&CategoryBlock, 0, sizeof CategoryBlock);

  int32_t activity = velqor::platform::kLogRunClean;
  int32_t status = 0;
  // Set once the connection is known to be gone: the handheld is then left alone, apart from
  // closing the database.
  bool connectionLost = false;

  for (; DbIndex < DbCount; ++DbIndex) {
    if (status != 0) {
      activity = velqor::platform::kLogRunProblems;
      break;
    }
    ReadIncomplete = false;
    status = OpenPilotDB();
    // A database OpenPilotDB could not open, or closed again itself, is not closed here.
    const bool opened = status == 0;
    if (status == 0) status = OpenDesktopTables();
    if (status == 0) {
      PrepareFirstSync();
      status = ReadPilotCategories();
    }
    if (status == 0) {
      if (Converter != nullptr) {
        Converter->PrepareSync(CategoryBlock, DesktopTable, Properties.syncType,
                               Properties.firstSyncIndicator);
      }
      status = SyncCategories();
    }

    const std::string desktopPath = DesktopFilePath();
    const std::string backupPath = BackupFilePath();
    bool fromSyncMode = false;
    if (status == 0) {
      fromSyncMode = true;
      if (!velqor::platform::GetFileSystem().Exists(backupPath)) {
        status = SlowSync();
      } else if (Properties.syncType == kSyncTypeFast) {
        status = FastSync();
      } else if (Properties.syncType == kSyncTypeSlow ||
                 Properties.syncType == kSyncTypeHandheldOverwrites ||
                 Properties.syncType == kSyncTypeDesktopOverwrites) {
        status = SlowSync();
      }
    }
    if (IsCommsError(status) != 0) connectionLost = true;

    // A non-fatal status of the sync mode still lets the result be kept; one from the
    // preparation does not (there may be no table to save), nor does a read that ended early.
    const bool save =
        status == 0 || (fromSyncMode && IsNonFatalError(status) != 0 && !ReadIncomplete);
    if (save && DesktopTable != nullptr) {
      if (SaveArchives() != 0) LogNotArchived();
      // Marked first: a run cut off after the save hands this result to the host next time,
      // instead of extracting over it.
      status = velqor::platform::GetFileSystem().WriteAtomically(UndeliveredMarkPath(), "")
                   ? static_cast<int32_t>(DesktopTable->SaveTo(desktopPath))
                   : static_cast<int32_t>(kCauseDiskFull);
      if (status != 0) {
        LogDesktopNotSaved();
        activity = velqor::platform::kLogRunProblems;
      } else {
        // The backup is written before the handheld's flags are cleared: a run cut off in
        // between reads the handheld's changes again, which is harmless, instead of losing
        // them.
        DesktopTable->PurgeDeletedRecords();
        KeepUndeliveredOwed();
        status = static_cast<int32_t>(DesktopTable->SaveTo(backupPath));
        if (status != 0) {
          LogDesktopNotSaved();
          activity = velqor::platform::kLogRunProblems;
        } else {
          const int32_t purged = HhPurgeDeleted(DbHandle);
          if (purged != 0) {
            LogPurgeFailed();
            activity = velqor::platform::kLogRunProblems;
            if (IsCommsError(purged) != 0) {
              connectionLost = true;
              status = purged;
            }
          }
          const int32_t reset = connectionLost ? purged : HhResetSyncFlags(DbHandle);
          if (reset != 0) {
            activity = velqor::platform::kLogRunProblems;
            if (IsCommsError(reset) != 0) connectionLost = true;
          }
        }
      }
    } else if (save) {
      status = kDbkNoDesktopTable;
    }

    if (opened) HhCloseDatabase(DbHandle);
  }
  if (status != 0) activity = velqor::platform::kLogRunProblems;
  // Whatever the run had to report makes it a run with problems.
  if (ProblemLines() != problemsBefore) activity = velqor::platform::kLogRunProblems;

  WriteRunEndLine(activity);
  if (IsCommsError(status) == 0 && !connectionLost) HhUnregisterConduit(conduit);
  return status;
}

void CVuzurMonitor::DescribeRecord(CBaseRecord& record, char* buffer) {
  if (buffer == nullptr) return;
  constexpr size_t kSize = kLogTextSize;
  std::string description;
  int32_t start = 0;
  bool untimed = false;
  if (auto* event = dynamic_cast<CDateBkRecord*>(&record)) {
    event->GetDescription(description);
    event->GetStartTime(start);
    untimed = event->IsUnTimed() != 0;
  }
  std::string text = "       " + description.substr(0, 40) + ", ";

  velqor::platform::LocalTime local{};
  velqor::platform::BreakDownLocal(start, &local);
  long hour = local.hour;
  std::string suffix;
  if (hour > 12) {
    hour -= 12;
    suffix = LoadText(kStrPm);
  } else {
    suffix = LoadText(kStrAm);
  }
  suffix = suffix.substr(0, 2);

  char part[64] = {};
  std::snprintf(part, sizeof part, "%.1ld/%.1ld/%.4ld, ", static_cast<long>(local.month),
                static_cast<long>(local.day), static_cast<long>(local.year));
  text += part;
  if (untimed) {
    text += LoadText(kStrUntimed).substr(0, 19);
  } else {
    std::snprintf(part, sizeof part, "%.1ld:%.2ld%s", hour, static_cast<long>(local.minute),
                  suffix.c_str());
    text += part;
  }
  const size_t length = text.size() < kSize - 1 ? text.size() : kSize - 1;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}
