// Whole runs of the Date Book monitor over an in-memory handheld, at Date Book sizes up to the
// most a desktop file carries: a first synchronization that fills the handheld, a slow one with
// both sides equal, and a fast one after 10 handheld edits and 1 host edit. Every run loads and
// saves the desktop and backup files in a scratch user directory. The counters are the Sync
// Manager calls of one run: over a serial or USB link each is a round trip, so they, more than
// the time here, say what a synchronization costs the user.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datebook/datebook_test_support.h"

namespace {

using datebook_test::Event;
using datebook_test::Pilot;
using velqor::platform::HandheldDatabase;
using velqor::platform::HandheldLink;

// Counts the calls on their way to the handheld.
class CountingLink : public HandheldLink {
 public:
  enum Function {
    kReadById,
    kReadByIndex,
    kReadNextModified,
    kWrite,
    kDelete,
    kOther,
    kFunctionCount,
  };
  explicit CountingLink(HandheldLink* inner) : inner_(inner) {}
  void Clear() { counts_.fill(0); }
  uint64_t Count(Function f) const { return counts_[f]; }
  uint64_t Total() const {
    uint64_t total = 0;
    for (uint64_t c : counts_) total += c;
    return total;
  }

  int32_t RegisterConduit(uint32_t* handle) override {
    return Other(), inner_->RegisterConduit(handle);
  }
  int32_t UnregisterConduit(uint32_t handle) override {
    return Other(), inner_->UnregisterConduit(handle);
  }
  int32_t OpenDatabase(const char* name, int32_t card, uint8_t* handle, int32_t mode) override {
    return Other(), inner_->OpenDatabase(name, card, handle, mode);
  }
  int32_t CreateDatabase(DatabaseCreateInfo* info) override {
    return Other(), inner_->CreateDatabase(info);
  }
  int32_t CloseDatabase(uint8_t handle) override { return Other(), inner_->CloseDatabase(handle); }
  int32_t ReadRecordById(RawRecord* record) override {
    ++counts_[kReadById];
    return inner_->ReadRecordById(record);
  }
  int32_t ReadRecordByIndex(RawRecord* record) override {
    ++counts_[kReadByIndex];
    return inner_->ReadRecordByIndex(record);
  }
  int32_t ReadNextModified(RawRecord* record) override {
    ++counts_[kReadNextModified];
    return inner_->ReadNextModified(record);
  }
  int32_t WriteRecord(RawRecord* record) override {
    ++counts_[kWrite];
    return inner_->WriteRecord(record);
  }
  int32_t DeleteRecord(RawRecord* record) override {
    ++counts_[kDelete];
    return inner_->DeleteRecord(record);
  }
  int32_t PurgeDeleted(uint8_t handle) override { return Other(), inner_->PurgeDeleted(handle); }
  int32_t ResetSyncFlags(uint8_t handle) override {
    return Other(), inner_->ResetSyncFlags(handle);
  }
  int32_t ReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override {
    return Other(), inner_->ReadCategoryBlock(handle, record);
  }
  int32_t WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override {
    return Other(), inner_->WriteCategoryBlock(handle, record);
  }
  int32_t ReadSystemInfo(HandheldSystemInfo* info) override {
    return Other(), inner_->ReadSystemInfo(info);
  }
  int32_t ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) override {
    return Other(), inner_->ChangeCategory(handle, fromIndex, toIndex);
  }
  int32_t YieldCycles(uint16_t cycles) override { return Other(), inner_->YieldCycles(cycles); }

 private:
  void Other() { ++counts_[kOther]; }
  HandheldLink* inner_;
  std::array<uint64_t, kFunctionCount> counts_{};
};

constexpr int kWindowDays = 400;
constexpr int kHandheldEdits = 10;
constexpr uint32_t kFirstId = 0x100000;

enum class Kind { kFirst, kSlow, kFast };

// One user's scene, set up again before every run: the handheld's Date Book and the desktop
// and backup files as the previous synchronization and the host driver left them.
class Scene {
 public:
  Scene(Kind kind, int records) : kind_(kind) {
    velqor::platform::SetHandheldLink(&link_);
    velqor::platform::SetHotSyncLog(&log_);
    velqor::platform::SetClock(&clock_);
    dir_ = scratch_.WithSlash();
    std::memset(&props_, 0, sizeof props_);
    std::strcpy(props_.directory, dir_.c_str());
    std::strcpy(props_.localFileName, "datebook.dat");
    props_.databaseNames[0] =
        velqor::platform::RegisterPointer(const_cast<char*>(datebook_test::kDbName));
    props_.creator = 0x64617465;  // 'date'
    props_.syncType = kind == Kind::kSlow ? kSyncTypeSlow : kSyncTypeFast;
    clock_.Set(datebook_test::Local(2026, 3, 2, 10, 0));
    windowStart_ = datebook_test::Local(2026, 3, 2);
    windowEnd_ = datebook_test::Local(2026, 3, 2 + kWindowDays);

    // Distinct timed events spread over the window; the first run gave each a handheld ID.
    std::vector<Event> events;
    for (int i = 0; i < records; ++i) {
      Event e;
      e.id = kind == Kind::kFirst ? 0 : kFirstId + static_cast<uint32_t>(i);
      e.text = "Event " + std::to_string(i) + " with the planning group";
      e.start = datebook_test::Local(2026, 3, 2 + i * kWindowDays / records, 8 + i % 10, 15);
      e.host = i + 1;
      events.push_back(e);
    }
    pristine_.name = datebook_test::kDbName;
    pristine_.uniqueIdSeed = kFirstId + static_cast<uint32_t>(records);
    if (kind != Kind::kFirst) {
      for (int i = 0, edit = 0; i < records; ++i) {
        Pilot p{.event = events[i]};
        // The edits are spread over the Date Book: the first, then every tenth of it.
        if (kind == Kind::kFast && edit < kHandheldEdits && i == edit * records / kHandheldEdits) {
          ++edit;
          p.event.text += " (moved on the handheld)";
          p.attributes = kAttrDirty;
        }
        pristine_.records.push_back(datebook_test::Pack(p));
      }
      datebook_test::WriteExchangeFile(dir_ + "datebook.bak", events);
    }
    if (kind == Kind::kFast) events[records / 2 + 1].text += " (moved on the host)";
    datebook_test::WriteExchangeFile(dir_ + "datebook.dat", events);
    desktop_ = velqor::test_support::ReadFile(dir_ + "datebook.dat");
    backup_ = velqor::test_support::ReadFile(dir_ + "datebook.bak");
  }
  ~Scene() {
    velqor::platform::ReleasePointer(props_.databaseNames[0]);
    velqor::platform::SetClock(nullptr);
    velqor::platform::SetHotSyncLog(nullptr);
    velqor::platform::SetHandheldLink(nullptr);
  }

