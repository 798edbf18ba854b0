#include "tools/sync_report.h"

#include <map>

#include "hostfile/vuzur_table.h"
#include "tools/datebook_db.h"

namespace velqor::tools {
namespace {

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find_first_of("\r\n"));
  if (line.size() > 40) line = line.substr(0, 40) + "...";
  return line;
}

std::string Describe(int32_t start, int32_t end, bool untimed, const std::string& description) {
  std::string s = FormatDate(start) + " ";
  s += untimed ? std::string("untimed    ") : FormatClock(start) + "-" + FormatClock(end);
  return s + "  " + FirstLine(description);
}

uint8_t Visible(uint8_t attributes) {
  return static_cast<uint8_t>(attributes & ~kAttrDirty);
}

}  // namespace

const char* ChangeKindName(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kAdded:
      return "added";
    case ChangeKind::kModified:
      return "modified";
    case ChangeKind::kDeleted:
      return "deleted";
    case ChangeKind::kArchived:
      return "archived";
    case ChangeKind::kPurged:
      return "purged";
  }
  return "?";
}

std::string DescribeHandheldRecord(const platform::HandheldRecord& record) {
  Appointment a;
  std::string error;
  if (!DecodeAppointment(record, &a, &error)) return "(" + error + ")";
  return Describe(a.start, a.end, a.untimed, a.description);
}

std::vector<RecordChange> DiffHandheld(const platform::HandheldDatabase* before,
                                       const platform::HandheldDatabase* after) {
  std::vector<RecordChange> out;
  std::map<uint32_t, const platform::HandheldRecord*> old;
  if (before) {
    for (const auto& r : before->records) old[r.id] = &r;
  }
  std::map<uint32_t, const platform::HandheldRecord*> now;
  if (after) {
    for (const auto& r : after->records) now[r.id] = &r;
  }
  if (after) {
    for (const auto& r : after->records) {
      auto it = old.find(r.id);
      const bool deletedNow = (r.attributes & kAttrDeleted) != 0;
      if (it == old.end()) {
        if (!deletedNow) out.push_back({ChangeKind::kAdded, r.id, DescribeHandheldRecord(r)});
        continue;
      }
      const platform::HandheldRecord& o = *it->second;
      const bool deletedBefore = (o.attributes & kAttrDeleted) != 0;
      if (deletedBefore) continue;
      if (deletedNow) {
        out.push_back({ChangeKind::kDeleted, r.id, DescribeHandheldRecord(o)});
      } else if (o.data != r.data || o.category != r.category ||
                 Visible(o.attributes) != Visible(r.attributes)) {
        out.push_back({ChangeKind::kModified, r.id, DescribeHandheldRecord(r)});
      }
    }
  }
  if (before) {
    for (const auto& o : before->records) {
      if (now.count(o.id)) continue;
      ChangeKind kind = ChangeKind::kDeleted;
      if (o.attributes & kAttrDeleted) {
        kind = (o.attributes & kAttrArchive) ? ChangeKind::kArchived : ChangeKind::kPurged;
      }
      out.push_back(
          {kind, o.id, o.data.empty() ? std::string("(no data)") : DescribeHandheldRecord(o)});
    }
  }
  return out;
}

HostReport SummarizeUpdate(CVuzurTable& update) {
  struct Row {
    int32_t status;
    RecordId id;
    bool repeating;
    std::string key;  // everything the host keeps of the event
    std::string what;
    bool cancelled = false;
  };
  std::vector<Row> rows;
  CVuzurRecord rec(update, 0);
  CBaseIterator it(update);
  for (long s = it.FindFirst(rec); s == kTblOk; s = it.FindNext(rec)) {
    velqor::hostfile::ExchangeRecord f;
    if (rec.GetExchangeFields(&f) != 0) continue;
    Row row;
    row.status = f.status;
    row.id = f.recordId.value_or(0);
    row.repeating = f.repeating;
    row.key =
        std::to_string(row.id) + "|" + std::to_string(f.startTime) + "|" +
        std::to_string(f.endTime) + "|" + (f.untimed ? "u" : "t") + "|" +
        (f.alarmSet ? std::to_string(f.alarmAdvance) + "/" + std::to_string(f.alarmUnit.value_or(0))
                    : "-") +
        "|" + (f.isPrivate ? "p" : "") + "|" + f.description + "|" + f.note;
    row.what = Describe(f.startTime, f.endTime, f.untimed, f.description);
    rows.push_back(std::move(row));
  }
  HostReport report;
  // Pair each deleted occurrence with an identical added one.
  for (auto& del : rows) {
    if (del.status != kStatusDeleted || !del.repeating || del.cancelled) continue;
    for (auto& add : rows) {
      if (add.status == kStatusAdded && add.repeating && !add.cancelled && add.key == del.key) {
        add.cancelled = del.cancelled = true;
        ++report.rewrittenOccurrences;
        break;
      }
    }
  }
  for (const auto& row : rows) {
    if (row.cancelled) continue;
    ChangeKind kind;
    if (row.status == kStatusAdded) {
      kind = ChangeKind::kAdded;
    } else if (row.status == kStatusModified) {
      kind = ChangeKind::kModified;
    } else if (row.status == kStatusDeleted) {
      kind = ChangeKind::kDeleted;
    } else {
      continue;
    }
    report.changes.push_back({kind, row.id, row.what});
  }
  return report;
}

ChangeCounts Count(const std::vector<RecordChange>& changes) {
  ChangeCounts c;
  for (const auto& ch : changes) {
    switch (ch.kind) {
      case ChangeKind::kAdded:
        ++c.added;
        break;
      case ChangeKind::kModified:
        ++c.modified;
        break;
      case ChangeKind::kDeleted:
        ++c.deleted;
        break;
      case ChangeKind::kArchived:
        ++c.archived;
        break;
      case ChangeKind::kPurged:
        ++c.purged;
        break;
    }
  }
  return c;
}

}  // namespace velqor::tools
