// Fixtures of the Date Book monitor's tests: events written down as plain values, tables and
// exchange files built from them, handheld records packed by the converter, and an environment
// with an in-memory handheld behind a fault-injecting link, an in-memory log, the conduit's
// string table, a pinned clock and time zone, and a scratch user directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "convert/datebook_converter.h"
#include "datebook/datebook_monitor.h"
#include "platform/clock.h"
#include "platform/fault_link.h"
#include "platform/handles.h"
#include "platform/hotsync_log.h"
#include "platform/memory_handheld.h"
#include "platform/testing/test_support.h"
#include "resources/conduit_strings.h"

namespace datebook_test {

inline constexpr char kDbName[] = "DatebookDB";

using velqor::test_support::Local;
using velqor::test_support::ScopedTimeZone;

inline std::string Show(int32_t t) {
  return velqor::platform::FormatLocal(t, "%Y-%m-%d %H:%M");
}

// One event row as the tests write it down.
struct Event {
  uint32_t id = 0;
  std::string text{};
  int32_t start = 0;
  int32_t end = 0;  // 0: one hour after the start
  int32_t status = kStatusNone;
  bool repeating = false;  // an occurrence row of a repeating event
  int32_t host = 0;        // host number
  bool untimed = false;
  int32_t alarm = 0;  // advance in minutes; 0 for no alarm
  std::string note{};
  bool archived = false;
  int32_t category = 0;
};

// What a test compares of a row.
struct Row {
  uint32_t id;
  std::string text;
  std::string start;
  int32_t status;
  bool repeating;
  int32_t host;
  bool operator==(const Row& other) const {
    return std::tie(id, text, start, status, repeating, host) ==
           std::tie(other.id, other.text, other.start, other.status, other.repeating, other.host);
  }
};

inline std::ostream& operator<<(std::ostream& out, const Row& row) {
  return out << "{" << std::hex << row.id << std::dec << " '" << row.text << "' " << row.start
             << " status " << row.status << (row.repeating ? " repeating" : "") << " host "
             << row.host << "}";
}

inline Row RowOf(const Event& e) {
  return Row{e.id, e.text, Show(e.start), e.status, e.repeating, e.host};
}

// Sets the row the record is on from the event.
inline void Fill(CVuzurRecord& record, const Event& e) {
  record.SetRecordId(e.id);
  record.SetStartTime(e.start);
  record.SetEndTime(e.untimed ? e.start : (e.end != 0 ? e.end : e.start + 3600));
  record.SetUnTimedFlag(e.untimed ? 1 : 0);
  record.SetStatus(e.status);
  record.SetDescription(e.text);
  record.SetNote(e.note);
  record.SetAlarmFlag(e.alarm > 0 ? 1 : 0);
  record.SetAlarmAdvTime(e.alarm);
  record.SetAlarmAdvUnit(0);
  record.SetHostNumber(e.host);
  record.SetArchiveBit(e.archived ? 1 : 0);
  record.SetCategoryId(e.category);
  if (e.repeating) {
    record.SetRepDaily(CDayName(1, 1, -1, 0));
  } else {
    record.StopRepeatingEvt();
  }
}

inline void Append(CBaseTable& table, const Event& e) {
  CVuzurRecord record(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(record), 0);
  Fill(record, e);
}

inline std::vector<Row> RowsOf(CBaseTable& table) {
  std::vector<Row> rows;
  CBaseIterator walk(table);
  CVuzurRecord record(table, 0);
  for (long found = walk.FindFirst(record); found == 0; found = walk.FindNext(record)) {
    Row row{};
    record.GetRecordId(row.id);
    record.GetDescription(row.text);
    int32_t start = 0;
    record.GetStartTime(start);
    row.start = Show(start);
    record.GetStatus(row.status);
    row.repeating = record.IsRepeatingEvt() != 0;
    record.GetHostNumber(row.host);
    rows.push_back(row);
  }
  return rows;
}

// Writes an exchange file holding the events.
inline void WriteExchangeFile(const std::string& path, const std::vector<Event>& events) {
  CVuzurTable table;
  for (const Event& e : events) Append(table, e);
  ASSERT_EQ(table.SaveTo(path), 0) << path;
}

inline std::vector<Row> ReadExchangeFile(const std::string& path) {
  CVuzurTable table;
  EXPECT_EQ(table.LoadFrom(path, 0), 0) << path;
  return RowsOf(table);
}

// A handheld record: an event, its repeat rule and exceptions, and its attribute bits.
struct Pilot {
  Event event{};
  std::optional<CRepeateDayInfo> rule{};  // daily, weekly, ... (as built by the rule classes)
  std::vector<int32_t> exceptions{};
  uint8_t attributes = 0;  // kAttrDirty, kAttrDeleted, kAttrArchive
};

inline bool SetRule(CDateBkRecord& record, const CRepeateDayInfo& rule) {
  switch (rule.GetMyBrand()) {
    case kRepeatDaily:
      return record.SetRepDaily(static_cast<const CDayName&>(rule)) == 0;
    case kRepeatWeekly:
      return record.SetRepWeekly(static_cast<const CWeekly&>(rule)) == 0;
    case kRepeatMonthlyByDay:
      return record.SetRepMonthlyByDay(static_cast<const CDayOfMonth&>(rule)) == 0;
    case kRepeatMonthlyByDate:
      return record.SetRepMonthlyByDate(static_cast<const CDateOfMonth&>(rule)) == 0;
    case kRepeatYearlyByDate:
      return record.SetRepYearlyByDate(static_cast<const CDateOfYear&>(rule)) == 0;
    default:
      return false;
  }
}

// Packs the record as the handheld keeps it.
inline velqor::platform::HandheldRecord Pack(const Pilot& p) {
  CVuzurTable table;
  CVuzurRecord record(table, 0);
  EXPECT_EQ(table.AppendBlankRecord(record), 0);
  Fill(record, p.event);
  if (p.rule) {
    EXPECT_TRUE(SetRule(record, *p.rule));
  }
  for (int32_t day : p.exceptions) record.AddException(day);
  record.SetStatus(kStatusNone);
  record.SetArchiveBit(0);

  std::vector<uint8_t> buffer(kRawRecordBufferSize);
  RawRecord raw{};
  raw.capacity = kRawRecordBufferSize;
  raw.buffer = velqor::platform::RegisterPointer(buffer.data());
  CDateBkConverter converter;
  EXPECT_EQ(converter.RecordToRaw(record, raw), 0);
  velqor::platform::ReleasePointer(raw.buffer);

  velqor::platform::HandheldRecord out;
  out.id = p.event.id;
  out.attributes = p.attributes;
  out.category = static_cast<uint8_t>(p.event.category);
  out.data.assign(buffer.begin(), buffer.begin() + raw.size);
  return out;
}

// A handheld record read back: its ID, attributes and content as an event with its rule.
struct Unpacked {
  uint32_t id;
  uint8_t attributes;
  Event event;
  bool repeating;
  std::vector<int32_t> exceptions;
};

inline Unpacked Unpack(const velqor::platform::HandheldRecord& r) {
  std::vector<uint8_t> buffer(r.data.begin(), r.data.end());
  buffer.resize(kRawRecordBufferSize);
  RawRecord raw{};
  raw.recordId = r.id;
  raw.attributes = r.attributes;
  raw.categoryId = r.category;
  raw.size = static_cast<uint32_t>(r.data.size());
  raw.capacity = kRawRecordBufferSize;
  raw.buffer = velqor::platform::RegisterPointer(buffer.data());
  CVuzurTable table;
  CVuzurRecord record(table, 0);
  EXPECT_EQ(table.AppendBlankRecord(record), 0);
  CDateBkConverter converter;
  converter.RawToRecord(record, raw);
  velqor::platform::ReleasePointer(raw.buffer);

  Unpacked u{};
  u.id = r.id;
  u.attributes = r.attributes;
  u.event.id = r.id;
  record.GetDescription(u.event.text);
  record.GetNote(u.event.note);
  record.GetStartTime(u.event.start);
  record.GetEndTime(u.event.end);
  u.event.untimed = record.IsUnTimed() != 0;
  u.repeating = record.IsRepeatingEvt() != 0;
  int32_t date = 0;
  for (long found = record.FindFirstException(date); found == 0;
       found = record.FindNextException(date)) {
    u.exceptions.push_back(date);
  }
  return u;
}

// The Date Book monitor with its fields and helpers open to the tests.
class TestMonitor : public CVuzurMonitor {
 public:
  using CSyncMonitor::ArchiveExtension;
  using CSyncMonitor::ArchiveTable;
  using CSyncMonitor::BackupTable;
  using CSyncMonitor::ChangeTable;
  using CSyncMonitor::Converter;
  using CSyncMonitor::DbHandle;
  using CSyncMonitor::DesktopTable;
  using CSyncMonitor::Properties;
  using CVuzurMonitor::BackupFilePath;
  using CVuzurMonitor::BackupSeries;
  using CVuzurMonitor::CVuzurMonitor;
  using CVuzurMonitor::DesktopFilePath;
  using CVuzurMonitor::DesktopSeries;
  using CVuzurMonitor::LastBackupSeriesId;
  using CVuzurMonitor::LastBackupSeriesTable;
  using CVuzurMonitor::LastDesktopSeriesId;
  using CVuzurMonitor::LastDesktopSeriesTable;
  using CVuzurMonitor::ReadIncomplete;
};

using LogLines = std::vector<std::pair<std::string, int32_t>>;

// The environment of one test: a handheld with an empty Date Book (unless a test removes it),
// the log, the string table, a clock pinned to 10:00 on Wednesday 12 March 1997 in New York, a
// scratch directory as the user's directory, and the properties record pointing at it.
class DatebookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module = strings.module();
    velqor::platform::SetHandheldLink(&link);
    velqor::platform::SetHotSyncLog(&log);
    velqor::platform::SetClock(&clock);
    ASSERT_TRUE(scratch.ok());
    dir = scratch.WithSlash();
    std::memset(&props, 0, sizeof props);
    std::strcpy(props.directory, dir.c_str());
    std::strcpy(props.localFileName, "datebook.dat");
    props.databaseNames[0] = velqor::platform::RegisterPointer(const_cast<char*>(kDbName));
    props.creator = 0x64617465;  // 'date'
    velqor::platform::HandheldDatabase db;
    db.name = kDbName;
    handheld.AddDatabase(db);
    clock.Set(Local(1997, 3, 12, 10, 0));
    windowStart = Local(1997, 3, 12);
    windowEnd = Local(1997, 3, 19);  // seven days
  }
  void TearDown() override {
    monitor.reset();
    velqor::platform::SetClock(nullptr);
    velqor::platform::SetHotSyncLog(nullptr);
    velqor::platform::SetHandheldLink(nullptr);
  }

  TestMonitor& MakeMonitor(int32_t syncType = kSyncTypeFast) {
    props.syncType = syncType;
    monitor = std::make_unique<TestMonitor>(reinterpret_cast<void*>(0x5eed), props, module);
    monitor->SetWindow(windowStart, windowEnd);
    return *monitor;
  }

  // Gives the monitor empty tables of its own, as if the run had opened everything.
  void GiveTables(TestMonitor& m) {
    m.DesktopTable = new CVuzurTable();
    m.ChangeTable = new CVuzurTable();
    m.ArchiveTable = new CDateBkTable();
    m.BackupTable = new CVuzurTable();
  }

  velqor::platform::HandheldDatabase& Db() { return *handheld.FindDatabase(kDbName); }
  void AddPilot(const Pilot& p) { Db().records.push_back(Pack(p)); }
  std::vector<Unpacked> PilotRecords() {
    std::vector<Unpacked> out;
    for (const auto& r : Db().records) out.push_back(Unpack(r));
    return out;
  }
  const velqor::platform::HandheldRecord* PilotRecord(uint32_t id) { return Db().FindRecord(id); }

  std::string DesktopPath() const { return dir + "datebook.dat"; }
  std::string BackupPath() const { return dir + "datebook.bak"; }

  LogLines Lines() const {
    LogLines lines;
    for (const auto& entry : log.entries()) lines.emplace_back(entry.text, entry.activity);
    return lines;
  }

  ScopedTimeZone zone{"America/New_York"};
  velqor::test_support::ScopedStringTable strings{velqor::resources::kConduitStrings,
                                                  velqor::resources::kConduitStringCount};
  velqor::test_support::ScratchDir scratch;
  velqor::platform::MemoryHandheld handheld;
  velqor::platform::FaultInjectingLink link{&handheld};
  velqor::platform::MemoryLog log;
  velqor::platform::FixedClock clock{0};
  velqor::platform::ModuleHandle module = 0;
  ConduitProperties props;
  std::string dir;
  int32_t windowStart = 0;
  int32_t windowEnd = 0;
  std::unique_ptr<TestMonitor> monitor;
};

