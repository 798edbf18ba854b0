// What a synchronization changed: on the handheld, by comparing the Date Book before and after,
// and for the host, from the update file the conduit handed to the host driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory_handheld.h"

class CVuzurTable;

namespace velqor::tools {

enum class ChangeKind { kAdded, kModified, kDeleted, kArchived, kPurged };
const char* ChangeKindName(ChangeKind kind);

struct RecordChange {
  ChangeKind kind;
  uint32_t id;
  std::string what;  // date, time and description
};

// One line for an appointment record: "2024-03-05 09:30-10:15 Staff meeting".
std::string DescribeHandheldRecord(const platform::HandheldRecord& record);

// Handheld records by ID: new ones are added; live ones whose data, category or private mark
// changed are modified; live ones gone or now deleted are deleted; records the user had
// deleted that are gone are archived (archive mark) or purged. The dirty mark alone is no change.
std::vector<RecordChange> DiffHandheld(const platform::HandheldDatabase* before,
                                       const platform::HandheldDatabase* after);

struct HostReport {
  std::vector<RecordChange> changes;  // added, modified, deleted
  // Occurrences of repeating events that the conduit rewrites at every synchronization: an
  // occurrence deleted and the same one added again is no change for the host.
  int rewrittenOccurrences = 0;
};
HostReport SummarizeUpdate(CVuzurTable& update);

struct ChangeCounts {
  int added = 0, modified = 0, deleted = 0, archived = 0, purged = 0;
};
ChangeCounts Count(const std::vector<RecordChange>& changes);

}  // namespace velqor::tools
