// What the desktop data file will hold, settled before anything is written to the handheld. The
// file counts its records in four digits; a run that wrote to the handheld and then could not
// save would leave the handheld ahead of both files, and the next run would write the same
// records again.
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "datebook/datebook_monitor.h"
#include "engine/log_codes.h"
#include "hostfile/exchange_format.h"
#include "platform/hotsync_log.h"

namespace {

// The line the host would be sent for the row, whatever its status and host number.
bool HostLine(const CVuzurRecord& row, std::string* line) {
  velqor::hostfile::ExchangeRecord fields;
  if (row.GetExchangeFields(&fields) != 0) return false;
  fields.status = kStatusNone;
  fields.hostNumber.reset();
  return velqor::hostfile::FormatExchangeRecord(fields, line);
}

int32_t StatusOf(const CVuzurRecord& row) {
  int32_t status = kStatusNone;
  row.GetStatus(status);
  return status;
}

}  // namespace

void CVuzurMonitor::KeepUnchangedOccurrences() {
  using Key = std::tuple<RecordId, int32_t, std::string>;
  enum Role : uint8_t { kOther, kDeleted, kKept, kDropped };
  std::vector<Role> roles;
  std::map<Key, std::vector<size_t>> deletedOccurrences;

  CBaseIterator walk(*DesktopTable);
  walk.UnSort();  // append order, so that the walk's count is the row position
  CVuzurRecord row(*DesktopTable, 0);
  auto keyOf = [&](Key* key) {
    RecordId id = 0;
    row.GetRecordId(id);
    int32_t start = 0;
    row.GetStartTime(start);
    std::string line;
    if (id == 0 || !HostLine(row, &line)) return false;
    *key = Key(id, start, std::move(line));
    return true;
  };

  for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row)) {
    const int32_t status = StatusOf(row);
    roles.push_back(status == kStatusDeleted ? kDeleted : kOther);
    Key key;
    if (status == kStatusDeleted && row.IsRepeatingEvt() != 0 && keyOf(&key)) {
      deletedOccurrences[key].push_back(roles.size() - 1);
    }
  }
  // An occurrence written again exactly as the host has it: the host keeps its row instead of
  // deleting it and adding the same one back.
  size_t position = 0;
  size_t dropped = 0;
  for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row), ++position) {
    Key key;
    if (StatusOf(row) != kStatusAdded || row.IsRepeatingEvt() == 0 || !keyOf(&key)) continue;
    auto match = deletedOccurrences.find(key);
    if (match == deletedOccurrences.end() || match->second.empty()) continue;
    roles[match->second.back()] = kKept;
    match->second.pop_back();
    roles[position] = kDropped;
    ++dropped;
  }
  if (dropped == 0) return;

  // The table drops only rows marked deleted: the deletions that stay step aside meanwhile.
  position = 0;
  for (long found = walk.FindFirst(row); found == 0; found = walk.FindNext(row), ++position) {
    row.SetStatus(roles[position] == kDropped ? kStatusDeleted
                  : roles[position] == kOther ? StatusOf(row)
                                              : kStatusNone);
  }
  DesktopTable->PurgeDeletedRecords();
  std::vector<bool> stillDeleted;
  for (Role role : roles) {
    if (role != kDropped) stillDeleted.push_back(role == kDeleted);
  }
  position = 0;
  for (long found = walk.FindFirst(row); found == 0 && position < stillDeleted.size();
       found = walk.FindNext(row), ++position) {
    if (stillDeleted[position]) row.SetStatus(kStatusDeleted);
  }
}

int32_t CVuzurMonitor::CheckDesktopFileSize() {
  if (DesktopTable == nullptr) return kDbkNoDesktopTable;
  if (DesktopTable->GetRecordCount() <= velqor::hostfile::kMaxFieldValue) return 0;
  KeepUnchangedOccurrences();
  const long count = DesktopTable->GetRecordCount();
  if (count <= velqor::hostfile::kMaxFieldValue) return 0;
  WriteLogHeader();
  LogWrite(LoadText(kStrDesktopNotSaved).c_str(), kActDesktopNotSaved, 0);
  const std::string line = "     It would hold " + std::to_string(count) +
                           " records, more than the " +
                           std::to_string(velqor::hostfile::kMaxFieldValue) +
                           " it can. Nothing was changed; synchronize fewer days.";
  LogWrite(line.c_str(), velqor::platform::kLogContinuation, 0);
  return kDbkTooManyRecords;
}