// The texts of the log lines the messages write, for the expectations.
inline constexpr char kHeader[] = "-- Date Book";
inline constexpr char kDoubleModify[] =
    "   - The following record was modified on both Pilot and the Desktop:";
inline constexpr char kDuplicated[] =
    "     This record will be duplicated on each platform. The Pilot record marked to";
inline constexpr char kNotArchivedAdvice[] =
    "     be archived was not archived.  Delete the unwanted record and HotSync again.";
inline constexpr char kModifiedAndDeleted[] =
    "   - The following record was modified on one platform and deleted on the other.";
inline constexpr char kModifiedVersion[] =
    "     The modified version will appear on both platforms.";
inline constexpr char kCheckConnections[] = "     Please check your connections and try again.";
inline constexpr char kDeleteFailed[] = "   - Could not delete the following record on Pilot:";
inline constexpr char kAddFailed[] = "   - Could not copy the following record to Pilot:";
inline constexpr char kPilotFull[] =
    "     Your Pilot may be full.  Check the Pilot's Memory Application.";
inline constexpr char kReadFailed[] = "   - Could not read the next Pilot record.";
inline constexpr char kDesktopNotSaved[] = "   - Could not save the Desktop file.";
inline constexpr char kDesktopFull[] =
    "     Your Desktop disk may be full.  Check the disk space and HotSync again.";

}  // namespace datebook_test
