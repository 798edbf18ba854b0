// The monitor's HotSync log messages. Every problem goes to the log, never to a dialog; the
// first problem of a synchronization is introduced by a header line naming the conduit.
#include <cstring>

#include "engine/log_codes.h"
#include "engine/sync_monitor.h"
#include "platform/hotsync_log.h"

using velqor::platform::kLogContinuation;
using velqor::platform::kLogRunStart;

std::string CSyncMonitor::LoadText(uint32_t id) const {
  char text[kLogTextSize] = {};
  LoadStringA(Module, id, text, kLogTextSize);
  return std::string(text, strnlen(text, sizeof text));
}

void CSyncMonitor::WriteLine(const std::string& text, int32_t activity) {
  LogWrite(text.c_str(), activity, 0);
}

void CSyncMonitor::WriteLogHeader() {
  if ((LogEntryCount() & 0xFFFF) != 0) return;  // an earlier problem brought the header
  char name[kLogTextSize] = {};
  GetDisplayName(name, kLogTextSize);
  name[kLogTextSize - 1] = '\0';  // whatever a derived monitor wrote, the text ends here
  WriteLine("-- " + std::string(name), kLogContinuation);
}

void CSyncMonitor::WriteDescription(CBaseRecord& record) {
  char text[kLogTextSize] = {};
  DescribeRecord(record, text);
  text[kLogTextSize - 1] = '\0';
  WriteLine(text, kLogContinuation);
}

void CSyncMonitor::LogAddFailed(CBaseRecord& record) {
  WriteLogHeader();
  WriteLine(LoadText(kStrAddFailed), kActAddFailed);
  WriteDescription(record);
  WriteLine(LoadText(kStrPilotFull), kLogContinuation);
}

void CSyncMonitor::LogPurgeFailed() {
  WriteLogHeader();
  WriteLine(LoadText(kStrPurgeFailed), kActPurgeFailed);
  WriteLine(LoadText(kStrCheckConnections), kLogContinuation);
}

void CSyncMonitor::LogDeleteFailed(CBaseRecord& record) {
  WriteLogHeader();
  WriteLine(LoadText(kStrDeleteFailed), kActDeleteFailed);
  WriteDescription(record);
  WriteLine(LoadText(kStrCheckConnections), kLogContinuation);
}

void CSyncMonitor::LogModifyFailed(CBaseRecord& record) {
  WriteLogHeader();
  WriteLine(LoadText(kStrModifyFailed), kActModifyFailed);
  WriteDescription(record);
  WriteLine(LoadText(kStrCheckConnections), kLogContinuation);
}

void CSyncMonitor::LogDesktopCopyFailed(CBaseRecord& record) {
  WriteLogHeader();
  WriteLine(LoadText(kStrDesktopCopyFailed), kActDesktopCopyFailed);
  WriteDescription(record);
}

void CSyncMonitor::LogCategoryMoveFailed(const std::string& name) {
  WriteLogHeader();
  WriteLine(LoadText(kStrMoveFailedHead) + name + LoadText(kStrMoveFailedTail),
            kActCategoryMoveFailed);
  WriteLine(LoadText(kStrCheckConnections), kLogContinuation);
}

void CSyncMonitor::LogReadFailed() {
  WriteLogHeader();
  WriteLine(LoadText(kStrReadFailed), kActReadFailed);
  WriteLine(LoadText(kStrCheckConnections), kLogContinuation);
}

void CSyncMonitor::LogTooManyCategories(const std::string& name) {
  WriteLogHeader();
  WriteLine(LoadText(kStrTooManyCategories) + " '" + name + "'", kActTooManyCategories);
  WriteLine(LoadText(kStrChangedToUnfiled), kLogContinuation);
}

void CSyncMonitor::LogCategoryDeleted(const std::string& name, const std::string& platformWord) {
  WriteLogHeader();
  WriteLine("   - " + platformWord + " " + LoadText(kStrCategoryWord) + " '" + name + "' " +
                LoadText(kStrHasBeenDeleted),
            kActCategoryDeleted);
  WriteLine(LoadText(kStrMovedToUnfiled), kLogContinuation);
}

void CSyncMonitor::LogDoubleModify(CBaseRecord& record) {
  WriteLogHeader();
  WriteLine(LoadText(kStrDoubleModify), kActDoubleModify);
  WriteDescription(record);
  WriteLine(LoadText(kStrDuplicated), kLogContinuation);
  WriteLine(LoadText(kStrNotArchivedAdvice), kLogContinuation);
}

void CSyncMonitor::LogModifiedAndDeleted(CBaseRecord& record) {
  WriteLogHeader();
  WriteLine(LoadText(kStrModifiedAndDeleted), kActModifiedAndDeleted);
  WriteLine(LoadText(kStrModifiedVersion), kLogContinuation);
  WriteDescription(record);
}

void CSyncMonitor::LogMovedTo1970(CBaseRecord& record) {
  WriteLogHeader();
  WriteLine(LoadText(kStrBefore1970), kActMovedTo1970);
  WriteLine(LoadText(kStrMovedTo1970), kLogContinuation);
  WriteDescription(record);
}

void CSyncMonitor::LogNotArchived() {
  WriteLogHeader();
  WriteLine(LoadText(kStrNotArchived), kActNotArchived);
  WriteLine(LoadText(kStrDesktopFull), kLogContinuation);
}

void CSyncMonitor::LogDesktopNotSaved() {
  WriteLogHeader();
  WriteLine(LoadText(kStrDesktopNotSaved), kActDesktopNotSaved);
  WriteLine(LoadText(kStrDesktopFull), kLogContinuation);
}

void CSyncMonitor::WriteRunStartLine() {
  WriteLine(std::string(), kLogRunStart);
}

void CSyncMonitor::WriteRunEndLine(int32_t activity) {
  char name[kRunNameSize] = {};
  GetDisplayName(name, kRunNameSize);
  name[kRunNameSize - 1] = '\0';
  WriteLine(name, activity);
}
