// Test fixtures of the engine: a monitor that exposes its fields and records which operations
// ran, a converter double that stands for the handheld's category block, and an environment
// with an in-memory handheld behind a fault-injecting link, an in-memory log and the
// conduit's string table.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "convert/base_converter.h"
#include "engine/sync_monitor.h"
#include "platform/fault_link.h"
#include "platform/handles.h"
#include "platform/hotsync_log.h"
#include "platform/memory_handheld.h"
#include "platform/testing/test_support.h"
#include "resources/conduit_strings.h"

namespace engine_test {

inline constexpr char kDbName[] = "DatebookDB";

// A category as the tests write it down.
struct Cat {
  int id;
  int index;
  std::string name;
  int dirty = 0;
  bool operator==(const Cat& other) const {
    return id == other.id && index == other.index && name == other.name && dirty == other.dirty;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Cat& cat) {
  return out << "{id " << cat.id << ", index " << cat.index << ", '" << cat.name << "', dirty "
             << cat.dirty << "}";
}

inline std::vector<Cat> ListOf(CCategoryMgr& categories) {
  std::vector<Cat> list;
  for (CCategory* c = categories.FindFirst(); c != nullptr; c = categories.FindNext()) {
    list.push_back({c->GetID(), c->GetIndex(), c->GetName(), c->IsNameDirty()});
  }
  return list;
}

inline void Fill(CCategoryMgr& categories, const std::vector<Cat>& list) {
  for (const Cat& cat : list) {
    auto* category = new CCategory(cat.id, cat.index, cat.name);
    category->SetNameDirty(cat.dirty);
    ASSERT_EQ(categories.Add(category), kCatOk) << cat;
  }
}

// Stands for the handheld's category block: RawToCategories hands out `handheld`, and
// CategoriesToRaw records the list it was asked to write.
class FakeConverter : public CBaseConverter {
 public:
  explicit FakeConverter(bool* destroyed = nullptr) : destroyed_(destroyed) {}
  ~FakeConverter() override {
    if (destroyed_ != nullptr) *destroyed_ = true;
  }

  long RawToCategories(CategoryBlockRecord& block, CCategoryMgr& categories) override {
    ++reads;
    readBlockName = std::string(block.databaseName, strnlen(block.databaseName, 32));
    if (readStatus != 0) return readStatus;
    for (const Cat& cat : handheld) {
      auto* category = new CCategory(cat.id, cat.index, cat.name);
      category->SetNameDirty(cat.dirty);
      if (categories.Add(category) != kCatOk) delete category;
    }
    return 0;
  }
  long CategoriesToRaw(CategoryBlockRecord&, CCategoryMgr& categories) override {
    ++writes;
    written = ListOf(categories);
    return 0;
  }

  std::vector<Cat> handheld;
  long readStatus = 0;
  int reads = 0;
  int writes = 0;
  std::string readBlockName;
  std::vector<Cat> written;

 private:
  bool* destroyed_;
};

// A monitor whose operations are the tests' to choose.
class TestMonitor : public CSyncMonitor {
 public:
  TestMonitor(const ConduitProperties& properties, velqor::platform::ModuleHandle module,
              void* caller = reinterpret_cast<void*>(0x5eed))
      : CSyncMonitor(caller, properties, module) {
    std::strcpy(ArchiveExtension, ".DBA");
  }

  using CSyncMonitor::ApplyCategoryRemap;
  using CSyncMonitor::ArchiveExtension;
  using CSyncMonitor::ArchiveTable;
  using CSyncMonitor::BackupTable;
  using CSyncMonitor::CallerPointer;
  using CSyncMonitor::CategoryBlock;
  using CSyncMonitor::ChangeTable;
  using CSyncMonitor::Converter;
  using CSyncMonitor::DbCount;
  using CSyncMonitor::DbHandle;
  using CSyncMonitor::DbIndex;
  using CSyncMonitor::DesktopCategories;
  using CSyncMonitor::DesktopTable;
  using CSyncMonitor::MarkCategoryNamesDirty;
  using CSyncMonitor::Module;
  using CSyncMonitor::PilotCategories;
  using CSyncMonitor::Properties;
  using CSyncMonitor::ReplaceDesktopCategories;
  using CSyncMonitor::SystemInfo;
  using CSyncMonitor::WritePilotCategories;

  int32_t Run() override {
    ++runCalls;
    return onRun ? onRun() : runStatus;
  }
  int32_t RunSpecialModeA() override {
    ++modeACalls;
    return modeAStatus;
  }
  int32_t RunSpecialModeB() override {
    ++modeBCalls;
    return modeBStatus;
  }
  int32_t CopyRecordToTable(CBaseRecord& record, CBaseTable* table) override {
    ++copyCalls;
    if (copyCalls == failCopyCall || table == nullptr) return kEngCopyFailed;
    CDateBkRecord copy(*table, 0);
    return table->AppendDuplicateRecord(record, copy, 1) != 0 ? kEngCopyFailed : 0;
  }
  int32_t CreateArchiveTable(CBaseTable** table) override {
    ++createCalls;
    if (createCalls == failCreateCall) {
      *table = nullptr;
      return -1;
    }
    if (createCalls == nullCreateCall) {
      *table = nullptr;
      return 0;
    }
    *table = new CDateBkTable();
    return 0;
  }
  void DescribeRecord(CBaseRecord& record, char* buffer) override {
    RecordId id = 0;
    record.GetRecordId(id);
    std::snprintf(buffer, kLogTextSize, "       record %u", static_cast<unsigned>(id));
  }
  int32_t GetDisplayName(char* buffer, uint16_t size) override {
    return LoadStringA(Module, 3301, buffer, size);
  }

  int runCalls = 0, modeACalls = 0, modeBCalls = 0;
  int32_t runStatus = 0, modeAStatus = 0, modeBStatus = 0;
  std::function<int32_t()> onRun;
  int copyCalls = 0, failCopyCall = 0;
  int createCalls = 0, failCreateCall = 0, nullCreateCall = 0;
};

using LogLines = std::vector<std::pair<std::string, int32_t>>;

// Installs an in-memory handheld (behind a fault-injecting link), an in-memory log and the
// conduit's string table for each test, and removes them afterwards.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    velqor::platform::SetHandheldLink(&link);
    velqor::platform::SetHotSyncLog(&log);
    std::memset(&props, 0, sizeof props);
    std::strcpy(props.directory, "/nonexistent/");
    std::strcpy(props.localFileName, "datebook.dat");
    props.databaseNames[0] = velqor::platform::RegisterPointer(const_cast<char*>(kDbName));
  }
  void TearDown() override {
    velqor::platform::SetHotSyncLog(nullptr);
    velqor::platform::SetHandheldLink(nullptr);
  }

  // The log as (text, activity) pairs.
  LogLines Lines() const {
    LogLines lines;
    for (const auto& entry : log.entries()) lines.emplace_back(entry.text, entry.activity);
    return lines;
  }

  velqor::platform::MemoryHandheld handheld;
  velqor::platform::FaultInjectingLink link{&handheld};
  velqor::platform::MemoryLog log;
  velqor::test_support::ScopedStringTable strings{velqor::resources::kConduitStrings,
                                                  velqor::resources::kConduitStringCount};
  velqor::platform::ModuleHandle module = strings.module();
  ConduitProperties props;
};

}  // namespace engine_test
