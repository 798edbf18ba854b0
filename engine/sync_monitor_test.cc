#include "engine/sync_monitor.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "platform/handles.h"

namespace engine_test {
namespace {

using velqor::platform::ResolveAs;
using velqor::platform::ResolvePointer;

TEST_F(EngineTest, ConstructionCopiesPropertiesAndPreparesBuffers) {
  props.syncType = 3;
  props.firstSyncIndicator = 2;
  std::strcpy(props.userName, "Ada");
  props.reserved1194[3] = 0xA5;  // the last byte of the record travels too
  TestMonitor monitor(props, module, reinterpret_cast<void*>(0x77));

  EXPECT_EQ(std::memcmp(&monitor.Properties, &props, sizeof props), 0);
  EXPECT_EQ(monitor.CallerPointer, reinterpret_cast<void*>(0x77));
  EXPECT_EQ(monitor.Module, module);
  EXPECT_EQ(monitor.Converter, nullptr);
  EXPECT_EQ(monitor.DesktopTable, nullptr);
  EXPECT_EQ(monitor.ArchiveTable, nullptr);
  EXPECT_EQ(monitor.BackupTable, nullptr);
  EXPECT_EQ(monitor.ChangeTable, nullptr);
  EXPECT_EQ(monitor.DesktopCategories, nullptr);
  EXPECT_EQ(monitor.PilotCategories, nullptr);
  EXPECT_EQ(monitor.DbCount, 1);
  EXPECT_EQ(monitor.DbIndex, 0);

  const CategoryBlockRecord zeroBlock{};
  EXPECT_EQ(std::memcmp(&monitor.CategoryBlock, &zeroBlock, sizeof zeroBlock), 0);

  // Only the text capacity and its buffer are set in the system information.
  const HandheldSystemInfo& info = monitor.SystemInfo;
  EXPECT_EQ(info.textCapacity, 255);
  EXPECT_NE(ResolvePointer(info.textBuffer), nullptr);
  HandheldSystemInfo rest = info;
  rest.textCapacity = 0;
  rest.textBuffer = 0;
  const HandheldSystemInfo zeroInfo{};
  EXPECT_EQ(std::memcmp(&rest, &zeroInfo, sizeof rest), 0);
}

// Records the order in which owned objects go.
struct Trace {
  std::vector<std::string> events;
};

class TracedTable : public CDateBkTable {
 public:
  TracedTable(Trace* trace, std::string name) : trace_(trace), name_(std::move(name)) {}
  ~TracedTable() override { trace_->events.push_back(name_); }

 private:
  Trace* trace_;
  std::string name_;
};

class TracedCategories : public CCategoryMgr {
 public:
  explicit TracedCategories(Trace* trace) : trace_(trace) {}
  ~TracedCategories() override { trace_->events.push_back("pilot categories"); }

 private:
  Trace* trace_;
};

class TracedConverter : public CBaseConverter {
 public:
  explicit TracedConverter(Trace* trace) : trace_(trace) {}
  ~TracedConverter() override { trace_->events.push_back("converter"); }