  void Reset() {
    handheld_.AddDatabase(pristine_);
    velqor::test_support::WriteFile(dir_ + "datebook.dat", desktop_);
    if (kind_ == Kind::kFirst) {
      std::remove((dir_ + "datebook.bak").c_str());
    } else {
      velqor::test_support::WriteFile(dir_ + "datebook.bak", backup_);
    }
    log_.Clear();
    link_.Clear();
  }

  int32_t Run() {
    CVuzurMonitor monitor(reinterpret_cast<void*>(0x5eed), props_, strings_.module());
    monitor.SetWindow(windowStart_, windowEnd_);
    return monitor.StartSync();
  }

  // What the run did: the synchronization completed without a problem and took every change
  // where it belongs.
  bool Completed(int records) {
    if (log_.entries().empty() || log_.entries().back().activity != 20) return false;
    const HandheldDatabase* db = handheld_.FindDatabase(datebook_test::kDbName);
    if (db == nullptr || db->records.size() != static_cast<size_t>(records)) return false;
    if (kind_ == Kind::kFast) {
      const uint32_t hostEdited = kFirstId + static_cast<uint32_t>(records / 2 + 1);
      if (link_.Count(CountingLink::kWrite) < 1) return false;
      return datebook_test::Unpack(
                 *handheld_.FindDatabase(datebook_test::kDbName)->FindRecord(hostEdited))
          .event.text.ends_with("(moved on the host)");
    }
    return true;
  }

  const CountingLink& link() const { return link_; }

 private:
  Kind kind_;
  velqor::test_support::ScopedTimeZone zone_{"Europe/Berlin"};
  velqor::test_support::ScopedStringTable strings_{velqor::resources::kConduitStrings,
                                                   velqor::resources::kConduitStringCount};
  velqor::test_support::ScratchDir scratch_;
  velqor::platform::MemoryHandheld handheld_;
  CountingLink link_{&handheld_};
  velqor::platform::MemoryLog log_;
  velqor::platform::FixedClock clock_{0};
  ConduitProperties props_;
  std::string dir_;
  int32_t windowStart_ = 0;
  int32_t windowEnd_ = 0;
  HandheldDatabase pristine_;
  std::string desktop_;
  std::string backup_;
};

void RunScene(benchmark::State& state, Kind kind) {
  const int records = static_cast<int>(state.range(0));
  Scene scene(kind, records);
  for (auto _ : state) {
    state.PauseTiming();
    scene.Reset();
    state.ResumeTiming();
    if (scene.Run() != 0) state.SkipWithError("the synchronization failed");
    state.PauseTiming();
    if (!scene.Completed(records)) state.SkipWithError("the synchronization missed a change");
    state.ResumeTiming();
  }
  const CountingLink& link = scene.link();
  state.counters["sync_calls"] = static_cast<double>(link.Total());
  state.counters["read_by_index"] = static_cast<double>(link.Count(CountingLink::kReadByIndex));
  state.counters["read_modified"] =
      static_cast<double>(link.Count(CountingLink::kReadNextModified));
  state.counters["read_by_id"] = static_cast<double>(link.Count(CountingLink::kReadById));
  state.counters["writes"] = static_cast<double>(link.Count(CountingLink::kWrite));
  state.SetItemsProcessed(state.iterations() * records);
}

void BM_FirstSync(benchmark::State& state) {
  RunScene(state, Kind::kFirst);
}
void BM_SlowSync(benchmark::State& state) {
  RunScene(state, Kind::kSlow);
}
void BM_FastSync10Changes(benchmark::State& state) {
  RunScene(state, Kind::kFast);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int n : {1000, 2000, 4000, 8000, 9999}) b->Arg(n);
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_FirstSync)->Apply(Sizes);
BENCHMARK(BM_SlowSync)->Apply(Sizes);
BENCHMARK(BM_FastSync10Changes)->Apply(Sizes);

}  // namespace
