#include "tools/sync_report.h"

#include <gtest/gtest.h>

#include "hostfile/vuzur_table.h"
#include "tools/datebook_db.h"

namespace velqor::tools {
namespace {

platform::HandheldRecord Rec(uint32_t id, uint8_t attributes, std::vector<uint8_t> data,
                             uint8_t category = 0) {
  platform::HandheldRecord r;
  r.id = id;
  r.attributes = attributes;
  r.category = category;
  r.data = std::move(data);
  return r;
}

TEST(SyncReportTest, HandheldChangesAreTakenRecordByRecord) {
  platform::HandheldDatabase before, after;
  before.records = {Rec(1, 0, {1}),                            // unchanged
                    Rec(2, kAttrDirty, {2}),                   // only its dirty mark cleared
                    Rec(3, 0, {3}),                            // new data
                    Rec(4, 0, {4}, 1),                         // other category
                    Rec(5, 0, {5}),                            // gone
                    Rec(6, 0, {6}),                            // marked deleted
                    Rec(7, kAttrDeleted | kAttrArchive, {7}),  // archived and purged
                    Rec(8, kAttrDeleted, {}),                  // purged
                    Rec(9, 0, {9})};                           // made private
  after.records = {Rec(1, 0, {1}),
                   Rec(2, 0, {2}),
                   Rec(3, 0, {33}),
                   Rec(4, 0, {4}, 2),
                   Rec(6, kAttrDeleted, {}),
                   Rec(9, kAttrPrivate, {9}),
                   Rec(10, kAttrDirty, {10}),
                   Rec(11, kAttrDeleted, {})};
  const auto changes = DiffHandheld(&before, &after);
  std::map<uint32_t, ChangeKind> got;
  for (const auto& c : changes) got[c.id] = c.kind;
  const std::map<uint32_t, ChangeKind> expected = {
      {3, ChangeKind::kModified}, {4, ChangeKind::kModified}, {5, ChangeKind::kDeleted},
      {6, ChangeKind::kDeleted},  {7, ChangeKind::kArchived}, {8, ChangeKind::kPurged},
      {9, ChangeKind::kModified}, {10, ChangeKind::kAdded}};
  EXPECT_EQ(got, expected);
  const ChangeCounts counts = Count(changes);
  EXPECT_EQ(counts.added, 1);
  EXPECT_EQ(counts.modified, 3);
  EXPECT_EQ(counts.deleted, 2);
  EXPECT_EQ(counts.archived, 1);
  EXPECT_EQ(counts.purged, 1);

  // A database that did not exist before: all its live records are new.
  EXPECT_EQ(Count(DiffHandheld(nullptr, &after)).added, 6);
}

TEST(SyncReportTest, OccurrencesRewrittenUnchangedAreNoHostChange) {
  CVuzurTable update;
  CVuzurRecord rec(update, 0);
  auto add = [&](RecordId id, int32_t host, int32_t start, int32_t status, bool repeating,
                 const char* text) {
    ASSERT_EQ(update.AppendBlankRecord(rec), 0);
    velqor::hostfile::ExchangeRecord f;
    f.recordId = id;
    f.hostNumber = host;
    f.startTime = start;
    f.endTime = start + 900;
    f.status = status;
    f.repeating = repeating;
    f.hasText = true;
    f.description = text;
    ASSERT_EQ(rec.SetExchangeFields(f), 0);
  };
  const int32_t day = 1709596800;                                     // 2024-03-05 00:00 UTC
  add(7, 1, day + 28800, kStatusDeleted, true, "Standup");            // rewritten
  add(7, 2, day + 86400 + 28800, kStatusDeleted, true, "Standup");    // removed for good
  add(7, 0, day + 28800, kStatusAdded, true, "Standup");              // the same occurrence again
  add(7, 0, day + 2 * 86400 + 28800, kStatusAdded, true, "Standup");  // a new one
  add(9, 3, day + 3600, kStatusModified, false, "Lunch");
  add(0, 4, day + 7200, kStatusNone, false, "Untouched");
  add(12, 5, day + 7200, kStatusDeleted, false, "Gone");
  const HostReport report = SummarizeUpdate(update);
  EXPECT_EQ(report.rewrittenOccurrences, 1);
  const ChangeCounts c = Count(report.changes);
  EXPECT_EQ(c.added, 1);
  EXPECT_EQ(c.modified, 1);
  EXPECT_EQ(c.deleted, 2);
}

}  // namespace
}  // namespace velqor::tools