 private:
  Trace* trace_;
};

TEST_F(EngineTest, DestructionReleasesWhatTheMonitorOwnsInOrder) {
  Trace trace;
  uint32_t textHandle = 0;
  uint32_t blockHandle = 0;
  auto* desktop = new TracedTable(&trace, "desktop");
  {
    TestMonitor monitor(props, module);
    monitor.Converter = new TracedConverter(&trace);
    monitor.DesktopTable = desktop;
    monitor.ArchiveTable = new TracedTable(&trace, "archive");
    monitor.BackupTable = new TracedTable(&trace, "backup");
    monitor.ChangeTable = new TracedTable(&trace, "change");
    uint8_t handle = 0;
    velqor::platform::HandheldDatabase database;
    database.name = kDbName;
    handheld.AddDatabase(std::move(database));
    ASSERT_EQ(HhOpenDatabase(kDbName, 0, &handle, kOpenModeReadWrite), 0);
    monitor.DbHandle = handle;
    monitor.ReadPilotCategories();  // allocates the block buffer and a handheld manager
    delete monitor.PilotCategories;
    monitor.PilotCategories = new TracedCategories(&trace);
    // Not owned: the desktop table's own manager.
    monitor.DesktopCategories = desktop->GetCategoryManager();
    textHandle = monitor.SystemInfo.textBuffer;
    blockHandle = monitor.CategoryBlock.buffer;
    ASSERT_NE(ResolvePointer(blockHandle), nullptr);
  }
  EXPECT_EQ(trace.events, (std::vector<std::string>{"converter", "archive", "desktop", "backup",
                                                    "change", "pilot categories"}));
  EXPECT_EQ(ResolvePointer(textHandle), nullptr);
  EXPECT_EQ(ResolvePointer(blockHandle), nullptr);
}

TEST_F(EngineTest, StartSyncDispatchesOnTheSyncTypeTakenAsUnsigned) {
  enum Expect { kRun, kModeA, kModeB, kNothing };
  struct Case {
    int32_t syncType;
    Expect expect;
  };
  const Case cases[] = {
      {0, kRun},      {1, kRun},      {2, kRun},           {3, kRun},           {4, kModeA},
      {5, kModeB},    {6, kNothing},  {7, kModeA},         {8, kNothing},       {1000, kNothing},
      {-1, kNothing}, {-4, kNothing}, {INT_MIN, kNothing}, {INT_MAX, kNothing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("sync type " + std::to_string(c.syncType));
    log.Clear();
    props.syncType = c.syncType;
    TestMonitor monitor(props, module);
    monitor.runStatus = 11;
    monitor.modeAStatus = 22;
    monitor.modeBStatus = 33;
    const int32_t expectedStatus[] = {11, 22, 33, kEngNoRunForSyncType};
    EXPECT_EQ(monitor.StartSync(), expectedStatus[c.expect]);
    EXPECT_EQ(monitor.runCalls, c.expect == kRun ? 1 : 0);
    EXPECT_EQ(monitor.modeACalls, c.expect == kModeA ? 1 : 0);
    EXPECT_EQ(monitor.modeBCalls, c.expect == kModeB ? 1 : 0);
    EXPECT_TRUE(log.entries().empty());
  }
}

TEST_F(EngineTest, BaseMonitorHasNoRunOfItsOwn) {
  const struct {
    int32_t syncType;
    int32_t status;
  } cases[] = {{0, -1},
               {3, -1},
               {4, -1},
               {5, -1},
               {7, -1},
               {6, kEngNoRunForSyncType},
               {9, kEngNoRunForSyncType}};
  for (const auto& c : cases) {
    props.syncType = c.syncType;
    CSyncMonitor monitor(nullptr, props, module);
    EXPECT_EQ(monitor.StartSync(), c.status) << "sync type " << c.syncType;
  }
}

TEST_F(EngineTest, StartSyncReturnsAFailedSystemInfoReadWithoutRunning) {
  const int32_t failures[] = {0x2005, kSyncErrBadArgument, -1};
  for (int32_t failure : failures) {
    velqor::platform::FaultInjectingLink failing(&handheld);
    failing.FailNth("SyncReadSystemInfo", 1, failure);
    velqor::platform::SetHandheldLink(&failing);
    props.syncType = 0;
    TestMonitor monitor(props, module);
    EXPECT_EQ(monitor.StartSync(), failure);
    EXPECT_EQ(monitor.runCalls, 0);
    velqor::platform::SetHandheldLink(&link);
  }
  // No handheld at all.
  velqor::platform::SetHandheldLink(nullptr);
  TestMonitor monitor(props, module);
  EXPECT_EQ(monitor.StartSync(), kSyncErrNoLink);
  EXPECT_EQ(monitor.runCalls, 0);
}

TEST_F(EngineTest, StartSyncReadsTheHandheldsSystemInformation) {
  handheld.SetSystemVersion(1, 7);
  handheld.SetProductText("Pilot 1000");
  TestMonitor monitor(props, module);
  monitor.onRun = [&] {
    EXPECT_EQ(monitor.SystemInfo.majorVersion, 1);
    EXPECT_STREQ(ResolveAs<char>(monitor.SystemInfo.textBuffer), "Pilot 1000");
    return 0;
  };
  EXPECT_EQ(monitor.StartSync(), 0);
  EXPECT_EQ(monitor.runCalls, 1);
}

// A desktop table of four records: (ID, status).
void FillDesktop(CBaseTable& table) {
  const std::pair<RecordId, int32_t> rows[] = {
      {5, kStatusModified}, {6, kStatusDeleted}, {7, kStatusNone}, {8, kStatusPending}};
  for (const auto& [id, status] : rows) {
    CDateBkRecord record(table, 0);
    ASSERT_EQ(table.AppendBlankRecord(record), 0);
    record.SetRecordId(id);
    record.SetStatus(status);
  }
}

std::vector<std::pair<RecordId, int32_t>> Rows(CBaseTable& table) {
  std::vector<std::pair<RecordId, int32_t>> rows;
  CBaseIterator iterator(table);
  CBaseRecord record(table, 0);
  for (long found = iterator.FindFirst(record); found == 0; found = iterator.FindNext(record)) {
    RecordId id = 0;
    int32_t status = 0;
    record.GetRecordId(id);
    record.GetStatus(status);
    rows.emplace_back(id, status);
  }
  return rows;
}

TEST_F(EngineTest, PrepareFirstSyncSendsEveryDesktopRecordToAnOldHandheldAsNew) {
  const std::vector<std::pair<RecordId, int32_t>> untouched = {
      {5, kStatusModified}, {6, kStatusDeleted}, {7, kStatusNone}, {8, kStatusPending}};
  const std::vector<std::pair<RecordId, int32_t>> allNew = {
      {0, kStatusAdded}, {0, kStatusDeleted}, {0, kStatusAdded}, {0, kStatusAdded}};
  const struct {
    int32_t indicator;
    uint8_t major;
    bool renewed;
  } cases[] = {{2, 1, true},  {2, 0, true},  {2, 2, false}, {2, 3, false},
               {1, 1, false}, {0, 1, false}, {3, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE("indicator " + std::to_string(c.indicator) + ", major version " +
                 std::to_string(c.major));
    handheld.SetSystemVersion(c.major, 0);
    props.firstSyncIndicator = c.indicator;
    TestMonitor monitor(props, module);
    monitor.DesktopTable = new CDateBkTable();
    FillDesktop(*monitor.DesktopTable);
    monitor.onRun = [&] { return monitor.PrepareFirstSync(); };
    EXPECT_EQ(monitor.StartSync(), 0);
    EXPECT_EQ(Rows(*monitor.DesktopTable), c.renewed ? allNew : untouched);
  }
}

TEST_F(EngineTest, PrepareFirstSyncWithoutDesktopTableDoesNothing) {
  props.firstSyncIndicator = 2;
  TestMonitor monitor(props, module);
  monitor.SystemInfo.majorVersion = 1;
  EXPECT_EQ(monitor.PrepareFirstSync(), 0);
}

TEST(StatusTests, CommunicationAndNonFatalErrors) {
  const struct {
    int32_t status;
    int32_t comms;
    int32_t nonFatal;
  } cases[] = {
      {-1, 0, 0},     {0, 0, 0},     {0x2000, 1, 0}, {0x6006, 1, 0}, {kSyncErrNoLink, 1, 0},
      {16387, 0, 0},  {16403, 0, 1}, {16404, 0, 1},  {16402, 0, 0},  {16405, 0, 0},
      {0x1FFF, 0, 0}, {-8192, 1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CSyncMonitor::IsCommsError(c.status), c.comms) << c.status;
    EXPECT_EQ(CSyncMonitor::IsNonFatalError(c.status), c.nonFatal) << c.status;
  }
}

TEST(RecordBufferTest, AllocatesZeroedBuffersOfTheAskedSize) {
  for (uint16_t size : {uint16_t{4480}, uint16_t{1}, uint16_t{65535}}) {
    RawRecord raw;
    std::memset(&raw, 0xCC, sizeof raw);  // whatever the caller left there
    ASSERT_EQ(CSyncMonitor::AllocRecordBuffer(raw, size), 0);
    EXPECT_EQ(raw.capacity, size);
    const uint32_t handle = raw.buffer;
    const uint8_t* data = ResolveAs<uint8_t>(handle);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(data, data + size), std::vector<uint8_t>(size, 0));
    CSyncMonitor::FreeRecordBuffer(raw);
    EXPECT_EQ(raw.buffer, 0u);
    EXPECT_EQ(raw.capacity, 0);
    EXPECT_EQ(ResolvePointer(handle), nullptr);
  }
}

TEST_F(EngineTest, BaseOperationsOfTheSlots) {
  CSyncMonitor monitor(nullptr, props, module);
  CDateBkTable table;
  CDateBkRecord record(table, 0);
  table.AppendBlankRecord(record);

  const std::pair<const char*, int32_t> results[] = {
      {"OpenPilotDB", monitor.OpenPilotDB()},
      {"OpenDesktopTables", monitor.OpenDesktopTables()},
      {"CopyRecordToTable", monitor.CopyRecordToTable(record, &table)},
      {"AddPilotRecord", monitor.AddPilotRecord(record)},
      {"ModifyPilotRecord", monitor.ModifyPilotRecord(record)},
      {"CopyPilotToDesktop", monitor.CopyPilotToDesktop()},
      {"CopyDesktopToPilot", monitor.CopyDesktopToPilot()},
      {"FastSync", monitor.FastSync()},
      {"SlowSync", monitor.SlowSync()},
      {"Run", monitor.Run()},
      {"RunSpecialModeA", monitor.RunSpecialModeA()},
      {"RunSpecialModeB", monitor.RunSpecialModeB()},
  };
  for (const auto& [name, status] : results) EXPECT_EQ(status, -1) << name;
  EXPECT_EQ(monitor.SpareHookA(1, 2), 0);
  EXPECT_EQ(monitor.SpareHookB(1, 2), 0);
  EXPECT_EQ(monitor.OnPilotRecordAdded(record, 0), 0);
  EXPECT_EQ(table.GetRecordCount(), 1);  // the base copies nothing

  CBaseTable* made = &table;
  EXPECT_EQ(monitor.CreateArchiveTable(&made), -1);
  EXPECT_EQ(made, nullptr);

  char buffer[kLogTextSize];
  std::memset(buffer, 'x', sizeof buffer);
  monitor.DescribeRecord(record, buffer);
  EXPECT_EQ(monitor.GetDisplayName(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
}

}  // namespace
}  // namespace engine_test
